#pragma once
// What the status endpoint tells a monitoring system: the station's state
// as named sections of values, written as JSON (/status.json), in
// Prometheus' text format (/metrics) and as a small HTML page (/).
//
// Every section is built in collect_status and each format writes any
// section the same way, so another part of the station (an output of its
// own, say) adds one section there and appears in all three.

#include <cstdint>
#include <string>
#include <vector>

struct Context;

enum class StatusKind { Text, Gauge, Counter };

struct StatusValue {
    std::string key;  // lower_snake_case; the metric is velmora_<section>_<key>
    StatusKind kind = StatusKind::Gauge;
    int64_t number = 0;  // Gauge and Counter
    std::string text;    // Text: written as a label of velmora_<section>_info in /metrics
    std::string help;    // one line for /metrics and the page
};

struct StatusSection {
    std::string name;  // lower_snake_case
    std::vector<StatusValue> values;
};

using StatusReport = std::vector<StatusSection>;

// The station, its listeners, the song and the datagram counters now.
StatusReport collect_status(Context& ctx);

std::string status_json(const StatusReport& report);
std::string status_metrics(const StatusReport& report);
// The page reloads itself every `refresh_seconds`.
std::string status_page(const StatusReport& report, int refresh_seconds);

// A request head (request line and headers, up to the blank line) at most
// this long; a longer one is refused with 431.
constexpr int STATUS_REQUEST_MAX = 4096;

// The whole HTTP/1.1 reply to one request head: 200 for GET or HEAD of
// "/", "/status.json" and "/metrics", 404 for other paths, 405 for other
// methods, 400 for what is not a request line. Every reply closes the
// connection. Made from `report`, a copy taken on the station's thread, so
// that the endpoint may answer on a thread of its own.
std::string status_http_reply(const StatusReport& report, const std::string& request_head);
// The 431 reply to a request head longer than STATUS_REQUEST_MAX.
std::string status_too_large_reply();
