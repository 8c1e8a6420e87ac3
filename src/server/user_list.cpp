#include "server/user_list.h"

#include <cstdio>
#include <cstring>

namespace {

// A whole line of the file without its line break; false at the end.
bool read_line(FILE* file, std::string& line) {
    line.clear();
    int ch;
    while ((ch = fgetc(file)) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return ch != EOF || !line.empty();
}

bool is_blank(char ch) {
    return ch == ' ' || ch == '\t';
}

// A line's token: after blanks, then blanks and commas; a quoted token runs
// to the closing quote, any other to the next blank.
std::string_view first_token(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    while (i < line.size() && (is_blank(line[i]) || line[i] == ',')) ++i;
    size_t end;
    if (i < line.size() && line[i] == '"') {
        ++i;
        end = line.find('"', i);
        if (end == std::string_view::npos) end = line.size();
    } else {
        end = i;
        while (end < line.size() && !is_blank(line[end])) ++end;
    }
    return line.substr(i, end - i);
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool unchanged(const UserList& list, const std::string& path, const struct stat* info) {
    if (list.path != path || list.stamped != (info != nullptr)) return false;
    if (!info) return true;
    return list.device == info->st_dev && list.inode == info->st_ino && list.size == info->st_size &&
           same_time(list.modified, info->st_mtim) && same_time(list.changed, info->st_ctim);
}

void read_user_list(UserList& list, const std::string& path, const struct stat* info) {
    list.ids.clear();
    list.path = path;
    list.stamped = info != nullptr;
    if (info) {
        list.device = info->st_dev;
        list.inode = info->st_ino;
        list.size = info->st_size;
        list.modified = info->st_mtim;
        list.changed = info->st_ctim;
    }
    FILE* file = info ? fopen(path.c_str(), "r") : nullptr;
    list.present = file != nullptr;
    if (!file) return;
    std::string line;
    while (read_line(file, line)) {
        std::string_view token = first_token(line);
        if (!token.empty() && token.size() <= USER_ID_LIMIT) list.ids.emplace(token);
    }
    fclose(file);
}

}  // namespace

bool user_list_admits(UserList& list, const char* path, const char* text) {
    if (!path || !*path) return true;
    struct stat info;
    const bool found = stat(path, &info) == 0;
    if (!unchanged(list, path, found ? &info : nullptr)) read_user_list(list, path, found ? &info : nullptr);
    if (!list.present) return true;
    if (strlen(text) <= 7 || strncmp(text, "USERID", 6) != 0) return false;
    // The seventh character is any separator.
    return list.ids.find(std::string_view(text + 7)) != list.ids.end();
}

bool user_list_admits(const char* path, const char* text) {
    UserList fresh;
    return user_list_admits(fresh, path, text);
}
