#pragma once
// The list behind the Script Builder and the live list editor: the entries
// of a script or live list as the editors show them (one line of the file
// each, in play order), the operations on them, and the one writer of both
// files. The editors' windows only move values between their controls and
// these functions.
//
// Script entries read "%d %s %s %s" (repeat count, quoted song, quoted
// picture, text); live-list entries "%d %s %s" (seconds shown, quoted
// picture, text that may hold line breaks). Files: a header line, then one
// line an entry, every line ended by a zero byte.

#include <string>
#include <vector>

struct Services;
struct StreamRate;

enum EntryListKind {
    SCRIPT_LIST = 0,  // a station script (".VSK"), header "%d %d %03d SCRIPT"
    LIVE_LIST = 1,    // a live text/picture list, header "%d %d LIVE"
};

struct EntryList {
    EntryListKind kind = SCRIPT_LIST;
    std::vector<std::string> entries;
    int selected = -1;      // the caret; -1 when nothing is selected
    bool modified = false;  // changed since opening or the last save
    // The file whose folder relative song and picture names are seen from:
    // the first file read into the list, then the file last saved. Empty
    // until then (names are written as they are).
    std::string origin;
};

// The fields of one entry as the entry dialogs show them. `name` is the song
// of a script entry (unused in a live list); paths are without quotes.
struct EntryFields {
    int count = 0;  // repeat count, or seconds shown
    std::string song;
    std::string picture;
    std::string text;
};

// Longest song or picture path the file format holds (its record has 256
// characters with the terminator).
constexpr int ENTRY_PATH_MAX = 255;
// Longest text the entry dialogs take.
constexpr int ENTRY_TEXT_MAX = 750;
// What a new entry starts with: one play, or 360 seconds on screen.
constexpr const char* NEW_SCRIPT_ENTRY = "1";
constexpr const char* NEW_LIVE_ENTRY = "360";

constexpr const char* SAVE_QUESTION = "Do you want to save the script?";
constexpr const char* DEFAULT_QUESTION = "Do you want to use this script as default script?";
constexpr const char* LOAD_QUESTION = "Are you sure to load script?";
constexpr const char* TOP_QUESTION = "Add to the top?";

// Splits an entry with the script tokenizer: the number, the song (script
// entries only), the picture without its quotes and the rest as text.
EntryFields split_entry(EntryListKind kind, const std::string& entry);
// Formats the fields back; paths are quoted unless they already start and
// end with a double quote, an empty picture becomes "".
std::string format_entry(EntryListKind kind, const EntryFields& fields);

// Whether a song or picture path may go into an entry: at most
// ENTRY_PATH_MAX characters (a longer one would be read cut, naming another
// file), no double quote and no ";" (which would end the field or the line
// for every reader). 1, or 0 after a message naming the path and the cause.
int accept_entry_path(Services& services, const std::string& path);

// The sample check of a chosen or dropped song at the station's sampling
// rate: 1 when it may be added (a WAV to be resampled included); 0 after
// "File Not Found!", "unknown file format!" or "sampling rate not matched."
// (silently for other refusals).
int accept_song_file(Services& services, const StreamRate& rate, const std::string& path);
// The picture check of a chosen picture: 1 when usable, 0 after its message.
int accept_picture_file(Services& services, const std::string& path);
// The text of an entry (script or live list): at most ENTRY_TEXT_MAX
// characters, no ";" (the station would end the entry there) and no double
// quote. 1, or 0 after a message naming the cause.
int accept_entry_text(Services& services, const std::string& text);

// Appends the entries of a file to the list (the list is not emptied; the
// modified flag is not changed). The header must end with "SCRIPT" (at least
// 7 characters) or "LIVE" (at least 5); its first number is how many entries
// to read, fewer when the file ends first, none when it is negative. Empty
// lines are no entries. Relative names of a file read into a list that came
// from another folder are rewritten to name the same files from the list's
// origin. Returns the number appended, 0 when the file cannot
// be read (silently), -1 for a bad header after "Invalid Script" or
// "Invalid Text/Picture List".
int read_entry_file(Services& services, EntryList& list, const char* path);

// The bytes of the file for the list: the header with the station's sampling
// rate (a script's with the rate percentage its songs are compressed at,
// station_script_percent), then every entry, each line ended by a zero byte.
std::string entry_file_bytes(const EntryList& list, int sampling_rate, int percent);

// Writes the list to `path` through a temporary file renamed over it, and
// clears the modified flag. Saved to another folder than its origin's,
// relative names are rewritten so that they still name the same files (a
// path that would not fit its field refuses the save). A path that is one of the entries' own songs or
// pictures is refused. On any failure the old file stays as it was,
// the list stays modified and the operator is told the file and the cause
// (0); else 1.
int save_entry_file(Services& services, const StreamRate& rate, EntryList& list, const std::string& path);

// Where "Add" puts a new entry: appended to an empty list or when nothing
// is selected; after the selected entry; with the first entry selected,
// "Add to the top?" decides between 0 (Yes) and 1 (No).
int insert_position(Services& services, const EntryList& list);
// Inserts at `position`, selects the new entry, marks the list modified.
void insert_entry(EntryList& list, int position, const std::string& entry);
// Replaces the selected entry.
void replace_selected(EntryList& list, const std::string& entry);
// Removes the selected entry. A script keeps a selection on the entry that
// now has its position (or the new last one); a live list selects nothing.
void remove_selected(EntryList& list);
// Inserts a copy of the selected entry at its position; the selection stays.
void duplicate_selected(EntryList& list);

// Sound files dropped on the Script Builder: names ending in ".WAV" or
// ".VMA" (any case) that pass the path and sample checks become entries
// "1 "song" "" " at the end; other files are ignored. Dropping does not mark
// the list modified. Returns how many were added.
int drop_sound_files(Services& services, const StreamRate& rate, EntryList& list,
                     const std::vector<std::string>& paths);

// What closing an editor does.
enum CloseDecision {
    CLOSE_STAY = -1,       // Cancel: the editor stays open
    CLOSE_DISCARD = 0,     // No: close without saving (result 0)
    CLOSE_NOW = 1,         // nothing to save (result 1)
    CLOSE_AFTER_SAVE = 2,  // Yes: save, and close with 1 only when the save succeeded
};
// Asks "Do you want to save the script?" when the list is modified.
int close_decision(Services& services, const EntryList& list);
