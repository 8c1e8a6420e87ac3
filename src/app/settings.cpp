#include "app/settings.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/context.h"
#include "app/settings_report.h"
#include "codec/set_rate.h"
#include "codec/stream_rate.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace {


// The absolute path of an existing file, links resolved; `path` itself when
// that cannot be worked out.
std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

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
    constexpr const SettingKey& key = setting_key("TransferRate");
    StationState probe;
    probe.SamplingRate = sampling_rate;
    return static_cast<int>(setting_in_range(key, rate, probe));
}

void apply_sampling_rate(StationState& state, CodecState& codec, int rate) {
    const long taken = setting_in_range(setting_key("SamplingRate"), rate, state);
    set_stream_rate(state, codec, static_cast<int>(taken), state.TransferRate);
}

int load_settings(Context& ctx, bool no_sound_card, SettingsReport* report) {
    StationState& s = ctx.state;
    read_settings(s, s.settings_file, report);
    ctx.settings_as_read = s;
    set_stream_rate(s, ctx.codec, s.SamplingRate, s.TransferRate);
    ctx.controller.no_sound_card = no_sound_card;
    if (no_sound_card) s.MODE = 0;
    return 1;
}

void read_directory_settings(Context& ctx, SettingsReport* report) {
    read_settings(ctx.state, ctx.state.settings_file, report, "directory");
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

int write_setting(Context& ctx, SettingsWrite& write, const SettingKey& key) {
    return write_setting_string(ctx, write, key.key, setting_text(key, ctx.state).c_str());
}

int write_setting(Context& ctx, SettingsWrite& write, const SettingKey& key, long value) {
    return write_setting_string(ctx, write, key.key, setting_number_text(key, value).c_str());
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
    write_setting(ctx, write,
                  kind == SCRIPT_LIST ? setting_key("StationScript") : setting_key("LiveScript"));
    finish_settings_write(ctx, write);
    return 1;
}
