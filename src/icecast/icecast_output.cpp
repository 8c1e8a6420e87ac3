#include "icecast/icecast_output.h"

#include <sys/stat.h>

#include <cstring>

#include "base/messages.h"
#include "base/station_identity.h"
#include "platform/safe_files.h"

namespace {

void tell(Services& services, const std::string& text) {
    write_daily_log(services, "%s\n", text.c_str());
    services.host->notice(text.c_str());
}

}  // namespace

// Advice for a file holding the password that other users can read. A
// chmod 600 is right only when the station's own user owns the file: one
// of root's would shut out a station that runs as a service user.
std::string password_advice(const std::string& path, const std::string& what) {
    FileReaders readers;
    if (!file_readers(path, &readers) || !readers.others_can_read) return "";
    std::string text = what + " and other users can read it; ";
    if (readers.runner_owns)
        return text + "make it readable by its owner only (chmod 600 " + path + ").";
    return text + "it belongs to " + readers.owner + " and the station runs as " + readers.runner +
           ", who could not read it after a chmod 600. Put the password in a file that only " +
           readers.owner + " can read and hand it to the service with LoadCredential=" +
           ICECAST_PASSWORD_CREDENTIAL + ":FILE (the README's service section says how), or in "
           "a file that only " + readers.runner + " can read, named by ICECAST_PASSWORD_FILE.";
}

int icecast_start(Services& services, IcecastOutput& icecast, const ProgramInfo& program) {
    icecast_stop(services, icecast);
    IcecastOutput& out = icecast;
    const IcecastSettings& settings = out.settings;
    if (settings.url.empty()) return 1;
    const std::string& settings_file = program.settings_file;
    std::string problem;
    IcecastConfig config;
    if (!check_icecast_settings(settings, &problem) ||
        !parse_icecast_url(settings.url, &config.target, &problem)) {
        show_message(services, true, Buttons::ok | Icon::error,
                     "The Icecast output is off: %s (settings file %s).", problem.c_str(),
                     settings_file.c_str());
        return 0;
    }
    IcecastPassword password;
    if (!read_icecast_password(settings, settings_file, &password, &problem)) {
        show_message(services, true, Buttons::ok | Icon::error,
                     "The Icecast output is off: %s (settings file %s).", problem.c_str(),
                     settings_file.c_str());
        return 0;
    }
    // A credential of the service manager is its to guard.
    if (!password.password.empty() && !out.permission_warned && !password.from_credential) {
        std::string advice =
            password.file.empty()
                ? password_advice(settings_file, "The settings file " + settings_file +
                                                       " holds the Icecast password")
                : password_advice(password.file, "The Icecast password file " + password.file);
        out.permission_warned = !advice.empty();
        if (!advice.empty()) tell(services, advice);
    }
    config.user = settings.user;
    config.password = password.password;
    config.format = parse_icecast_format(settings.format);
    config.bitrate = settings.bitrate ? settings.bitrate : icecast_default_bitrate(config.format);
    config.sampling_rate = program.sampling_rate;
    config.channels = program.channels == 2 ? 2 : 1;
    config.name = program.station.StationName;
    config.description = program.station.WWW_DESC;
    config.url = program.station.WWW_URL;
    config.genre = program.station.StationCategory;

    out.url = settings.url;
    out.mount = config.target.mount;
    out.user = settings.user;
    out.state = ICECAST_CONNECTING;
    out.lost_told = false;
    out.was_on_air = false;
    out.title_sent.clear();
    out.dropped_items = 0;
    Host* host = services.host;
    start_icecast_link(out.link, config, [host] { host->post_output_event(); });
    return 1;
}

void icecast_stop(Services& services, IcecastOutput& icecast) {
    IcecastOutput& out = icecast;
    if (!icecast_link_running(out.link)) return;
    take_icecast_events(out.link, &out.dropped_items);
    stop_icecast_link(out.link);
    out.state = ICECAST_OFF;
    services.host->invalidate(false);
}

void icecast_program_frame(Services&, IcecastOutput& icecast, uint32_t seq, const uint8_t* frame,
                           int length) {
    icecast.program_frame(seq, frame, length);
}

void icecast_program_title(Services&, IcecastOutput& icecast, const char* text) {
    icecast.title(text);
}

