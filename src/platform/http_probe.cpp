#include "platform/http_probe.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A status page is small; past this the rest is not read.
constexpr size_t kMostReplyBytes = 256 * 1024;

int fail(HttpProbe& probe, std::string* problem, const std::string& what) {
    *problem = what + ": " + strerror(errno);
    http_probe_close(probe);
    return -1;
}

}  // namespace

bool http_probe_target(const std::string& host, int port, HttpProbeTarget* target,
                       std::string* problem) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (result != 0 || !found) {
        *problem = "cannot look up " + host + ": " + gai_strerror(result);
        return false;
    }
    memcpy(&target->address, found->ai_addr, found->ai_addrlen);
    target->length = found->ai_addrlen;
    target->host = host + ":" + service;
    freeaddrinfo(found);
    return true;
}

bool http_probe_start(HttpProbe& probe, const HttpProbeTarget& target, const std::string& path,
                      std::string* problem) {
    http_probe_close(probe);
    probe.fd = socket(target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe.fd < 0) return fail(probe, problem, "socket"), false;
    if (connect(probe.fd, reinterpret_cast<const sockaddr*>(&target.address), target.length) != 0 &&
        errno != EINPROGRESS)
        return fail(probe, problem, "connect to " + target.host), false;
    probe.request = "GET " + path + " HTTP/1.0\r\nHost: " + target.host + "\r\n\r\n";
    probe.sent = 0;
    probe.reply.clear();
    return true;
}

int http_probe_poll(HttpProbe& probe, std::string* problem) {
    if (probe.fd < 0) return -1;
    while (probe.sent < probe.request.size()) {
        ssize_t n = send(probe.fd, probe.request.data() + probe.sent,
                         probe.request.size() - probe.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)) return 0;
        if (n < 0) return fail(probe, problem, "status request");
        probe.sent += static_cast<size_t>(n);
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(probe.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (probe.reply.size() < kMostReplyBytes)
                probe.reply.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) break;  // closed after the reply
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (!probe.reply.empty()) break;  // a reset after the reply still counts
        return fail(probe, problem, "status request");
    }
    close(probe.fd);
    probe.fd = -1;
    return 1;
}

HttpProbe::~HttpProbe() { http_probe_close(*this); }

void http_probe_close(HttpProbe& probe) {
    if (probe.fd >= 0) close(probe.fd);
    probe.fd = -1;
}

bool http_probe_running(const HttpProbe& probe) { return probe.fd >= 0; }
