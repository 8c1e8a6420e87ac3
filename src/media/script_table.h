#pragma once
// The script table: the entries of the loaded script or live list.

#include <cstdint>
#include <vector>

struct Services;

// Record widths of a script entry, terminating zero included.
constexpr int SCRIPT_NAME_SIZE = 256;  // song and picture file names
constexpr int SCRIPT_TEXT_SIZE = 768;  // the text sent with the entry

// A script of this many songs plays for months; the bound keeps a file made
// of millions of tiny lines from taking gigabytes of entries.
constexpr int SCRIPT_MAX_ENTRIES = 32768;

struct ScriptEntry {
    int32_t count = 0;  // script: repeat count (0 opens a shuffle group); live list: seconds shown
    char song[SCRIPT_NAME_SIZE] = {};  // compressed sample file; empty in a live list
    char picture[SCRIPT_NAME_SIZE] = {};
    char text[SCRIPT_TEXT_SIZE] = {};
};

struct ScriptTable {
    std::vector<ScriptEntry> entries;  // the entries loaded; as many as script_entries
    int script_entries = 0;            // entries loaded for this broadcast; 0 = nothing loaded
    bool loaded = false;               // a script or live list is loaded
};

// Frees the table, sets the entry count (script_entries) to 0 and
// marks nothing as loaded.
void free_script_table(Services& services, ScriptTable& script);

// The text of entry `index`; empty when the table has no such entry (or
// its text, filled by a file reader, has no end).
const char* script_entry_text(const ScriptTable& script, int index);
