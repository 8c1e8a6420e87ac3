// Fuzz-style run of the reception path: random datagrams go through
// parse_datagram and the listener handlers in the order the sender
// dispatches them, under random station settings. Run it under the asan
// preset; it asserts only the table's invariants, the point is that no
// input crashes or reads out of bounds.
//
// Input layout of each case: a 12-byte header (seq, session, flags, length,
// big-endian; `length` usually disagrees with what arrives) and a payload of
// random bytes, sometimes starting with a text the station recognises and
// often without its NUL; the received size runs from 0 to beyond 5132 bytes.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "wire/datagram_queue.h"
#include "platform/udp_socket.h"
#include "server/control_datagrams.h"
#include "server/listener_table.h"
#include "wire/packet.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

// Returns 1 when a listener was admitted.
int dispatch(Context& ctx, const ReceivedDatagram& d, const sockaddr_in& from) {
    int admitted = 0;
    const uint16_t flags = d.header.flags;
    const char* text = reinterpret_cast<const char*>(d.payload);
    if ((flags & PF_LEAVE) && !(flags & PF_PICTURE)) handle_leave(ctx, ctx.listeners, from);
    if ((flags & PF_TEXT) && !(flags & PF_PICTURE))
        admitted =
            handle_join(ctx, ctx.listeners, ctx.station, ctx.queue, on_air(ctx.sender, ctx.script),
                        from, sizeof from, flags & PF_COMPANION, text);
    if (flags & PF_MULTICAST_QUERY)
        handle_multicast_query(ctx, ctx.listeners, ctx.station, ctx.queue, on_air(ctx.sender, ctx.script), from,
                               sizeof from);
    if ((flags & PF_UPGRADE) && ctx.state.Stream2X) handle_upgrade(ctx, ctx.listeners, from, text);
    if (flags & PF_KEEPALIVE) {
        int slot = find_listener(ctx.listeners, from);
        if (slot >= 0) ctx.listeners.entries[slot].age = 0;
    }
    return admitted;
}

struct Fuzzer {
    std::mt19937 rng{20240611};

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }

    std::vector<uint8_t> datagram() {
        static const char* const kTexts[] = {"Radio Velmora's Keeper",
                                             "Repeater",
                                             "USERID alice",
                                             "USERID ",
                                             "USERID",
                                             "QuitNow!",
                                             "GETPAL",
                                             "Receiver"};
        int size = pick(0, 9) == 0 ? pick(0, 12) : pick(12, MAX_DATAGRAM + 64);
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(pick(0, 255));
        if (size >= 12) {
            uint16_t flags = static_cast<uint16_t>(pick(0, 0xFFFF));
            if (pick(0, 1))
                flags &= PF_TEXT | PF_COMPANION | PF_LEAVE | PF_KEEPALIVE | PF_MULTICAST_QUERY |
                         PF_UPGRADE;
            uint16_t length = pick(0, 2) == 0 ? static_cast<uint16_t>(pick(0, 0xFFFF))
                                              : static_cast<uint16_t>(size - 12);
            put_packet_header(PacketHeader{static_cast<uint32_t>(rng()),
                                           static_cast<uint32_t>(rng()), flags, length},
                              bytes.data());
            if (pick(0, 2) == 0) {
                const char* text = kTexts[pick(0, 7)];
                size_t n =
                    std::min(strlen(text) + static_cast<size_t>(pick(0, 1)), bytes.size() - 12);
                memcpy(bytes.data() + 12, text, n);  // with or without its NUL
            }
        }
        return bytes;
    }

    void settings(Context& ctx, const TempDir& dir) {
        static const int kRates[] = {INT_MIN, -1, 0, 1, 2000, 3499, 3500, 7000, 1000000, INT_MAX};
        StationState& s = ctx.state;
        s.TransferRate = kRates[pick(0, 9)];
        s.BANDWIDTH = pick(0, 3) == 0 ? kRates[pick(0, 9)] : pick(0, 200000);
        s.SamplingRate = kRates[pick(0, 9)];
        s.INTRANET = pick(0, 1);
        s.MBONE = pick(0, 1);
        s.Stream2X = pick(0, 1);
        ctx.sender.broadcast_state = static_cast<BroadcastState>(pick(0, 3));
        ctx.station.net_mask = static_cast<uint32_t>(rng());
        ctx.sender.packet_counter = static_cast<uint32_t>(rng());
        ctx.sender.entry_index = pick(-3, 5);
        s.StationName = std::string(static_cast<size_t>(pick(0, 6000)), 'n');
        ctx.script.entries.assign(static_cast<size_t>(pick(0, 3)), ScriptEntry{});
        for (ScriptEntry& e : ctx.script.entries) memset(e.text, 'T', sizeof e.text);  // no NUL
        if (pick(0, 1)) {
            std::string list;
            for (int i = pick(0, 400); i > 0; --i) list.push_back(static_cast<char>(pick(1, 255)));
            list += "\nalice\n";
            write_file(s.user_list_path, list);
        } else {
            std::remove(s.user_list_path.c_str());
        }
    }
};

