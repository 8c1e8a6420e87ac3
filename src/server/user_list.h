#pragma once
// The user list ("userlist.txt"): when the file exists, only joins that
// carry a listed user id get in. It is read once into a hash set and read
// again only when the file changes (another inode, size, modification or
// change time), so a join costs one stat() however long the list is.

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>

// User ids are at most this long; longer tokens never match.
constexpr size_t USER_ID_LIMIT = 31;

struct UserList {
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> ids;
    bool present = false;  // the file could be read: only listed ids pass
    // What the ids were read from; a file that cannot be stat'ed has none.
    std::string path;
    bool stamped = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};  // catches a file made readable (chmod) as well
};

// Whether a join text passes the user list file at `path`, kept in `list`.
// Everybody passes when the file cannot be opened. Otherwise the text must
// be longer than 7 characters, start with "USERID" and a separator, and the
// rest must be the token of a line of the file: after blanks, then blanks
// and commas, a quoted token runs to the closing quote (or the line end),
// any other to the next blank.
bool user_list_admits(UserList& list, const char* path, const char* text);
// The same, reading the file afresh.
bool user_list_admits(const char* path, const char* text);
