#pragma once
// The decisions of the four settings dialogs (Options, Expert Settings,
// Station Information, Proxy Information) without a window: what each
// control shows for the stored settings, what is enabled, which question
// comes when, and what is written in which order. The Qt views only move
// values between their controls and these functions.
//
// The *_ok functions are the dialogs' OK: they take what the operator set,
// ask the questions through the host, store the values in memory and in the
// settings file (or the per-user registry), and return 1 when the dialog may
// close, 0 when it stays open (a warning, a No, a refused value, a failed
// write, each told to the operator).

#include <string>
#include <vector>

#include "app/settings_schema.h"
#include "app/station_state.h"
#include "web/http_client.h"
#include "web/proxy_settings.h"

struct Context;

// ---- Options ----

struct ConnectionRate {
    const char* text;
    int value;  // parse_bit_rate(text)
};
constexpr int CONNECTION_RATE_COUNT = 7;
extern const ConnectionRate CONNECTION_RATES[CONNECTION_RATE_COUNT];
// The audio types in list order and their sampling rates.
constexpr const char* AUDIO_TYPE_NAMES[2] = {"Voice", "Music"};
constexpr int AUDIO_TYPE_RATES[2] = {8000, 22050};
// The audio type a sampling rate shows as: 8000 is voice, every other music.
inline int audio_type_of(int sampling_rate) { return sampling_rate == 8000 ? 0 : 1; }
constexpr int BANDWIDTH_MINIMUM = setting_key("BANDWIDTH").low;
constexpr int BANDWIDTH_TEXT_MAX = 11;  // characters of the bit-rate field that count
constexpr int SCRIPT_PATH_MAX = setting_key("StationScript").high;  // as long as it is read

// A bit rate as typed: blanks and commas are skipped, digits and points
// make the number (it ends at a second point), and the first other
// character multiplies it by 1000 ("k", "K") or 1000000 ("m", "M") or just
// ends it. The fraction is exact and independent of the locale ("1.53M" is
// 1530000); the result is truncated and a huge one clamps to INT_MAX. No
// number gives 0.
int parse_bit_rate(const char* text);

// Why the bit-rate field's text is refused ("" when it gives a rate), the
// field named: text without a number never becomes the lowest rate unseen.
std::string bit_rate_problem(const std::string& text);

struct OptionsView {
    bool live_enabled = true;  // no recording device: greyed
    int mode = 0;              // 0 script, 1 live
    int audio_type = 0;        // index into AUDIO_TYPE_NAMES
    std::string bandwidth_text;
    int rate_index = -1;       // the CONNECTION_RATES entry of BANDWIDTH; -1: the number alone
    std::string script;
};
// What the dialog shows on opening. Without a recording device the mode is
// set to script in memory as well.
OptionsView options_view(StationState& state, bool no_sound_card);
// The script label, edit and Browse are usable in script mode only.
inline bool options_script_enabled(int mode) { return mode == 0; }

struct OptionsChoice {
    int mode = 0;
    int audio_type = 0;
    std::string bandwidth_text;
    std::string script;
};
// OK of the Options dialog. A bit rate without a number is refused first;
// a good one goes into memory before the other checks (a refused OK keeps
// it there). The sampling rate changes only when the other audio type is
// chosen; TransferRate, intranet mode and the picture quality are written
// back as stored; intranet mode is confirmed at each OK while it is on.
// Keys written: SamplingRate, MBONE, BANDWIDTH, ImageQuality, TransferRate,
// Mode, MBONEIP, INTRANET, StationScript.
int options_ok(Context& ctx, const OptionsChoice& choice);

// What a stream rate becomes on the air: the codec codes whole percentages
// of the sampling rate, so 2500 bytes per second at 22050 Hz goes out as 11 %,
// 2425 bytes per second. "" when the rate goes out as it is; otherwise a
// sentence for the operator naming both rates.
std::string stream_rate_note(int sampling_rate, int rate);

// ---- Expert Settings ----

// The lowest rate start-up takes from the settings file (storable_transfer_rate).
constexpr int STREAM_RATE_FLOOR = setting_key("TransferRate").low;  // bytes per second
constexpr int STREAM_RATE_CEILING = 16000;
constexpr int STREAM_RATE_LINE = 125;
constexpr int STREAM_RATE_PAGE = 250;
constexpr int REPEATER_EDIT_MAX = 127;  // what the repeater edit holds

// The scroll bar's requests, numbered as the platform's.
enum ScrollRequest {
    SCROLL_LINE_LEFT = 0,
    SCROLL_LINE_RIGHT = 1,
    SCROLL_PAGE_LEFT = 2,
    SCROLL_PAGE_RIGHT = 3,
    SCROLL_THUMB_POSITION = 4,
    SCROLL_THUMB_TRACK = 5,
    SCROLL_TO_LEFT = 6,   // jumps to the maximum rate
    SCROLL_TO_RIGHT = 7,  // jumps to the floor
};

