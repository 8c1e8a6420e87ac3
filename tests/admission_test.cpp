// The admission limits on a clock the test moves: the bursts legitimate
// listeners make always pass, a forger is capped, and a request over the
// limits gets no reply at all.

#include "server/admission.h"

#include <gtest/gtest.h>

#include <random>

#include "server/listener_table.h"
#include "server/sender.h"
#include "station_test_support.h"

namespace {

sockaddr_in address(uint32_t host_order) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host_order);
    return a;
}

struct AdmissionTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    bool admit(uint32_t addr) { return admit_request(*ctx, ctx->listeners.admission, address(addr)); }

    // Listeners that ask every `retry_ms` until they are answered, the first
    // ask of each spread over the first retry; returns the ms until all
    // were answered, or -1 when some were still waiting after `limit_ms`.
    int all_answered_after(const std::vector<uint32_t>& listeners, int retry_ms, int limit_ms) {
        std::mt19937 rng(7);
        std::vector<int> next(listeners.size());
        for (int& at : next) at = static_cast<int>(rng() % static_cast<unsigned>(retry_ms));
        size_t waiting = listeners.size();
        const uint32_t start = host.clock_ms;
        for (int ms = 0; ms <= limit_ms; ms += 10, host.clock_ms = start + static_cast<uint32_t>(ms)) {
            for (size_t i = 0; i < listeners.size(); ++i) {
                if (next[i] < 0 || next[i] > ms) continue;
                if (admit(listeners[i])) {
                    next[i] = -1;
                    if (--waiting == 0) return ms;
                } else {
                    next[i] += retry_ms;
                }
            }
        }
        return -1;
    }
};

TEST_F(AdmissionTest, a_whole_network_of_256_listeners_joining_at_once_all_get_in) {
    for (uint32_t i = 0; i < 256; ++i) EXPECT_TRUE(admit(0x0A010200 + i)) << i;
    // Another network at the same moment still has the overall burst.
    for (uint32_t i = 0; i < 256; ++i) EXPECT_TRUE(admit(0x0A010300 + i)) << i;
    EXPECT_EQ(ctx->listeners.admission.refused, 0);
}

TEST_F(AdmissionTest, 8192_listeners_joining_again_after_an_outage_are_all_back_within_a_minute) {
    // Packed in 32 full networks (the fewest 8192 addresses fit in), then
    // each in a network of its own; each asks again every second, as
    // velmora-listen does until it is answered.
    std::vector<uint32_t> packed, spread;
    for (uint32_t i = 0; i < 8192; ++i) {
        packed.push_back(0x0A000000 + i);
        spread.push_back(0x0B000000 + i * 256 + 7);
    }
    int packed_ms = all_answered_after(packed, 1000, 60000);
    EXPECT_GE(packed_ms, 0);
    EXPECT_LE(packed_ms, 60000);
    host.clock_ms += 60000;  // the buckets fill up again
    int spread_ms = all_answered_after(spread, 1000, 60000);
    EXPECT_GE(spread_ms, 0);
    EXPECT_LE(spread_ms, 60000);
}

TEST_F(AdmissionTest, a_forger_is_capped_per_address_per_network_and_overall) {
    // 1000 requests a second for 10 seconds, each time naming the same
    // victim: 4 at once, then one every 2 seconds.
    auto forged = [&](auto&& victim) {
        int answered = 0;
        for (int ms = 0; ms < 10000; ++ms, ++host.clock_ms) answered += admit(victim(ms));
        host.clock_ms += 600000;  // every bucket full again
        return answered;
    };
    EXPECT_NEAR(forged([](int) { return 0x0A010203u; }), 4 + 10 / 2, 1);
    // Any address of one network: 256 at once, then 8 a second.
    EXPECT_NEAR(forged([](int ms) { return 0x0A010300u + static_cast<uint32_t>(ms % 256); }),
                256 + 8 * 10, 1);
    // Any address anywhere: 1024 at once, then 200 a second.
    EXPECT_NEAR(forged([](int ms) { return 0x0C000000u + static_cast<uint32_t>(ms) * 256; }),
                1024 + 200 * 10, 1);
}

// Listeners already in the table (heard since their join) that re-join.
struct RejoinTest : AdmissionTest {
    sockaddr_in seat(int slot, uint32_t addr, uint16_t port, bool heard = true) {
        sockaddr_in a = address(addr);
        a.sin_port = htons(port);
        ListenerEntry& entry = ctx->listeners.entries[slot];
        entry.age = 0;
        entry.heard = heard;
        entry.addr = a;
        return a;
    }
    bool rejoin(const sockaddr_in& from) {
        return admit_request(*ctx, ctx->listeners.admission, from, is_heard_listener(ctx->listeners, from));
    }
};

