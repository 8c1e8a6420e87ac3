#pragma once
// The script table: the entries of the loaded script or live list.

#include <cstdint>
#include <vector>

struct ScriptEntry {
    int32_t count = 0;    // script: repeat count (0 opens a shuffle group); live list: seconds shown
    char song[256] = {};  // compressed sample file; empty in a live list
    char picture[256] = {};
    char text[768] = {};
};

struct ScriptTable {
    std::vector<ScriptEntry> entries;  // allocated for the header's entry count
    bool loaded = false;               // a script or live list is loaded
};
