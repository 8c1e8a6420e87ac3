#include "media/entry_list.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "codec/stream_rate.h"
#include "base/host.h"
#include "base/messages.h"
#include "codec/sample_file.h"
#include "media/script_file.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "media/wave_conversion.h"
#include "platform/paths.h"
#include "platform/replace_file.h"
#include "platform/safe_files.h"
#include "media/picture_check.h"

namespace {

bool ends_with_case(const std::string& text, const char* tail) {
    size_t n = strlen(tail);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, tail) == 0;
}

std::string quoted(const std::string& path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') return path;
    return "\"" + path + "\"";
}

}  // namespace

EntryFields split_entry(EntryListKind kind, const std::string& entry) {
    // Fields may be longer than any record: a path that is too long must
    // reach accept_entry_path whole, not cut to a name that happens to fit.
    std::vector<char> field(entry.size() + 1);
    const char* line = entry.c_str();
    const int size = static_cast<int>(field.size());
    EntryFields fields;
    int p = next_token(line, 0, field.data(), size);
    fields.count = script_number(field.data());
    if (kind == SCRIPT_LIST) {
        p = next_token(line, p, field.data(), size);
        fields.song = field.data();
    }
    p = next_token(line, p, field.data(), size);
    fields.picture = field.data();
    fields.text = line + skip_blanks(line, p);
    return fields;
}

std::string format_entry(EntryListKind kind, const EntryFields& fields) {
    std::string entry = std::to_string(fields.count) + " ";
    if (kind == SCRIPT_LIST) entry += quoted(fields.song) + " ";
    return entry + quoted(fields.picture) + " " + fields.text;
}

int accept_entry_path(Services& services, const std::string& path) {
    const char* cause = nullptr;
    if (path.size() > static_cast<size_t>(ENTRY_PATH_MAX))
        cause = "the path is longer than 255 characters, which a script cannot hold";
    else if (path.find('"') != std::string::npos)
        cause = "a script cannot hold a path with a double quote";
    else if (path.find(';') != std::string::npos)
        cause = "a script cannot hold a path with a \";\", which ends its line";
    if (!cause) return 1;
    show_message(services, true, Buttons::ok | Icon::error, "%.300s: %s.", path.c_str(), cause);
    return 0;
}

int accept_song_file(Services& services, const StreamRate& rate, const std::string& path) {
    if (!accept_entry_path(services, path)) return 0;
    switch (check_sample_file(path.c_str(), rate.SamplingRate)) {
        case 0:
        case 1:
            return refuse_wav_that_is_not_riff(services, path.c_str()) ? 0 : 1;
        case 2:
            show_message(services, true, Buttons::ok, "%s: File Not Found!\n", path.c_str());
            return 0;
        case 11:
            show_message(services, true, Buttons::ok,
                         "%s: unknown file format!\nOnly PCM wave files are supported.",
                         path.c_str());
            return 0;
        case 12:
            show_message(
                services, true, Buttons::ok,
                "%s: sampling rate not matched.\nUse the original .wav file to recompress.",
                path.c_str());
            return 0;
        default: return 0;
    }
}

int accept_picture_file(Services& services, const std::string& path) {
    if (!accept_entry_path(services, path)) return 0;
    switch (check_picture_file(path.c_str())) {
        case 0: return 1;
        case 2:
            show_message(services, true, Buttons::ok, "%s: File Not Found!\n", path.c_str());
            return 0;
        default:
            show_message(
                services, true, Buttons::ok,
                "%s: unknown file format!\nOnly 8/24 bit uncompressed BMP files are supported.",
                path.c_str());
            return 0;
    }
}

int accept_entry_text(Services& services, const std::string& text) {
    if (text.size() > static_cast<size_t>(ENTRY_TEXT_MAX)) {
        show_message(services, true, Buttons::ok | Icon::error,
                     "The text has %d characters; an entry holds %d.",
                     static_cast<int>(text.size()), ENTRY_TEXT_MAX);
        return 0;
    }
    if (text.find(';') != std::string::npos) {
        show_message(
            services, true, Buttons::ok | Icon::error,
            "The text holds a \";\", which ends an entry for the station: the rest would be lost.");
        return 0;
    }
    if (text.find('"') != std::string::npos) {
        show_message(
            services, true, Buttons::ok | Icon::error,
            "The text holds a double quote, which the entry's fields use: write it without one.");
        return 0;
    }
    return 1;
}

namespace {

// The entry with its relative names seen from `to_file` instead of
// `from_file`; the entry itself (byte for byte) when no name changes.
std::string rebase_entry(EntryListKind kind, const std::string& entry, const std::string& from_file,
                         const std::string& to_file) {
    EntryFields fields = split_entry(kind, entry);
    bool changed = false;
    for (std::string* name : {&fields.song, &fields.picture}) {
        std::string rebased = rebase_beside(*name, from_file, to_file);
        changed |= rebased != *name;
        *name = rebased;
    }
    return changed ? format_entry(kind, fields) : entry;
}

}  // namespace

