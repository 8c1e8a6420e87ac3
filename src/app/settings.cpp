#include "app/settings.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/context.h"
#include "icecast/icecast_settings.h"
#include "app/settings_report.h"
#include "codec/set_rate.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// The listener table's size: more configured listeners cannot be served.
constexpr int kListenerTableSize = 8192;
constexpr int kMinimumBandwidth = 28800;
// The station name defaults to the host name, cut to this length.
constexpr int kHostNameMax = 126;

// Reads keys of the settings file; with a report, every stored value that
// does not load as written (not a number, out of range, cut) is noted there
// as a warning naming the key, its text and what is used instead.
struct Reader {
    const char* file;
    SettingsReport* report = nullptr;

    int number(const char* key, int def) const {
        return get_private_profile_int(SETTINGS_SECTION, key, def, file);
    }
    // A text key with its limit of `limit` characters.
    std::string text(const char* key, const char* def, int limit) const {
        std::string buffer(static_cast<size_t>(limit) + 2, '\0');
        int length = get_private_profile_string(SETTINGS_SECTION, key, def, buffer.data(),
                                                limit + 2, file);
        if (length > limit) {
            length = limit;
            note(key, "is longer than " + std::to_string(limit) + " characters and is cut");
        }
        buffer.resize(static_cast<size_t>(length));
        return buffer;
    }
    // The stored text of a key; false when the file has none.
    bool stored(const char* key, std::string* value) const {
        if (!has_private_profile_key(SETTINGS_SECTION, key, file)) return false;
        char buffer[64];
        get_private_profile_string(SETTINGS_SECTION, key, "", buffer, sizeof buffer, file);
        *value = buffer;
        return true;
    }
    // Notes a number key whose stored text is not `used` written as a
    // plain whole number. An absent or empty key gives its default quietly.
    void check(const char* key, long used) const {
        std::string value;
        if (!report || !stored(key, &value) || value.empty()) return;
        long parsed = 0;
        if (whole_number(value, &parsed) && parsed == used) return;
        note(key, "=" + value + (whole_number(value, &parsed) ? " is out of range" : " is no number") +
                      ": " + std::to_string(used) + " is used");
    }
    void note(const char* key, const std::string& what) const {
        if (!report) return;
        add_key_problem(*report, file, key, key + (what[0] == '=' ? what : " " + what), false);
    }
    static bool whole_number(const std::string& text, long* value) {
        char* end = nullptr;
        errno = 0;
        *value = strtol(text.c_str(), &end, 10);
        return end != text.c_str() && *end == '\0' && errno == 0 && *value >= INT_MIN &&
               *value <= INT_MAX;
    }
};

int clamp(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

bool is_port(long value) { return value >= 1 && value <= 65535; }

// A port number, or `def` when the value cannot be one. A station port
// that is no port is an error (the station must not come up on another
// port than the operator gave); any other port a warning.
int port_setting(const Reader& read, const char* key, int def, bool station_port) {
    int port = read.number(key, def);
    std::string value;
    if (!is_port(port) && station_port && read.report && read.stored(key, &value)) {
        add_key_problem(*read.report, read.file, key,
                        std::string(key) + "=" + value + " is not a port (1 to 65535)", true);
        return def;
    }
    port = is_port(port) ? port : def;
    read.check(key, port);
    return port;
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    name[kHostNameMax] = '\0';
    return name;
}

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// The absolute path of an existing file, links resolved; `path` itself when
// that cannot be worked out.
std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

bool take_minimised_switch(std::string& command_line) {
    for (const char* flag : {"-S", "/S", "-s", "/s"}) {
        size_t at = command_line.find(flag);
        if (at == std::string::npos) continue;
        bool starts = at == 0 || is_blank(command_line[at - 1]);
        bool ends = at + 2 == command_line.size() || is_blank(command_line[at + 2]);
        if (!starts || !ends) return false;
        command_line.replace(at, 2, "  ");
        return true;
    }
    return false;
}

StartupOptions parse_command_line(const char* command_line) {
    StartupOptions options;
    std::string text = command_line ? command_line : "";
    options.start_minimised = take_minimised_switch(text);
    options.single_instance_check = text.empty();

    size_t first = 0, end = text.size();
    while (first < end && is_blank(text[first])) ++first;
    while (end > first && is_blank(text[end - 1])) --end;
    if (end - first >= 2 && text[first] == '"' && text[end - 1] == '"') {
        ++first;
        --end;
    }
    std::string name = text.substr(first, end - first);
    options.name_too_long = name.size() > SETTINGS_NAME_MAX;
    if (!name.empty()) options.settings_file = name;
    return options;
}

int find_settings_file(const char* name, std::string* path, std::string* problem) {
    if (!name || !*name) {
        *path = real_path(resolve_profile_path(DEFAULT_SETTINGS_FILE));
        return 1;
    }
    std::vector<std::string> candidates = {name};
    if (!strchr(name, '/')) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) candidates[0] = std::string(cwd) + "/" + name;
        candidates.push_back(resolve_profile_path(name));
    }
    for (const std::string& candidate : candidates) {
        struct stat info;
        if (stat(candidate.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) continue;
            *problem = "cannot use settings file " + candidate + ": " + strerror(errno);
            return 0;
        }
        if (!S_ISREG(info.st_mode)) {
            *problem = "settings file " + candidate + " is not a regular file";
            return 0;
        }
        *path = real_path(candidate);
        return 1;
    }
    *problem = std::string("settings file ") + name + " not found (tried " + candidates[0];
    for (size_t i = 1; i < candidates.size(); ++i) *problem += " and " + candidates[i];
    *problem += ")";
    return 0;
}

