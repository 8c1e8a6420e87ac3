#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string executable_dir() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return ".";
    buffer[length] = '\0';
    std::string dir = directory_of(buffer);
    return dir.empty() ? "/" : dir;
}

std::string program_dir() {
    const char* home = getenv("VELMORA_HOME");
    if (home && *home) return home;
    return executable_dir();
}

std::string user_config_root() {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    // Relative values are invalid and must be ignored.
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : "/tmp";
    }
    return std::string(home) + "/.config";
}

std::string user_config_dir() { return user_config_root() + "/velmora"; }

int make_directories(const std::string& path) {
    if (path.empty()) return 0;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return 0;
        if (slash == std::string::npos) break;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return 0;
    if (S_ISDIR(info.st_mode)) return 1;
    errno = ENOTDIR;  // not the EEXIST of mkdir: the caller's message names the cause
    return 0;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return path.substr(0, slash);
}

std::string resolve_beside(const std::string& file, const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    size_t slash = file.rfind('/');
    if (slash == std::string::npos) return name;
    return file.substr(0, slash + 1) + name;
}
