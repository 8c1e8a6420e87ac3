// Fuzz target: the user list check of a join ("userlist.txt": one user id a
// line, its first token, quoted or bare, after blanks and commas).
//
// Input layout: the join text up to the first zero byte ("USERID" and any
// one character, then the id), then the bytes of the user list file.
//
// Checked beside the sanitizers: a join text that names no user id is never
// admitted while a list exists; an id the list names on a line of its own,
// bare or quoted, is always admitted, whatever else the list holds.

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "server/listener_table.h"

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

bool admits(const std::string& list, const std::string& text) {
    return user_list_admits(write_fuzz_file("userlist.txt", list).c_str(), text.c_str());
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

    bool admitted = admits(list, text);
    const bool names_an_id = text.size() > 7 && text.compare(0, 6, "USERID") == 0;
    if (!names_an_id) {
        FUZZ_CHECK(!admitted);
        return 0;
    }
    const std::string id = text.substr(7);
    if (id.size() > kLongestId) return 0;
    if (bare_token(id)) {
        FUZZ_CHECK(admits(list + "\n" + id + "\n", text));
        FUZZ_CHECK(admits(id + "\r\n" + list, text));
    }
    if (quoted_token(id)) FUZZ_CHECK(admits(list + "\n  ,\"" + id + "\" more\n", text));
    return 0;
}
