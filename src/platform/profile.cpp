#include "platform/profile.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/replace_file.h"

namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool same_name(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool is_comment(const std::string& trimmed) {
    return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

// The section name of a "[name]" line, or false when the line is none.
bool section_of(const std::string& trimmed, std::string* name) {
    if (trimmed.size() < 2 || trimmed.front() != '[') return false;
    size_t close = trimmed.find(']');
    if (close == std::string::npos) return false;
    *name = trim(trimmed.substr(1, close - 1));
    return true;
}

// The key and raw value of a "key=value" line, or false when the line is none.
bool entry_of(const std::string& trimmed, std::string* key, std::string* value) {
    if (trimmed.empty() || is_comment(trimmed) || trimmed[0] == '[') return false;
    size_t equals = trimmed.find('=');
    if (equals == std::string::npos) return false;
    *key = trim(trimmed.substr(0, equals));
    *value = trim(trimmed.substr(equals + 1));
    return true;
}

// Settings files hold a few kilobytes; anything far larger is no settings
// file (a device such as /dev/zero would never end).
constexpr size_t kMaxProfileBytes = PROFILE_MAX_BYTES;

// Editors on other systems start UTF-8 files with a byte-order mark; it is
// no part of the first line's name.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

struct ProfileText {
    std::vector<std::string> lines;  // without their line breaks
    bool crlf = false;               // lines end in "\r\n": written back so
    bool bom = false;                // a byte-order mark came first: written back so
};

// The file split into lines; no lines when the file is missing. False, with
// errno set, when it exists but cannot be read or is too large (EFBIG).
bool read_lines(const std::string& path, ProfileText* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (access(path.c_str(), F_OK) != 0) return true;
        if (errno == 0) errno = EACCES;
        return false;
    }
    std::string bytes;
    char chunk[8192];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<size_t>(in.gcount()));
        if (bytes.size() > kMaxProfileBytes) {
            errno = EFBIG;
            return false;
        }
    }
    if (in.bad()) {
        if (errno == 0) errno = EIO;
        return false;
    }
    if (bytes.compare(0, 3, kByteOrderMark) == 0) {
        bytes.erase(0, 3);
        out->bom = true;
    }
    std::vector<std::string>& lines = out->lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    out->crlf = !lines.empty() && !lines[0].empty() && lines[0].back() == '\r';
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// The value of `key` in `section` and its line (from 1).
bool find_entry(const char* section, const char* key, const char* file, std::string* value,
                int* line_number) {
    if (!section || !key) return false;
    ProfileText text;
    read_lines(resolve_profile_path(file), &text);
    bool in_section = false;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        std::string trimmed = trim(text.lines[i]), name, entry_value;
        if (section_of(trimmed, &name)) {
            in_section = same_name(name, section);
        } else if (in_section && entry_of(trimmed, &name, &entry_value) && same_name(name, key)) {
            *value = entry_value;
            if (line_number) *line_number = static_cast<int>(i) + 1;
            return true;
        }
    }
    return false;
}

bool find_value(const char* section, const char* key, const char* file, std::string* value) {
    return find_entry(section, key, file, value, nullptr);
}

bool usable_name(const char* name) {
    return name && *name && !strpbrk(name, "\r\n") && !trim(name).empty();
}

}  // namespace

std::string resolve_profile_path(const char* file) {
    std::string name = file ? file : "";
    if (name.find('/') != std::string::npos) return name;
    return user_config_dir() + "/" + name;
}

int get_private_profile_int(const char* section, const char* key, int default_value,
                            const char* file) {
    std::string value;
    if (!find_value(section, key, file, &value) || value.empty()) return default_value;
    const char* p = value.c_str();
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    // Unsigned arithmetic: an overlong number wraps instead of overflowing.
    uint32_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) number = number * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) number = 0u - number;
    return static_cast<int>(number);
}

int get_private_profile_string(const char* section, const char* key,
                               const char* default_value, char* out, int size,
                               const char* file) {
    if (!out || size <= 0) return 0;
    std::string value;
    if (!find_value(section, key, file, &value)) value = trim(default_value ? default_value : "");
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    size_t length = value.size() < static_cast<size_t>(size - 1) ? value.size()
                                                                  : static_cast<size_t>(size - 1);
    memcpy(out, value.data(), length);
    out[length] = '\0';
    return static_cast<int>(length);
}

