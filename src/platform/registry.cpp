#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/paths.h"
#include "platform/profile.h"

std::string registry_file_path() { return user_config_dir() + "/registry.ini"; }

int registry_read_string(const char* key_path, const char* name, char* out, int size) {
    if (!out || size <= 0) return -1;
    out[0] = '\0';
    if (!key_path || !*key_path || !name) return -1;
    std::string file = registry_file_path();
    if (!has_private_profile_key(key_path, name, file.c_str())) return -1;
    get_private_profile_string(key_path, name, "", out, size, file.c_str());
    return 0;
}

int registry_write_string(const char* key_path, const char* name, const char* value) {
    if (!key_path || !*key_path || !value) return 0;
    std::string file = registry_file_path();
    // The registry holds the proxy password (scrambled, not encrypted): it
    // is made readable by its owner only before anything goes into it, and
    // rewriting keeps the file's permission bits.
    make_directories(directory_of(file));
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        fchmod(fd, 0600);
        close(fd);
    }
    return write_private_profile_string(key_path, name, value, file.c_str());
}

int registry_write_int(const char* key_path, const char* name, int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return registry_write_string(key_path, name, text);
}
