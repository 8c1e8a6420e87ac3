#pragma once
// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away.

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
