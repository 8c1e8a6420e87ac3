#include "media/script_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/messages.h"
#include "codec/stream_rate.h"
#include "codec/set_rate.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "media/picture_check.h"

namespace {

// Asks whether to play a script made for other settings; true on Yes. Both
// lines name the sampling rate: "Music" alone stands for five of them.
bool confirm_script_settings(Services& services, const StreamRate& s, int script_rate,
                             int script_bytes) {
    Answer answer = show_message(
        services, true, Buttons::yes_no | Icon::question,
        "The script's sampling rate and bit rate do not match with the current setting.\n"
        "To use the current setting, click NO, edit the script and save.\n\n"
        "Script Setting: %s %d Hz %d.%dkbps (%s)\nCurrent Setting: %s %d Hz %d.%dkbps (%s)\n\n"
        "Do you want to continue?",
        script_rate == 8000 ? "Voice" : "Music", script_rate, script_bytes * 8 / 1000,
        script_bytes * 8 / 100 % 10, connection_class(script_bytes),
        s.SamplingRate == 8000 ? "Voice" : "Music", s.SamplingRate, s.TransferRate * 8 / 1000,
        s.TransferRate * 8 / 100 % 10, connection_class(s.TransferRate));
    return answer == Answer::yes;
}

// A script may name the WAV source of a song; the station always plays the
// compressed file of the same name.
void use_compressed_song(char* song) {
    size_t length = strlen(song);
    if (length >= 3) memcpy(song + length - 3, "VMA", 3);
}

}  // namespace

std::string script_header(int count, int sampling_rate, int percent) {
    char header[96];
    snprintf(header, sizeof header, "%d %d %03d SCRIPT", count, sampling_rate, percent);
    return header;
}

int script_readable(const std::string& path, std::string* why) {
    ScriptText text;
    return read_script_text(path.c_str(), text, why) ? 1 : 0;
}

int read_script_header(const char* path, int* rate, int* percent) {
    *rate = 8000;
    *percent = 32;
    FILE* file = fopen(path, "rb");
    if (!file) return 0;
    // The header is the first line, up to its zero byte.
    char line[SCRIPT_LINE_SIZE];
    size_t got = fread(line, 1, sizeof line - 1, file);
    bool unreadable = ferror(file) != 0;  // a directory opens but does not read
    fclose(file);
    if (unreadable) return 0;
    line[got] = '\0';
    if (char* semicolon = strchr(line, ';')) *semicolon = '\0';

    char rate_field[SCRIPT_LINE_SIZE], percent_field[SCRIPT_LINE_SIZE];
    int p = next_token(line, 0, rate_field, sizeof rate_field);  // the entry count
    p = next_token(line, p, rate_field, sizeof rate_field);
    next_token(line, p, percent_field, sizeof percent_field);
    *rate = script_number(rate_field);
    *percent = script_number(percent_field);
    return 1;
}

int load_script(Services& services, ScriptTable& script, const StreamRate& stream, const char* path,
                ScriptRates* rates) {
    free_script_table(services, script);
    ScriptText text;
    if (!read_script_text(path, text)) return 0;

    int position = 0, declared = 0;
    char rate_field[SCRIPT_NAME_SIZE], percent_field[SCRIPT_NAME_SIZE], word[SCRIPT_TEXT_SIZE];
    parse_script_line(services, text.bytes.data(), &position, &declared, rate_field, percent_field,
                      word);
    int script_rate = script_number(rate_field);
    int percent = script_number(percent_field);

    // A broken header is refused before it may touch the station's settings.
    if (strcmp(word, "SCRIPT") != 0 || declared < 0 || !is_station_rate(script_rate) ||
        percent < 1 || percent > 999) {
        show_refusal(services, "Invalid Script!");
        return 0;
    }
    int available = count_entry_lines(text, position, std::min(declared, SCRIPT_MAX_ENTRIES));
    if (available == 0) {
        show_refusal(services, "Empty Script!");
        return 0;
    }

    int script_bytes = script_rate * percent / 100;
    const StreamRate& s = stream;
    // A script made for these very settings never asks, even where the
    // percentage's rate lies further from TransferRate than 200 (2425 bytes
    // per second at 22050 Hz are compressed at 10 %, 2205).
    const bool made_here = script_rate == s.SamplingRate && percent == stream_rate_percent(s);
    if (!made_here && (script_rate != s.SamplingRate || abs(script_bytes - s.TransferRate) > 200)) {
        if (!confirm_script_settings(services, s, script_rate, script_bytes)) return -1;
    }
    // The songs were compressed for this bit rate: the broadcast goes at it.
    // The transfer rate is the one that gives this percentage back, so that
    // a dialog writing it keeps the script's.
    *rates = ScriptRates{script_rate, percent, transfer_rate_for_percent(script_rate, percent)};

    script.entries.assign(static_cast<size_t>(available), ScriptEntry{});
    int accepted = 0;
    while (accepted < available && position < text.length) {
        ScriptEntry& entry = script.entries[static_cast<size_t>(accepted)];
        if (!parse_script_line(services, text.bytes.data(), &position, &entry.count, entry.song,
                               entry.picture, entry.text))
            continue;
        if (!resolve_entry_names(services, path, entry)) {
            free_script_table(services, script);
            return 0;
        }
        use_compressed_song(entry.song);
        // A picture that cannot be opened (no name included) is no picture.
        if (check_picture_file(entry.picture) == 1) {
            show_captioned_message(services, "Radio Velmora Server BMP", true,
                                   Buttons::ok | Icon::error,
                                   "%s: unknown file format!\n"
                                   "Only 24bit uncompressed BMP files are supported.",
                                   entry.picture);
            free_script_table(services, script);
            return 0;
        }
        ++accepted;
    }
    return keep_entries(services, script, accepted);
}

int open_script(Services& services, ScriptTable& script, const StreamRate& stream, const char* path,
                ScriptRates* rates) {
    int loaded = load_script(services, script, stream, path, rates);
    if (loaded < 1) return loaded;
    for (int i = 0; i < loaded; ++i) {
        const ScriptEntry& entry = script.entries[static_cast<size_t>(i)];
        debug_trace(services, "%3d: %d x Song %s <<%s>>", i, entry.count, entry.song, entry.text);
        long size = file_size(entry.song);
        if (size < 0) {
            debug_trace(services, " cannot open file!\n");
            show_message(services, true, Buttons::ok | Icon::error,
                         "Cannot open file %s\nPlease check the script.", entry.song);
            free_script_table(services, script);
            return 0;
        }
        debug_trace(services, " size : %ld\n", size);
        // The companion (".V40") is optional here.
        size_t length = strlen(entry.song);
        if (length >= 4) {
            char companion[SCRIPT_NAME_SIZE];
            memcpy(companion, entry.song, length + 1);
            memcpy(companion + length - 4, ".V40", 4);
            long companion_size = file_size(companion);
            if (companion_size >= 0) debug_trace(services, " size : %ld\n", companion_size);
        }
    }
    return loaded;
}
