#include "platform/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/paths.h"

namespace {

// The Exec value for one program path: quoted, with the characters that
// are special inside quotes escaped, then escaped again as a desktop-entry
// string (backslash doubled), and '%' doubled because it introduces field
// codes.
std::string exec_value(const std::string& target) {
    std::string quoted = "\"";
    for (char c : target) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        if (c == '%') value += '%';
        value += c;
    }
    return value;
}

}  // namespace

std::string autostart_entry_path() {
    return user_config_root() + "/autostart/" + AUTOSTART_NAME + ".desktop";
}

int create_autostart_entry(const std::string& target) {
    if (target.empty() || target.find_first_of("\r\n") != std::string::npos) return 0;
    std::string path = autostart_entry_path();
    if (!make_directories(directory_of(path))) return 0;
    std::string text = std::string("[Desktop Entry]\n") +
                       "Type=Application\n"
                       "Name=" + AUTOSTART_NAME + "\n"
                       "Comment=" + AUTOSTART_NAME + "\n"
                       "Exec=" + exec_value(target) + "\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n";
    std::string temp = path + ".tmp";
    FILE* out = fopen(temp.c_str(), "w");
    if (!out) return 0;
    bool ok = fputs(text.c_str(), out) >= 0;
    ok = fclose(out) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return 1;
    unlink(temp.c_str());
    return 0;
}

int remove_autostart_entry() {
    return unlink(autostart_entry_path().c_str()) == 0 || errno == ENOENT ? 1 : 0;
}

bool autostart_entry_exists() {
    struct stat info;
    return stat(autostart_entry_path().c_str(), &info) == 0;
}
