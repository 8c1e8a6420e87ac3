#include "platform/replace_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/safe_files.h"

int replace_file(const std::string& path, const std::string& bytes) {
    OutputFile out;
    if (!begin_output(out, path)) return 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.file) != bytes.size()) {
        const int error = errno ? errno : EIO;
        abandon_output(out);
        errno = error;
        return 0;
    }
    return commit_output(out);
}
