#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

std::string executable_dir() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return ".";
    buffer[length] = '\0';
    std::string dir = directory_of(buffer);
    return dir.empty() ? "/" : dir;
}

// Set for this file alone by the build (src/CMakeLists.txt): the build
// folder, whose programs keep their files beside themselves.
#ifndef VELMORA_BUILD_DIR
#define VELMORA_BUILD_DIR ""
#endif

namespace {

// Whether `path` is `folder` or lies below it.
bool inside(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || path[folder.size()] == '/';
}

// The XDG base directory of `variable` (relative values are invalid and
// ignored), else $HOME + `fallback`.
std::string xdg_dir(const char* variable, const char* fallback) {
    const char* xdg = getenv(variable);
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = getenv("HOME");
    if (!home || !*home) {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : "/tmp";
    }
    return std::string(home) + fallback;
}

}  // namespace

std::string program_dir() {
    const char* home = getenv("VELMORA_HOME");
    if (home && *home) return home;
    return program_dir_for(executable_dir());
}

std::string program_dir_for(const std::string& exe_dir) {
    if (inside(exe_dir, VELMORA_BUILD_DIR)) return exe_dir;
    return user_state_dir();
}

std::string user_state_dir() { return xdg_dir("XDG_STATE_HOME", "/.local/state") + "/velmora"; }

std::string user_config_root() { return xdg_dir("XDG_CONFIG_HOME", "/.config"); }

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

std::string rebase_beside(const std::string& name, const std::string& from_file, const std::string& to_file) {
    namespace fs = std::filesystem;
    if (name.empty() || name[0] == '/') return name;
    std::error_code ignored;  // no current folder: the names stay as they are
    const fs::path target = fs::absolute(resolve_beside(from_file, name), ignored).lexically_normal();
    const fs::path to_folder = fs::absolute(to_file, ignored).parent_path().lexically_normal();
    if (target.empty() || to_folder.empty()) return name;
    const fs::path relative = target.lexically_relative(to_folder);
    return relative.empty() ? target.string() : relative.string();
}

std::string service_credential_path(const std::string& name) {
    const char* folder = getenv("CREDENTIALS_DIRECTORY");
    if (!folder || !*folder) return "";
    std::string path = std::string(folder) + "/" + name;
    return access(path.c_str(), F_OK) == 0 ? path : "";
}
