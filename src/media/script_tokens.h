#pragma once
// The tokenizer shared by every reader of script and live-list files.
//
// Both files are sequences of zero-terminated lines. On a line a ";" ends
// the content (even inside quotes: there is no escape) and blanks before the
// cut are dropped. Fields are separated by blanks and commas; a field that
// starts with a double quote runs to the next double quote, any other runs
// to the next blank (a comma inside it belongs to it). Numbers read like
// atoi. The last field of a line, the text, is the rest after the blanks.

struct Services;

// Longest line content a reader takes; the rest of a longer line is dropped.
constexpr int SCRIPT_LINE_SIZE = 1024;

// The position of the first character at or after `position` that is not a blank.
int skip_blanks(const char* line, int position);

// Skips blanks and commas, then reads one field into `out` without its
// quotes. A field longer than out_size - 1 characters is cut there (the rest
// is passed over); `out` is always zero-terminated. Returns the position
// after the field, after the closing quote of a quoted field.
int next_token(const char* line, int position, char* out, int out_size);

// Like atoi: blanks, an optional sign and the leading digits; 0 when there
// are none. Values beyond int saturate instead of overflowing.
int script_number(const char* text);

// Parses the zero-terminated line of `text` at *position and moves *position
// past its terminating zero. Fills whichever outputs are given: the number,
// two fields (SCRIPT_NAME_SIZE characters each, terminator included) and the
// rest (SCRIPT_TEXT_SIZE). Returns 0 for a line of zero length, else 1.
// Script entries: repeat count, song, picture, text; script headers: entry
// count, sampling rate, rate percentage, "SCRIPT".
int parse_script_line(Services& services, const char* text, int* position, int* count, char* field2,
                      char* field3, char* rest);

// The same with one field: live-list entries (display time, picture, text)
// and live-list headers (entry count, sampling rate, "LIVE").
int parse_list_line(Services& services, const char* text, int* position, int* count, char* field2,
                    char* rest);

// The lengths of the song and picture names of the script entry line at
// `text + position` as written; a name longer than SCRIPT_NAME_SIZE - 1
// reaches the readers above cut, naming another file.
void script_name_lengths(const char* text, int position, int* song_length, int* picture_length);
