#include "app/settings_dialogs.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/context.h"
#include "base/messages.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "codec/set_rate.h"
#include "codec/stream_rate.h"
#include "media/script_file.h"
#include "platform/autostart.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "server/station_socket.h"

const ConnectionRate CONNECTION_RATES[CONNECTION_RATE_COUNT] = {
    {"28800 (28.8/56 modem)", 28800},
    {"64k (ISDN)", 64000},
    {"128k (ADSL/Cable/Dual ISDN)", 128000},
    {"1.53M (T1)", 1530000},
    {"10M (10Base)", 10000000},
    {"44.53M (T3)", 44530000},
    {"100M (100Base)", 100000000},
};

namespace {

// A typed text without the blanks around it.
std::string trim_blanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

int clamp_to_int(uint64_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

}  // namespace

// ---- Options ----

int parse_bit_rate(const char* text) {
    std::string number;
    uint64_t multiplier = 1;
    for (const char* p = text ? text : ""; *p; ++p) {
        if (is_blank(*p) || *p == ',') continue;
        if (isdigit(static_cast<unsigned char>(*p)) || *p == '.') {
            number += *p;
            continue;
        }
        if (*p == 'k' || *p == 'K') multiplier = 1000;
        if (*p == 'm' || *p == 'M') multiplier = 1000000;
        break;
    }
    // Whole part, then the fraction up to a second point. Only as many
    // fraction digits as the multiplier has zeros can reach the truncated
    // result; the whole part saturates long before it could overflow.
    const uint64_t kSaturated = uint64_t{1} << 40;
    uint64_t whole = 0;
    size_t at = 0;
    for (; at < number.size() && number[at] != '.'; ++at)
        whole = std::min<uint64_t>(whole * 10 + static_cast<uint64_t>(number[at] - '0'), kSaturated);
    uint64_t fraction = 0, scale = 1;
    if (at < number.size()) {
        for (++at; at < number.size() && number[at] != '.' && scale < multiplier; ++at) {
            fraction = fraction * 10 + static_cast<uint64_t>(number[at] - '0');
            scale *= 10;
        }
    }
    return clamp_to_int(whole * multiplier + fraction * multiplier / scale);
}

OptionsView options_view(StationState& s, bool no_sound_card) {
    OptionsView view;
    if (no_sound_card) {
        view.live_enabled = false;
        s.MODE = 0;
    }
    view.mode = s.MODE == 0 ? 0 : 1;
    view.audio_type = audio_type_of(s.SamplingRate);
    view.bandwidth_text = std::to_string(s.BANDWIDTH);
    for (int i = 0; i < CONNECTION_RATE_COUNT; ++i)
        if (CONNECTION_RATES[i].value == s.BANDWIDTH) view.rate_index = i;
    view.script = s.StationScript;
    return view;
}

namespace {

// The stream rate the settings file holds, as start-up takes it: what a
// dialog writes back when the operator did not set one.
int stored_transfer_rate(const StationState& s) {
    return static_cast<int>(read_setting_number(setting_key("TransferRate"), s.settings_file, s));
}

// The sampling rate the settings file holds, as start-up takes it: what
// Options writes back when the audio type was not changed (the one in
// memory may be a script's, played after its question).
int stored_sampling_rate(const StationState& s) {
    return static_cast<int>(read_setting_number(setting_key("SamplingRate"), s.settings_file, s));
}

}  // namespace

std::string bit_rate_problem(const std::string& text) {
    if (parse_bit_rate(text.substr(0, BANDWIDTH_TEXT_MAX).c_str()) > 0) return "";
    return "Broadcaster Connection Bit Rate: \"" + text.substr(0, 40) +
           "\" is not a bit rate. Type bits per second, such as 64000, 64k or 1.53M.";
}

int options_ok(Context& ctx, const OptionsChoice& choice) {
    StationState& s = ctx.state;
    const std::string bit_rate = bit_rate_problem(choice.bandwidth_text);
    if (!bit_rate.empty()) {
        show_message(ctx, true, Buttons::ok | Icon::error, "%s", bit_rate.c_str());
        return 0;
    }
    int bandwidth = parse_bit_rate(choice.bandwidth_text.substr(0, BANDWIDTH_TEXT_MAX).c_str());
    s.BANDWIDTH = static_cast<int>(setting_in_range(setting_key("BANDWIDTH"), bandwidth, s));
    if (s.MAX_CLIENT <= 0) {
        show_message(
            ctx, true, Buttons::ok,
            "Warning: Not enough bandwidth\nLower the bit rate or change the MAX listeners.");
        return 0;
    }
    if (s.INTRANET &&
        show_message(ctx, true, Buttons::yes_no,
                     "Warning: Your station will not be listed in our directory as you have "
                     "intranet mode selected.\nDo you want to continue?") != Answer::yes)
        return 0;
    // A path is never cut: a shorter one would name another file.
    if (choice.script.size() > SCRIPT_PATH_MAX) {
        show_message(ctx, true, Buttons::ok | Icon::error,
                     "The script path is longer than %d characters: %.60s...", SCRIPT_PATH_MAX,
                     choice.script.c_str());
        return 0;
    }
    // "Music" stands for every rate but 8000: the stored rate (16000, 44100)
    // stays unless the operator chose the other type; songs prepared for it
    // would no longer match.
    const bool rate_chosen = choice.audio_type != audio_type_of(s.SamplingRate);
    if (rate_chosen) apply_sampling_rate(s, ctx.codec, AUDIO_TYPE_RATES[choice.audio_type == 0 ? 0 : 1]);
    const std::string old_script = s.StationScript;
    s.MODE = choice.mode == 0 ? 0 : 1;
    s.StationScript = choice.script;
    std::string notes, problem;
    // Said when the rate changes, not at every OK.
    if (rate_chosen) notes = stream_rate_note(s.SamplingRate, s.TransferRate);
    if (s.MODE == 0 && !s.StationScript.empty() && s.StationScript != old_script &&
        !script_readable(s.StationScript, &problem))
        notes += std::string(notes.empty() ? "" : "\n") + "Warning: the script " + s.StationScript +
                 " cannot be opened (" + problem + "); Start will open the Script Builder.";

    SettingsWrite write;
    write_setting(ctx, write, setting_key("SamplingRate"),
                  rate_chosen ? s.SamplingRate : stored_sampling_rate(s));
    write_setting(ctx, write, setting_key("MBONE"));
    write_setting(ctx, write, setting_key("BANDWIDTH"));
    write_setting(ctx, write, setting_key("ImageQuality"));
    // This dialog sets no stream rate: the file keeps its own, never the
    // one a loaded script plays at (which may lie below what start-up takes).
    write_setting(ctx, write, setting_key("TransferRate"), stored_transfer_rate(s));
    write_setting(ctx, write, setting_key("Mode"));
    write_setting(ctx, write, setting_key("MBONEIP"));
    write_setting(ctx, write, setting_key("INTRANET"));
    write_setting(ctx, write, setting_key("StationScript"));
    if (!finish_settings_write(ctx, write)) return 0;
    if (!notes.empty()) show_message(ctx, true, Buttons::ok | Icon::warning, "%s", notes.c_str());
    return 1;
}

std::string stream_rate_note(int sampling_rate, int rate) {
    if (sampling_rate <= 0) return "";
    CodecState probe;
    set_rate(probe, sampling_rate, rate);
    const int sent =
        static_cast<int>(static_cast<int64_t>(sampling_rate) * probe.rate_percent / 100);
    if (sent == rate || transfer_rate_for_percent(sampling_rate, probe.rate_percent) == rate)
        return "";
    char text[256];
    snprintf(text, sizeof text,
             "The stream rate of %d bytes per second goes on the air as %d bytes per second "
             "(%d %% of %d Hz): the codec codes whole percentages of the sampling rate.",
             rate, sent, probe.rate_percent, sampling_rate);
    return text;
}

// ---- Expert Settings ----

int max_stream_rate(int sampling_rate, int bandwidth) {
    int maximum = std::min(sampling_rate, bandwidth / 8);
    return std::min(maximum, STREAM_RATE_CEILING);
}

std::string stream_rate_text(int rate) {
    const char* connection = rate > 7000   ? "T1/LAN"
                             : rate > 5000 ? "ISDN"
                             : rate > 2530 ? "56k"
                             : rate > 1600 ? "28.8k"
                                           : "14.4";
    long long bits = static_cast<long long>(rate) * 8;
    char text[64];
    snprintf(text, sizeof text, "%lld,%03lld bps (%s)", bits / 1000, bits % 1000, connection);
    return text;
}

int scroll_stream_rate(int value, int request, int thumb, int maximum) {
    switch (request) {
        case SCROLL_LINE_LEFT: value -= STREAM_RATE_LINE; break;
        case SCROLL_LINE_RIGHT: value += STREAM_RATE_LINE; break;
        case SCROLL_PAGE_LEFT: value -= STREAM_RATE_PAGE; break;
        case SCROLL_PAGE_RIGHT: value += STREAM_RATE_PAGE; break;
        case SCROLL_THUMB_POSITION:
        case SCROLL_THUMB_TRACK: value = thumb; break;
        case SCROLL_TO_LEFT: value = maximum; break;
        case SCROLL_TO_RIGHT: value = STREAM_RATE_FLOOR; break;
        default: break;
    }
    if (value < STREAM_RATE_FLOOR) value = STREAM_RATE_FLOOR;
    if (value > maximum) value = maximum;
    return value;
}

bool specific_ip_acceptable(const std::string& text) {
    in_addr parsed{};
    if (inet_aton(text.c_str(), &parsed) == 0) return false;
    uint32_t host = ntohl(parsed.s_addr);
    uint32_t first = host >> 24, last = host & 0xFF;
    return first != 0 && first != 255 && last != 0 && last != 255;
}

int find_item_with_prefix(const std::vector<std::string>& items, const std::string& prefix) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].size() >= prefix.size() &&
            strncasecmp(items[i].c_str(), prefix.c_str(), prefix.size()) == 0)
            return static_cast<int>(i);
    return -1;
}

