#pragma once
// Live lists: the header "%d %d LIVE" (entry count, sampling rate in Hz),
// then one "%d %s %s" line an entry (seconds shown, picture, text), every
// line ended by a zero byte.

struct CodecState;
struct ScriptTable;
struct Services;

// Loads the live list into the table (`script`, count in
// script.script_entries). Relative picture names are taken from the
// list's folder. Returns the number of entries loaded, or 0 on a
// refusal (after its message; silently when the file cannot be read).
int load_live_list(Services& services, ScriptTable& script, const char* path);

// load_live_list, then makes sure every named picture opens; when one does
// not, frees the table and returns 0 without a message.
int open_live_list(Services& services, ScriptTable& script, const char* path);
