#pragma once
// A small HTTP GET that never blocks its caller: started, then polled from
// a loop that has other work. The Icecast output asks its server's status
// page with it, on a connection of its own, to learn whether the server
// still answers: a stopped server's system still accepts connections and
// data, so only an unanswered request shows it.

#include <sys/socket.h>

#include <string>

struct HttpProbeTarget {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string host;  // for the Host header
};

// Owns its connection, closed when it goes: it moves, never copies.
struct HttpProbe {
    int fd = -1;
    std::string request;
    size_t sent = 0;
    std::string reply;  // as much as has come

    HttpProbe() = default;
    HttpProbe(const HttpProbe&) = delete;
    HttpProbe& operator=(const HttpProbe&) = delete;
    ~HttpProbe();
};

// Looks `host` up (this may take a moment). False with `problem` when it
// cannot be.
bool http_probe_target(const std::string& host, int port, HttpProbeTarget* target,
                       std::string* problem);
// Starts a GET of `path`. False with `problem` when no connection can be started.
bool http_probe_start(HttpProbe& probe, const HttpProbeTarget& target, const std::string& path,
                      std::string* problem);
// Does what can be done now: 1 when the server has answered and closed (the
// reply in probe.reply), 0 while under way, -1 on failure with `problem`.
int http_probe_poll(HttpProbe& probe, std::string* problem);
void http_probe_close(HttpProbe& probe);
bool http_probe_running(const HttpProbe& probe);
