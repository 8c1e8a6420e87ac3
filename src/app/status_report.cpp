#include "app/status_report.h"

#include <cctype>
#include <cstdio>

#include "app/context.h"
#include "server/script_source.h"
#include "app/settings_schema.h"
#include "app/status_text.h"

namespace {

constexpr int kPageRefreshSeconds = 5;

StatusValue text(const char* key, std::string value, const char* help) {
    return {key, StatusKind::Text, 0, std::move(value), help};
}
StatusValue gauge(const char* key, int64_t value, const char* help) {
    return {key, StatusKind::Gauge, value, "", help};
}
StatusValue counter(const char* key, int64_t value, const char* help) {
    return {key, StatusKind::Counter, value, "", help};
}

StatusSection station_section(Context& ctx) {
    const StationState& s = ctx.state;
    int64_t on_air = 0;
    if (ctx.sender.broadcast_state != BroadcastState::idle)
        on_air = ctx.host->time_now() - ctx.station.broadcast_start_time;
    // Values the settings file gives are told in the words of their keys' rows.
    return {"station",
            {text("name", s.StationName, setting_key("StationName").help),
             text("location", s.StationLocation, setting_key("StationLocation").help),
             text("state", broadcast_state_word(ctx), "IDLE, STARTING, BROADCASTING or STOPPING"),
             text("feed", feed_word(ctx),
                  "script, live or fallback (a live feed's fallback script)"),
             gauge("sampling_rate_hz", s.SamplingRate, "samples a second"),
             // Bits, like every other *_bps figure; TransferRate itself counts bytes.
             gauge("transfer_rate_bps", 8 * int64_t(s.TransferRate), "bits a second of one listener's audio"),
             gauge("on_air_seconds", on_air, "seconds since the broadcast started"),
             gauge("directory_listed", ctx.web.directory_listed ? 1 : 0,
                   "1 while the station directory lists the station")}};
}

StatusSection listeners_section(Context& ctx) {
    int load_bps = 0;
    const bool on_air = ctx.sender.broadcast_state != BroadcastState::idle;
    int active = listener_load(ctx, ctx.listeners, on_air, &load_bps);
    int64_t bandwidth = ctx.state.BANDWIDTH;
    int64_t share = bandwidth > 0 ? static_cast<int64_t>(load_bps) * 100 / bandwidth : 0;
    return {"listeners",
            {gauge("active", active, "listeners in the table"),
             gauge("load_bps", load_bps, "bits a second sent to the listeners"),
             gauge("bandwidth_bps", bandwidth, setting_key("BANDWIDTH").help),
             gauge("bandwidth_share_percent", share, "load as a share of the bandwidth"),
             gauge("repeater", ctx.listeners.repeater_present ? 1 : 0,
                   "1 while a repeater is among the listeners"),
             counter("busy_refusals", ctx.listeners.busy_rejections,
                     "joins refused because the station was full")}};
}

StatusSection song_section(const Context& ctx) {
    std::string song, picture, words;
    // A live feed's fallback script names its song as a script does.
    const bool fallback = ctx.fallback.on_air && ctx.live_ring.feed_mode != FeedMode::script;
    const auto& entries = fallback ? ctx.fallback.script.entries
                                   : playing_script(ctx.sender, ctx.script).entries;
    int index = fallback ? ctx.fallback.entry : ctx.sender.entry_index;
    if (ctx.sender.broadcast_state != BroadcastState::idle && index >= 0 && index < static_cast<int>(entries.size())) {
        const ScriptEntry& e = entries[index];
        if (ctx.live_ring.feed_mode == FeedMode::script || fallback) song = e.song;
        picture = e.picture;
        words = e.text;
    }
    return {"song",
            {text("file", song, "the song's compressed sample file"),
             text("picture", picture, "the picture shown with it"),
             text("text", words, "the song's text")}};
}

StatusSection datagrams_section(const Context& ctx) {
    const SenderCounters& c = ctx.sender.counters;
    return {"datagrams",
            {counter("audio_ticks", ctx.sender.packet_counter, "audio datagrams made (one a tick)"),
             counter("sent", c.fan_out_sent, "datagrams sent to listeners"),
             counter("resend_requests", c.resend_requests, "resends asked for by listeners"),
             counter("resends_sent", c.resends_sent, "resends answered from the store"),
             counter("resends_missed", c.resend_requests - c.resends_sent,
                     "resends asked for audio no longer kept")}};
}

// One section for each output of the program, named after it.
StatusSection output_section(const ProgramSink& sink) {
    StatusSection section;
    for (char c : sink.name())
        section.name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (OutputValue& value : sink.status_values()) {
        StatusKind kind = value.kind == OutputValueKind::Text    ? StatusKind::Text
                          : value.kind == OutputValueKind::Gauge ? StatusKind::Gauge
                                                                 : StatusKind::Counter;
        section.values.push_back({std::move(value.key), kind, value.number, std::move(value.text),
                                  std::move(value.help)});
    }
    return section;
}

// JSON strings are UTF-8: a byte that does not start a valid UTF-8
// sequence is taken as Latin-1, the scripts' texts' usual encoding.
void append_utf8(std::string& out, const std::string& in) {
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= in.size() && !(length == 2 && c < 0xC2);
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
        if (valid) {
            out.append(in, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
}

std::string json_string(const std::string& value) {
    std::string utf8, out = "\"";
    append_utf8(utf8, value);
    for (char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string label_value(const std::string& value) {
    std::string utf8, out;
    append_utf8(utf8, value);
    for (char c : utf8) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string html_text(const std::string& value) {
    std::string utf8, out;
    append_utf8(utf8, value);
    for (char c : utf8) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string reply(const char* status, const char* type, const std::string& body, bool head_only,
                  const char* extra_header = "") {
    std::string out = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra_header + "\r\n";
    if (!head_only) out += body;
    return out;
}

}  // namespace

StatusReport collect_status(Context& ctx) {
    // Another part of the station with a state to show adds its section here.
    StatusReport report = {station_section(ctx), listeners_section(ctx), song_section(ctx),
                           datagrams_section(ctx)};
    for (const auto& sink : ctx.outputs.outputs) report.push_back(output_section(*sink));
    return report;
}

std::string status_json(const StatusReport& report) {
    std::string out = "{";
    for (size_t s = 0; s < report.size(); ++s) {
        out += (s ? ",\n" : "\n") + json_string(report[s].name) + ": {";
        const auto& values = report[s].values;
        for (size_t v = 0; v < values.size(); ++v) {
            out += (v ? ", " : "") + json_string(values[v].key) + ": ";
            out += values[v].kind == StatusKind::Text ? json_string(values[v].text)
                                                      : std::to_string(values[v].number);
        }
        out += "}";
    }
    return out + "\n}\n";
}

std::string status_metrics(const StatusReport& report) {
    std::string out;
    for (const StatusSection& section : report) {
        std::string labels;
        for (const StatusValue& value : section.values) {
            if (value.kind == StatusKind::Text) {
                labels += (labels.empty() ? "" : ",") + value.key + "=\"" + label_value(value.text) + "\"";
                continue;
            }
            std::string name = "velmora_" + section.name + "_" + value.key;
            if (value.kind == StatusKind::Counter) name += "_total";
            const char* type = value.kind == StatusKind::Counter ? "counter" : "gauge";
            out += "# HELP " + name + " " + value.help + "\n# TYPE " + name + " " + type + "\n";
            out += name + " " + std::to_string(value.number) + "\n";
        }
        if (labels.empty()) continue;
        std::string name = "velmora_" + section.name + "_info";
        out += "# HELP " + name + " the " + section.name + "'s texts as labels\n# TYPE " + name +
               " gauge\n" + name + "{" + labels + "} 1\n";
    }
    return out;
}

std::string status_page(const StatusReport& report, int refresh_seconds) {
    std::string title = "Velmora station";
    for (const StatusSection& section : report)
        for (const StatusValue& value : section.values)
            if (section.name == "station" && value.key == "name" && !value.text.empty())
                title = value.text;
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refresh_seconds) + "\">\n"
        "<meta name=\"viewport\" content=\"width=device-width\">\n<title>" + html_text(title) +
        "</title>\n<style>body{font-family:sans-serif;margin:1.5em;color:#222}"
        "h1{font-size:1.4em}h2{font-size:1.1em;margin:1.2em 0 .3em;text-transform:capitalize}"
        "table{border-collapse:collapse;min-width:28em}td{padding:.2em .8em;border-bottom:1px solid #ddd}"
        "td:first-child{color:#555;width:14em}footer{margin-top:1.5em;color:#777;font-size:.85em}"
        "</style></head><body>\n<h1>" + html_text(title) + "</h1>\n";
    for (const StatusSection& section : report) {
        out += "<h2>" + html_text(section.name) + "</h2>\n<table>\n";
        for (const StatusValue& value : section.values) {
            std::string shown = value.kind == StatusKind::Text ? value.text : std::to_string(value.number);
            out += "<tr><td title=\"" + html_text(value.help) + "\">" + html_text(value.key) +
                   "</td><td>" + html_text(shown) + "</td></tr>\n";
        }
        out += "</table>\n";
    }
    out += "<footer>Refreshed every " + std::to_string(refresh_seconds) +
           " s. Machine-readable: <a href=\"/status.json\">/status.json</a>, "
           "<a href=\"/metrics\">/metrics</a>.</footer>\n</body></html>\n";
    return out;
}

std::string status_http_reply(const StatusReport& report, const std::string& request_head) {
    size_t line_end = request_head.find_first_of("\r\n");
    std::string line = request_head.substr(0, line_end);
    size_t first = line.find(' '), second = line.find(' ', first == std::string::npos ? 0 : first + 1);
    if (first == std::string::npos || second == std::string::npos ||
        line.compare(second + 1, 5, "HTTP/") != 0)
        return reply("400 Bad Request", "text/plain; charset=utf-8", "not an HTTP request\n", false);
    std::string method = line.substr(0, first);
    std::string target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?'));
    bool head_only = method == "HEAD";
    if (method != "GET" && !head_only)
        return reply("405 Method Not Allowed", "text/plain; charset=utf-8",
                     "only GET and HEAD are answered\n", false, "Allow: GET, HEAD\r\n");
    if (target == "/status.json")
        return reply("200 OK", "application/json", status_json(report), head_only);
    if (target == "/metrics")
        return reply("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                     status_metrics(report), head_only);
    if (target == "/")
        return reply("200 OK", "text/html; charset=utf-8",
                     status_page(report, kPageRefreshSeconds), head_only);
    return reply("404 Not Found", "text/plain; charset=utf-8",
                 "this station answers /, /status.json and /metrics\n", head_only);
}

std::string status_too_large_reply() {
    return reply("431 Request Header Fields Too Large", "text/plain; charset=utf-8",
                 "the request is longer than " + std::to_string(STATUS_REQUEST_MAX) + " bytes\n",
                 false);
}
