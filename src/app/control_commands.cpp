#include "app/control_commands.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/context.h"
#include "app/settings.h"
#include "app/settings_report.h"
#include "app/status_report.h"
#include "media/live_list.h"
#include "media/picture_slots.h"
#include "media/script_file.h"
#include "server/script_source.h"

using json = nlohmann::json;

namespace {

std::string refused(const std::string& why) { return json{{"ok", false}, {"error", why}}.dump(); }
std::string done(json reply = json::object()) {
    reply["ok"] = true;
    return reply.dump();
}

bool on_air(const Context& ctx) { return ctx.sender.broadcast_state == BroadcastState::broadcasting; }
bool live(const Context& ctx) { return feed_is_live(ctx.live_ring.feed_mode); }

std::string entry_text(Context& ctx, int index) {
    if (index < 0 || index >= script_entries_in_use(ctx.script)) return "";
    const char* text = ctx.script.entries[static_cast<size_t>(index)].text;
    return std::string(text, strnlen(text, SCRIPT_TEXT_SIZE));
}

std::string status(Context& ctx) {
    // The report is several lines of JSON: it goes out as one.
    return done({{"status", json::parse(status_json(collect_status(ctx)))}});
}

std::string next(Context& ctx) {
    if (!on_air(ctx)) return refused("the station is not on the air");
    const int entries = script_entries_in_use(ctx.script);
    if (entries == 0) return refused("no script or live list is playing");
    SenderState& sender = ctx.sender;
    if (live(ctx)) {
        // The list's entry on show ends with the next tick.
        sender.picture_countdown = -1;
        return done({{"next", entry_text(ctx, (current_entry(sender, ctx.script) + 1) % entries)}});
    }
    sender.requests.next_song = true;  // at the next super-block's start
    return done();
}

std::string text(Context& ctx, const json& request) {
    if (!request.contains("text") || !request["text"].is_string())
        return refused("text needs the text to send: {\"command\": \"text\", \"text\": \"...\"}");
    std::string text = request["text"];
    if (text.size() >= size_t(SCRIPT_TEXT_SIZE))
        return refused("the text is " + std::to_string(text.size()) + " bytes; at most " +
                       std::to_string(SCRIPT_TEXT_SIZE - 1) + " go out");
    if (text.find('\0') != std::string::npos) return refused("the text holds a NUL byte");
    if (!on_air(ctx)) return refused("the station is not on the air");
    ctx.sender.requests.text = text;
    ctx.sender.requests.text_due = true;
    return done();
}

std::string picture(Context& ctx, const json& request) {
    if (!request.contains("file") || !request["file"].is_string())
        return refused("picture needs a file: {\"command\": \"picture\", \"file\": \"/path/pic.bmp\"}");
    const std::string file = request["file"];
    if (!on_air(ctx)) return refused("the station is not on the air");
    if (!load_picture(ctx, ctx.pictures, file.c_str(), PICTURE_MAIN))
        return refused("the picture " + file + " cannot be used (missing, unreadable or no picture)");
    ctx.pictures.shown_name = file;
    ctx.sender.requests.picture_due = true;
    return done();
}

// Re-reads the settings file's keys that can change on the air, then the
// script or live list it names, into a table of its own: the one playing
// is replaced only by one that opened whole and at the stream's rates.
std::string reload(Context& ctx) {
    StationState& s = ctx.state;
    SettingsReport report;
    StationState fresh = ctx.settings_as_read;
    read_settings(fresh, s.settings_file, &report);
    if (report.errors() > 0) return refused(problem_text(report.problems.front()));
    std::vector<std::string> waiting;
    for (const SettingKey& key : SETTING_KEYS) {
        const bool taken = std::any_of(std::begin(RELOADED_MODULES), std::end(RELOADED_MODULES),
                                       [&](const char* m) { return key.module && strcmp(key.module, m) == 0; });
        const bool script_key = strcmp(key.key, "StationScript") == 0 || strcmp(key.key, "LiveScript") == 0;
        if (!taken && !script_key && setting_text(key, fresh) != setting_text(key, ctx.settings_as_read))
            waiting.push_back(key.key);
    }
    const std::string path = live(ctx) ? fresh.LiveScript : fresh.StationScript;
    ScriptTable table;
    if (path.empty()) return refused("the settings name no " + std::string(live(ctx) ? "LiveScript" : "StationScript"));
    if (live(ctx)) {
        table.script_entries = open_live_list(ctx, table, path.c_str());
        if (table.script_entries <= 0) return refused("the live list " + path + " cannot be used");
    } else {
        int rate = 0, percent = 0;
        if (!read_script_header(path.c_str(), &rate, &percent))
            return refused("the script " + path + " cannot be read");
        if (rate != s.SamplingRate || percent != ctx.codec.rate_percent)
            return refused("the script " + path + " was prepared at " + std::to_string(rate) + " Hz (" +
                           std::to_string(percent) + " %); the station runs at " +
                           std::to_string(s.SamplingRate) + " Hz (" + std::to_string(ctx.codec.rate_percent) +
                           " %): stop and start it to change the rates");
        ScriptRates rates;
        table.script_entries = open_script(ctx, table, s, path.c_str(), &rates);
        if (table.script_entries <= 0)
            return refused("the script " + path + " cannot be played: a song of it is missing or damaged");
    }
    for (const char* module : RELOADED_MODULES) read_settings(s, s.settings_file, nullptr, module);
    (live(ctx) ? s.LiveScript : s.StationScript) = path;
    ctx.settings_as_read = fresh;
    std::swap(ctx.script, table);
    free_script_table(ctx, table);
    ctx.sender.unplayable.clear();
    json reply = {{"entries", ctx.script.script_entries}, {"script", path}};
    if (!waiting.empty()) reply["restart_needed"] = waiting;
    return done(reply);
}

std::string listeners(Context& ctx) {
    json list = json::array();
    for (const ListenerEntry& e : ctx.listeners.entries) {
        if (e.age == AGE_FREE) continue;
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &e.addr.sin_addr, address, sizeof address);
        list.push_back({{"address", std::string(address) + ":" + std::to_string(ntohs(e.addr.sin_port))},
                        {"joined", e.joined},
                        {"mode", (e.mode & 2) ? "repeater" : (e.mode & 1) ? "companion" : "main"}});
    }
    return done({{"listeners", list}});
}

}  // namespace

