#pragma once
// The keys of section [VelmoraStation] of the settings file, in one table:
// each key exactly as the file names it, its type, default, range, unit,
// owning module and help text. Reading the file (app/settings.h), the
// --check of velmora-station, the dialogs' limits and refusals, writing and
// the settings lists of the README and the man page are all made from it:
// a new key is one more row here (and its field in the record it lives in).

#include <climits>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "app/station_state.h"
#include "codec/set_rate.h"
#include "icecast/icecast_settings.h"
#include "server/listener_table.h"

struct SettingsReport;

// The record that holds every key's value in memory. Each row names its
// field in it through `field`: the one place that changes when a field moves.
using SettingsRecord = StationState;
using SettingField = std::variant<int*, long*, std::string*>;

enum class SettingType {
    whole,  // an int: optional sign and the leading digits ("12abc" is 12, "abc" 0)
    count,  // a long read from at most 31 characters ("77abc" is 77; a huge one saturates)
    text,   // one line, cut to `high` characters
};

// What a number outside the range becomes.
enum class OutOfRange {
    clamp,     // the nearer end of the range
    fallback,  // `fallback`
    kept,      // kept as read: the owning module refuses it (`module_problem`), the station runs on
};

struct SettingKey {
    const char* key;
    SettingType type;
    long default_number = 0;        // numbers
    const char* default_text = "";  // texts
    long low = INT_MIN, high = INT_MAX;  // numbers: the range; texts: the most characters kept
    OutOfRange out_of_range = OutOfRange::clamp;
    const char* unit = "";
    const char* module = "";  // the module that uses it
    const char* help = "";
    SettingField (*field)(SettingsRecord&) = nullptr;

    // Rules only some keys have.
    long fallback = 0;
    std::span<const int> choices = {};  // the only values taken; any other gives `fallback`
    // A value outside these is an error that keeps the station from running:
    // `refusal` says why, after "KEY=VALUE ", and the default is used.
    long refuse_low = LONG_MIN, refuse_high = LONG_MAX;
    const char* refusal = nullptr;
    long (*high_of)(const SettingsRecord&) = nullptr;  // a top that follows another key
    const char* range_text = nullptr;   // the range in words where low and high do not tell it
    const char* empty_means = nullptr;  // a number left empty (0) means this
    // kept: the owning module's refusal, naming the key ("" when it takes the value).
    std::string (*module_problem)(long value) = nullptr;
    const char* default_shown = nullptr;  // a default worked out at start, in words
    std::string (*default_of)() = nullptr;  // and how it is worked out
};

// The station name a fresh station takes: the host name, cut to 126 characters.
std::string host_name_default();

// The most characters a key of the station keeps of its value.
constexpr int STATION_TEXT_MAX = 127;
constexpr int STATION_LONG_TEXT_MAX = 749;
constexpr int SETTINGS_PATH_MAX = 255;
constexpr int ADDRESS_TEXT_MAX = 31;
constexpr int HOST_TEXT_MAX = 63;

// The top of TransferRate: four times the sampling rate.
constexpr long transfer_rate_ceiling(long sampling_rate) { return 4 * sampling_rate; }

