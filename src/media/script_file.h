#pragma once
// Script files (".VSK"): the header "%d %d %03d SCRIPT" (entry count,
// sampling rate in Hz, rate percentage), then one "%d %s %s %s" line an entry
// (repeat count, song, picture, text), every line ended by a zero byte.

#include <string>

struct ScriptTable;
struct Services;
struct StreamRate;

// The header line of a script of `count` entries: "%d %d %03d SCRIPT".
std::string script_header(int count, int sampling_rate, int percent);

// Whether the script file can be read at all: 1, or 0 with *why (the
// system's error text, or what else keeps it from being read).
int script_readable(const std::string& path, std::string* why);

// Reads the header's sampling rate and rate percentage. When the file cannot
// be opened: 8000 and 32 with result 0; else result 1.
int read_script_header(const char* path, int* rate, int* percent);

// The rates a script's songs were compressed at: its header's sampling
// rate and rate percentage, and the transfer rate that gives that
// percentage back.
struct ScriptRates {
    int sampling_rate = 0;
    int percent = 0;
    int transfer_rate = 0;
};

// Loads the script into the table (`script`, count in
// script.script_entries).
// Relative song and picture names are taken from the script's folder. When
// its sampling rate or bit rate differs from the stream's (`stream`), asks
// whether to continue. Changes no rate: *rates says the script's, and the
// caller broadcasts at them. Returns the number of entries loaded, 0 on a
// refusal (after its message; silently when the file cannot be read), -1
// when the operator declines.
int load_script(Services& services, ScriptTable& script, const StreamRate& stream, const char* path,
                ScriptRates* rates);

// load_script, then makes sure every song file opens. Returns the entry
// count, 0 on failure (the table freed) or -1 when the operator declined.
int open_script(Services& services, ScriptTable& script, const StreamRate& stream, const char* path,
                ScriptRates* rates);
