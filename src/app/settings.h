#pragma once
// The settings file: section "VelmoraStation" of "lumo.ini" (or the file
// named on the command line), read once at start-up and written key by key
// by the dialogs. Also the start-up command line and the paths.

#include <string>

#include "app/settings_schema.h"
#include "app/station_state.h"
#include "media/entry_list.h"

struct CodecState;
struct Context;
struct SettingsReport;

// The longest settings file name taken from the command line.
constexpr int SETTINGS_NAME_MAX = 255;

// The settings file a program was given on its command line. No name (null
// or empty): "lumo.ini" in the configuration folder, which need not exist
// yet (the first setting written creates it). A name with a folder
// ("./a.ini", "/etc/velmora/night.ini") is that file; a bare name is looked
// for in the current folder first, then in the configuration folder. A
// named file must exist and be a regular file: a mistyped name must not
// start a station on the defaults. Returns 1 with *path set (the file's
// real, absolute path once it exists, so that every name of one file locks
// the same station), or 0 with *problem naming the file and each path tried.
int find_settings_file(const char* name, std::string* path, std::string* problem);

// Sets the program directory (see platform/paths.h: VELMORA_HOME overrides
// the executable's directory), the user list path and the settings file
// path resolved from `settings_name`.
void setup_paths(Context& ctx, const std::string& settings_name);

// Sets SamplingRate (a rate the station runs at, else 11025), the
// device_rate it gives (device_rate_of: 8000 -> 11025, 16000 -> 22050,
// 32000 -> 44100; 11025, 22050 and 44100 keep their value) and the codec's
// rate percentage (set_stream_rate).
void apply_sampling_rate(StationState& state, CodecState& codec, int rate);

// The stream rates the station takes from the settings file: at least
// 2000 bytes per second and at most 4 x SamplingRate. A dialog writes no
// other, and start-up brings any other into this range.
constexpr int TRANSFER_RATE_MINIMUM = setting_key("TransferRate").low;
int storable_transfer_rate(int rate, int sampling_rate);

// Reads every key of the section from ctx.state.settings_file into
// ctx.state by its row of SETTING_KEYS (app/settings_schema.h), bringing
// out-of-range values into range, and derives the device rate and the codec's
// rate_percent. Without a sound card the feed is forced to script (MODE 0)
// and controller.no_sound_card is set. With a report, each stored value that is
// not used as written (no number, out of range, too long) is noted there as
// a warning, and a BANDWIDTH of 0 or less or a STATION_PORT that is no port
// as an error (the value in memory is still the default). Returns 1.
int load_settings(Context& ctx, bool no_sound_card, SettingsReport* report = nullptr);

// (Re-)reads the web directory's keys: DIRURL, DIRURLPORT, CATEGORIES_URL
// and HTTP_TIMEOUT. The directory reads them anew at each add and remove, so
// a changed settings file counts from the next start or stop.
void read_directory_settings(Context& ctx, SettingsReport* report = nullptr);

// Write one key of section "VelmoraStation" of the settings file at once.
// 1 on success, 0 when the file cannot be written.
int write_setting_int(Context& ctx, const char* key, int value);
int write_setting_string(Context& ctx, const char* key, const char* value);

// Keys written together by one dialog or command. Each write that fails is
// counted with its system error; finish_settings_write then tells the
// operator once, naming the file, so nobody carries on as if it were saved.
struct SettingsWrite {
    int failures = 0;
    int first_error = 0;  // errno of the first failed write
};
int write_setting_int(Context& ctx, SettingsWrite& write, const char* key, int value);
int write_setting_string(Context& ctx, SettingsWrite& write, const char* key, const char* value);
// Writes the value ctx.state holds for `key`, formatted as its type; or,
// for a number key, `value` instead (a value the file keeps while memory
// holds another, such as a loaded script's rates).
int write_setting(Context& ctx, SettingsWrite& write, const SettingKey& key);
int write_setting(Context& ctx, SettingsWrite& write, const SettingKey& key, long value);
// 1 when every key was written; 0 after one error box naming the file.
int finish_settings_write(Context& ctx, const SettingsWrite& write);

// After a save: when `path` is not the station's default script (or live
// list) already (letter case ignored), asks whether it should be, and on
// Yes keeps it in memory and writes StationScript (LiveScript). Returns 1
// when it became the default, 0 otherwise (a failed settings write is
// told, the path still used until the program ends).
int offer_as_default(Context& ctx, EntryListKind kind, const std::string& path);
