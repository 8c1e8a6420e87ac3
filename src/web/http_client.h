#pragma once
// The station's HTTP/1.0 client: one-shot GET requests to the station
// directory, direct or through an HTTP proxy with Basic authorization.
//
// A request is a small state machine (HttpExchange). http_get prepares it and
// hands it to the host (Host::run_http_exchange), which does the network
// part (look-up, connect, send, receive, a time-out timer) inside a nested
// event loop, so the broadcast's timers and sockets keep being served, and
// reports each event to the http_* procedures below until the exchange is
// done. http_get then judges the reply by the text gathered alone.

#include <cstdint>
#include <string>

struct Services;

constexpr int HTTP_TRANSFER_SIZE = 4096;   // request text and each received chunk (one byte for the NUL)
// Used when a caller gives no host and no proxy is set (no caller does).
constexpr const char* HTTP_DEFAULT_HOST = "127.0.0.1";

enum HttpPhase {
    HTTP_LOOKING_UP,  // connect_host needs a name look-up
    HTTP_CONNECTING,  // connect_addr known: connect, send `request` once connected
    HTTP_RECEIVING,   // the request went out; gather until the server closes
    HTTP_DONE,        // the runner releases everything and returns
};

struct HttpExchange {
    // --- what the runner works with ---
    int phase = HTTP_DONE;
    std::string connect_host;   // the proxy or the target host
    uint32_t connect_addr = 0;  // host order, once known
    uint16_t connect_port = 80;
    int timeout_ms = 30000;     // from the connection attempt to the end (HTTP_TIMEOUT)
    std::string request;        // sent in one piece once connected

    // --- the request's own ---
    bool via_proxy = false;
    char* output = nullptr;  // the caller's buffer, always NUL-terminated
    int length = 0;          // bytes gathered in output
    int remaining = 0;       // capacity left (a chunk must be smaller to fit)
    bool full = false;       // a chunk did not fit: the gathering ended there
    bool complete = false;   // the server closed the connection: the reply is whole
    bool timed_out = false;
    bool stopped = false;    // the program broke it off (a stop), not the server
    std::string log;         // the status log, for the trace
};

struct DirectorySettings;

struct HttpClient {
    bool busy = false;  // a request runs (retries included)
    HttpExchange exchange;
    // HTTP_TIMEOUT and the hosts, pointed at by the program.
    const DirectorySettings* settings = nullptr;
};

// How a request ended, for callers that judge more than the status.
struct HttpOutcome {
    bool complete = false;   // a whole reply came (the server closed the connection)
    bool timed_out = false;  // the time-out message was shown
    bool cut = false;        // the reply was longer than the output: only its beginning is there
    bool stopped = false;    // the program broke the request off (a stop)
};

// GETs `path` from `host`:`port` (port 0 means 80), through the proxy of
// the per-user registry when one is set. Returns 1 when the server answered
// status 200 with a whole reply (`output` then holds the body only), 0 on
// any failure, a time-out or a reply broken off included (`output` empty
// when nothing came back, else the raw reply's beginning), -1 when another
// request is running (`output` untouched). A 401 or 407 opens the proxy
// dialog (Host::proxy_dialog) and tries again with what it saved, as long
// as the dialog is confirmed. `progress` names the request in the log and
// captions the time-out message. `timeout_ms` 0 means HTTP_TIMEOUT seconds.
int http_get(Services& services, HttpClient& client, const char* progress, const char* host,
             int port, const char* path, char* output, int capacity, HttpOutcome* outcome = nullptr,
             int timeout_ms = 0);

// The request line and headers: through a proxy the absolute address with
// the port exactly as given (0 stays 0) and the authorization line.
std::string http_request_text(bool via_proxy, const char* host, int port, const char* path,
                              const std::string& authorization_line);

// --- the events the runner reports ---
void http_lookup_done(HttpExchange& exchange, bool found, uint32_t addr_host);
void http_connected(HttpExchange& exchange);
// One chunk of at most HTTP_TRANSFER_SIZE - 1 bytes.
void http_received(HttpExchange& exchange, const char* data, int size);
// The server closed the connection: the reply is complete.
void http_closed(HttpExchange& exchange);
// A look-up, socket, connect, send or receive error: ends silently.
void http_failed(HttpExchange& exchange, const char* why);
// No end within timeout_ms of the connection attempt.
void http_timed_out(HttpExchange& exchange);
// Ended from outside (the program is stopping): no waiting, no message.
void http_abort(HttpExchange& exchange);

enum HttpVerdict { HTTP_FAILURE = 0, HTTP_SUCCESS = 1, HTTP_AUTHENTICATE = 2 };
// Classifies the reply's status line, in this order: "406" failure, "401"
// or "407" authentication, "404" or "403" failure, "200" success, anything
// else failure. A reply without the empty line ending its header fails.
int http_verdict(const char* reply);