void on_icecast_event(Services& services, IcecastOutput& icecast) {
    IcecastOutput& out = icecast;
    for (const IcecastEvent& event : take_icecast_events(out.link, &out.dropped_items)) {
        switch (event.kind) {
            case ICECAST_EVENT_ON_AIR:
                // The first connection is news as well: the operator learns it works.
                if (out.lost_told || !out.was_on_air)
                    tell(services, std::string("The Icecast output is ") +
                                       (out.was_on_air ? "back on the air at " : "on the air at ") +
                                       out.url);
                out.lost_told = false;
                out.was_on_air = true;
                out.state = ICECAST_ON_AIR;
                break;
            case ICECAST_EVENT_LOST:
                // Only an output that was on the air can be lost.
                if (!out.lost_told && out.was_on_air)
                    tell(services, "The Icecast output to " + out.url + " is lost (" + event.reason +
                                  "); reconnecting");
                else if (!out.lost_told)
                    tell(services, "The Icecast output cannot reach " + out.url + " (" +
                                       event.reason + "); trying again");
                out.lost_told = true;
                out.state = ICECAST_RECONNECTING;
                break;
            case ICECAST_EVENT_REFUSED:
                tell(services, "The Icecast server at " + out.url + " refused the password (HTTP 401) of user " +
                              out.user + "; trying again every 30 seconds");
                out.lost_told = true;
                out.state = ICECAST_RECONNECTING;
                break;
            case ICECAST_EVENT_IN_USE:
                tell(services, "The Icecast mount " + out.mount + " at " + out.url +
                                   " is in use: another source feeds it (HTTP 403); trying again "
                                   "until it is free");
                out.lost_told = true;
                out.state = ICECAST_RECONNECTING;
                break;
        }
    }
    services.host->invalidate(false);
}

const char* icecast_state_word(const IcecastOutput& icecast) {
    switch (icecast.state) {
        case ICECAST_ON_AIR: return "on the air";
        case ICECAST_CONNECTING: return "connecting";
        case ICECAST_RECONNECTING: return "reconnecting";
        default: return "off";
    }
}

std::string icecast_status_text(const Services& services, const IcecastOutput& icecast) {
    std::string status = icecast.status(services);
    return status.empty() ? "" : icecast.name() + " " + status;
}

// ---- as a program sink ---------------------------------------------------

bool IcecastOutput::started(Services& services, const ProgramInfo& program) {
    return icecast_start(services, *this, program) == 1;
}

void IcecastOutput::program_frame(uint32_t seq, const uint8_t* frame, int length) {
    queue_program_item(link, ITEM_FRAME, seq, frame, length);
}

void IcecastOutput::program_audio(const ProgramAudio& audio) { queue_program_audio(link, audio); }

void IcecastOutput::title(const char* text) {
    if (!icecast_link_running(link) || this->title_sent == text) return;
    title_sent = text;
    queue_program_item(link, ITEM_TITLE, 0, reinterpret_cast<const uint8_t*>(text),
                       static_cast<int>(strlen(text)));
}

void IcecastOutput::stopped(Services& services) { icecast_stop(services, *this); }

void IcecastOutput::take_news(Services& services) { on_icecast_event(services, *this); }

std::string IcecastOutput::status(const Services& services) const {
    if (settings.url.empty()) return "";
    std::string text = icecast_state_word(*this);
    int64_t dropped = icecast_link_running(link) ? dropped_program_items(link) : dropped_items;
    if (dropped > 0) text += " (" + std::to_string(dropped) + " blocks dropped)";
    return text;
}

std::vector<OutputValue> IcecastOutput::status_values() const {
    using Kind = OutputValueKind;
    return {{"state", Kind::Text, 0, icecast_state_word(*this),
             "on the air, connecting, reconnecting or off"},
            {"url", Kind::Text, 0, url, "the server and mount fed, empty when there is none"},
            {"on_air", Kind::Gauge, state == ICECAST_ON_AIR ? 1 : 0, "",
             "1 while the Icecast server takes the program"},
            {"dropped_blocks", Kind::Counter, dropped_items, "",
             "audio blocks dropped while the server could not keep up"}};
}