void setup_paths(Context& ctx, const std::string& settings_name) {
    StationState& state = ctx.state;
    ctx.program_dir = program_dir();
    // An installed program's folder under ~/.local/state may not exist yet;
    // when it cannot be made, the logs and station lists report their own failure.
    make_directories(ctx.program_dir);
    state.user_list_path = ctx.program_dir + "/userlist.txt";
    state.settings_file = resolve_profile_path(settings_name.c_str());
}

int storable_transfer_rate(int rate, int sampling_rate) {
    if (rate > 4 * sampling_rate) rate = 4 * sampling_rate;
    return rate < TRANSFER_RATE_MINIMUM ? TRANSFER_RATE_MINIMUM : rate;
}

void apply_sampling_rate(StationState& state, int rate) {
    switch (rate) {
    case 8000:
    case 16000:
    case 32000:
        state.SamplingRate = rate;
        state.device_rate = rate / 8000 * 11025;
        break;
    case 11025:
    case 22050:
    case 44100:
        state.SamplingRate = rate;
        state.device_rate = rate;
        break;
    default:
        state.SamplingRate = 11025;
        state.device_rate = 11025;
        break;
    }
}

long read_number_setting(const char* section, const char* key, long def, const char* file) {
    char text[32];
    get_private_profile_string(section, key, "", text, sizeof text, file);
    if (!text[0]) return def;
    // strtol rather than atol: the same result, but defined for huge numbers.
    return strtol(text, nullptr, 10);
}

int load_settings(Context& ctx, bool no_sound_card, SettingsReport* report) {
    StationState& s = ctx.state;
    const Reader read{s.settings_file.c_str(), report};
    // A number key loaded as the file says, noted when it did not.
    auto plain = [&](const char* key, int def) {
        int value = read.number(key, def);
        read.check(key, value);
        return value;
    };

    apply_sampling_rate(s, read.number("SamplingRate", 16000));
    read.check("SamplingRate", s.SamplingRate);
    s.LOG = plain("LOG", 1);
    s.REPORT = plain("REPORT", 0);
    s.MAX_CLIENT = clamp(read.number("MAX_CLIENT", 20), 0, kListenerTableSize);
    read.check("MAX_CLIENT", s.MAX_CLIENT);
    const int bandwidth = read.number("BANDWIDTH", 28800);
    s.BANDWIDTH = bandwidth < kMinimumBandwidth ? kMinimumBandwidth : bandwidth;
    std::string stored;
    if (bandwidth <= 0 && report && read.stored("BANDWIDTH", &stored)) {
        // Not a small bandwidth but none at all: a mistake, never a choice.
        add_key_problem(*report, read.file, "BANDWIDTH",
                        "BANDWIDTH=" + stored +
                            " is no bandwidth: give the station's outgoing bits per second (" +
                            std::to_string(kMinimumBandwidth) + " or more)",
                        true);
    } else {
        read.check("BANDWIDTH", s.BANDWIDTH);
    }
    s.INTRANET = plain("INTRANET", 0);
    s.WWW_URL = read.text("WWW_URL", "", 127);
    s.WWW_DESC = read.text("WWW_DESC", "", 749);
    s.RepeaterIP = read.text("RepeaterIP", "", 749);
    s.SPECIFIC_IP = plain("SPECIFIC_IP", 0);
    s.IP_ADDR = read.text("IP_ADDR", "0.0.0.0", 31);
    s.MBONE = plain("MBONE", 0);
    s.MBONEIP = read.text("MBONEIP", "0.0.0.0", 31);
    s.ImageQuality = plain("ImageQuality", 2);
    s.Stream2X = plain("Stream2X", 1);
    s.AutoStart = plain("AutoStart", 0);

    // The stored default (32) is below the floor, so a missing key loads as 2000.
    int transfer = read.number("TransferRate", 32);
    s.TransferRate = storable_transfer_rate(transfer, s.SamplingRate);
    read.check("TransferRate", s.TransferRate);
    set_rate(ctx.codec, s.SamplingRate, s.TransferRate);

    s.MODE = clamp(read.number("Mode", 1), 0, 1);
    read.check("Mode", s.MODE);
    s.no_sound_card = no_sound_card;
    if (no_sound_card) s.MODE = 0;

    s.StationName = read.text("StationName", host_name().c_str(), 127);
    s.StationLocation = read.text("StationLocation", "", 127);
    s.StationCategory = read.text("StationCategory", "", 127);
    s.StationEMAIL = read.text("StationEMAIL", "", 127);
    s.StationScript = read.text("StationScript", "", 255);
    // The live list a live feed shows (written by the live list editor and
    // velmora-script new-live); a headless live station has no other way to it.
    s.LiveScript = read.text("LiveScript", "", 255);

    s.AlwaysBindSocket = plain(load_text(ctx, 1861), 0);
    s.NetNoConnect = plain(load_text(ctx, 1862), 1);
    s.AudioSample11025 = plain(load_text(ctx, 1866), 0);

    s.NextSrvID = read_number_setting(SETTINGS_SECTION, "NextSrvID", 1000, read.file);
    read_directory_settings(ctx, report);
    s.STATION_PORT = port_setting(read, "STATION_PORT", STATION_PORT_DEFAULT, true);
    s.MASTER_IP = read.text("MASTER_IP", MASTER_IP_DEFAULT, 63);
    s.ICECAST_URL = read.text("ICECAST_URL", "", ICECAST_URL_MAX);
    s.ICECAST_USER = read.text("ICECAST_USER", ICECAST_USER_DEFAULT, ICECAST_FIELD_MAX);
    s.ICECAST_PASSWORD = read.text("ICECAST_PASSWORD", "", ICECAST_FIELD_MAX);
    s.ICECAST_PASSWORD_FILE = read.text("ICECAST_PASSWORD_FILE", "", 255);
    s.ICECAST_FORMAT = read.text("ICECAST_FORMAT", "opus", 15);
    s.ICECAST_BITRATE = read.number("ICECAST_BITRATE", 0);
    return 1;
}

