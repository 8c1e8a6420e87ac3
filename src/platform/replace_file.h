#pragma once
// Writing a user's file whole in one go, through the temporary file and
// rename of OutputFile (platform/safe_files.h).

#include <string>

// Writes `bytes` to a temporary file beside `path` and renames it over
// `path`, so that a crash or a full disk leaves either the old file or the
// new one, never half of it. The new file keeps the old one's permission
// bits (those of any new file when there was none); a link at `path` is
// replaced, not followed. Returns 1, or 0 with errno telling why (the old
// file untouched, no temporary file left).
int replace_file(const std::string& path, const std::string& bytes);
