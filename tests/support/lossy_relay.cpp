#include "support/lossy_relay.h"

#include <poll.h>

#include <random>

#include "platform/udp_socket.h"
#include "wire/packet.h"

LossyRelay::LossyRelay(const std::string& ip, const sockaddr_in& station, double loss)
    : facing_listener_(ip.c_str()), facing_station_(ip.c_str()), station_(station), loss_(loss) {
    thread_ = std::thread([this] { run(); });
}

LossyRelay::~LossyRelay() {
    stop_ = true;
    thread_.join();
}

void LossyRelay::run() {
    std::mt19937 random(20);
    std::uniform_real_distribution<double> chance(0, 1);
    sockaddr_in listener{};
    uint8_t bytes[MAX_DATAGRAM];
    while (!stop_) {
        pollfd p[2] = {{facing_listener_.fd(), POLLIN, 0}, {facing_station_.fd(), POLLIN, 0}};
        if (poll(p, 2, 50) <= 0) continue;
        sockaddr_in from{};
        int from_len = sizeof from;
        if (p[0].revents & POLLIN) {
            int n = udp_receive_from(facing_listener_.fd(), bytes, sizeof bytes, &listener, &from_len);
            if (n > 0) udp_send_to(facing_station_.fd(), bytes, n, 0, &station_, sizeof station_);
        }
        if (p[1].revents & POLLIN) {
            int n = udp_receive_from(facing_station_.fd(), bytes, sizeof bytes, &from, &from_len);
            if (n < PACKET_HEADER_SIZE || listener.sin_port == 0) continue;
            if ((get_packet_header(bytes).flags & PF_AUDIO) && chance(random) < loss_) {
                ++dropped_;
                continue;
            }
            udp_send_to(facing_listener_.fd(), bytes, n, 0, &listener, sizeof listener);
        }
    }
}
