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

struct AdmissionStationTest : StationTest {};

TEST_F(AdmissionStationTest, a_request_over_the_limits_gets_no_reply_and_is_counted_and_traced) {
    std::string trace_path = dir.file("trace.txt");
    ctx->messages.trace_file = fopen(trace_path.c_str(), "w");
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