std::vector<std::string> local_address_texts() {
    char name[129] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    uint32_t found[32];
    int count = station_address_choices(name, found, 32);
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        char text[INET_ADDRSTRLEN];
        in_addr addr{found[i]};
        texts.push_back(inet_ntop(AF_INET, &addr, text, sizeof text) ? text : "");
    }
    return texts;
}

ExpertView expert_view(const StationState& s, std::vector<std::string> addresses) {
    ExpertView view;
    view.specific_ip = s.SPECIFIC_IP != 0;
    view.addresses = std::move(addresses);
    const std::string problem = address_problem(s.IP_ADDR);
    auto exact = std::find(view.addresses.begin(), view.addresses.end(), s.IP_ADDR);
    if (exact != view.addresses.end()) {
        view.address_index = static_cast<int>(exact - view.addresses.begin());
    } else if (problem.empty() && std::count(s.IP_ADDR.begin(), s.IP_ADDR.end(), '.') == 3) {
        // A stored address the name look-up does not give (an alias, a
        // loopback address of its own) is offered first, so that OK keeps it.
        view.addresses.insert(view.addresses.begin(), s.IP_ADDR);
        view.address_index = 0;
    } else {
        view.address_index = find_item_with_prefix(view.addresses, s.IP_ADDR);
        if (view.address_index < 0 && !view.addresses.empty()) view.address_index = 0;
    }
    view.auto_rate = s.Stream2X != 0;
    view.autostart = s.AutoStart != 0;
    view.maximum = max_stream_rate(s.SamplingRate, s.BANDWIDTH);
    view.rate = s.TransferRate;
    view.repeater = s.RepeaterIP;
    view.web_listen = s.WEB_LISTEN;
    view.web_bitrate = s.WEB_BITRATE;
    if (!problem.empty() && (s.SPECIFIC_IP || s.IP_ADDR != "0.0.0.0"))
        view.address_note = "The stored address IP_ADDR=" + s.IP_ADDR + " " + problem +
                            ": the station cannot bind to it. Choose one of this computer's addresses.";
    return view;
}