// The highest stream rate: the smallest of the sampling rate, BANDWIDTH / 8
// and 16000 bytes per second.
int max_stream_rate(int sampling_rate, int bandwidth);
// "20,480 bps (56k)": the rate in bits per second with its connection class.
std::string stream_rate_text(int rate);
// The rate after one scroll request on `value`, limited to 2000 .. maximum
// (the maximum wins when it is itself under 640).
int scroll_stream_rate(int value, int request, int thumb, int maximum);
// A dotted address the station may bind: it parses, and neither its first
// nor its last byte is 0 or 255.
bool specific_ip_acceptable(const std::string& text);
// The first item that begins with `prefix`, letter case ignored; -1 when none does.
int find_item_with_prefix(const std::vector<std::string>& items, const std::string& prefix);
// This computer's IPv4 addresses as dotted texts (see station_address_choices).
std::vector<std::string> local_address_texts();

struct ExpertView {
    bool specific_ip = false;  // also: the address list is usable
    std::vector<std::string> addresses;
    // IP_ADDR's own item (a usable stored address the list lacks comes
    // first), else the first beginning with it, else the first.
    int address_index = -1;
    bool auto_rate = false;
    bool autostart = false;
    int maximum = 0;           // of the scroll bar
    int rate = 0;              // TransferRate, kept even above the maximum until the first scroll
    std::string repeater;
    // A stored IP_ADDR the station cannot use (address_problem), named so
    // that OK does not put the list's first address in its place unseen;
    // "" when the stored address is usable or none was chosen.
    std::string address_note;
    std::string web_listen;  // the listeners' page: [ADDR:]PORT, "" for none
    int web_bitrate = 0;     // kbit/s of its stream
};
ExpertView expert_view(const StationState& state, std::vector<std::string> addresses);

struct ExpertChoice {
    bool specific_ip = false;
    std::string address;
    bool auto_rate = false;
    bool autostart = false;
    int rate = 0;
    std::string repeater;        // the repeater edit's text
    bool repeater_edited = false;  // unedited: the stored RepeaterIP is written back whole
    bool rate_moved = false;       // untouched: TransferRate stays as the file holds it
    std::string web_listen = "";   // as typed; blanks around it do not count
    int web_bitrate = WEB_BITRATE_DEFAULT;
};
// Why the typed WEB_LISTEN cannot be served ("" when it is empty or can):
// the text names the key, what it takes and what was typed.
std::string web_listen_problem(const std::string& typed);
// OK of the Expert Settings dialog: the address check, its question when
// the bound address changes, IP_ADDR written at once when confirmed, then Stream2X, AutoStart,
// TransferRate, SPECIFIC_IP and RepeaterIP, then WEB_LISTEN and WEB_BITRATE
// when they changed (a page address that is no address, or a rate out of
// range, is refused before anything is asked or written; the page moves at
// the next start); then the autostart entry for
// `program` is created (AutoStart becomes 2 in memory, so the running
// station does not start by itself) or removed. A failed entry is told.
int expert_ok(Context& ctx, const ExpertChoice& choice, const std::string& program);

// ---- Station Information ----

// What the settings file gives back at the next start: a longer text would
// come back cut.
constexpr int STATION_FIELD_MAX = setting_key("StationName").high;
constexpr int STATION_DESCRIPTION_MAX = setting_key("WWW_DESC").high;

struct StationInfo {
    std::string name, location, category, email, url, description;
};
StationInfo station_info_view(const StationState& state);

struct CategoryChoice {
    std::vector<std::string> items;
    int selected = 0;
};
// The category list after fetch_categories answered `fetch_result`: the
// directory's list with the first item that begins with the stored
// category selected (or the first item); when the list could not be had
// (or came empty) the stored category stays the only item, so that OK
// never stores an empty category in its place.
CategoryChoice category_choice(int fetch_result, const std::vector<std::string>& fetched,
                               const std::string& stored);
// Why the directory gave no categories, told under the list, which then
// takes a typed category: "" when the list came. `host` is CATEGORIES_URL,
// `cause` what the request ran into (http_failure_cause), "" when unknown.
std::string category_fetch_note(int fetch_result, size_t fetched, const std::string& host,
                                const std::string& cause);
// What ended a request without a reply: the look-up, connect or receive
// error, or the time-out; "" when it ended otherwise.
std::string http_failure_cause(const HttpExchange& exchange);

// OK: StationName, StationLocation, StationCategory, StationEMAIL, WWW_URL,
// WWW_DESC, in memory and in this order in the settings file, each as one
// line (line breaks become blanks).
int station_info_ok(Context& ctx, const StationInfo& info);

// ---- Proxy Information ----

constexpr const char* PROXY_HINT = "Leave blank if you do not use proxy server.";
constexpr const char* PROXY_REENTRY_HINT = "Please re-enter the user id and password.";

struct ProxyView {
    std::string server, port, user_id, password;  // the password unscrambled
    bool server_and_port_enabled = true;           // locked when re-authenticating
    const char* hint = PROXY_HINT;
};
// The stored values (per-user registry) as the dialog shows them.
ProxyView proxy_view(bool reauthenticate);
// OK: saves the four values as --set-proxy does (the password scrambled
// with the key of the user id just typed). A port that is no number from 0
// to 65535, or a registry that cannot be written, is told; 0 then.
int proxy_ok(Context& ctx, const ProxyView& entered);
