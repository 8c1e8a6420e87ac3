#pragma once
// A flood of TCP connections in a thread of its own: `clients` connections
// that each send `request` at once (nothing when it is empty) and connect
// again as soon as the server closes them, until stop(). Used against the
// station's status endpoint. Linux only: epoll.

#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>

class ConnectionFlood {
public:
    ConnectionFlood(const std::string& ip, int port, int clients, std::string request);
    ~ConnectionFlood() { stop(); }
    // Ends the flood and closes its connections; the connects made.
    long stop();

private:
    void run();

    sockaddr_in to_{};
    int clients_;
    std::string request_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> connects_{0};
    std::thread thread_;
};

// One request as a monitor (curl) makes it: connect, ask, read to the close,
// `timeout_ms` in all. The reply, or "" when none came in time.
std::string fetch_once(const std::string& ip, int port, const std::string& request,
                       int timeout_ms);