std::string web_listen_problem(const std::string& typed) {
    const std::string text = trim_blanks(typed);
    std::string address, problem;
    int port = 0;
    if (text.empty() || parse_web_listen(text, &address, &port, &problem)) return "";
    return problem;
}

int expert_ok(Context& ctx, const ExpertChoice& choice, const std::string& program) {
    StationState& s = ctx.state;
    SettingsWrite write;
    if (const std::string problem = web_listen_problem(choice.web_listen); !problem.empty()) {
        show_message(ctx, true, Buttons::ok | Icon::error, "%s", problem.c_str());
        return 0;
    }
    if (choice.web_bitrate < WEB_BITRATE_MIN || choice.web_bitrate > WEB_BITRATE_MAX) {
        show_message(ctx, true, Buttons::ok | Icon::error,
                     "WEB_BITRATE must be %d to %d kbit/s, not %d", WEB_BITRATE_MIN,
                     WEB_BITRATE_MAX, choice.web_bitrate);
        return 0;
    }
    if (choice.specific_ip) {
        if (!specific_ip_acceptable(choice.address)) {
            show_message(ctx, true, Buttons::ok, "Invalid Specific IP Address");
            return 0;
        }
        // Asked when the operator binds to another address, not at every OK.
        const bool address_chosen = !s.SPECIFIC_IP || choice.address != s.IP_ADDR;
        if (address_chosen &&
            show_message(ctx, true, Buttons::yes_no,
                         "Warning: Make sure you get the correct IP from your network "
                         "administrator.\nDo you want to continue?") != Answer::yes)
            return 0;
        s.IP_ADDR = choice.address;
        write_setting(ctx, write, setting_key("IP_ADDR"));
        s.SPECIFIC_IP = 1;
    } else {
        s.SPECIFIC_IP = 0;
    }
    s.Stream2X = choice.auto_rate ? 1 : 0;
    s.AutoStart = choice.autostart ? 1 : 0;
    // An untouched bar keeps the file's rate: the one in memory may be a
    // loaded script's, below what start-up takes (1920 at 16000 Hz).
    const int old_rate = s.TransferRate;
    int stored_rate = stored_transfer_rate(s);
    if (choice.rate_moved) {
        stored_rate = storable_transfer_rate(choice.rate, s.SamplingRate);
        set_stream_rate(s, ctx.codec, s.SamplingRate, stored_rate);
    }
    write_setting(ctx, write, setting_key("Stream2X"));
    write_setting(ctx, write, setting_key("AutoStart"));
    write_setting(ctx, write, setting_key("TransferRate"), stored_rate);
    write_setting(ctx, write, setting_key("SPECIFIC_IP"));
    // The stored address list may be far longer than the edit holds: only
    // an edit by the operator replaces it.
    if (choice.repeater_edited) s.RepeaterIP = choice.repeater.substr(0, REPEATER_EDIT_MAX);
    write_setting(ctx, write, setting_key("RepeaterIP"));
    // A file that never named the page keeps not naming it.
    const std::string web_listen = trim_blanks(choice.web_listen);
    if (web_listen != s.WEB_LISTEN) {
        s.WEB_LISTEN = web_listen;
        write_setting(ctx, write, setting_key("WEB_LISTEN"));
    }
    if (choice.web_bitrate != s.WEB_BITRATE) {
        s.WEB_BITRATE = choice.web_bitrate;
        write_setting(ctx, write, setting_key("WEB_BITRATE"));
    }
    if (!finish_settings_write(ctx, write)) return 0;

    errno = 0;
    bool done = choice.autostart ? create_autostart_entry(program) : remove_autostart_entry();
    if (!done) {
        show_message(ctx, true, Buttons::ok | Icon::error,
                     "The autostart entry %s could not be %s: %s.", autostart_entry_path().c_str(),
                     choice.autostart ? "created" : "removed",
                     errno ? strerror(errno) : "invalid program path");
        return 0;
    }
    // The file says 1 (start at the next login); the running station must
    // not start by itself at its next timer tick.
    if (choice.autostart) s.AutoStart = 2;
    // Said when the rate changes, not at every OK.
    const std::string rounding =
        s.TransferRate != old_rate ? stream_rate_note(s.SamplingRate, s.TransferRate) : "";
    if (!rounding.empty())
        show_message(ctx, true, Buttons::ok | Icon::information, "%s", rounding.c_str());
    return 1;
}