int read_entry_file(Services& services, EntryList& list, const char* path) {
    const size_t first_new = list.entries.size();
    ScriptText text;
    if (!read_script_text(path, text)) return 0;
    const char* bytes = text.bytes.data();
    const std::string header = bytes;
    const bool script = list.kind == SCRIPT_LIST;
    const char* word = script ? "SCRIPT" : "LIVE";
    const size_t shortest = script ? 7 : 5;
    if (header.size() < shortest || header.compare(header.size() - strlen(word), std::string::npos, word) != 0) {
        show_message(services, true, Buttons::ok, "%s",
                     script ? "Invalid Script" : "Invalid Text/Picture List");
        return -1;
    }
    int announced = script_number(header.c_str());
    if (announced > SCRIPT_MAX_ENTRIES) announced = SCRIPT_MAX_ENTRIES;
    int added = 0;
    // The extra zero after the file ends a last line that lacks its own.
    for (int p = static_cast<int>(header.size()) + 1; added < announced && p < text.length;) {
        const char* line = bytes + p;
        p += static_cast<int>(strlen(line)) + 1;
        if (*line == '\0') continue;
        list.entries.emplace_back(line);
        ++added;
    }
    if (first_new == 0) list.origin = path;
    if (directory_of(list.origin) != directory_of(path)) {
        for (size_t i = first_new; i < list.entries.size(); ++i)
            list.entries[i] = rebase_entry(list.kind, list.entries[i], path, list.origin);
    }
    return added;
}

std::string entry_file_bytes(const EntryList& list, int sampling_rate, int percent) {
    char header[64];
    const int count = static_cast<int>(list.entries.size());
    snprintf(header, sizeof header, "%d %d LIVE", count, sampling_rate);
    std::string bytes =
        list.kind == SCRIPT_LIST ? script_header(count, sampling_rate, percent) : header;
    bytes.push_back('\0');
    for (const std::string& entry : list.entries) {
        bytes += entry;
        bytes.push_back('\0');
    }
    return bytes;
}

int save_entry_file(Services& services, const StreamRate& rate, EntryList& list, const std::string& path) {
    // Saving over one of its own songs or pictures would destroy it.
    for (const std::string& entry : list.entries) {
        const EntryFields fields = split_entry(list.kind, entry);
        for (const std::string* named : {&fields.song, &fields.picture}) {
            if (named->empty() || !same_file(path, *named)) continue;
            show_message(services, true, Buttons::ok | Icon::error,
                         "The script cannot be saved to %s: the script names that file itself.",
                         path.c_str());
            return 0;
        }
    }
    EntryList saved = list;
    if (!list.origin.empty() && directory_of(list.origin) != directory_of(path)) {
        for (std::string& entry : saved.entries) {
            entry = rebase_entry(list.kind, entry, list.origin, path);
            const EntryFields fields = split_entry(list.kind, entry);
            for (const std::string* named : {&fields.song, &fields.picture}) {
                if (named->size() <= static_cast<size_t>(ENTRY_PATH_MAX)) continue;
                show_message(services, true, Buttons::ok | Icon::error,
                             "The script cannot be saved to %s: seen from there, %s is longer than %d "
                             "characters.\nSave it in the folder of %s.",
                             path.c_str(), named->c_str(), ENTRY_PATH_MAX, list.origin.c_str());
                return 0;
            }
        }
    }
    errno = 0;
    if (!replace_file(path, entry_file_bytes(saved, rate.SamplingRate, stream_rate_percent(rate)))) {
        show_message(services, true, Buttons::ok | Icon::error,
                     "The script could not be saved to %s: %s.\nThe old file is unchanged.",
                     path.c_str(), errno ? strerror(errno) : "the file cannot be written");
        return 0;
    }
    list.entries = saved.entries;
    list.origin = path;
    list.modified = false;
    return 1;
}

int insert_position(Services& services, const EntryList& list) {
    const int size = static_cast<int>(list.entries.size());
    if (list.selected < 0 || list.selected >= size) return size;
    if (list.selected > 0) return list.selected + 1;
    return show_message(services, true, Buttons::yes_no, "%s", TOP_QUESTION) == Answer::yes ? 0 : 1;
}

void insert_entry(EntryList& list, int position, const std::string& entry) {
    list.entries.insert(list.entries.begin() + position, entry);
    list.selected = position;
    list.modified = true;
}

void replace_selected(EntryList& list, const std::string& entry) {
    if (list.selected < 0 || list.selected >= static_cast<int>(list.entries.size())) return;
    list.entries[static_cast<size_t>(list.selected)] = entry;
    list.modified = true;
}

void remove_selected(EntryList& list) {
    const int size = static_cast<int>(list.entries.size());
    if (list.selected < 0 || list.selected >= size) return;
    list.entries.erase(list.entries.begin() + list.selected);
    list.modified = true;
    if (list.kind == LIVE_LIST || size == 1) list.selected = -1;
    else if (list.selected == size - 1) list.selected = size - 2;
}

void duplicate_selected(EntryList& list) {
    if (list.selected < 0 || list.selected >= static_cast<int>(list.entries.size())) return;
    const std::string copy = list.entries[static_cast<size_t>(list.selected)];
    list.entries.insert(list.entries.begin() + list.selected, copy);
    list.modified = true;
}

int drop_sound_files(Services& services, const StreamRate& rate, EntryList& list,
                     const std::vector<std::string>& paths) {
    int added = 0;
    for (const std::string& path : paths) {
        if (!ends_with_case(path, ".WAV") && !ends_with_case(path, ".VMA")) continue;
        if (!accept_song_file(services, rate, path)) continue;
        EntryFields fields;
        fields.count = 1;
        fields.song = path;
        list.entries.push_back(format_entry(SCRIPT_LIST, fields));
        ++added;
    }
    return added;
}

int close_decision(Services& services, const EntryList& list) {
    if (!list.modified) return CLOSE_NOW;
    switch (show_message(services, true, Buttons::yes_no_cancel, "%s", SAVE_QUESTION)) {
        case Answer::yes: return CLOSE_AFTER_SAVE;
        case Answer::no: return CLOSE_DISCARD;
        default: return CLOSE_STAY;
    }
}
