#pragma once
// Opening the user's files without harming them.
//
// Inputs are opened only when they are regular files: a pipe or a device
// named by mistake would block the program or never end.
//
// Outputs are written to a temporary file in the destination's folder and
// renamed over the destination only when they are complete, so a refusal,
// a cancel, Ctrl+C or a crash leaves the old file as it was. A symbolic
// link at the destination is replaced by the new file, never followed.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Opens `path` for binary reading when it is a regular file. Otherwise
// returns nullptr and, when `why` is given, puts the cause there (the
// system's error text, or that the path is a folder, a pipe or a device).
FILE* open_regular_file(const char* path, std::string* why = nullptr);

// A FILE that closes itself.
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// Who may read a file: its owner's and this program's user names ("uid N"
// when a user has no name), and whether users other than its owner may read it.
struct FileReaders {
    std::string owner;
    std::string runner;
    bool runner_owns = false;
    bool others_can_read = false;  // its group or every user
    bool all_can_read = false;     // every user
};
// False when the file cannot be looked at.
bool file_readers(const std::string& path, FileReaders* readers);

// Whether two paths name one existing file, links followed.
bool same_file(const std::string& a, const std::string& b);

// The file's modification time in nanoseconds since 1970 (links followed),
// or -1 when it cannot be looked at.
int64_t modified_ns(const std::string& path);

// A file being written under a temporary name beside its destination.
struct OutputFile {
    FILE* file = nullptr;
    std::string path;       // the destination
    std::string temp_path;  // where the bytes go until commit_output
    std::string why;        // the cause of the last failure, for messages

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // abandons an output that was not committed
};

// Removes the temporary files of `path` that a writer killed or crashed
// while writing left behind: named `path` + ".tmp" + six letters or digits
// as begin_output names them, unchanged for two seconds, and not locked (a
// writer locks its temporary file until it is renamed or removed, and the
// system drops the lock when the writer dies, so a file another running
// preparation is writing is never touched). Returns the number removed.
int remove_stale_temporaries(const std::string& path);

// Creates the temporary file for `path` (with the mode an existing
// destination has, else the usual mode for new files), after removing the
// stale temporary files of `path` (remove_stale_temporaries). Returns 1, or 0 with
// the cause in `out.why` (a missing folder is named as such) and errno set.
int begin_output(OutputFile& out, const std::string& path);

// Flushes the file to the disk, closes it and renames it over the
// destination. Returns 1, or 0 with the cause in `out.why` and errno set;
// the temporary file is then removed and the destination left as it was.
int commit_output(OutputFile& out);

// Closes and removes the temporary file; the destination stays as it was.
void abandon_output(OutputFile& out);
