#include "app/settings_check.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/context.h"
#include "app/settings.h"
#include "codec/sample_file.h"
#include "icecast/icecast_settings.h"
#include "media/sample_compression.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/safe_files.h"
#include "media/picture_check.h"

namespace {

bool ends_with_wav(const std::string& name) {
    return name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".wav") == 0;
}

// One address key in use: an error naming the key, its value and why.
void check_address(SettingsReport& report, const std::string& file, const char* key,
                   const std::string& value, const std::string& why, const char* use) {
    if (why.empty()) return;
    add_key_problem(report, file, key, std::string(key) + "=" + value + " " + why + " (" + use + ")", true);
}

// The songs of one script line: the files the station plays, prepared at
// these rates and, for a WAV source, from that source.
void check_song(SettingsReport& report, const std::string& script, int line, const std::string& song,
                int sampling_rate, int main_code, int companion_code) {
    auto problem = [&](const std::string& text) { add_problem(report, script, line, text, true); };
    if (song.empty()) return problem("no song is named");
    const std::string played = played_song_name(song);
    if (std::string why = compressed_song_problem(played, sampling_rate); !why.empty())
        return problem(why + (ends_with_wav(song) ? " (velmora-compress prepares it)" : ""));
    if (ends_with_wav(song) && access(song.c_str(), F_OK) == 0) {
        if (std::string why = song_out_of_date(song, played, sampling_rate, main_code, companion_code);
            !why.empty())
            problem(why + ": velmora-compress prepares it again");
        return;
    }
    // A prepared song without its source: its own files must suit these rates.
    for (const std::string& file : {played, companion_name(played)}) {
        const int code = file == played ? main_code : companion_code;
        FILE* f = open_regular_file(file.c_str());
        SampleFileHeader header;
        const bool read = f != nullptr && read_sample_header(f, header) == 1 && header.magic_ok;
        if (f != nullptr) std::fclose(f);
        if (!read && file != played)  // the station plays on; the double-rate stream stays silent
            add_problem(report, script, line, file + ": missing or not a compressed sample file", false);
        else if (!read)
            problem(file + ": missing or not a compressed sample file");
        else if (header.rate_code != code)
            problem(file + ": made with rate code " + std::to_string(header.rate_code) +
                    ", these settings give " + std::to_string(code));
    }
}

// The groups `velmora-station --check` runs, in order. Another group is
// one more function and one more line here.
void check_file_group(Context& ctx, SettingsReport& report) {
    check_settings_file(ctx.state.settings_file, report);
    check_unknown_settings(ctx.state.settings_file, report);
    load_settings(ctx, false, &report);
    ctx.live_ring.feed_mode = feed_of_mode(ctx.state.MODE);
}
// `velmora-station --check` speaks for the headless station, which does not
// start with a WEB_LISTEN it cannot serve.
void check_network_group(Context& ctx, SettingsReport& report) {
    check_network_settings(ctx, report);
    check_web_listen(ctx, report, true);
}
void check_script_group(Context& ctx, SettingsReport& report) {
    // A live station needs no script, but one that is named must be good.
    if (ctx.live_ring.feed_mode != FeedMode::script && ctx.state.StationScript.empty()) return;
    const int before = report.errors();
    check_station_script(ctx, report, true);
    if (report.errors() == before) check_script_material(ctx, report);
}

// The fallback script must play at the station's sampling rate.
void check_fallback_group(Context& ctx, SettingsReport& report) {
    const std::string& script = ctx.state.FALLBACK_SCRIPT;
    if (script.empty()) return;
    ScriptTable table;
    const std::string problem = load_fallback_script(ctx, table, script, ctx.state.SamplingRate);
    free_script_table(ctx, table);
    if (!problem.empty())
        add_key_problem(report, ctx.state.settings_file, "FALLBACK_SCRIPT",
                        "the fallback script " + script + " " + problem, true);
}

struct CheckGroup {
    const char* name;
    void (*run)(Context&, SettingsReport&);
};
const CheckGroup kCheckGroups[] = {
    {"settings file", check_file_group},
    {"addresses and ports", check_network_group},
    {"script", check_script_group},
    {"fallback script", check_fallback_group},
};

}  // namespace

std::string address_problem(const std::string& text) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return "is not a dotted IPv4 address";
    if (parsed.s_addr == htonl(INADDR_ANY)) return "names no host";
    if (parsed.s_addr == htonl(INADDR_BROADCAST)) return "is the broadcast address";
    return "";
}

std::string repeater_problem(const std::string& text) {
    if (text.empty() || text[0] == ' ') return "";
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const std::string port = text.substr(colon + 1);
        const long number = port.find_first_not_of("0123456789") == std::string::npos && !port.empty() &&
                                    port.size() <= 5
                                ? atol(port.c_str())
                                : 0;
        if (number < 1 || number > 65535) return "has no port of 1 to 65535 after the colon";
    }
    if (host.empty()) return "names no host";
    // Digits and dots are meant as an address; anything else is a host name.
    if (host.find_first_not_of("0123456789.") == std::string::npos) return address_problem(host);
    for (char c : host)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
            return "is neither a dotted IPv4 address nor a host name";
    return "";
}