TEST_F(RejoinTest, a_whole_network_of_listeners_rejoining_every_20_seconds_all_stay) {
    // Every address of one /24 re-joins every 20 s (12.7 a second, more
    // than the network's 8): for 5 minutes each re-join is answered.
    std::vector<sockaddr_in> listeners;
    for (int i = 0; i < 254; ++i) listeners.push_back(seat(i, 0x0A070700 + 1 + i, 40000));
    const uint32_t start = host.clock_ms;
    int refused = 0, answered = 0;
    for (int ms = 0; ms < 300000; ms += 10) {
        host.clock_ms = start + static_cast<uint32_t>(ms);
        for (size_t i = 0; i < listeners.size(); ++i) {
            if ((ms + static_cast<int>(i) * 70) % 20000 != 0) continue;  // spread over the 20 s
            rejoin(listeners[i]) ? ++answered : ++refused;
        }
    }
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(answered, 254 * 15);
}

TEST_F(RejoinTest, only_a_heard_entry_of_the_same_address_and_port_skips_the_network_budget) {
    const sockaddr_in known = seat(0, 0x0A080801, 40000);
    seat(1, 0x0A080802, 40000, false);  // joined, never heard
    seat(2, 0x0A080803, 40000);
    ctx->listeners.entries[2].age = AGE_FREE;  // aged out
    // Strangers of the same /24 use up its budget.
    int strangers = 0;
    for (uint32_t i = 0; i < 300; ++i) strangers += admit(0x0A080810 + i % 200);
    ASSERT_EQ(strangers, 256);
    struct Case {
        const char* what;
        sockaddr_in from;
        bool answered;
    } cases[] = {
        {"the known listener", known, true},
        {"its address from another port", [&] { auto a = known; a.sin_port = htons(40001); return a; }(), false},
        {"a listener never heard", [&] { auto a = address(0x0A080802); a.sin_port = htons(40000); return a; }(), false},
        {"an entry aged out", [&] { auto a = address(0x0A080803); a.sin_port = htons(40000); return a; }(), false},
    };
    for (const Case& c : cases) EXPECT_EQ(rejoin(c.from), c.answered) << c.what;
    // The known listener still has only its own address's 4 tokens: a forger
    // naming it gets no more than any other address.
    int answered = 1;
    for (int i = 0; i < 10; ++i) answered += rejoin(known);
    EXPECT_EQ(answered, 4);
}

struct AdmissionStationTest : StationTest {};

TEST_F(AdmissionStationTest, a_request_over_the_limits_gets_no_reply_and_is_counted_and_traced) {
    std::string trace_path = dir.file("trace.txt");
    ctx->messages.trace_file.reset(fopen(trace_path.c_str(), "w"));
    ASSERT_NE(ctx->messages.trace_file, nullptr);
    open();
    LoopbackSocket forger(test_ip(94).c_str());
    for (int i = 0; i < 3; ++i) send_control(forger.fd(), station_addr(), PF_TEXT, "Radio Velmora's Keeper");
    for (int i = 0; i < 3; ++i) send_control(forger.fd(), station_addr(), PF_TEXT, std::string("hi", 3));
    send_control(forger.fd(), station_addr(), PF_MULTICAST_QUERY, "");
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);

    auto got = forger.receive_all();
    int keeper_replies = 0;
    for (const auto& d : got) keeper_replies += text_parts(d)[0].rfind("Broadcaster running", 0) == 0;
    EXPECT_EQ(keeper_replies, 3);
    EXPECT_EQ(texts_tagged(got, "STARTSEQ").size(), 1u);  // the fourth request
    EXPECT_EQ(with_flags(got, PF_UPGRADE).size(), 9u);
    EXPECT_EQ(got.size(), 3u + 10u);  // nothing for the join and the query over the limit
    EXPECT_EQ(ctx->listeners.admission.refused, 3);
    EXPECT_NE(read_file(trace_path).find(test_ip(94) + " over the admission limits, not answered (3)"),
              std::string::npos);

    host.clock_ms += 2000;  // one token back
    send_control(forger.fd(), station_addr(), PF_MULTICAST_QUERY, "");
    ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(forger.receive_all().size(), 1u);
}

}  // namespace
