// The station socket in real use: it never waits, a full socket holds back
// the rest of a tick instead of losing it, and requests are read as soon as
// they arrive so that a burst larger than the kernel's buffer is not lost.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "app/controller.h"
#include "server/sender.h"
#include "station_test_support.h"

namespace {

struct StationIoTest : StationTest {
    std::vector<std::unique_ptr<LoopbackSocket>> listeners;

    void SetUp() override {
        StationTest::SetUp();
        std::string song = dir.file("song.VMA");
        std::vector<std::string> frames;
        for (int f = 0; f < 40; ++f) frames.push_back(std::string(30, static_cast<char>(f)));
        write_file(song, sample_file(frames));
        ScriptEntry entry;
        entry.count = 1;
        snprintf(entry.song, sizeof entry.song, "%s", song.c_str());
        snprintf(entry.text, sizeof entry.text, "A song");
        ctx->script.entries.push_back(entry);
        ctx->script.loaded = true;
        ctx->script.script_entries = 1;
        open();
    }

    // `count` listeners, each on its own loopback address, admitted by one tick.
    void join(int count) {
        for (int i = 0; i < count; ++i) {
            unsigned pid = static_cast<unsigned>(getpid());
            std::string ip = "127." + std::to_string(100 + i) + "." +
                             std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF);
            listeners.push_back(std::make_unique<LoopbackSocket>(ip.c_str()));
            send_control(listeners.back()->fd(), station_addr(), PF_TEXT, std::string("hi", 3));
        }
        ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
        for (auto& l : listeners) {
            send_control(l->fd(), station_addr(), PF_KEEPALIVE, std::string("ka", 2));
            l->receive_all(1);
        }
    }

    std::vector<uint32_t> audio_seqs(LoopbackSocket& listener) {
        std::vector<uint32_t> seqs;
        for (const auto& d : with_flags(listener.receive_all(30), PF_AUDIO))
            seqs.push_back(header_of(d).seq);
        return seqs;
    }
};

TEST_F(StationIoTest, the_station_socket_never_waits_and_asks_for_big_buffers) {
    int socket = ctx->station.socket.fd();
    EXPECT_TRUE(fcntl(socket, F_GETFL) & O_NONBLOCK);
    ASSERT_FALSE(host.read_notifications.empty());
    EXPECT_EQ(host.read_notifications.front(), std::make_pair(socket, true));

    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    // Either the buffer holds a second of a full table's keep-alives, or
    // the operator is told how to raise the system's cap.
    if (granted < 2 * (8 << 20)) {
        EXPECT_NE(host.last_message().find("net.core.rmem_max"), std::string::npos);
    }

    close_station(*ctx);
    EXPECT_EQ(host.read_notifications.back(), std::make_pair(socket, false));
}

TEST_F(StationIoTest, a_full_socket_holds_the_rest_of_the_tick_until_it_can_be_written) {
    join(3);
    int accepted = 0;
    bool full = true;
    ctx->sender.fan_out.send = [&](int socket, const UdpMessage* messages, int count) {
        int take = full ? std::min(count, 1) : count;
        int sent = udp_send_many(socket, messages, take);
        accepted += sent;
        if (sent < count) errno = EAGAIN;
        return sent;
    };
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(accepted, 1);
    ASSERT_FALSE(host.write_notification_requests.empty());
    EXPECT_EQ(host.write_notification_requests.back(), ctx->station.socket.fd());
    EXPECT_EQ(audio_seqs(*listeners[0]).size(), 1u);
    EXPECT_TRUE(audio_seqs(*listeners[1]).empty());

    full = false;
    on_socket_writable(*ctx);  // the rest of the tick, once and in order
    std::vector<uint32_t> first = audio_seqs(*listeners[1]);
    std::vector<uint32_t> second = audio_seqs(*listeners[2]);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0], second[0]);
    EXPECT_EQ(ctx->sender.fan_out.cut_short, 0);
    // Everybody aged once for the tick, whether sent at once or later.
    for (auto& l : listeners) {
        EXPECT_EQ(ctx->listeners.entries[find_listener(ctx->listeners, l->addr())].age, 1);
    }
}

TEST_F(StationIoTest, a_tick_the_socket_never_took_is_cut_short_by_the_next) {
    join(3);
    int budget = 1;  // datagrams the socket takes before it is full
    ctx->sender.fan_out.send = [&](int socket, const UdpMessage* messages, int count) {
        int sent = udp_send_many(socket, messages, std::min(count, budget));
        budget -= sent;
        if (sent < count) errno = EAGAIN;
        return sent;
    };
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);  // the first listener only
    budget = 1;
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);  // the second one's late datagram; the third's is dropped
    EXPECT_EQ(ctx->sender.fan_out.cut_short, 1);
    budget = 100;
    on_socket_writable(*ctx);  // the new tick goes to everybody
    std::vector<uint32_t> first = audio_seqs(*listeners[0]);
    std::vector<uint32_t> third = audio_seqs(*listeners[2]);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(audio_seqs(*listeners[1]), first);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0], first[1]);
}

