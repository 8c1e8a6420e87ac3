// Fuzz target: the user list check of a join ("userlist.txt": one user id a
// line, its first token, quoted or bare, after blanks and commas), as the
// station keeps it (read once, read again when the file changes) and read
// afresh.
//
// Input layout: the join text up to the first zero byte ("USERID" and any
// one character, then the id), then the bytes of the user list file.
//
// Checked beside the sanitizers: the kept list answers as a fresh read does;
// a join text that names no user id is never admitted while a list exists;
// an id the list names on a line of its own, bare or quoted, is always
// admitted, whatever else the list holds, once the file has changed to say so.

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "server/user_list.h"

namespace {

constexpr size_t kLongestId = 31;

// Whether `id` can stand bare as a line's first token.
bool bare_token(const std::string& id) {
    return !id.empty() && id.find_first_of(" \t\n\"") == std::string::npos && id[0] != ',' &&
           id.back() != '\r';
}

// Whether `id` can stand between quotes as a line's first token.
bool quoted_token(const std::string& id) {
    return id.find_first_of("\n\"") == std::string::npos;
}

// Writes the list and asks the kept list of this input; a fresh read must agree.
bool admits(UserList& kept, const std::string& list, const std::string& text) {
    const std::string path = write_fuzz_file("userlist.txt", list);
    const bool admitted = user_list_admits(kept, path.c_str(), text.c_str());
    FUZZ_CHECK(admitted == user_list_admits(path.c_str(), text.c_str()));
    return admitted;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const size_t text_length = strnlen(bytes, size);
    const std::string text(bytes, text_length);
    const std::string list = text_length < size ? std::string(bytes + text_length + 1, size - text_length - 1) : "";

    // Every rewrite below has a size of its own, so the kept list sees each
    // change whatever the file system's clock resolution.
    UserList kept;
    bool admitted = admits(kept, list, text);
    const bool names_an_id = text.size() > 7 && text.compare(0, 6, "USERID") == 0;
    if (!names_an_id) {
        FUZZ_CHECK(!admitted);
        return 0;
    }
    const std::string id = text.substr(7);
    if (id.size() > kLongestId) return 0;
    if (bare_token(id)) {
        FUZZ_CHECK(admits(kept, list + "\n" + id + "\n", text));
        FUZZ_CHECK(admits(kept, id + "\r\n" + list + "\n\n", text));
    }
    if (quoted_token(id)) FUZZ_CHECK(admits(kept, list + "\n  ,\"" + id + "\" more\n", text));
    return 0;
}