// Every key, in the order the file is read (a later key's range may follow
// an earlier one's value: TransferRate's follows SamplingRate).
inline constexpr SettingKey SETTING_KEYS[] = {
    {.key = "SamplingRate", .type = SettingType::whole, .default_number = 16000,
     .out_of_range = OutOfRange::fallback, .unit = "Hz", .module = "codec",
     .help = "the codec's rate; 8000 is voice, the others music",
     .field = [](SettingsRecord& s) -> SettingField { return &s.SamplingRate; },
     .fallback = 11025, .choices = STATION_RATES,
     .range_text = "8000, 11025, 16000, 22050, 32000 or 44100"},
    {.key = "LOG", .type = SettingType::whole, .default_number = 1, .module = "server",
     .help = "kept for older stations; unused",
     .field = [](SettingsRecord& s) -> SettingField { return &s.LOG; }},
    {.key = "REPORT", .type = SettingType::whole, .default_number = 0, .module = "server",
     .help = "kept for older stations; unused",
     .field = [](SettingsRecord& s) -> SettingField { return &s.REPORT; }},
    {.key = "MAX_CLIENT", .type = SettingType::whole, .default_number = 20, .low = 0,
     .high = LISTENER_TABLE_SIZE, .unit = "listeners", .module = "server",
     .help = "kept for the settings dialog; admission follows `BANDWIDTH`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.MAX_CLIENT; }},
    {.key = "BANDWIDTH", .type = SettingType::whole, .default_number = 28800, .low = 28800,
     .unit = "bit/s", .module = "server",
     .help = "the station's outgoing bits per second; listeners beyond it are refused \"Busy\"",
     .field = [](SettingsRecord& s) -> SettingField { return &s.BANDWIDTH; },
     .refuse_low = 1,
     .refusal = "is no bandwidth: give the station's outgoing bits per second (28800 or more)"},
    {.key = "INTRANET", .type = SettingType::whole, .default_number = 0, .module = "server",
     .help = "1: intranet-only broadcasting (the directory is never contacted)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.INTRANET; }},
    {.key = "WWW_URL", .type = SettingType::text, .high = STATION_TEXT_MAX, .module = "station",
     .help = "the station's web address, shown to listeners and in the directory",
     .field = [](SettingsRecord& s) -> SettingField { return &s.WWW_URL; }},
    {.key = "WWW_DESC", .type = SettingType::text, .high = STATION_LONG_TEXT_MAX,
     .module = "station",
     .help = "the station's description, shown to listeners and in the directory",
     .field = [](SettingsRecord& s) -> SettingField { return &s.WWW_DESC; }},
    {.key = "RepeaterIP", .type = SettingType::text, .high = STATION_LONG_TEXT_MAX,
     .module = "server",
     .help = "a repeater sent everything: `ADDRESS` or `HOST`, with an optional `:PORT` "
             "(empty or a leading blank: none)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.RepeaterIP; }},
    {.key = "SPECIFIC_IP", .type = SettingType::whole, .default_number = 0, .module = "server",
     .help = "1: the station binds to `IP_ADDR` instead of the host's first address",
     .field = [](SettingsRecord& s) -> SettingField { return &s.SPECIFIC_IP; }},
    {.key = "IP_ADDR", .type = SettingType::text, .default_text = "0.0.0.0",
     .high = ADDRESS_TEXT_MAX, .module = "server",
     .help = "the address the station binds to with `SPECIFIC_IP=1`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.IP_ADDR; }},
    {.key = "MBONE", .type = SettingType::whole, .default_number = 0, .module = "server",
     .help = "1: a copy of everything goes to the multicast group `MBONEIP`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.MBONE; }},
    {.key = "MBONEIP", .type = SettingType::text, .default_text = "0.0.0.0",
     .high = ADDRESS_TEXT_MAX, .module = "server", .help = "the multicast group of `MBONE=1`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.MBONEIP; }},
    {.key = "ImageQuality", .type = SettingType::whole, .default_number = 2, .module = "media",
     .help = "the quality level pictures are prepared at",
     .field = [](SettingsRecord& s) -> SettingField { return &s.ImageQuality; }},
    {.key = "Stream2X", .type = SettingType::whole, .default_number = 1, .module = "server",
     .help = "1 lets listeners ask for the companion (double-rate) stream",
     .field = [](SettingsRecord& s) -> SettingField { return &s.Stream2X; }},
    {.key = "AutoStart", .type = SettingType::whole, .default_number = 0, .module = "app",
     .help = "1: the window starts broadcasting at once; `velmora-station` always does",
     .field = [](SettingsRecord& s) -> SettingField { return &s.AutoStart; }},
    {.key = "TransferRate", .type = SettingType::whole, .default_number = 2000, .low = 2000,
     .unit = "bytes/s", .module = "codec",
     .help = "the compressed stream's rate; songs are compressed for it",
     .field = [](SettingsRecord& s) -> SettingField { return &s.TransferRate; },
     .high_of = [](const SettingsRecord& s) { return transfer_rate_ceiling(s.SamplingRate); },
     .range_text = "2000 to 4 x `SamplingRate`"},
    {.key = "Mode", .type = SettingType::whole, .default_number = 1, .low = 0, .high = 1,
     .module = "app",
     .help = "0 plays the script, 1 the live feed from the sound card (without a recording "
             "device the station says so and plays the script)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.MODE; }},
    {.key = "StationName", .type = SettingType::text, .high = STATION_TEXT_MAX, .module = "station",
     .help = "the station's name, shown to listeners and in the station directory",
     .field = [](SettingsRecord& s) -> SettingField { return &s.StationName; },
     .default_shown = "the host name", .default_of = host_name_default},
    {.key = "StationLocation", .type = SettingType::text, .high = STATION_TEXT_MAX,
     .module = "station", .help = "where the station is, shown with its name",
     .field = [](SettingsRecord& s) -> SettingField { return &s.StationLocation; }},
    {.key = "StationCategory", .type = SettingType::text, .high = STATION_TEXT_MAX,
     .module = "station",
     .help = "the station's category in the directory (such as `\\Music\\Rock`)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.StationCategory; }},
    {.key = "StationEMAIL", .type = SettingType::text, .high = STATION_TEXT_MAX,
     .module = "station",
     .help = "the station's mail address, shown to listeners",
     .field = [](SettingsRecord& s) -> SettingField { return &s.StationEMAIL; }},
    {.key = "StationScript", .type = SettingType::text, .high = SETTINGS_PATH_MAX,
     .module = "media", .help = "the script to play (`.VSK`); best an absolute path",
     .field = [](SettingsRecord& s) -> SettingField { return &s.StationScript; }},
    {.key = "LiveScript", .type = SettingType::text, .high = SETTINGS_PATH_MAX, .module = "media",
     .help = "the live list whose pictures and texts a live feed shows (made by the live list "
             "editor or `velmora-script new-live`)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.LiveScript; }},
    {.key = "FALLBACK_SCRIPT", .type = SettingType::text, .high = SETTINGS_PATH_MAX,
     .module = "live",
     .help = "a script a live feed plays while the capture is lost or silent (below -50 dBFS) "
             "for `FALLBACK_SECONDS`, until it has carried sound for 3 seconds again; a script "
             "station none of whose songs can be played plays it instead of ending (empty: no "
             "fallback)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.FALLBACK_SCRIPT; }},
    {.key = "FALLBACK_SECONDS", .type = SettingType::whole, .default_number = 10, .low = 1,
     .high = FALLBACK_SECONDS_MAX, .unit = "seconds", .module = "live",
     .help = "the silence of a live feed after which `FALLBACK_SCRIPT` plays",
     .field = [](SettingsRecord& s) -> SettingField { return &s.FALLBACK_SECONDS; }},
    {.key = "AlwaysBindSocket", .type = SettingType::whole, .default_number = 0,
     .module = "server", .help = "kept for older stations; unused",
     .field = [](SettingsRecord& s) -> SettingField { return &s.AlwaysBindSocket; }},
    {.key = "NetNoConnect", .type = SettingType::whole, .default_number = 1, .module = "server",
     .help = "kept for older stations; unused",
     .field = [](SettingsRecord& s) -> SettingField { return &s.NetNoConnect; }},
    {.key = "AudioSample11025", .type = SettingType::whole, .default_number = 0, .module = "live",
     .help = "1 records at the card's own rate (11025, 22050 or 44100 Hz) and drops samples "
             "down to `SamplingRate`; a card that refuses `SamplingRate` is recorded that way "
             "anyway",
     .field = [](SettingsRecord& s) -> SettingField { return &s.AudioSample11025; }},
    {.key = "NextSrvID", .type = SettingType::count, .default_number = 1000, .low = LONG_MIN,
     .high = LONG_MAX, .module = "server",
     .help = "the station's registered id, sent in its start notice to the master station",
     .field = [](SettingsRecord& s) -> SettingField { return &s.NextSrvID; }},
    {.key = "DIRURL", .type = SettingType::text, .default_text = DIRURL_DEFAULT,
     .high = HOST_TEXT_MAX, .module = "directory",
     .help = "the station directory the station is added to when it starts and removed from "
             "when it stops (read anew at each start and stop)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.DIRURL; }},
    {.key = "DIRURLPORT", .type = SettingType::whole, .default_number = 80, .low = 1,
     .high = 65535, .out_of_range = OutOfRange::fallback, .module = "directory",
     .help = "the station directory's port",
     .field = [](SettingsRecord& s) -> SettingField { return &s.DIRURLPORT; }, .fallback = 80},
    {.key = "CATEGORIES_URL", .type = SettingType::text, .default_text = CATEGORIES_URL_DEFAULT,
     .high = HOST_TEXT_MAX, .module = "directory",
     .help = "the host that lists the directory's categories, `HOST` (port 80) or `HOST:PORT`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.CATEGORIES_URL; }},
    {.key = "HTTP_TIMEOUT", .type = SettingType::whole, .default_number = HTTP_TIMEOUT_DEFAULT,
     .low = 1, .high = 3600, .unit = "s", .module = "directory",
     .help = "how long a directory request may take from its connection attempt; then it fails "
             "with one message and the station broadcasts on unlisted. Only a whole reply (the "
             "directory closes the connection) lists the station. The remove at a stop waits "
             "at most 3 seconds",
     .field = [](SettingsRecord& s) -> SettingField { return &s.HTTP_TIMEOUT; }},
    {.key = "STATION_PORT", .type = SettingType::whole, .default_number = STATION_PORT_DEFAULT,
     .low = 1, .high = 65535, .module = "server",
     .help = "the UDP port listeners join (several stations may share a host); station-list "
             "files cannot name another port, so listeners are then given `HOST:PORT`",
     .field = [](SettingsRecord& s) -> SettingField { return &s.STATION_PORT; },
     .refuse_low = 1, .refuse_high = 65535, .refusal = "is not a port (1 to 65535)"},
    {.key = "MASTER_IP", .type = SettingType::text, .default_text = MASTER_IP_DEFAULT,
     .high = HOST_TEXT_MAX, .module = "server",
     .help = "the master station that is told of starts and stops (on port 3456)",
     .field = [](SettingsRecord& s) -> SettingField { return &s.MASTER_IP; }},
    {.key = "ICECAST_URL", .type = SettingType::text, .high = ICECAST_URL_MAX, .module = "icecast",
     .help = "an Icecast server's mount (`http://HOST:PORT/MOUNT`) the station also feeds; "
             "empty: none",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.url; }},
    {.key = "ICECAST_USER", .type = SettingType::text, .default_text = ICECAST_USER_DEFAULT,
     .high = ICECAST_FIELD_MAX, .module = "icecast", .help = "the Icecast source user",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.user; }},
    {.key = "ICECAST_PASSWORD", .type = SettingType::text, .high = ICECAST_FIELD_MAX,
     .module = "icecast", .help = "the Icecast source password",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.password; }},
    {.key = "ICECAST_PASSWORD_FILE", .type = SettingType::text, .high = SETTINGS_PATH_MAX,
     .module = "icecast",
     .help = "a file whose first line is the Icecast password (relative: beside the settings "
             "file), used instead of `ICECAST_PASSWORD`; when empty, a service's credential "
             "`icecast-password` is used when systemd hands one over",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.password_file; }},
    {.key = "ICECAST_FORMAT", .type = SettingType::text, .default_text = "opus", .high = 15,
     .module = "icecast", .help = "the Icecast stream's format: Ogg Opus or MP3",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.format; },
     .range_text = "`opus` or `mp3`"},
    {.key = "ICECAST_BITRATE", .type = SettingType::whole, .default_number = 0,
     .low = ICECAST_BITRATE_MIN, .high = ICECAST_BITRATE_MAX, .out_of_range = OutOfRange::kept,
     .unit = "kbit/s", .module = "icecast", .help = "the Icecast stream's bit rate",
     .field = [](SettingsRecord& s) -> SettingField { return &s.icecast.bitrate; },
     .empty_means = "96 for Opus, 128 for MP3", .module_problem = icecast_bitrate_problem},
    {.key = "WEB_LISTEN", .type = SettingType::text, .high = WEB_LISTEN_MAX, .module = "stream",
     .help = "where the listeners' web page and stream are served: `PORT` (every address) or "
             "`ADDR:PORT`; empty: no web page",
     .field = [](SettingsRecord& s) -> SettingField { return &s.WEB_LISTEN; }},
    {.key = "WEB_BITRATE", .type = SettingType::whole, .default_number = WEB_BITRATE_DEFAULT,
     .low = WEB_BITRATE_MIN, .high = WEB_BITRATE_MAX, .unit = "kbit/s", .module = "stream",
     .help = "the bit rate of the web page's Ogg Opus stream",
     .field = [](SettingsRecord& s) -> SettingField { return &s.WEB_BITRATE; }},
    {.key = "CONTROL_GROUP", .type = SettingType::text, .high = 63, .module = "app",
     .help = "a group whose members may control the station with `velmora-ctl` (its socket "
             "becomes group-writable); empty: the station's user alone",
     .field = [](SettingsRecord& s) -> SettingField { return &s.CONTROL_GROUP; }},
    {.key = "ARCHIVE_DIR", .type = SettingType::text, .high = ARCHIVE_DIR_MAX, .module = "stream",
     .help = "the folder the program is archived in, as Ogg Opus files of an hour each "
             "(`YYYY-MM-DD/HH00.opus`, local time; relative: beside the settings file); "
             "empty: no archive",
     .field = [](SettingsRecord& s) -> SettingField { return &s.ARCHIVE_DIR; }},
    {.key = "ARCHIVE_DAYS", .type = SettingType::whole, .default_number = ARCHIVE_DAYS_DEFAULT,
     .low = 0, .high = ARCHIVE_DAYS_MAX, .unit = "days", .module = "stream",
     .help = "the archive's day folders kept, today's included; older ones lose the archive's "
             "files (and go when nothing else is in them); 0 keeps every day",
     .field = [](SettingsRecord& s) -> SettingField { return &s.ARCHIVE_DAYS; }},
};

// The index of `key`'s row, letter case ignored as the file ignores it; -1
// when the station has no key of that name.
constexpr int setting_index(std::string_view key) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (int i = 0; i < int(std::size(SETTING_KEYS)); ++i) {
        std::string_view name = SETTING_KEYS[i].key;
        bool same = name.size() == key.size();
        for (size_t at = 0; same && at < key.size(); ++at) same = lower(name[at]) == lower(key[at]);
        if (same) return i;
    }
    return -1;
}

// The row of `key`; nullptr when the station has no key of that name.
inline const SettingKey* find_setting(std::string_view key) {
    const int index = setting_index(key);
    return index < 0 ? nullptr : &SETTING_KEYS[index];
}

// The row of a key the code names: a name the table lacks does not compile.
consteval const SettingKey& setting_key(std::string_view key) {
    const int index = setting_index(key);
    if (index < 0) throw "no such settings key";
    return SETTING_KEYS[index];
}

// A number read as text of at most 31 characters: empty gives `def`,
// anything else its leading decimal number (how a count key is read).
long read_number_setting(const char* section, const char* key, long def, const char* file);

// The top of a number key's range for these settings.
long setting_high(const SettingKey& key, const SettingsRecord& record);

// What a number read for `key` becomes: itself when the row takes it,
// otherwise what the row's rule makes of it (the nearer end of the range,
// the fallback; a kept key keeps it). A refused value gives the default.
long setting_in_range(const SettingKey& key, long value, const SettingsRecord& record);

// Why `value` is refused for `key` in words that name the key, or "": a
// value outside the refused range, a choice not offered, a number out of
// range (the owning module's words where it has them).
std::string setting_value_problem(const SettingKey& key, long value, const SettingsRecord& record);

// Why the text typed into a dialog for a number key is refused, or "":
// empty is the default, anything else must be a whole number the key takes.
// *value gets the number taken.
std::string typed_setting_problem(const SettingKey& key, const std::string& text,
                                  const SettingsRecord& record, long* value);

// Reads every key of the section of `file` (those of `module` alone when it
// is given) into `record`, each by its row. With a report, each stored value
// not used as written (no number, out of range, too long) is noted there as
// a warning naming the key, and a refused one as an error.
void read_settings(SettingsRecord& record, const std::string& file, SettingsReport* report,
                   const char* module = nullptr);

// A number key as start-up takes it from `file`, in range for `record`
// (its top may follow another key's value there), without a report.
long read_setting_number(const SettingKey& key, const std::string& file,
                         const SettingsRecord& record);

// The value `record` holds for `key` as the settings file holds it: a number
// in decimals ("" for an empty_means key at 0), a text as it is.
std::string setting_text(const SettingKey& key, SettingsRecord& record);
// A number as the file holds it for `key`.
std::string setting_number_text(const SettingKey& key, long value);

// Every key of the section that the station does not know (a misspelt one
// is ignored, and its value with it): a warning at its line.
void check_unknown_settings(const std::string& file, SettingsReport& report);

// The settings list of the README (a Markdown table) or of the man page (roff
// for help2man's --include, under a [SETTINGS] heading).
enum class ReferenceFormat { markdown, man };
std::string settings_reference(ReferenceFormat format);