void check_network_settings(const Context& ctx, SettingsReport& report) {
    const StationState& s = ctx.state;
    const std::string& file = s.settings_file;
    if (s.SPECIFIC_IP)
        check_address(report, file, "IP_ADDR", s.IP_ADDR, address_problem(s.IP_ADDR),
                      "SPECIFIC_IP=1 binds the station to it");
    if (s.MBONE)
        check_address(report, file, "MBONEIP", s.MBONEIP, address_problem(s.MBONEIP),
                      "MBONE=1 sends a copy of everything to it");
    check_address(report, file, "RepeaterIP", s.RepeaterIP, repeater_problem(s.RepeaterIP),
                  "the repeater is sent everything");
    check_address(report, file, "MASTER_IP", s.MASTER_IP, address_problem(s.MASTER_IP),
                  "the master station is told of each start and stop");
    // The first listener is admitted only while BANDWIDTH leaves room for it.
    if (int64_t(s.BANDWIDTH) < 8 * int64_t(s.TransferRate))
        add_key_problem(report, file, "BANDWIDTH",
                        "BANDWIDTH=" + std::to_string(s.BANDWIDTH) +
                            " bits per second cannot carry one listener at TransferRate=" +
                            std::to_string(s.TransferRate) + " bytes per second (" +
                            std::to_string(8 * s.TransferRate) +
                            " bits per second): every listener would be refused \"Busy\"",
                        false);
    // A folder the archive cannot write into leaves it off; the station runs on.
    if (!s.ARCHIVE_DIR.empty()) {
        const std::string problem =
            archive_folder_problem(archive_folder(s.ARCHIVE_DIR, file), false);
        if (!problem.empty())
            add_key_problem(report, file, "ARCHIVE_DIR", problem + ": the archive stays off", false);
    }
    // A wrong Icecast key leaves that output off; the UDP station runs on.
    const std::vector<IcecastProblem> problems = icecast_settings_problems(s.icecast);
    for (const IcecastProblem& problem : problems)
        add_key_problem(report, file, problem.key, problem.text + ": the Icecast output stays off", false);
    // The password file is read as the station will read it: run the check
    // as the station's user (or in its service) to learn whether that user can.
    std::string icecast;
    IcecastPassword password;
    if (!problems.empty() || s.icecast.url.empty()) return;
    if (!read_icecast_password(s.icecast, file, &password, &icecast))
        add_key_problem(report, file, "ICECAST_PASSWORD_FILE",
                        icecast + ": the Icecast output stays off", false);
    else if (!s.icecast.password.empty() && !password.file.empty())
        add_key_problem(report, file, "ICECAST_PASSWORD",
                        "ICECAST_PASSWORD is not used: the password comes from " + password.key +
                            " (" + password.file + ")",
                        false);
}

void check_web_listen(const Context& ctx, SettingsReport& report, bool required) {
    const std::string& text = ctx.state.WEB_LISTEN;
    std::string address, problem;
    int port = 0;
    if (text.empty() || parse_web_listen(text, &address, &port, &problem)) return;
    add_key_problem(
        report, ctx.state.settings_file, "WEB_LISTEN",
        problem + (required ? ": the station does not start" : ": the web page stays off"),
        required);
}

void check_settings_file(const std::string& path, SettingsReport& report) {
    const ProfileSummary summary = summarize_profile(SETTINGS_SECTION, path.c_str());
    if (!summary.exists) return;
    if (summary.read_error == EFBIG) {
        add_problem(report, path, 0,
                    "the settings file is larger than " + std::to_string(PROFILE_MAX_BYTES / 1024) +
                        " kB, so it is not read",
                    true);
    } else if (summary.read_error) {
        add_problem(report, path, 0, std::string("the settings file cannot be read: ") + strerror(summary.read_error),
                    true);
    } else if (!summary.has_section && summary.loose_keys + summary.other_section_keys > 0) {
        const int keys = summary.loose_keys + summary.other_section_keys;
        add_problem(report, path, summary.first_loose_key_line,
                    "no [" + std::string(SETTINGS_SECTION) + "] line, so " +
                        (keys == 1 ? "the one setting" : "all " + std::to_string(keys) + " settings") +
                        " of this file would be ignored",
                    true);
    } else if (summary.loose_keys > 0) {
        add_problem(report, path, summary.first_loose_key_line,
                    (summary.loose_keys == 1 ? "a setting" : std::to_string(summary.loose_keys) + " settings") +
                        " before the [" + SETTINGS_SECTION + "] line " +
                        (summary.loose_keys == 1 ? "is" : "are") + " ignored",
                    false);
    }
    // A service runs as a user of its own (DynamicUser=): a settings file
    // that root checks and other users cannot read would end it at every
    // start, while root itself reads it well.
    FileReaders readers;
    if (!summary.read_error && file_readers(path, &readers) && readers.runner == "root" &&
        !readers.all_can_read)
        add_problem(report, path, 0,
                    "other users cannot read the settings file: a service "
                    "(velmora-station@NAME) runs as a user of its own and would end with status 1 "
                    "at every start; keep it readable by all (chmod 644) and the Icecast password "
                    "out of it (ICECAST_PASSWORD_FILE or the credential icecast-password)",
                    false);
    // A value cut at a NUL byte names another file or number than the
    // line shows.
    for (int line : summary.nul_lines)
        add_problem(report, path, line, "the line holds a NUL byte: its value ends there", true);
    for (const ProfileSummary::Repeat& repeat : summary.repeats) {
        const std::string first = std::to_string(repeat.first);
        std::string text = repeat.key;
        if (text.empty())  // built by appending: GCC 12 warns on "[" + name
            text.append("[").append(SETTINGS_SECTION).append("] begins again: its keys count only where line ")
                .append(first).append("'s section and those before do not set them");
        else
            text.append(" is set again and ignored: line ").append(first).append(" sets it");
        add_problem(report, path, repeat.line, text, false);
    }
}