// ---- Station Information ----

StationInfo station_info_view(const StationState& s) {
    return {s.StationName, s.StationLocation, s.StationCategory, s.StationEMAIL, s.WWW_URL, s.WWW_DESC};
}

CategoryChoice category_choice(int fetch_result, const std::vector<std::string>& fetched,
                               const std::string& stored) {
    CategoryChoice choice;
    if (fetch_result != 1 || fetched.empty()) {
        choice.items = {stored};
        return choice;
    }
    choice.items = fetched;
    choice.selected = std::max(find_item_with_prefix(fetched, stored), 0);
    return choice;
}

std::string category_fetch_note(int fetch_result, size_t fetched, const std::string& host,
                                const std::string& cause) {
    if (fetch_result == 1 && fetched > 0) return "";
    std::string why = fetch_result == -1  ? "another directory request was running"
                      : fetch_result == 1 ? "it sent no categories"
                      : !cause.empty()    ? cause
                                          : "it did not answer with the category list";
    return "The category list could not be fetched from " + host + ": " + why +
           ". Type the station's category (such as \\Music\\Rock).";
}

std::string http_failure_cause(const HttpExchange& exchange) {
    if (exchange.timed_out)
        return "no answer within " + std::to_string(exchange.timeout_ms / 1000) + " seconds";
    const std::string marker = "Failed: ";
    size_t at = exchange.log.rfind(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    return exchange.log.substr(at, exchange.log.find('\n', at) - at);
}

int station_info_ok(Context& ctx, const StationInfo& info) {
    // Each field is one line of the station-list record (and of the
    // settings file): line breaks become blanks.
    auto one_line = [](std::string text) {
        for (char& c : text)
            if (c == '\r' || c == '\n') c = ' ';
        return text;
    };
    StationState& s = ctx.state;
    s.StationName = one_line(info.name);
    s.StationLocation = one_line(info.location);
    s.StationCategory = one_line(info.category);
    s.StationEMAIL = one_line(info.email);
    s.WWW_URL = one_line(info.url);
    s.WWW_DESC = one_line(info.description);
    SettingsWrite write;
    for (const SettingKey& key : {setting_key("StationName"), setting_key("StationLocation"),
                                  setting_key("StationCategory"), setting_key("StationEMAIL"),
                                  setting_key("WWW_URL"), setting_key("WWW_DESC")})
        write_setting(ctx, write, key);
    return finish_settings_write(ctx, write);
}

// ---- Proxy Information ----

ProxyView proxy_view(bool reauthenticate) {
    ProxySettings stored;
    load_proxy_settings(stored);
    ProxyView view;
    view.server = stored.server;
    view.port = stored.port > 0 ? std::to_string(stored.port) : "";
    view.user_id = stored.user_id;
    view.password = stored.password;
    if (reauthenticate) {
        view.server_and_port_enabled = false;
        view.hint = PROXY_REENTRY_HINT;
    }
    return view;
}

int proxy_ok(Context& ctx, const ProxyView& entered) {
    long port = 0;
    if (!entered.port.empty()) {
        char* end = nullptr;
        port = strtol(entered.port.c_str(), &end, 10);
        if (*end || !isdigit(static_cast<unsigned char>(entered.port[0])) || port > 65535) {
            show_message(ctx, true, Buttons::ok | Icon::error,
                         "The proxy port must be a number from 0 to 65535, not \"%.20s\".",
                         entered.port.c_str());
            return 0;
        }
    }
    ProxySettings proxy{entered.server.substr(0, PROXY_FIELD_MAX), static_cast<int>(port),
                        entered.user_id.substr(0, PROXY_FIELD_MAX),
                        entered.password.substr(0, PROXY_FIELD_MAX)};
    errno = 0;
    if (!save_proxy_settings(proxy)) {
        show_message(ctx, true, Buttons::ok | Icon::error,
                     "The proxy settings could not be saved to %s: %s.",
                     registry_file_path().c_str(),
                     errno ? strerror(errno) : "the file cannot be written");
        return 0;
    }
    return 1;
}
