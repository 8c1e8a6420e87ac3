#include "platform/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int replace_file(const std::string& path, const std::string& bytes) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return 0;
    struct stat old_info;
    fchmod(fd, stat(path.c_str(), &old_info) == 0 ? (old_info.st_mode & 07777) : 0644);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    bool ok = done == bytes.size() && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return 1;
    if (ok) error = errno;
    unlink(temp.c_str());
    errno = error ? error : EIO;
    return 0;
}
