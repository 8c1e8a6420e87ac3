#include "app/icecast_dialog.h"

#include <cstring>
#include <utility>

#include "app/context.h"
#include "base/messages.h"
#include "app/settings.h"
#include "icecast/icecast_output.h"
#include "icecast/icecast_settings.h"

const char* const ICECAST_FORMAT_LABELS[ICECAST_FORMAT_COUNT] = {"Ogg Opus", "MP3"};

IcecastView icecast_view(const StationState& s) {
    IcecastView view;
    view.url = s.icecast.url;
    view.user = s.icecast.user;
    view.password = s.icecast.password;
    view.format = parse_icecast_format(s.icecast.format) == ICECAST_MP3 ? 1 : 0;
    if (s.icecast.bitrate > 0) view.bitrate = std::to_string(s.icecast.bitrate);
    return view;
}

std::string icecast_bitrate_hint(int format) {
    return "empty: " + std::to_string(icecast_default_bitrate(format == 1 ? ICECAST_MP3 : ICECAST_OPUS)) +
           " kbit/s";
}

std::string icecast_field_words(std::string problem) {
    static const std::pair<const char*, const char*> kFields[] = {
        {"ICECAST_URL", "Server and mount"}, {"ICECAST_USER", "User"},
        {"ICECAST_PASSWORD", "Password"},    {"ICECAST_FORMAT", "Format"},
        {"ICECAST_BITRATE", "Bit rate"}};
    for (const auto& [key, field] : kFields)
        for (size_t at = problem.find(key); at != std::string::npos; at = problem.find(key, at))
            problem.replace(at, strlen(key), field);
    return problem;
}

int icecast_ok(Context& ctx, const IcecastView& entered) {
    IcecastSettings settings;
    settings.url = entered.url;
    settings.user = entered.user;
    settings.password = entered.password;
    settings.format = icecast_format_name(entered.format == 1 ? ICECAST_MP3 : ICECAST_OPUS);
    long bitrate = 0;
    std::string problem =
        typed_setting_problem(setting_key("ICECAST_BITRATE"), entered.bitrate, ctx.state, &bitrate);
    settings.bitrate = static_cast<int>(bitrate);
    if (problem.empty()) check_icecast_settings(settings, &problem);
    if (!problem.empty()) {
        show_message(ctx, true, Buttons::ok | Icon::error, "%s",
                     icecast_field_words(problem).c_str());
        return 0;
    }
    StationState& s = ctx.state;
    s.icecast = settings;
    SettingsWrite write;
    for (const SettingKey& key : {setting_key("ICECAST_URL"), setting_key("ICECAST_USER"),
                                  setting_key("ICECAST_PASSWORD"), setting_key("ICECAST_FORMAT"),
                                  setting_key("ICECAST_BITRATE")})
        write_setting(ctx, write, key);
    if (!finish_settings_write(ctx, write)) return 0;
    const std::string advice =
        s.icecast.password.empty()
            ? ""
            : password_advice(s.settings_file,
                              "The settings file " + s.settings_file + " now holds the Icecast password");
    if (!advice.empty()) show_message(ctx, true, Buttons::ok | Icon::warning, "%s", advice.c_str());
    return 1;
}
