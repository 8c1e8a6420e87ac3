#include "platform/safe_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/paths.h"

namespace {

// The cause of a failed creation: a missing folder is the usual mistake and
// "No such file or directory" would not say which part is missing.
std::string creation_problem(const std::string& path, int error) {
    if (error == ENOENT) {
        const std::string folder = directory_of(path);
        struct stat info;
        if (!folder.empty() && stat(folder.c_str(), &info) != 0)
            return "the folder " + folder + " does not exist";
    }
    return std::strerror(error);
}

constexpr char kTemporaryDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kTemporarySuffixLength = 6;
// A writer locks its temporary file an instant after creating it; one that
// has not changed for this long is not being created right now.
constexpr int kStaleSeconds = 2;

// Whether `name` is `base` + ".tmp" + six of our characters.
bool is_temporary_of(const std::string& name, const std::string& base) {
    const std::string prefix = base + ".tmp";
    if (name.size() != prefix.size() + kTemporarySuffixLength || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return name.find_first_not_of(kTemporaryDigits, prefix.size()) == std::string::npos;
}

// A name beside `path` that no other writer uses: six random characters,
// tried until one is free. The writer holds a lock on it until it is
// renamed or removed; the system drops the lock when the writer dies.
int create_temporary(const std::string& path, std::string& temp_path) {
    static const char* digits = kTemporaryDigits;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned value = 0;
        if (getrandom(&value, sizeof value, 0) != sizeof value) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            value = unsigned(now.tv_nsec) ^ unsigned(getpid()) << 12 ^ unsigned(attempt) * 7919u;
        }
        std::string suffix;
        for (int i = 0; i < 6; ++i, value /= 36) suffix += digits[value % 36];
        temp_path = path + ".tmp" + suffix;
        // 0666 as any new file gets it, narrowed by the user's umask.
        const int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) flock(fd, LOCK_EX | LOCK_NB);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

FILE* open_regular_file(const char* path, std::string* why) {
    // Non-blocking, so that opening a pipe without a writer returns at once.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (why) *why = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (why)
            *why = S_ISDIR(info.st_mode) ? "it is a folder, not a file"
                                         : "it is not a regular file (a pipe or a device)";
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        if (why) *why = std::strerror(errno);
        close(fd);
    }
    return file;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int64_t modified_ns(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return -1;
    return int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

int remove_stale_temporaries(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return 0;
    const time_t stale_before = time(nullptr) - kStaleSeconds;
    int removed = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!is_temporary_of(entry->d_name, base)) continue;
        const std::string name = folder + "/" + entry->d_name;
        const int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info;
        // A lock we get means its writer is gone.
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_mtime < stale_before &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(name.c_str()) == 0)
            ++removed;
        close(fd);
    }
    closedir(dir);
    return removed;
}

OutputFile::~OutputFile() { abandon_output(*this); }

int begin_output(OutputFile& out, const std::string& path) {
    abandon_output(out);
    remove_stale_temporaries(path);
    out.path = path;
    out.why.clear();
    const int fd = create_temporary(path, out.temp_path);
    if (fd < 0) {
        const int error = errno;
        out.why = creation_problem(path, error);
        out.temp_path.clear();
        errno = error;
        return 0;
    }
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) fchmod(fd, existing.st_mode & 07777);
    out.file = fdopen(fd, "wb");
    if (out.file == nullptr) {
        const int error = errno;
        out.why = std::strerror(error);
        close(fd);
        abandon_output(out);
        errno = error;
        return 0;
    }
    return 1;
}

int commit_output(OutputFile& out) {
    if (out.file == nullptr) {
        if (out.why.empty()) out.why = "nothing was written";
        return 0;
    }
    bool ok = std::fflush(out.file) == 0 && fsync(fileno(out.file)) == 0;
    int error = errno;
    if (std::fclose(out.file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    out.file = nullptr;
    if (ok && std::rename(out.temp_path.c_str(), out.path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        out.why = std::strerror(error);
        abandon_output(out);
        errno = error;
        return 0;
    }
    out.temp_path.clear();
    return 1;
}

void abandon_output(OutputFile& out) {
    if (out.file != nullptr) std::fclose(out.file);
    out.file = nullptr;
    if (!out.temp_path.empty()) unlink(out.temp_path.c_str());
    out.temp_path.clear();
}

namespace {

std::string user_name(uid_t uid) {
    passwd entry;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
    return "uid " + std::to_string(uid);
}

}  // namespace

bool file_readers(const std::string& path, FileReaders* readers) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    readers->owner = user_name(info.st_uid);
    readers->runner = user_name(geteuid());
    readers->runner_owns = info.st_uid == geteuid();
    readers->others_can_read = (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
    readers->all_can_read = (info.st_mode & S_IROTH) != 0;
    return true;
}
