#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/profile.h"

std::string instance_lock_path(const std::string& settings_path) {
    std::string resolved = resolve_profile_path(settings_path.c_str());
    // The readable part is the file's own name; the hash tells apart files of
    // the same name in different directories.
    uint32_t hash = 2166136261u;
    for (unsigned char c : resolved) hash = (hash ^ c) * 16777619u;
    std::string base = resolved.substr(resolved.rfind('/') + 1);
    if (base.size() > 64) base.resize(64);

    const char* runtime = getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && runtime[0] == '/' ? runtime : "/tmp";
    char tail[48];
    if (dir == "/tmp")  // shared by all users: keep theirs apart
        snprintf(tail, sizeof tail, "-%u-%08x.lock", static_cast<unsigned>(getuid()), hash);
    else
        snprintf(tail, sizeof tail, "-%08x.lock", hash);
    return dir + "/velmora-" + base + tail;
}

namespace {

// Whether the open lock file is still the one the path names: a station
// that ended removes it, and a lock taken on the removed file guards nothing.
bool still_linked(int fd, const std::string& path) {
    struct stat open_file, named_file;
    return fstat(fd, &open_file) == 0 && stat(path.c_str(), &named_file) == 0 &&
           open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

}  // namespace

int acquire_instance_lock(InstanceLock& lock, const std::string& settings_path) {
    release_instance_lock(lock);
    lock.path = instance_lock_path(settings_path);
    // A few rounds: each one lost means another station ended in between.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open(lock.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            close(fd);
            errno = error;  // for the caller's message
            return error == EWOULDBLOCK ? 0 : -1;
        }
        if (still_linked(fd, lock.path)) {
            lock.fd = fd;
            return 1;
        }
        close(fd);
    }
    return -1;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : fd(other.fd), path(std::move(other.path)) {
    other.fd = -1;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        release_instance_lock(*this);
        fd = other.fd;
        path = std::move(other.path);
        other.fd = -1;
    }
    return *this;
}

InstanceLock::~InstanceLock() { release_instance_lock(*this); }

void release_instance_lock(InstanceLock& lock) {
    if (lock.fd < 0) return;
    // Removed while still held: a station that opened the file meanwhile
    // finds, once it gets the lock, that the file is gone and starts over.
    unlink(lock.path.c_str());
    close(lock.fd);
    lock.fd = -1;
}
