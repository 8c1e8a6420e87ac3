#include "web/http_client.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "web/directory_settings.h"
#include "web/proxy_settings.h"
#include "web/text_routines.h"

namespace {

void log_line(HttpExchange& exchange, const std::string& line) { exchange.log += line + "\n"; }

// Fills the exchange for one attempt with the proxy settings just read.
void prepare_exchange(HttpExchange& exchange, const ProxySettings& proxy, bool via_proxy,
                      const char* host, int port, const char* path, char* output, int capacity,
                      int timeout_ms) {
    exchange = HttpExchange{};
    exchange.via_proxy = via_proxy;
    exchange.output = output;
    exchange.output[0] = '\0';
    exchange.remaining = capacity;
    exchange.timeout_ms = timeout_ms;
    std::string authorization;
    if (via_proxy) {
        exchange.connect_host = proxy.server.substr(0, PROXY_FIELD_MAX);
        std::string credentials = proxy.user_id + ":" + proxy.password;
        std::string encoded(4 * (credentials.size() / 3 + 1) + 1, '\0');
        base64_encode(credentials.c_str(), encoded.data());
        authorization = "Proxy-authorization: Basic " + std::string(encoded.c_str()) + "\r\n";
    } else {
        exchange.connect_host = host && *host ? host : HTTP_DEFAULT_HOST;
    }
    int proxy_port = via_proxy ? proxy.port : 0;
    exchange.connect_port = static_cast<uint16_t>(proxy_port > 0 && proxy_port < 65536 ? proxy_port
                                                  : port > 0 && port < 65536       ? port
                                                                                   : 80);
    exchange.request = http_request_text(via_proxy, host ? host : "", port, path, authorization);

    // A dotted address is connected to as it is: it needs no look-up.
    in_addr parsed{};
    if (inet_pton(AF_INET, exchange.connect_host.c_str(), &parsed) == 1) {
        exchange.connect_addr = ntohl(parsed.s_addr);
        exchange.phase = HTTP_CONNECTING;
    } else {
        exchange.phase = HTTP_LOOKING_UP;
        log_line(exchange, "Looking up " + exchange.connect_host + "...");
    }
}

std::string one_line(const char* text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace

std::string http_request_text(bool via_proxy, const char* host, int port, const char* path,
                              const std::string& authorization_line) {
    if (via_proxy)
        return "GET http://" + std::string(host) + ":" + std::to_string(port) + path +
               " HTTP/1.0\r\n" + authorization_line + "\r\n";
    return "GET " + std::string(path) + " HTTP/1.0\r\n\r\n";
}

void http_lookup_done(HttpExchange& exchange, bool found, uint32_t addr_host) {
    if (exchange.phase != HTTP_LOOKING_UP) return;
    if (!found) return http_failed(exchange, "host not found");
    exchange.connect_addr = addr_host;
    exchange.phase = HTTP_CONNECTING;
}

void http_connected(HttpExchange& exchange) {
    if (exchange.phase != HTTP_CONNECTING) return;
    uint32_t a = exchange.connect_addr;
    log_line(exchange, "Contacting " + std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) +
                           "." + std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255) +
                           ":" + std::to_string(exchange.connect_port) + "...");
    log_line(exchange, "Waiting for a reply...");
    exchange.phase = HTTP_RECEIVING;
}

void http_received(HttpExchange& exchange, const char* data, int size) {
    if (exchange.phase != HTTP_RECEIVING || exchange.full || size <= 0) return;
    // A chunk that does not fit ends the gathering: the output is the
    // reply's beginning, never a reply with a hole in it.
    if (size >= exchange.remaining) {
        exchange.full = true;
        log_line(exchange, "Reply longer than the buffer: kept its first " +
                               std::to_string(exchange.length) + " bytes");
        return;
    }
    memcpy(exchange.output + exchange.length, data, static_cast<size_t>(size));
    exchange.length += size;
    exchange.output[exchange.length] = '\0';
    exchange.remaining -= size;
}

void http_closed(HttpExchange& exchange) {
    if (exchange.phase == HTTP_DONE) return;
    log_line(exchange, "Closing connection...");
    exchange.complete = true;
    exchange.phase = HTTP_DONE;
}

void http_failed(HttpExchange& exchange, const char* why) {
    if (exchange.phase == HTTP_DONE) return;
    log_line(exchange, std::string("Failed: ") + (why ? why : "unknown error"));
    exchange.phase = HTTP_DONE;
}

void http_timed_out(HttpExchange& exchange) {
    if (exchange.phase == HTTP_DONE) return;
    log_line(exchange, "Timed out after " + std::to_string(exchange.timeout_ms) + " ms");
    exchange.timed_out = true;
    exchange.phase = HTTP_DONE;
}

void http_abort(HttpExchange& exchange) {
    if (exchange.phase == HTTP_DONE) return;
    log_line(exchange, "Stopped by User");
    exchange.phase = HTTP_DONE;
}

int http_verdict(const char* reply) {
    if (!strstr(reply, "\r\n\r\n")) return HTTP_FAILURE;
    std::string copy = reply;
    std::string status(copy.size() + 1, '\0');
    next_line(copy.data(), 0, status.data());
    status.resize(strlen(status.c_str()));
    for (char& c : status) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    auto has = [&](const char* code) { return status.find(code) != std::string::npos; };
    if (has("406")) return HTTP_FAILURE;
    if (has("401") || has("407")) return HTTP_AUTHENTICATE;
    if (has("404") || has("403")) return HTTP_FAILURE;
    if (has("200")) return HTTP_SUCCESS;
    return HTTP_FAILURE;
}

int http_get(Services& services, HttpClient& client, const char* progress, const char* host, int port,
             const char* path, char* output, int capacity, HttpOutcome* outcome, int timeout_ms) {
    if (client.busy) return -1;
    if (outcome) *outcome = HttpOutcome{};
    if (!output || capacity <= 0) return 0;
    client.busy = true;
    int result = 0;
    if (timeout_ms <= 0) timeout_ms = client.settings->HTTP_TIMEOUT * 1000;
    for (;;) {
        ProxySettings proxy;
        bool via_proxy = load_proxy_settings(proxy) != 0;
        HttpExchange& exchange = client.exchange;
        prepare_exchange(exchange, proxy, via_proxy, host, port, path, output, capacity, timeout_ms);
        exchange.log = one_line(progress) + "\n" + exchange.log;
        services.host->run_http_exchange(exchange);
        http_abort(exchange);  // a runner that returned early ended the exchange
        debug_trace(services, "%s", exchange.log.c_str());
        // One box per stalled request: the timer is gone by now.
        if (exchange.timed_out)
            show_captioned_message(services, one_line(progress).c_str(), false,
                                   Buttons::ok | Icon::error,
                                   "Failed to contact the web server.  Try again later");
        if (outcome)
            *outcome =
                HttpOutcome{exchange.complete, exchange.timed_out, exchange.full, exchange.stopped};
        // A reply cut short by a time-out or an error is no answer at all,
        // whatever its status line said.
        if (output[0] == '\0' || !exchange.complete) break;
        int verdict = http_verdict(output);
        if (verdict == HTTP_SUCCESS) {
            const char* body = strstr(output, "\r\n\r\n") + 4;
            memmove(output, body, strlen(body) + 1);
            result = 1;
            break;
        }
        // The dialog saves new credentials (or a proxy) and returns 1; closed
        // without saving, the request ends here.
        if (verdict != HTTP_AUTHENTICATE || services.host->proxy_dialog(via_proxy) != 1) break;
    }
    client.busy = false;
    return result;
}
