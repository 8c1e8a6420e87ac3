#include "app/settings_schema.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/settings_report.h"
#include "platform/profile.h"

namespace {

// The station name defaults to the host name, cut to this length.
constexpr int kHostNameMax = 126;

// Reads keys of the settings file; with a report, every stored value that
// does not load as written (not a number, out of range, cut) is noted there
// as a warning naming the key, its text and what is used instead.
struct Reader {
    const char* file;
    SettingsReport* report = nullptr;

    // A text key with its limit of `limit` characters.
    std::string text(const char* key, const std::string& def, int limit) const {
        std::string buffer(static_cast<size_t>(limit) + 2, '\0');
        int length = get_private_profile_string(SETTINGS_SECTION, key, def.c_str(), buffer.data(),
                                                limit + 2, file);
        if (length > limit) {
            length = limit;
            note(key, "is longer than " + std::to_string(limit) + " characters and is cut");
        }
        buffer.resize(static_cast<size_t>(length));
        return buffer;
    }
    // The stored text of a key; false when the file has none.
    bool stored(const char* key, std::string* value) const {
        if (!has_private_profile_key(SETTINGS_SECTION, key, file)) return false;
        char buffer[64];
        get_private_profile_string(SETTINGS_SECTION, key, "", buffer, sizeof buffer, file);
        *value = buffer;
        return true;
    }
    // Notes a number key whose stored text is not `used` written as a plain
    // whole number. An absent or empty key gives its default quietly.
    void check(const SettingKey& key, long used) const {
        std::string value;
        if (!report || !stored(key.key, &value) || value.empty()) return;
        long parsed = 0;
        const bool number = whole_number(key, value, &parsed);
        if (number && parsed == used) return;
        note(key.key, "=" + value + (number ? " is out of range" : " is no number") + ": " +
                          std::to_string(used) + " is used");
    }
    void note(const char* key, const std::string& what) const {
        if (!report) return;
        add_key_problem(*report, file, key, key + (what[0] == '=' ? what : " " + what), false);
    }
    // All of `text` a whole number the key's type can hold.
    static bool whole_number(const SettingKey& key, const std::string& text, long* value) {
        char* end = nullptr;
        errno = 0;
        *value = strtol(text.c_str(), &end, 10);
        const bool fits =
            key.type == SettingType::count || (*value >= INT_MIN && *value <= INT_MAX);
        return end != text.c_str() && *end == '\0' && errno == 0 && fits;
    }
};

bool is_choice(const SettingKey& key, long value) {
    return std::find(key.choices.begin(), key.choices.end(), value) != key.choices.end();
}

bool refused(const SettingKey& key, long value) {
    return value < key.refuse_low || value > key.refuse_high;
}

// "8 to 320", "28800 or more", "8000, 11025 ... or 44100".
std::string range_words(const SettingKey& key, long high) {
    if (!key.choices.empty()) {
        std::string words;
        for (size_t i = 0; i < key.choices.size(); ++i)
            words += (i == 0 ? "" : i + 1 == key.choices.size() ? " or " : ", ") +
                     std::to_string(key.choices[i]);
        return words;
    }
    if (high >= INT_MAX) return std::to_string(key.low) + " or more";
    if (high == key.low + 1) return std::to_string(key.low) + " or " + std::to_string(high);
    return std::to_string(key.low) + " to " + std::to_string(high);
}

void store(const SettingField& field, long number, const std::string& text) {
    if (auto* whole = std::get_if<int*>(&field)) **whole = static_cast<int>(number);
    if (auto* count = std::get_if<long*>(&field)) **count = number;
    if (auto* words = std::get_if<std::string*>(&field)) **words = text;
}

// A number key as the file holds it: its default when absent or empty.
long read_number(const SettingKey& key, const char* file) {
    if (key.type == SettingType::count)
        return read_number_setting(SETTINGS_SECTION, key.key, key.default_number, file);
    return get_private_profile_int(SETTINGS_SECTION, key.key, static_cast<int>(key.default_number),
                                   file);
}

void read_one(const SettingKey& key, SettingsRecord& record, const Reader& read) {
    const SettingField field = key.field(record);
    if (key.type == SettingType::text) {
        const std::string def = key.default_of ? key.default_of() : key.default_text;
        store(field, 0, read.text(key.key, def, static_cast<int>(key.high)));
        return;
    }
    const long value = read_number(key, read.file);
    std::string stored;
    if (refused(key, value) && read.report && read.stored(key.key, &stored)) {
        // The station must not come up on another value than the operator gave.
        add_key_problem(*read.report, read.file, key.key,
                        std::string(key.key) + "=" + stored + " " + key.refusal, true);
        store(field, key.default_number, "");
        return;
    }
    const long used = setting_in_range(key, value, record);
    store(field, used, "");
    read.check(key, used);
}

// The single-character edits from one key to another, letter case ignored.
size_t edit_distance(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The key a misspelt one most likely means: at most two edits away.
const char* nearest_key(const std::string& name) {
    const char* nearest = nullptr;
    size_t best = 3;
    for (const SettingKey& key : SETTING_KEYS) {
        const size_t distance = edit_distance(name, key.key);
        if (distance < best) {
            best = distance;
            nearest = key.key;
        }
    }
    return nearest;
}

// A help text for the man page: `code` in bold, backslashes and leading
// dots escaped.
std::string roff(const std::string& text) {
    std::string out;
    bool bold = false;
    for (char c : text) {
        if (c == '`') {
            out += (bold = !bold) ? "\\fB" : "\\fR";
        } else if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string default_doc(const SettingKey& key) {
    if (key.default_shown) return key.default_shown;
    if (key.type == SettingType::text) return *key.default_text ? key.default_text : "empty";
    if (key.empty_means && key.default_number == 0) return "empty";
    return std::to_string(key.default_number);
}

// The values a key takes, in words.
std::string range_doc(const SettingKey& key) {
    if (key.range_text && key.type == SettingType::text) return key.range_text;
    if (key.type == SettingType::text)
        return "at most " + std::to_string(key.high) + " characters";
    std::string range;
    if (key.range_text)
        range = key.range_text;
    else if (!key.choices.empty() || key.low > INT_MIN)
        range = range_words(key, key.high);
    if (range.empty()) return "whole number";
    if (*key.unit) range += std::string(" ") + key.unit;
    if (key.empty_means) range += std::string(" (empty: ") + key.empty_means + ")";
    if (key.out_of_range == OutOfRange::fallback)
        range += " (else " + std::to_string(key.fallback) + ")";
    if (key.refusal && key.refuse_high >= LONG_MAX)
        range += " (" + std::to_string(key.refuse_low - 1) + " or less: refused)";
    else if (key.refusal)
        range += " (else refused)";
    return range;
}

}  // namespace

long read_number_setting(const char* section, const char* key, long def, const char* file) {
    char text[32];
    get_private_profile_string(section, key, "", text, sizeof text, file);
    if (!text[0]) return def;
    // strtol rather than atol: the same result, but defined for huge numbers.
    return strtol(text, nullptr, 10);
}

std::string host_name_default() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    name[kHostNameMax] = '\0';
    return name;
}

long setting_high(const SettingKey& key, const SettingsRecord& record) {
    return key.high_of ? key.high_of(record) : key.high;
}

long setting_in_range(const SettingKey& key, long value, const SettingsRecord& record) {
    if (refused(key, value)) return key.default_number;
    if (!key.choices.empty() && !is_choice(key, value)) return key.fallback;
    const long high = setting_high(key, record);
    if (value >= key.low && value <= high) return value;
    switch (key.out_of_range) {
        case OutOfRange::clamp:
            // The floor wins where the top lies below it.
            return value > high ? std::max(high, key.low) : key.low;
        case OutOfRange::fallback: return key.fallback;
        case OutOfRange::kept: break;
    }
    return value;
}

std::string setting_value_problem(const SettingKey& key, long value, const SettingsRecord& record) {
    const std::string given = ", not " + std::to_string(value);
    if (refused(key, value))
        return std::string(key.key) + "=" + std::to_string(value) + " " + key.refusal;
    const long high = setting_high(key, record);
    const bool taken =
        key.choices.empty() ? value >= key.low && value <= high : is_choice(key, value);
    if (taken) return "";
    if (key.module_problem) return key.module_problem(value);
    return std::string(key.key) + " must be " + range_words(key, high) + (*key.unit ? " " : "") +
           key.unit + given;
}

std::string typed_setting_problem(const SettingKey& key, const std::string& text,
                                  const SettingsRecord& record, long* value) {
    *value = key.default_number;
    if (text.empty()) return "";
    if (!Reader::whole_number(key, text, value))
        return std::string(key.key) + " must be a number" + (*key.unit ? " of " : "") + key.unit +
               ", not " + text;
    return setting_value_problem(key, *value, record);
}

long read_setting_number(const SettingKey& key, const std::string& file,
                         const SettingsRecord& record) {
    return setting_in_range(key, read_number(key, file.c_str()), record);
}

void read_settings(SettingsRecord& record, const std::string& file, SettingsReport* report,
                   const char* module) {
    const Reader read{file.c_str(), report};
    for (const SettingKey& key : SETTING_KEYS)
        if (!module || std::string_view(key.module) == module) read_one(key, record, read);
}

std::string setting_text(const SettingKey& key, SettingsRecord& record) {
    const SettingField field = key.field(record);
    if (auto* words = std::get_if<std::string*>(&field)) return **words;
    const long number = std::holds_alternative<int*>(field) ? *std::get<int*>(field)
                                                             : *std::get<long*>(field);
    return setting_number_text(key, number);
}

std::string setting_number_text(const SettingKey& key, long value) {
    if (key.empty_means && value == 0) return "";
    return std::to_string(value);
}

void check_unknown_settings(const std::string& file, SettingsReport& report) {
    const ProfileSummary summary = summarize_profile(SETTINGS_SECTION, file.c_str());
    for (const auto& [name, line] : summary.keys) {
        if (find_setting(name)) continue;
        const char* near = nearest_key(name);
        add_problem(report, file, line,
                    name + " is no key of the station and is ignored" +
                        (near ? std::string(" (") + near + "?)" : std::string()),
                    false);
    }
}

std::string settings_reference(ReferenceFormat format) {
    std::string text;
    if (format == ReferenceFormat::markdown)
        text = "| Key | Default | Range | Module | Meaning |\n|---|---|---|---|---|\n";
    else
        text = "[SETTINGS]\nThe keys of section [" + std::string(SETTINGS_SECTION) +
               "] of the settings file (letter case aside, as written here):\n";
    for (const SettingKey& key : SETTING_KEYS) {
        const std::string help = format == ReferenceFormat::man ? roff(key.help) : key.help;
        const std::string range = range_doc(key), def = default_doc(key);
        if (format == ReferenceFormat::markdown) {
            text += "| `" + std::string(key.key) + "` | " + def + " | " + range + " | " +
                    key.module + " | " + help + " |\n";
            continue;
        }
        text += ".TP\n.B " + std::string(key.key) + "\n(" + key.module + "; default " + roff(def) +
                (range.empty() ? "" : "; " + roff(range)) + ")\n" + help + ".\n";
    }
    return text;
}
