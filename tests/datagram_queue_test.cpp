#include "wire/datagram_queue.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "live/live_ring.h"
#include "support/fake_host.h"
#include "support/udp_loopback.h"

namespace {

// Stands in front of the real send: while `blocked` the socket "would
// block"; a destination listed in `failing_port` fails with that errno.
// Everything else goes out through the real socket.
struct SendGate {
    bool blocked = false;
    uint16_t failing_port = 0;
    int failing_errno = 0;
    int failures_left = 0;  // for failing_port; -1 = always
    int attempts = 0;
};

struct DatagramQueueTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    LoopbackSocket station{"127.0.4.11"};
    LoopbackSocket listener{"127.0.4.12"};
    LoopbackSocket other{"127.0.4.13"};
    SendGate gate;

    void SetUp() override {
        ctx->station.socket = UdpSocket(dup(station.fd()));
        ctx->queue.send = [this](int s, const void* data, int length, int flags,
                                 const sockaddr_in* addr, int addr_len) {
            ++gate.attempts;
            if (gate.blocked) {
                errno = EWOULDBLOCK;
                return -1;
            }
            if (gate.failing_port && addr->sin_port == htons(gate.failing_port) &&
                gate.failures_left != 0) {
                if (gate.failures_left > 0) --gate.failures_left;
                errno = gate.failing_errno;
                return -1;
            }
            return udp_send_to(s, data, length, flags, addr, addr_len);
        };
    }

    int send_text(const std::string& text, const LoopbackSocket& to) {
        return bsendto(*ctx, ctx->queue, station.fd(), text.data(), static_cast<int>(text.size()), 0,
                       &to.addr(), sizeof(sockaddr_in));
    }

    static std::string as_text(const std::vector<uint8_t>& bytes) {
        return std::string(bytes.begin(), bytes.end());
    }

    static std::string numbered(int i) {
        std::string text = "n";
        text += std::to_string(i);
        return text;
    }

    // Runs the write notifications the queue asked for until it is empty.
    void drain() {
        for (int i = 0; i < 64 && ctx->queue.count > 0; ++i) send_next_datagram(*ctx, ctx->queue);
    }
};

TEST_F(DatagramQueueTest, a_socket_that_never_blocks_sends_each_datagram_at_once) {
    for (int i = 0; i < 5; ++i) {
        std::string text = "datagram " + std::to_string(i);
        EXPECT_EQ(send_text(text, listener), static_cast<int>(text.size()));
        EXPECT_EQ(ctx->queue.count, 0);
        EXPECT_EQ(as_text(listener.receive()), text);
    }
    EXPECT_TRUE(ctx->queue.ready);
    EXPECT_TRUE(host.write_notification_requests.empty());
}

TEST_F(DatagramQueueTest, a_blocked_send_waits_at_the_head_until_the_socket_can_write) {
    gate.blocked = true;
    EXPECT_EQ(send_text("first", listener), 5);  // the full count, though only queued
    EXPECT_FALSE(ctx->queue.ready);
    ASSERT_EQ(host.write_notification_requests.size(), 1u);
    EXPECT_EQ(host.write_notification_requests[0], station.fd());

    send_text("second", listener);
    send_text("third", listener);
    EXPECT_EQ(gate.attempts, 1);  // later calls only queue
    EXPECT_EQ(ctx->queue.count, 3);
    EXPECT_TRUE(listener.receive(50).empty());

    gate.blocked = false;
    send_next_datagram(*ctx, ctx->queue);  // the write notification
    EXPECT_EQ(as_text(listener.receive()), "first");
    EXPECT_TRUE(ctx->queue.ready);
    EXPECT_EQ(host.write_notification_requests.size(), 2u);  // two still wait

    send_text("fourth", listener);  // a ready socket sends the oldest waiting one
    EXPECT_EQ(as_text(listener.receive()), "second");
    drain();
    EXPECT_EQ(as_text(listener.receive()), "third");
    EXPECT_EQ(as_text(listener.receive()), "fourth");
    EXPECT_EQ(ctx->queue.count, 0);
}

