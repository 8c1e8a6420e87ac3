#include "app/settings.h"

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
#include "codec/set_rate.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {

// The listener table's size: more configured listeners cannot be served.
constexpr int kListenerTableSize = 8192;
constexpr int kMinimumBandwidth = 28800;
constexpr int kMinimumTransferRate = 2000;
// The station name defaults to the host name, cut to this length.
constexpr int kHostNameMax = 126;

struct Reader {
    const char* file;

    int number(const char* key, int def) const {
        return get_private_profile_int(SETTINGS_SECTION, key, def, file);
    }
    // A text key with its limit of `limit` characters.
    std::string text(const char* key, const char* def, int limit) const {
        std::string buffer(static_cast<size_t>(limit) + 1, '\0');
        int length = get_private_profile_string(SETTINGS_SECTION, key, def, buffer.data(),
                                                limit + 1, file);
        buffer.resize(static_cast<size_t>(length));
        return buffer;
    }
};

int clamp(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

// A port number, or `def` when the value cannot be one.
int port_setting(const Reader& read, const char* key, int def) {
    int port = read.number(key, def);
    return port >= 1 && port <= 65535 ? port : def;
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

void setup_paths(StationState& state, const std::string& settings_name) {
    state.program_dir = program_dir();
    state.user_list_path = state.program_dir + "/userlist.txt";
    state.settings_file = resolve_profile_path(settings_name.c_str());
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

int load_settings(Context& ctx, bool no_sound_card) {
    StationState& s = ctx.state;
    const Reader read{s.settings_file.c_str()};

    apply_sampling_rate(s, read.number("SamplingRate", 16000));
    s.LOG = read.number("LOG", 1);
    s.REPORT = read.number("REPORT", 0);
    s.MAX_CLIENT = clamp(read.number("MAX_CLIENT", 20), 0, kListenerTableSize);
    s.BANDWIDTH = read.number("BANDWIDTH", 28800);
    if (s.BANDWIDTH < kMinimumBandwidth) s.BANDWIDTH = kMinimumBandwidth;
    s.INTRANET = read.number("INTRANET", 0);
    s.WWW_URL = read.text("WWW_URL", "", 127);
    s.WWW_DESC = read.text("WWW_DESC", "", 749);
    s.RepeaterIP = read.text("RepeaterIP", "", 749);
    s.SPECIFIC_IP = read.number("SPECIFIC_IP", 0);
    s.IP_ADDR = read.text("IP_ADDR", "0.0.0.0", 31);
    s.MBONE = read.number("MBONE", 0);
    s.MBONEIP = read.text("MBONEIP", "0.0.0.0", 31);
    s.ImageQuality = read.number("ImageQuality", 2);
    s.Stream2X = read.number("Stream2X", 1);
    s.AutoStart = read.number("AutoStart", 0);

    // The stored default (32) is below the floor, so a missing key loads as 2000.
    int transfer = read.number("TransferRate", 32);
    if (transfer < kMinimumTransferRate) transfer = kMinimumTransferRate;
    if (transfer > 4 * s.SamplingRate) transfer = 4 * s.SamplingRate;
    s.TransferRate = transfer;
    set_rate(ctx.codec, s.SamplingRate, s.TransferRate);

    s.MODE = clamp(read.number("Mode", 1), 0, 1);
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

    s.AlwaysBindSocket = read.number(load_text(ctx, 1861), 0);
    s.NetNoConnect = read.number(load_text(ctx, 1862), 1);
    s.AudioSample11025 = read.number(load_text(ctx, 1866), 0);

    s.NextSrvID = read_number_setting(SETTINGS_SECTION, "NextSrvID", 1000, read.file);
    read_directory_settings(ctx);
    s.STATION_PORT = port_setting(read, "STATION_PORT", STATION_PORT_DEFAULT);
    s.MASTER_IP = read.text("MASTER_IP", MASTER_IP_DEFAULT, 63);
    return 1;
}

void read_directory_settings(Context& ctx) {
    StationState& s = ctx.state;
    Reader read{s.settings_file.c_str()};
    s.DIRURL = read.text("DIRURL", DIRURL_DEFAULT, 63);
    s.DIRURLPORT = port_setting(read, "DIRURLPORT", 80);
    s.CATEGORIES_URL = read.text("CATEGORIES_URL", CATEGORIES_URL_DEFAULT, 63);
    s.HTTP_TIMEOUT = clamp(read.number("HTTP_TIMEOUT", HTTP_TIMEOUT_DEFAULT), 1, 3600);
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
    show_message(ctx, true, MB_OK | MB_ICONERROR,
                 "The settings could not be saved to %s: %s.\nThe changes last only until the "
                 "program ends.",
                 ctx.state.settings_file.c_str(), cause);
    return 0;
}
