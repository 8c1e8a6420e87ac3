#pragma once
// A station on its own loopback address for tests that exchange real
// datagrams with it: the station, its master and its listeners each get a
// 127.x.y.z address of their own, made from the process id, so that test
// programs run side by side (ctest -j) without meeting.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "server/station_socket.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

constexpr int TEST_STATION_PORT = 34567;

// A socket bound to a fixed port (the master listens on 3456, a multicast
// group on the station port).
class PortSocket {
public:
    PortSocket(const std::string& ip, int port) {
        socket_ = udp_open();
        fd_ = socket_.fd();
        sockaddr_in addr{};
        if (fd_ < 0 || !ipv4_from_dotted(ip.c_str(), static_cast<uint16_t>(port), &addr) ||
            udp_bind(fd_, addr.sin_addr.s_addr, static_cast<uint16_t>(port)) != 0)
            ADD_FAILURE() << "cannot bind " << ip << ":" << port;
    }

    std::vector<std::vector<uint8_t>> receive_all(int quiet_ms = 50) {
        std::vector<std::vector<uint8_t>> all;
        while (udp_wait_readable(fd_, quiet_ms) == 1) {
            std::vector<uint8_t> bytes(MAX_DATAGRAM);
            int n = udp_receive_from(fd_, bytes.data(), MAX_DATAGRAM, nullptr, nullptr);
            bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
            all.push_back(std::move(bytes));
        }
        return all;
    }

private:
    UdpSocket socket_;
    int fd_ = -1;
};

inline PacketHeader header_of(const std::vector<uint8_t>& datagram) {
    return get_packet_header(datagram.data());
}

inline std::vector<uint8_t> payload_of(const std::vector<uint8_t>& datagram) {
    return std::vector<uint8_t>(datagram.begin() + PACKET_HEADER_SIZE, datagram.end());
}

// The datagrams among `all` whose flags are exactly `flags`.
inline std::vector<std::vector<uint8_t>> with_flags(const std::vector<std::vector<uint8_t>>& all,
                                                    uint16_t flags) {
    std::vector<std::vector<uint8_t>> picked;
    for (const auto& d : all)
        if (d.size() >= PACKET_HEADER_SIZE && header_of(d).flags == flags) picked.push_back(d);
    return picked;
}

// Text datagrams (rate codes allowed) whose first part is `tag` ("STARTSEQ", "SONGTEXT").
inline std::vector<std::vector<uint8_t>> texts_tagged(const std::vector<std::vector<uint8_t>>& all,
                                                      const std::string& tag) {
    std::vector<std::vector<uint8_t>> picked;
    for (const auto& d : all) {
        if (d.size() < PACKET_HEADER_SIZE || !(header_of(d).flags & PF_TEXT)) continue;
        auto parts = text_parts(d);
        if (!parts.empty() && parts[0] == tag) picked.push_back(d);
    }
    return picked;
}

// Sends a control datagram in wire form from `from` to `to`.
inline void send_control(int from_fd, const sockaddr_in& to, uint16_t flags,
                         const std::string& payload, uint32_t seq = 0, uint32_t session = 0) {
    uint8_t bytes[MAX_DATAGRAM];
    PacketHeader header{seq, session, flags, static_cast<uint16_t>(payload.size())};
    put_packet_header(header, bytes);
    memcpy(bytes + PACKET_HEADER_SIZE, payload.data(), payload.size());
    sendto(from_fd, bytes, PACKET_HEADER_SIZE + payload.size(), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// A compressed sample file: the 16-byte header ("VMA ", rate, rate code),
// then each frame as a big-endian length and its bytes.
inline std::string sample_file(const std::vector<std::string>& frames, int rate = 16000,
                               int rate_code = 32) {
    std::string bytes = "VMA ";
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((rate >> (8 * i)) & 0xFF));
    bytes.push_back(static_cast<char>(rate_code & 0xFF));
    bytes.push_back(static_cast<char>(rate_code >> 8));
    bytes.append(6, '\0');
    for (const std::string& frame : frames) {
        bytes.push_back(static_cast<char>(frame.size() >> 8));
        bytes.push_back(static_cast<char>(frame.size() & 0xFF));
        bytes += frame;
    }
    return bytes;
}

// A host whose rand() answers from a list and may call back into the
// sender, the way a message loop run inside a tick would; its clock and its
// message boxes may call back too.
class ReentrantHost : public FakeHost {
public:
    std::deque<int> rand_values;
    std::function<void()> on_rand;
    std::function<void()> on_time_now;
    std::function<void()> on_message;
    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override {
        Answer answer = FakeHost::message_box(text, caption, style, owned);
        if (on_message) on_message();
        return answer;
    }
    int rand() override {
        if (on_rand) on_rand();
        if (rand_values.empty()) return FakeHost::rand();
        int value = rand_values.front();
        rand_values.pop_front();
        return value;
    }
    int64_t time_now() override {
        if (on_time_now) on_time_now();
        return FakeHost::time_now();
    }
};

// Settings of a test station: its own address and port, its master on
// another loopback address, bandwidth for every listener, files in `dir`.
inline void set_test_station(Context& ctx, const TempDir& dir, const std::string& station_ip,
                             const std::string& master_ip) {
    StationState& s = ctx.state;
    s.SPECIFIC_IP = 1;
    s.IP_ADDR = station_ip;
    s.STATION_PORT = TEST_STATION_PORT;
    s.MASTER_IP = master_ip;
    s.BANDWIDTH = 100'000'000;
    s.StationName = "Test FM";
    ctx.program_dir = dir.path();
    s.user_list_path = dir.file("userlist.txt");
}

// The station's address and port as a listener sends to it.
inline sockaddr_in test_station_addr(const std::string& station_ip) {
    sockaddr_in addr{};
    ipv4_from_dotted(station_ip.c_str(), TEST_STATION_PORT, &addr);
    return addr;
}

// A test station: fresh context, bound to its own address and port, its
// master on another loopback address, listeners free to join.
struct StationTest : ::testing::Test {
    ReentrantHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    std::string station_ip = test_ip(91);
    std::string master_ip = test_ip(92);

    void SetUp() override {
        set_test_station(*ctx, dir, station_ip, master_ip);
        // The tests count the operator's messages of what they do; the one
        // notice that station lists cannot name the test's port is checked
        // by a station's own run.
        ctx->station.lists_without_port_told = true;
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->live_ring.feed_mode = FeedMode::script;
    }

    void TearDown() override { close_station(*ctx); }

    void open() {
        ASSERT_EQ(open_station(*ctx, station_ip.c_str(), nullptr, "", "Test FM"), 1);
    }

    sockaddr_in station_addr() const { return test_station_addr(station_ip); }
};