TEST_F(DatagramQueueTest, a_full_queue_drops_the_newest_and_keeps_the_waiting_order) {
    gate.blocked = true;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(send_text(numbered(i), listener), i < 10 ? 2 : 3);
    EXPECT_EQ(ctx->queue.count, DATAGRAM_QUEUE_SIZE);
    EXPECT_EQ(ctx->queue.dropped, 8);

    gate.blocked = false;
    drain();
    auto received = listener.receive_all();
    ASSERT_EQ(received.size(), 32u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(as_text(received[i]), numbered(i));
}

TEST_F(DatagramQueueTest, an_unsendable_destination_is_dropped_and_reported_once) {
    // A real error: no datagram can go to port 0.
    sockaddr_in port_zero = listener.addr();
    port_zero.sin_port = 0;
    EXPECT_EQ(bsendto(*ctx, ctx->queue, station.fd(), "lost", 4, 0, &port_zero, sizeof port_zero), 4);
    EXPECT_EQ(ctx->queue.count, 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Error: 10022 - Cannot create input socket.");
    EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::error);
    EXPECT_FALSE(host.messages[0].owned);

    bsendto(*ctx, ctx->queue, station.fd(), "lost", 4, 0, &port_zero, sizeof port_zero);
    EXPECT_EQ(host.messages.size(), 1u);  // the same error is not shown again
    EXPECT_EQ(send_text("delivered", listener), 9);
    EXPECT_EQ(as_text(listener.receive()), "delivered");

    reset_send_errors(ctx->queue);  // a new broadcast
    bsendto(*ctx, ctx->queue, station.fd(), "lost", 4, 0, &port_zero, sizeof port_zero);
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(DatagramQueueTest, an_unreachable_listener_does_not_hold_back_the_others) {
    gate.failing_port = other.port();
    gate.failing_errno = EHOSTUNREACH;
    gate.failures_left = -1;
    gate.blocked = true;
    send_text("to other", other);
    send_text("to listener 1", listener);
    send_text("to other again", other);
    send_text("to listener 2", listener);
    gate.blocked = false;
    drain();
    EXPECT_EQ(ctx->queue.count, 0);
    EXPECT_EQ(as_text(listener.receive()), "to listener 1");
    EXPECT_EQ(as_text(listener.receive()), "to listener 2");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Error: 10065 - Cannot create input socket.");
}

TEST_F(DatagramQueueTest, no_buffer_space_keeps_the_datagram_for_a_retry) {
    gate.failing_port = listener.port();
    gate.failing_errno = ENOBUFS;
    gate.failures_left = 2;
    send_text("patient", listener);
    EXPECT_EQ(ctx->queue.count, 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Error: 10055 - Cannot create input socket.");
    send_next_datagram(*ctx, ctx->queue);  // fails again, no second box
    EXPECT_EQ(ctx->queue.count, 1);
    EXPECT_EQ(host.messages.size(), 1u);
    send_next_datagram(*ctx, ctx->queue);
    EXPECT_EQ(ctx->queue.count, 0);
    EXPECT_EQ(as_text(listener.receive()), "patient");
}

TEST_F(DatagramQueueTest, no_buffer_space_during_a_write_notification_does_not_stall_the_queue) {
    gate.blocked = true;
    send_text("held", listener);
    EXPECT_FALSE(ctx->queue.ready);

    gate.blocked = false;
    gate.failing_port = listener.port();
    gate.failing_errno = ENOBUFS;
    gate.failures_left = 1;
    send_next_datagram(*ctx, ctx->queue);  // the write notification meets a full buffer
    EXPECT_EQ(ctx->queue.count, 1);

    // No further notification was asked for: the next datagram must retry.
    send_text("next", listener);
    EXPECT_EQ(as_text(listener.receive()), "held");
    drain();
    EXPECT_EQ(as_text(listener.receive()), "next");
    EXPECT_EQ(ctx->queue.count, 0);
}

TEST_F(DatagramQueueTest, datagrams_larger_than_an_entry_are_refused_without_harm) {
    std::vector<uint8_t> big(QUEUED_DATAGRAM_MAX + 1, 7);
    EXPECT_EQ(bsendto(*ctx, ctx->queue, station.fd(), big.data(), static_cast<int>(big.size()), 0,
                      &listener.addr(), sizeof(sockaddr_in)),
              static_cast<int>(big.size()));
    EXPECT_EQ(ctx->queue.count, 0);
    EXPECT_EQ(gate.attempts, 0);
    EXPECT_EQ(bsendto(*ctx, ctx->queue, station.fd(), "x", 1, 0, nullptr, 16), 1);
    EXPECT_EQ(gate.attempts, 0);
}

TEST(LiveRing, allocation_gives_128_zeroed_pairs_and_empty_indexes) {
    LiveRing ring;
    ring.write_index = 5;
    ASSERT_EQ(allocate_live_ring(ring), 1);
    ASSERT_TRUE(ring.entries);
    EXPECT_TRUE(live_ring_empty(ring));
    EXPECT_EQ(ring.entries[LIVE_RING_SIZE - 1].companion[LIVE_BUFFER_SIZE - 1], 0);
    ring.entries[LIVE_RING_SIZE - 1].main[0] = 1;  // every entry is writable
    ring.write_index = 3;
    EXPECT_FALSE(live_ring_empty(ring));
    reset_live_ring(ring);
    EXPECT_EQ(ring.write_index, 0);
    EXPECT_EQ(ring.read_index, 0);
}

}  // namespace