void read_directory_settings(Context& ctx, SettingsReport* report) {
    StationState& s = ctx.state;
    Reader read{s.settings_file.c_str(), report};
    s.DIRURL = read.text("DIRURL", DIRURL_DEFAULT, 63);
    s.DIRURLPORT = port_setting(read, "DIRURLPORT", 80, false);
    s.CATEGORIES_URL = read.text("CATEGORIES_URL", CATEGORIES_URL_DEFAULT, 63);
    s.HTTP_TIMEOUT = clamp(read.number("HTTP_TIMEOUT", HTTP_TIMEOUT_DEFAULT), 1, 3600);
    read.check("HTTP_TIMEOUT", s.HTTP_TIMEOUT);
}

int write_setting_int(Context& ctx, const char* key, int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return write_setting_string(ctx, key, text);
}

int write_setting_string(Context& ctx, const char* key, const char* value) {
    return write_private_profile_string(SETTINGS_SECTION, key, value ? value : "",
                                        ctx.state.settings_file.c_str());
}

int write_setting_string(Context& ctx, SettingsWrite& write, const char* key, const char* value) {
    errno = 0;
    if (write_setting_string(ctx, key, value)) return 1;
    if (write.failures++ == 0) write.first_error = errno;
    return 0;
}

int write_setting_int(Context& ctx, SettingsWrite& write, const char* key, int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return write_setting_string(ctx, write, key, text);
}

int finish_settings_write(Context& ctx, const SettingsWrite& write) {
    if (write.failures == 0) return 1;
    const char* cause = write.first_error ? strerror(write.first_error) : "the file cannot be written";
    show_message(ctx, true, Buttons::ok | Icon::error,
                 "The settings could not be saved to %s: %s.\nThe changes last only until the "
                 "program ends.",
                 ctx.state.settings_file.c_str(), cause);
    return 0;
}

int offer_as_default(Context& ctx, EntryListKind kind, const std::string& path) {
    std::string& current = kind == SCRIPT_LIST ? ctx.state.StationScript : ctx.state.LiveScript;
    if (strcasecmp(current.c_str(), path.c_str()) == 0) return 0;
    if (show_message(ctx, true, Buttons::yes_no, "%s", DEFAULT_QUESTION) != Answer::yes) return 0;
    current = path;
    SettingsWrite write;
    write_setting_string(ctx, write, kind == SCRIPT_LIST ? "StationScript" : "LiveScript", path.c_str());
    finish_settings_write(ctx, write);
    return 1;
}
