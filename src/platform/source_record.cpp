#include "platform/source_record.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>

namespace {

constexpr const char* kAttribute = "user.velmora.source";

// "size mtime-seconds mtime-nanoseconds" of the source; "" when it cannot be looked at.
std::string source_identity(const std::string& source) {
    struct stat info;
    if (stat(source.c_str(), &info) != 0) return "";
    return std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + " " +
           std::to_string(info.st_mtim.tv_nsec);
}

}  // namespace

int record_source(FILE* output, const std::string& source) {
    const std::string identity = source_identity(source);
    if (output == nullptr || identity.empty()) return 0;
    return fsetxattr(fileno(output), kAttribute, identity.data(), identity.size(), 0) == 0 ? 1 : 0;
}

bool made_from(const std::string& output, const std::string& source) {
    const std::string identity = source_identity(source);
    char stored[64];
    const ssize_t length = getxattr(output.c_str(), kAttribute, stored, sizeof stored);
    return !identity.empty() && length == ssize_t(identity.size()) &&
           std::memcmp(stored, identity.data(), identity.size()) == 0;
}