void check_station_script(const Context& ctx, SettingsReport& report, bool needed) {
    const std::string& script = ctx.state.StationScript;
    if (script.empty()) {
        if (!needed) return;
        add_key_problem(report, ctx.state.settings_file, "StationScript",
                        "no script to play: StationScript names none (or set Mode=1 for a live feed)", true);
        return;
    }
    std::string why;
    FILE* f = open_regular_file(script.c_str(), &why);
    if (f == nullptr) {
        add_key_problem(report, ctx.state.settings_file, "StationScript",
                        "the script " + script + " (StationScript) cannot be opened: " + why, true);
        return;
    }
    std::fclose(f);
}

void check_script_material(Context& ctx, SettingsReport& report) {
    const std::string& script = ctx.state.StationScript;
    ScriptText text;
    std::string why;
    if (script.empty() || !read_script_text(script.c_str(), text, &why)) return;
    auto problem = [&](int line, const std::string& what, bool error) {
        add_problem(report, script, line, what, error);
    };

    int position = 0, declared = 0;
    char song[SCRIPT_NAME_SIZE], picture[SCRIPT_NAME_SIZE], rest[SCRIPT_TEXT_SIZE];
    parse_script_line(ctx, text.bytes.data(), &position, &declared, song, picture, rest);
    if (std::strcmp(rest, "SCRIPT") != 0) return problem(1, "not a script: its first line does not end in \"SCRIPT\"", true);
    const StationState& s = ctx.state;
    const int script_rate = script_number(song), percent = script_number(picture);
    const int script_bytes = script_rate * percent / 100;
    if (script_rate != s.SamplingRate || std::abs(script_bytes - s.TransferRate) > 200)
        problem(1,
                "made for " + std::to_string(script_rate) + " Hz at " + std::to_string(script_bytes) +
                    " bytes per second, the settings say " + std::to_string(s.SamplingRate) + " Hz at " +
                    std::to_string(s.TransferRate) + ": the station asks before it plays the script",
                false);
    if (declared < 1) problem(1, "the header announces " + std::to_string(declared) + " songs", true);

    int main_code = 0, companion_code = 0;
    song_rate_codes(s.SamplingRate, s.TransferRate, &main_code, &companion_code);
    const int wanted = std::clamp(declared, 0, SCRIPT_MAX_ENTRIES);
    int line = 1, entries = 0;
    while (position < text.length) {
        ++line;
        int count = 0;
        if (!parse_script_line(ctx, text.bytes.data(), &position, &count, song, picture, rest)) continue;
        if (++entries > wanted) {
            problem(line, "beyond the " + std::to_string(wanted) + " songs the header announces", false);
            continue;
        }
        check_song(report, script, line, song[0] ? resolve_beside(script, song) : "", s.SamplingRate, main_code,
                   companion_code);
        if (!picture[0]) continue;
        const std::string picture_path = resolve_beside(script, picture);
        PictureFacts facts;
        if (check_picture_file(picture_path.c_str(), &facts) != 0)
            problem(line, picture_path + ": " + facts.problem, true);
    }
    if (entries == 0) problem(1, "the script has no songs", true);
}

int check_station(Context& ctx, SettingsReport& report) {
    for (const CheckGroup& group : kCheckGroups) group.run(ctx, report);
    return int(report.problems.size());
}

void tell_settings_problems(Context& ctx, const SettingsReport& report) {
    std::string replaced;
    for (const SettingsProblem& problem : report.problems) {
        if (problem.error)
            show_message(ctx, true, Buttons::ok | Icon::error, "%s", problem_text(problem).c_str());
        else
            replaced += (replaced.empty() ? "" : "; ") + problem_text(problem);
    }
    // Told without waiting for an OK: a station set to start by itself starts.
    if (!replaced.empty())
        ctx.host->notice(("Settings not used as written: " + replaced).c_str());
}

int load_tool_settings(Context& ctx) {
    SettingsReport report;
    check_settings_file(ctx.state.settings_file, report);
    const int file_errors = report.errors();
    load_settings(ctx, true, &report);
    tell_settings_problems(ctx, report);
    return file_errors == 0 ? 1 : 0;
}