std::string menu_command(Context& ctx, const char* command) {
    const json reply = json::parse(control_request(ctx, json{{"command", command}}.dump()));
    return reply.value("ok", false) ? "" : reply.value("error", std::string("refused"));
}

std::string control_station_name(const std::string& settings_file) {
    std::string name = settings_file.substr(settings_file.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name.empty() ? "station" : name;
}

std::string control_socket_folder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/velmora";
    return "/tmp/velmora-" + std::to_string(getuid());
}

std::string control_socket_path(const std::string& station_name) {
    return control_socket_folder() + "/" + station_name + ".sock";
}

std::string control_request_too_long() {
    return refused("the request is longer than " + std::to_string(CONTROL_REQUEST_MAX) + " bytes");
}

std::string control_request(Context& ctx, const std::string& line) {
    if (line.size() > size_t(CONTROL_REQUEST_MAX)) return control_request_too_long();
    const json request = json::parse(line, nullptr, false);
    if (request.is_discarded() || !request.is_object() || !request.contains("command") ||
        !request["command"].is_string())
        return refused("a request is a line of JSON such as {\"command\": \"status\"}");
    const std::string command = request["command"];
    if (command == "status") return status(ctx);
    if (command == "start") {
        if (ctx.sender.broadcast_state != BroadcastState::idle) return refused("the station is already on the air");
        // As the Start button does, from the event loop once this reply is out.
        ctx.host->post_command(Command::start_stop);
        return done();
    }
    if (command == "stop") {
        if (!on_air(ctx)) return refused("the station is not on the air");
        ctx.host->post_command(Command::start_stop);
        return done();
    }
    if (command == "next") return next(ctx);
    if (command == "text") return text(ctx, request);
    if (command == "picture") return picture(ctx, request);
    if (command == "reload") return reload(ctx);
    if (command == "listeners") return listeners(ctx);
    return refused("no command \"" + command +
                   "\": status, start, stop, next, text, picture, reload or listeners");
}
