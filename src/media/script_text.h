#pragma once
// A script or live-list file read whole into memory for the loaders.

#include <string>
#include <vector>

// Larger files are not scripts; reading them would only waste memory.
constexpr long SCRIPT_FILE_MAX_SIZE = 64L * 1024 * 1024;

struct ScriptText {
    std::vector<char> bytes;  // the file, followed by one extra zero byte
    int length = 0;           // the file's own size, without that extra zero
};

// Reads the file whole. The extra zero ends a last line that lacks its own,
// so the line parser never runs past the buffer. 0 when the file cannot be
// opened or read, is not a regular file (a pipe would never end), or is
// larger than SCRIPT_FILE_MAX_SIZE, with the cause in `why` when given;
// else 1.
int read_script_text(const char* path, ScriptText& text, std::string* why = nullptr);

// How many lines of non-zero length start at or after `position` (the entry
// lines a loader may still accept), counting no further than `limit`.
int count_entry_lines(const ScriptText& text, int position, int limit);

// Size of a file, or -1 when it cannot be opened.
long file_size(const char* path);

struct ScriptTable;
struct Services;
struct ScriptEntry;

// Takes the entry's song and picture names relative to the folder of the
// script at `script_path` (resolve_beside). 1, or 0 after the message
// "Cannot open file" when a name so made does not fit its field.
int resolve_entry_names(Services& services, const char* script_path, ScriptEntry& entry);

// Shows a loader's refusal ("Invalid Script!", "Empty List!") in a
// system-modal error box.
void show_refusal(Services& services, const char* message);

// Keeps the first `accepted` entries of the table as the loaded script or
// live list and returns their number.
int keep_entries(Services& services, ScriptTable& script, int accepted);