TEST(PacketFuzz, random_datagrams_never_upset_the_reception_path) {
    FakeHost host;
    auto ctx = make_context(host);
    TempDir dir;
    LoopbackSocket station("127.0.5.10");
    LoopbackSocket sink("127.0.5.1");
    udp_set_nonblocking(station.fd());
    ctx->station.socket = UdpSocket(dup(station.fd()));
    ctx->station.local_addr_host = 0x7F00050A;
    ctx->state.user_list_path = dir.file("userlist.txt");

    Fuzzer fuzz;
    ReceivedDatagram d;
    int admitted = 0;
    for (int i = 0; i < 3000; ++i) {
        if (i % 100 == 0) fuzz.settings(*ctx, dir);
        std::vector<uint8_t> bytes = fuzz.datagram();
        sockaddr_in from = sink.addr();
        from.sin_addr.s_addr = htonl(0x7F000500u + static_cast<uint32_t>(fuzz.pick(1, 254)));
        if (parse_datagram(bytes.data(), static_cast<int>(bytes.size()), d)) {
            ASSERT_LE(d.header.length, std::min<size_t>(bytes.size() - 12, MAX_PAYLOAD));
            ASSERT_EQ(d.payload[d.header.length], 0);
            admitted += dispatch(*ctx, d, from);
        }
        ASSERT_LE(ctx->queue.count, DATAGRAM_QUEUE_SIZE);
        if (i % 50 == 0) sink.receive_all(0);
    }
    // The run reached every outcome of a join, not only the early refusals.
    EXPECT_GT(admitted, 0);
    EXPECT_GT(ctx->listeners.busy_rejections, 0);
    int active = 0;
    for (const ListenerEntry& e : ctx->listeners.entries) {
        ASSERT_TRUE(e.age == AGE_FREE || (e.age >= 0 && e.age < AGE_FREE));
        if (e.age < AGE_FREE) ++active;
    }
    EXPECT_LE(active, 254);
    int bps = 0;
    const bool on_air = ctx->sender.broadcast_state != BroadcastState::idle;
    EXPECT_EQ(listener_load(*ctx, ctx->listeners, on_air, &bps), active);
}

TEST(PacketFuzz, malformed_datagrams_arrive_through_a_real_socket_and_are_read_safely) {
    LoopbackSocket station("127.0.5.20");
    LoopbackSocket peer("127.0.5.21");
    Fuzzer fuzz;
    std::vector<uint8_t> buffer(MAX_DATAGRAM);  // exactly a datagram: no room for a terminator
    ReceivedDatagram d;
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> bytes = fuzz.datagram();
        ASSERT_EQ(udp_send_to(peer.fd(), bytes.data(), static_cast<int>(bytes.size()), 0,
                              &station.addr(), sizeof(sockaddr_in)),
                  static_cast<int>(bytes.size()));
        ASSERT_EQ(udp_wait_readable(station.fd(), 1000), 1);
        int n = udp_receive_from(station.fd(), buffer.data(), MAX_DATAGRAM, nullptr, nullptr);
        ASSERT_EQ(n, std::min<int>(static_cast<int>(bytes.size()), MAX_DATAGRAM));
        if (parse_datagram(buffer.data(), n, d)) {
            EXPECT_LE(d.header.length, n - 12);
            EXPECT_LE(strlen(reinterpret_cast<const char*>(d.payload)), size_t{d.header.length});
        } else {
            EXPECT_LT(n, 12);
        }
    }
}

}  // namespace
