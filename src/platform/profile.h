#pragma once
// Private-profile settings: INI files made of "[section]" lines and
// "key=value" lines. Sections and keys are found without regard to letter
// case; blanks around names and values are ignored; lines starting with ';'
// or '#' are comments. Writing changes one line and keeps the rest of the
// file (other sections, comments, order) as it was.
//
// A file named without a directory lives in the per-user configuration
// directory (user_config_dir()); a name with a directory is used as given.
// A file larger than a megabyte is no settings file: it reads as empty and
// is never rewritten. A UTF-8 byte-order mark before the first line is
// skipped when reading and kept when writing.

#include <string>
#include <utility>
#include <vector>

constexpr long PROFILE_MAX_BYTES = 1L << 20;

// The path a profile file name stands for.
std::string resolve_profile_path(const char* file);

// The integer value of `key`: optional sign and the leading decimal digits
// ("12abc" gives 12, "abc" gives 0). A missing file, section or key, or an
// empty value, gives `default_value`.
int get_private_profile_int(const char* section, const char* key, int default_value,
                            const char* file);

// Copies the value of `key` (or `default_value` when it is missing; nullptr
// counts as "") into `out`, at most size - 1 characters, always terminated.
// A value enclosed in matching quotes is returned without them. Returns the
// number of characters copied.
int get_private_profile_string(const char* section, const char* key,
                               const char* default_value, char* out, int size,
                               const char* file);

// Whether the file has `key` in `section` (with any value, even empty).
bool has_private_profile_key(const char* section, const char* key, const char* file);

// The line (from 1) that holds `key` in `section`; 0 when there is none.
int private_profile_key_line(const char* section, const char* key, const char* file);

// What a reader would silently pass over in a profile file.
struct ProfileSummary {
    bool exists = false;
    int read_error = 0;          // errno when it exists but cannot be read (EFBIG: too large)
    bool byte_order_mark = false;
    bool has_section = false;    // a "[section]" line is there
    int loose_keys = 0;          // key lines before the first section line: read by nobody
    int first_loose_key_line = 0;
    int other_section_keys = 0;  // key lines in other sections
    // Lines a reader takes otherwise than they stand. The first line that
    // sets a key wins, in whichever of the section's parts it stands.
    struct Repeat {
        std::string key;  // as written on the repeating line; "" for the section line
        int line = 0;     // the repeating line
        int first = 0;    // the line that is used
    };
    std::vector<Repeat> repeats;  // keys set again, and the section begun again
    std::vector<int> nul_lines;   // lines holding a NUL byte: their value ends there
    // The section's keys as written on their first lines, in the file's order.
    std::vector<std::pair<std::string, int>> keys;
};
ProfileSummary summarize_profile(const char* section, const char* file);

// Sets `key` to `value`, creating the file, the section and the key as
// needed; a null `value` deletes the key. Line breaks in a value are stored
// as blanks (they would end the line). The file is replaced atomically.
// Returns 1 on success, 0 when the names are unusable or the file cannot be
// written.
int write_private_profile_string(const char* section, const char* key, const char* value,
                                 const char* file);