TEST_F(StationIoTest, requests_read_between_ticks_survive_a_tiny_kernel_buffer) {
    join(1);
    int tiny = 1;  // the kernel's smallest: two or three datagrams
    setsockopt(ctx->station.socket.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    constexpr int kRequests = 300;
    for (int i = 0; i < kRequests; ++i) {
        send_control(listeners[0]->fd(), station_addr(), PF_LOAD_REPORT, std::to_string(i) + "/7");
        on_socket_readable(*ctx);  // what the shell does when the socket is readable
    }
    EXPECT_EQ(ctx->sender.intake.count, kRequests + 1);  // and the keep-alive of the join
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(ctx->sender.intake.count, 0);
    // Handled in arrival order: the last report is the one that stays.
    EXPECT_EQ(ctx->sender.load_report[0], kRequests - 1);
}

TEST_F(StationIoTest, a_full_intake_stops_reading_until_a_tick_makes_room) {
    join(1);
    int big = 16 << 20;
    setsockopt(ctx->station.socket.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    for (int i = 0; i < INTAKE_SLOTS + 50; ++i) {
        send_control(listeners[0]->fd(), station_addr(), PF_LOAD_REPORT, "1/1");
        if (i % 64 == 0) on_socket_readable(*ctx);
    }
    on_socket_readable(*ctx);
    EXPECT_EQ(ctx->sender.intake.count, INTAKE_SLOTS);
    EXPECT_TRUE(ctx->sender.intake.paused);
    EXPECT_EQ(host.read_notifications.back(), std::make_pair(ctx->station.socket.fd(), false));

    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_FALSE(ctx->sender.intake.paused);
    EXPECT_EQ(host.read_notifications.back(), std::make_pair(ctx->station.socket.fd(), true));
}

TEST_F(StationIoTest, only_datagrams_every_path_carries_whole_go_out_with_dont_fragment) {
    // Frames alternately small and larger than the 548 bytes any IPv4 path
    // carries unfragmented. Sent with "don't fragment", the larger ones
    // would be refused on an ordinary 1500-byte link.
    std::string song = dir.file("mixed.VMA");
    std::vector<std::string> frames;
    for (int f = 0; f < 8; ++f) frames.push_back(std::string(f % 2 ? 1000 : 30, 'm'));
    write_file(song, sample_file(frames));
    snprintf(ctx->script.entries[0].song, sizeof ctx->script.entries[0].song, "%s", song.c_str());
    join(2);
    int calls_with_df = 0, calls_without = 0;
    ctx->sender.fan_out.send = [&](int socket, const UdpMessage* messages, int count) {
        int mode = -1;
        socklen_t length = sizeof mode;
        getsockopt(socket, IPPROTO_IP, IP_MTU_DISCOVER, &mode, &length);
        int largest = 0;
        for (int i = 0; i < count; ++i)
            largest = std::max(largest, messages[i].head_len + messages[i].body_len);
        if (mode == IP_PMTUDISC_PROBE) {
            EXPECT_LE(largest, 576 - 28);
            ++calls_with_df;
        } else {
            ++calls_without;
        }
        return udp_send_many(socket, messages, count);
    };
    for (int t = 0; t < 4; ++t) ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_GT(calls_with_df, 0);
    EXPECT_GT(calls_without, 0);
    EXPECT_EQ(audio_seqs(*listeners[1]).size(), 4u);
    // Replies between two fan-outs go as the system's default has them.
    int mode = -1;
    socklen_t length = sizeof mode;
    getsockopt(ctx->station.socket.fd(), IPPROTO_IP, IP_MTU_DISCOVER, &mode, &length);
    EXPECT_EQ(mode, IP_PMTUDISC_WANT);
}

TEST_F(StationIoTest, resends_reach_back_eighty_ticks_whatever_the_table_holds) {
    join(90);  // more listeners than the store has slots
    std::vector<uint32_t> seqs;
    for (int t = 0; t < 5; ++t) {
        ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }
    seqs = audio_seqs(*listeners[89]);
    ASSERT_GE(seqs.size(), 5u);
    for (auto& l : listeners) l->receive_all(1);
    uint32_t wanted = seqs[seqs.size() - 5];
    send_control(listeners[89]->fd(), station_addr(), PF_KEEPALIVE, "", wanted, 4242);
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    auto all = with_flags(listeners[89]->receive_all(30), PF_AUDIO);
    bool resent = false;
    for (const auto& d : all) resent = resent || (header_of(d).seq == wanted && header_of(d).session == 4242);
    EXPECT_TRUE(resent);
}

}  // namespace