bool has_private_profile_key(const char* section, const char* key, const char* file) {
    std::string value;
    return find_value(section, key, file, &value);
}

int private_profile_key_line(const char* section, const char* key, const char* file) {
    std::string value;
    int line = 0;
    return find_entry(section, key, file, &value, &line) ? line : 0;
}

ProfileSummary summarize_profile(const char* section, const char* file) {
    ProfileSummary summary;
    std::string path = resolve_profile_path(file);
    summary.exists = access(path.c_str(), F_OK) == 0;
    ProfileText text;
    errno = 0;
    if (!read_lines(path, &text)) {
        summary.read_error = errno ? errno : EIO;
        return summary;
    }
    summary.byte_order_mark = text.bom;
    bool before_sections = true, in_section = false;
    int section_line = 0;
    std::vector<std::pair<std::string, int>>& seen = summary.keys;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        std::string trimmed = trim(text.lines[i]), name, value;
        const int line = static_cast<int>(i) + 1;
        if (text.lines[i].find('\0') != std::string::npos) summary.nul_lines.push_back(line);
        if (section_of(trimmed, &name)) {
            before_sections = false;
            in_section = same_name(name, section);
            if (in_section && section_line > 0) summary.repeats.push_back({"", line, section_line});
            if (in_section && section_line == 0) section_line = line;
            if (in_section) summary.has_section = true;
        } else if (entry_of(trimmed, &name, &value) && !in_section) {
            int& count = before_sections ? summary.loose_keys : summary.other_section_keys;
            if (count++ == 0 && before_sections) summary.first_loose_key_line = line;
        } else if (entry_of(trimmed, &name, &value)) {
            auto first = std::find_if(seen.begin(), seen.end(),
                                      [&](const auto& key) { return same_name(key.first, name.c_str()); });
            if (first != seen.end())
                summary.repeats.push_back({name, line, first->second});
            else
                seen.emplace_back(name, line);
        }
    }
    return summary;
}

int write_private_profile_string(const char* section, const char* key, const char* value,
                                 const char* file) {
    if (!usable_name(section) || strchr(section, ']') || !usable_name(key) || strchr(key, '=') ||
        key[0] == '[' || key[0] == ';' || key[0] == '#')
        return 0;
    std::string path = resolve_profile_path(file);
    std::string dir = directory_of(path);
    if (!dir.empty() && !make_directories(dir)) return 0;

    ProfileText text;
    // A file we cannot read must not be replaced by one holding only this key.
    if (!read_lines(path, &text)) return 0;
    std::vector<std::string>& lines = text.lines;
    std::string new_line;
    if (value) {
        std::string text = value;
        for (char& c : text)
            if (c == '\r' || c == '\n') c = ' ';
        new_line = trim(key) + "=" + text;
    }

    // Find the section and, inside it, the key or the line after its last entry.
    int section_line = -1, key_line = -1, insert_at = -1;
    bool in_section = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string trimmed = trim(lines[i]), name, entry_value;
        if (section_of(trimmed, &name)) {
            if (in_section) break;  // the first matching section is the one used
            in_section = same_name(name, section);
            if (in_section) section_line = insert_at = static_cast<int>(i);
        } else if (in_section && !trimmed.empty()) {
            insert_at = static_cast<int>(i);
            if (entry_of(trimmed, &name, &entry_value) && same_name(name, key)) {
                key_line = static_cast<int>(i);
                break;
            }
        }
    }

    if (key_line >= 0) {
        if (value)
            lines[key_line] = new_line;
        else
            lines.erase(lines.begin() + key_line);
    } else if (!value) {
        return 1;  // nothing to delete
    } else if (section_line >= 0) {
        lines.insert(lines.begin() + insert_at + 1, new_line);
    } else {
        if (!lines.empty() && !trim(lines.back()).empty()) lines.push_back("");
        std::string header = trim(section);  // built in place: GCC 12 warns on "[" + name
        header.insert(header.begin(), '[');
        header.push_back(']');
        lines.push_back(header);
        lines.push_back(new_line);
    }

    std::string bytes = text.bom ? kByteOrderMark : "";
    for (const std::string& line : lines) bytes += line + (text.crlf ? "\r\n" : "\n");
    return replace_file(path, bytes);
}
