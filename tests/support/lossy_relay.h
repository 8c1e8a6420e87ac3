#pragma once
// A relay between a listener and a station that loses a share of the
// station's audio datagrams (resent ones included) on the way, as a rough
// network path does. The listener speaks to the relay as to a station; the
// station sees the relay as its listener.

#include <netinet/in.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/udp_loopback.h"

class LossyRelay {
public:
    // Listens on `ip` (an ephemeral port) and relays to `station`, losing
    // the share `loss` (0..1) of its audio datagrams, chosen by a fixed seed.
    LossyRelay(const std::string& ip, const sockaddr_in& station, double loss);
    ~LossyRelay();
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;
    uint16_t port() const { return facing_listener_.port(); }
    int dropped() const { return dropped_; }

private:
    void run();

    LoopbackSocket facing_listener_, facing_station_;
    sockaddr_in station_;
    double loss_;
    std::atomic<bool> stop_{false};
    std::atomic<int> dropped_{0};
    std::thread thread_;
};
