#include "server/listener_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "platform/udp_socket.h"
#include "server/control_datagrams.h"
#include "wire/packet.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

using Parts = std::vector<std::string>;

PacketHeader header_of(const std::vector<uint8_t>& datagram) {
    return datagram.size() >= 12 ? get_packet_header(datagram.data()) : PacketHeader{};
}

// The station socket on 127.0.3.1; listeners on other 127.0.3.x addresses.
struct ListenerTableTest : ::testing::Test {
    bool station_on_air() const { return ctx->sender.broadcast_state != BroadcastState::idle; }
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    LoopbackSocket station{"127.0.3.1"};
    LoopbackSocket first{"127.0.3.2"};
    LoopbackSocket second{"127.0.3.3"};

    void SetUp() override {
        udp_set_nonblocking(station.fd());
        ctx->station.socket = UdpSocket(dup(station.fd()));
        ctx->station.local_addr_host = 0x7F000301;
        ctx->station.net_mask = 0xFF000000;
        StationState& s = ctx->state;
        s.TransferRate = 2000;
        s.BANDWIDTH = 28800;
        s.SamplingRate = 16000;
        s.StationName = "Velmora Test";
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->program_dir = dir.path();
        s.user_list_path = dir.file("userlist.txt");
        ctx->sender.packet_counter = 100;
    }

    int join(const LoopbackSocket& who, const char* text, int companion = 0) {
        return handle_join(*ctx, ctx->listeners, ctx->station, ctx->queue,
                           on_air(ctx->sender, ctx->script), who.addr(), sizeof(sockaddr_in),
                           companion, text);
    }

    void add_script_texts(std::initializer_list<const char*> texts) {
        for (const char* text : texts) {
            ScriptEntry entry;
            snprintf(entry.text, sizeof entry.text, "%s", text);
            ctx->script.entries.push_back(entry);
        }
    }

    const ListenerEntry& entry(int i) const { return ctx->listeners.entries[i]; }
};

TEST_F(ListenerTableTest, first_listener_is_admitted_and_second_refused_busy_at_28800) {
    EXPECT_EQ(join(first, "Hello"), 1);
    auto replies = first.receive_all();
    ASSERT_EQ(replies.size(), 10u);
    EXPECT_EQ(text_parts(replies[0])[0], "STARTSEQ");
    for (int i = 1; i < 10; ++i) {
        PacketHeader probe = header_of(replies[i]);
        EXPECT_EQ(probe.flags, PF_UPGRADE);
        EXPECT_EQ(probe.seq, 0u);
        EXPECT_EQ(probe.session, static_cast<uint32_t>(host.now));
        EXPECT_EQ(probe.length, 4000 / 16);
        EXPECT_EQ(replies[i].size(), 12u + 4000 / 16);
    }
    EXPECT_EQ(entry(0).age, 0);
    EXPECT_EQ(entry(0).addr.sin_addr.s_addr, first.addr().sin_addr.s_addr);
    EXPECT_EQ(entry(0).count_at_join, 1);

    EXPECT_EQ(join(second, "Hello"), 0);
    auto busy = second.receive();
    EXPECT_EQ(text_parts(busy), Parts{"Busy"});
    EXPECT_EQ(header_of(busy).seq, 108u);
    EXPECT_EQ(header_of(busy).flags, PF_TEXT);
    EXPECT_EQ(header_of(busy).length, 5);
    EXPECT_EQ(ctx->listeners.busy_rejections, 1);
    EXPECT_EQ(entry(1).age, AGE_FREE);
    EXPECT_TRUE(second.receive(50).empty());
}

TEST_F(ListenerTableTest, a_rejoin_counts_the_old_entry_before_deciding) {
    ASSERT_EQ(join(first, "Hello"), 1);
    first.receive_all();
    EXPECT_EQ(join(first, "Hello"), 0);  // 16000 > 12800 with its own old entry counted
    EXPECT_EQ(text_parts(first.receive()), Parts{"Busy"});

    ctx->state.BANDWIDTH = 44800;
    host.now += 60;
    EXPECT_EQ(join(first, "Hello"), 1);  // the same slot, reset
    EXPECT_EQ(entry(0).joined, static_cast<uint32_t>(host.now));
    EXPECT_EQ(entry(1).age, AGE_FREE);
    EXPECT_EQ(header_of(first.receive()).session, static_cast<uint32_t>(host.now));
}

TEST_F(ListenerTableTest, startseq_carries_counter_minus_4_the_stamp_and_the_current_song) {
    add_script_texts({"First song", "Second song", "Third song"});
    ctx->sender.entry_index = 1;
    ctx->state.BANDWIDTH = 1000000;
    host.now = 1700000123;
    ASSERT_EQ(join(first, "Hello", 1), 1);
    auto reply = first.receive();
    PacketHeader h = header_of(reply);
    EXPECT_EQ(h.seq, 96u);
    EXPECT_EQ(h.session, 1700000123u);
    EXPECT_EQ(h.flags, PF_TEXT | PF_RATE_22050);
    EXPECT_EQ(text_parts(reply), (Parts{"STARTSEQ", "Velmora Test", "Second song"}));
    EXPECT_EQ(h.length, 8 + 12 + 11 + 3);
    EXPECT_EQ(reply.size(), 12u + h.length);
    EXPECT_EQ(entry(0).mode, 1);
    first.receive_all();

    for (int index : {7, -1}) {  // out of range: no song text
        ctx->sender.entry_index = index;
        ASSERT_EQ(join(first, "Hello"), 1);
        auto again = first.receive();
        EXPECT_EQ(std::string(again.end() - 2, again.end()), std::string("\0\0", 2));
        EXPECT_EQ(header_of(again).length, 8 + 12 + 0 + 3);
        first.receive_all();
    }
}

TEST_F(ListenerTableTest, rate_code_flags_follow_the_sampling_rate) {
    ctx->state.BANDWIDTH = 1000000;
    const struct {
        int rate;
        uint16_t code;
    } rates[] = {{8000, 0},
                 {11025, PF_RATE_EXACT},
                 {16000, PF_RATE_22050},
                 {22050, PF_RATE_22050 | PF_RATE_EXACT},
                 {32000, PF_RATE_44100},
                 {44100, PF_RATE_44100 | PF_RATE_EXACT}};
    for (const auto& r : rates) {
        ctx->state.SamplingRate = r.rate;
        ASSERT_EQ(join(first, "Hello"), 1);
        EXPECT_EQ(header_of(first.receive()).flags, PF_TEXT | r.code) << r.rate;
        first.receive_all();
        handle_multicast_query(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script),
                               second.addr(), sizeof(sockaddr_in));
        EXPECT_EQ(header_of(second.receive()).flags, PF_TEXT | r.code) << r.rate;
    }
}

TEST_F(ListenerTableTest, nine_fresh_probes_of_a_sixteenth_of_the_companion_rate) {
    ctx->state.TransferRate = 5000;  // C = min(10000, 7000)
    ctx->state.BANDWIDTH = 1000000;
    ASSERT_EQ(join(first, "Hello"), 1);
    auto replies = first.receive_all();
    ASSERT_EQ(replies.size(), 10u);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(header_of(replies[i]).length, 7000 / 16);
    EXPECT_NE(replies[1], replies[2]);  // random bytes drawn afresh for each
}

TEST_F(ListenerTableTest, keeper_query_never_changes_the_table_even_when_full) {
    for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) {
        ctx->listeners.entries[i].age = 3;
        ctx->listeners.entries[i].addr.sin_addr.s_addr =
            htonl(0x0A000000u + static_cast<uint32_t>(i));
    }
    auto before = std::make_unique<ListenerTable>(ctx->listeners);
    ctx->listeners.keeper_watchdog = 700;

    EXPECT_EQ(join(second, "Radio Velmora's Keeper"), 0);
    auto reply = second.receive();
    EXPECT_EQ(text_parts(reply), Parts{"Broadcaster running\n2000 8192/28800"});
    EXPECT_EQ(header_of(reply).seq, 108u);
    EXPECT_EQ(ctx->listeners.keeper_watchdog, 0);
    EXPECT_EQ(0, memcmp(before->entries, ctx->listeners.entries, sizeof before->entries));
    EXPECT_EQ(ctx->listeners.busy_rejections, 0);

    ctx->state.BANDWIDTH = 2000000000;  // bandwidth to spare, but no free slot
    EXPECT_EQ(join(second, "Hello"), 0);
    EXPECT_EQ(text_parts(second.receive()), Parts{"Busy"});
    EXPECT_EQ(ctx->listeners.busy_rejections, 1);
    EXPECT_EQ(0, memcmp(before->entries, ctx->listeners.entries, sizeof before->entries));

    EXPECT_EQ(join(second, "Radio Velmora's keeper"), 0);  // case matters: an ordinary join
    EXPECT_EQ(text_parts(second.receive()), Parts{"Busy"});
}

TEST_F(ListenerTableTest, user_list_admits_only_listed_user_ids) {
    std::string long_line = "carol " + std::string(300, 'x');
    write_file(ctx->state.user_list_path, "alice\n  , \"Bob Smith\" trailing words\r\n" +
                                              long_line + "\n" + std::string(40, 'z') +
                                              "\n\"unterminated quote\n");
    const char* path = ctx->state.user_list_path.c_str();
    EXPECT_TRUE(user_list_admits(path, "USERID alice"));
    EXPECT_TRUE(user_list_admits(path, "USERID:Bob Smith"));
    EXPECT_TRUE(user_list_admits(path, "USERID carol"));  // its line is longer than any buffer
    EXPECT_TRUE(user_list_admits(path, "USERID unterminated quote"));
    EXPECT_FALSE(user_list_admits(path, ("USERID " + std::string(40, 'z')).c_str()));
    EXPECT_FALSE(user_list_admits(path, "USERID Alice"));
    EXPECT_FALSE(user_list_admits(path, "USERID Bob"));
    EXPECT_FALSE(user_list_admits(path, "USERID "));  // exactly 7 characters
    EXPECT_FALSE(user_list_admits(path, "USERID"));
    EXPECT_FALSE(user_list_admits(path, "userid alice"));
    EXPECT_FALSE(user_list_admits(path, "Hello"));
    EXPECT_TRUE(user_list_admits(dir.file("missing.txt").c_str(), "Hello"));
}

TEST_F(ListenerTableTest, the_user_list_is_read_again_only_when_its_file_changes) {
    ctx->state.BANDWIDTH = 1000000;
    const std::string& path = ctx->state.user_list_path;
    EXPECT_EQ(join(first, "Hello"), 1);  // no file: everybody gets in
    first.receive_all();

    write_file(path, "alice\n");
    EXPECT_EQ(join(first, "USERID bob"), 0);
    EXPECT_EQ(text_parts(first.receive()), (Parts{"BUSY", "ClosedSite"}));
    EXPECT_EQ(join(first, "USERID alice"), 1);

    write_file(path, "alice\nbob\n");  // longer
    EXPECT_EQ(join(second, "USERID bob"), 1);
    // Edited in place to the same size a second later.
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    write_file(path, "carl\nfred\n");
    timespec later[2] = {info.st_mtim, info.st_mtim};
    later[1].tv_sec += 1;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    EXPECT_EQ(join(second, "USERID carl"), 1);
    EXPECT_EQ(join(second, "USERID alice"), 0);

    // Replaced by another file of the same size and time: another inode.
    std::string next = dir.file("next.txt");
    write_file(next, "dave\nerin\n");
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    timespec same[2] = {info.st_mtim, info.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, next.c_str(), same, 0), 0);
    ASSERT_EQ(rename(next.c_str(), path.c_str()), 0);
    EXPECT_EQ(join(second, "USERID dave"), 1);
    EXPECT_EQ(join(second, "USERID carl"), 0);

    std::filesystem::remove(path);  // gone: everybody again
    EXPECT_EQ(join(second, "Hello"), 1);
    write_file(path, "gina\n");
    EXPECT_EQ(join(second, "Hello"), 0);
    EXPECT_EQ(join(second, "USERID gina"), 1);
}

TEST_F(ListenerTableTest, a_seven_character_userid_is_refused_as_closed_site) {
    write_file(ctx->state.user_list_path, "alice\n");
    EXPECT_EQ(join(first, "USERID "), 0);
    auto reply = first.receive();
    EXPECT_EQ(std::string(reply.begin() + 12, reply.end()), std::string("BUSY\0ClosedSite\0", 16));
    EXPECT_EQ(header_of(reply).length, 16);
    EXPECT_EQ(header_of(reply).seq, 108u);
    EXPECT_EQ(entry(0).age, AGE_FREE);
    EXPECT_EQ(ctx->listeners.busy_rejections, 0);
    EXPECT_EQ(join(first, "USERID alice"), 1);
}

TEST_F(ListenerTableTest, repeater_is_refused_closed_site_when_a_user_list_exists) {
    LoopbackSocket repeater("127.0.3.4");
    write_file(ctx->state.user_list_path, "alice\n");
    ctx->state.RepeaterIP = "127.0.3.4:" + std::to_string(repeater.port());
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(text_parts(repeater.receive()), (Parts{"BUSY", "ClosedSite"}));
    EXPECT_EQ(entry(0).age, AGE_FREE);
}

TEST_F(ListenerTableTest, add_receiver_frees_the_table_and_puts_the_repeater_in_slot_0) {
    LoopbackSocket repeater("127.0.3.4");
    for (int i = 0; i < 5; ++i) ctx->listeners.entries[i].age = 10;
    ctx->state.RepeaterIP = "127.0.3.4:" + std::to_string(repeater.port());
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(text_parts(repeater.receive())[0], "STARTSEQ");
    EXPECT_EQ(entry(0).age, 0);
    EXPECT_EQ(entry(0).mode, 0);
    EXPECT_EQ(entry(0).addr_len, 16);
    EXPECT_EQ(entry(0).addr.sin_port, repeater.addr().sin_port);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(entry(i).age, AGE_FREE);

    ctx->state.RepeaterIP = "127.0.3.5";  // no port: 3454
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(ntohs(entry(0).addr.sin_port), REPEATER_PORT_DEFAULT);
    EXPECT_EQ(ntohl(entry(0).addr.sin_addr.s_addr), 0x7F000305u);

    LoopbackSocket named("127.0.0.1");
    ctx->state.RepeaterIP = "localhost:" + std::to_string(named.port());
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(entry(0).age, 0);
    EXPECT_EQ(text_parts(named.receive())[0], "STARTSEQ");
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(ListenerTableTest, the_repeater_takes_slot_0_though_it_listened_before_in_another_slot) {
    LoopbackSocket repeater("127.0.3.4");
    ctx->state.BANDWIDTH = 1000000;
    ASSERT_EQ(join(first, "Hello"), 1);
    ASSERT_EQ(join(second, "Hello"), 1);
    ASSERT_EQ(join(repeater, "Hello"), 1);  // slot 2, in an earlier broadcast
    repeater.receive_all();

    ctx->state.RepeaterIP = "127.0.3.4:" + std::to_string(repeater.port());
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(text_parts(repeater.receive())[0], "STARTSEQ");
    EXPECT_EQ(find_listener(ctx->listeners, repeater.addr()), 0);
    EXPECT_EQ(entry(0).age, 0);
    EXPECT_EQ(entry(2).age, AGE_FREE);
    EXPECT_EQ(find_listener(ctx->listeners, first.addr()), -1);
}

TEST_F(ListenerTableTest, a_repeater_that_cannot_be_found_is_reported_and_not_added) {
    ctx->state.RepeaterIP = ":3454";
    ctx->listeners.entries[3].age = 0;
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(entry(0).age, AGE_FREE);
    EXPECT_EQ(entry(3).age, AGE_FREE);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].text.find("Host not found"), std::string::npos);

    ctx->state.RepeaterIP = " 127.0.3.4";  // a leading blank switches it off
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    EXPECT_EQ(entry(0).age, AGE_FREE);
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(ListenerTableTest, intranet_admits_only_the_station_network) {
    EXPECT_FALSE(outside_intranet(0x96016363, 0x96010203, 0xFFFF0000));  // 150.1.99.99
    EXPECT_TRUE(outside_intranet(0x96020001, 0x96010203, 0xFFFF0000));   // 150.2.0.1

    LoopbackSocket outsider("127.0.9.2");
    ctx->state.INTRANET = 1;
    ctx->state.BANDWIDTH = 1000000;
    ctx->station.net_mask = 0xFFFFFF00;
    EXPECT_EQ(join(outsider, "Hello"), 0);
    EXPECT_EQ(text_parts(outsider.receive()), Parts{"IntranetOnly"});
    EXPECT_EQ(entry(0).age, AGE_FREE);
    EXPECT_EQ(join(first, "Hello"), 1);

    ctx->state.INTRANET = 0;
    EXPECT_EQ(join(outsider, "Hello"), 1);
}

TEST_F(ListenerTableTest, leave_frees_the_entry_and_the_lowest_free_slot_is_reused) {
    ctx->state.BANDWIDTH = 1000000;
    LoopbackSocket third("127.0.3.6");
    ASSERT_EQ(join(first, "Hello"), 1);
    ASSERT_EQ(join(second, "Hello"), 1);
    handle_leave(*ctx, ctx->listeners, third.addr());  // unknown: nothing happens
    EXPECT_EQ(entry(0).age, 0);
    EXPECT_EQ(entry(1).age, 0);

    host.now += 20;
    handle_leave(*ctx, ctx->listeners, first.addr());
    EXPECT_EQ(entry(0).age, AGE_FREE);
    handle_leave(*ctx, ctx->listeners, first.addr());  // twice: still free, nothing else changes
    EXPECT_EQ(entry(1).age, 0);

    ASSERT_EQ(join(third, "Hello"), 1);
    EXPECT_EQ(entry(0).addr.sin_addr.s_addr, third.addr().sin_addr.s_addr);
    EXPECT_EQ(entry(0).count_at_join, 2);
    EXPECT_EQ(find_listener(ctx->listeners, second.addr()), 1);
    EXPECT_EQ(find_listener(ctx->listeners, first.addr()), -1);
}

TEST_F(ListenerTableTest, upgrade_follows_the_bandwidth_rules) {
    ASSERT_EQ(join(first, "Hello"), 1);
    handle_upgrade(*ctx, ctx->listeners, first.addr(),
                   "Please");  // 16000 > 28800 + 8 * (2000 - 4000)
    EXPECT_EQ(entry(0).mode, 0);

    ctx->state.BANDWIDTH = 64000;
    ctx->listeners.entries[0].age = 50;
    handle_upgrade(*ctx, ctx->listeners, first.addr(), "Repeater");  // 16000 < 64000 - 32000
    EXPECT_EQ(entry(0).mode, 3);
    EXPECT_EQ(entry(0).age, 0);
    handle_upgrade(*ctx, ctx->listeners, first.addr(), "Please");
    EXPECT_EQ(entry(0).mode, 1);
    handle_upgrade(*ctx, ctx->listeners, first.addr(), "Repeater");  // 32000 is not below 32000
    EXPECT_EQ(entry(0).mode, 2);

    handle_upgrade(*ctx, ctx->listeners, second.addr(), "Repeater");  // unknown: ignored
    EXPECT_EQ(find_listener(ctx->listeners, second.addr()), -1);
}

TEST_F(ListenerTableTest, an_upgrade_from_a_listener_that_left_does_not_bring_it_back) {
    ctx->state.BANDWIDTH = 40000;
    ASSERT_EQ(join(first, "Hello"), 1);
    ASSERT_EQ(join(second, "Hello"), 1);
    handle_leave(*ctx, ctx->listeners, second.addr());
    // 16000 is within 40000 + 8 * (2000 - 4000) for an upgrade of a listener
    // that is still here; the one that left would add 32000 to the load.
    handle_upgrade(*ctx, ctx->listeners, second.addr(), "Please");
    EXPECT_EQ(entry(1).age, AGE_FREE);
    int bps = 0;
    EXPECT_EQ(listener_load(*ctx, ctx->listeners, station_on_air(), &bps), 1);
    EXPECT_EQ(bps, 16000);
}

TEST_F(ListenerTableTest, load_sums_the_cost_of_each_mode) {
    for (int mode = 0; mode < 4; ++mode) {
        ctx->listeners.entries[mode * 2].age = 124;
        ctx->listeners.entries[mode * 2].mode = mode;
    }
    int bps = -1;
    EXPECT_EQ(listener_load(*ctx, ctx->listeners, station_on_air(), &bps), 4);
    EXPECT_EQ(bps, 8 * (2000 + 4000 + 2000 + 6000));
    EXPECT_TRUE(ctx->listeners.repeater_present);
    EXPECT_EQ(listener_load(*ctx, ctx->listeners, station_on_air(), nullptr), 4);

    ctx->listeners.entries[4].age = AGE_FREE;
    ctx->listeners.entries[6].age = AGE_FREE;
    EXPECT_EQ(listener_load(*ctx, ctx->listeners, station_on_air(), &bps), 2);
    EXPECT_EQ(bps, 8 * 6000);
    EXPECT_FALSE(ctx->listeners.repeater_present);

    ctx->sender.broadcast_state = BroadcastState::idle;
    listener_load(*ctx, ctx->listeners, station_on_air(), &bps);
    EXPECT_EQ(bps, 0);
}

TEST_F(ListenerTableTest, multicast_query_names_the_group_and_leaves_the_table_alone) {
    add_script_texts({"Only song"});
    handle_multicast_query(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script),
                           first.addr(), sizeof(sockaddr_in));
    auto reply = first.receive();
    EXPECT_EQ(text_parts(reply), (Parts{"0.0.0.0", "Velmora Test", "Only song"}));
    EXPECT_EQ(header_of(reply).seq, 108u);
    EXPECT_EQ(entry(0).age, AGE_FREE);

    ctx->state.MBONE = 1;
    ctx->state.MBONEIP = "239.1.2.3";
    handle_multicast_query(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script),
                           first.addr(), sizeof(sockaddr_in));
    EXPECT_EQ(text_parts(first.receive())[0], "239.1.2.3");
}

struct BusyLogTest : ListenerTableTest {
    ScopedEnv zone{"TZ", "UTC"};

    void SetUp() override {
        ListenerTableTest::SetUp();
        tzset();
        ASSERT_EQ(join(first, "Hello"), 1);  // the station is full from now on
        first.receive_all();
    }
    void TearDown() override { tzset(); }

    // The weekday log's lines (host.now is a Tuesday).
    std::vector<std::string> log_lines() {
        std::istringstream in(read_file(dir.file("vmb_tue.log")));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // A refused join from 127.4.x.y: nobody listens there.
    void refuse(uint32_t n) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(9);
        from.sin_addr.s_addr = htonl(0x7F040000 + n);
        EXPECT_EQ(handle_join(*ctx, ctx->listeners, ctx->station, ctx->queue,
                              on_air(ctx->sender, ctx->script), from, sizeof from, 0, "Hello"),
                  0);
    }
};

TEST_F(BusyLogTest, one_busy_line_per_address_a_minute_then_a_count_of_the_lines_left_out) {
    for (int i = 0; i < 10; ++i, host.now += 5) refuse(1);
    refuse(2);
    EXPECT_EQ(ctx->listeners.busy_rejections, 11);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "127.004.000.001 14/11/2023 22:13:20 14/11/2023 22:13:20 0 1 1 0");
    EXPECT_EQ(lines[1].substr(0, 16), "127.004.000.002 ");

    host.now = 1'700'000'000 + 59;
    tend_listener_table(*ctx, ctx->listeners);  // the minute is not over yet
    EXPECT_EQ(log_lines().size(), 2u);
    host.now += 1;
    tend_listener_table(*ctx, ctx->listeners);
    tend_listener_table(*ctx, ctx->listeners);  // once only
    lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "9 busy lines left out between 14/11/2023 22:13:20 and 14/11/2023 22:14:20");

    refuse(1);  // a minute after its last line: written again
    EXPECT_EQ(log_lines().size(), 4u);
}

TEST_F(BusyLogTest, a_flood_from_ever_new_addresses_writes_a_bounded_number_of_lines) {
    for (uint32_t n = 0; n < 5000; ++n) refuse(n);
    host.now += BUSY_LOG_MINUTE;
    refuse(1);  // the next line closes the minute first
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), BUSY_LOG_LINES_PER_MINUTE + 2u);
    EXPECT_EQ(lines[BUSY_LOG_LINES_PER_MINUTE].rfind(
                  std::to_string(5000 - BUSY_LOG_LINES_PER_MINUTE) + " busy lines left out ", 0),
              0u);
    EXPECT_EQ(ctx->listeners.busy_rejections, 5001);
}

TEST(ListenerLog, line_holds_address_both_times_and_the_four_numbers) {
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    sockaddr_in addr{};
    ipv4_from_dotted("127.0.3.2", 4000, &addr);
    char line[160];
    format_listener_log_line(line, sizeof line, addr, 1700000000, 1700000100, 1, 3, 0, 0);
    EXPECT_STREQ(line, "127.000.003.002 14/11/2023 22:13:20 14/11/2023 22:15:00 1 3 0 0\n");
    char small[10];
    EXPECT_EQ(format_listener_log_line(small, sizeof small, addr, 0, 0, 0, 0, 1, 0), 9);
    EXPECT_STREQ(small, "127.000.0");
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace

TEST(ListenerLookup, a_remembered_place_is_used_only_while_it_still_holds_the_address) {
    FakeHost host;
    auto ctx = make_context(host);
    sockaddr_in a{}, b{};
    a.sin_addr.s_addr = htonl(0x7F000105);
    b.sin_addr.s_addr = htonl(0x7F000106);
    ctx->listeners.entries[7].addr = a;
    EXPECT_EQ(find_listener(ctx->listeners, a), 7);  // found by searching, then remembered
    EXPECT_EQ(find_listener(ctx->listeners, a), 7);
    // The entry changes hands: the remembered place is stale for a.
    ctx->listeners.entries[7].addr = b;
    ctx->listeners.entries[3].addr = a;
    EXPECT_EQ(find_listener(ctx->listeners, a), 3);
    EXPECT_EQ(find_listener(ctx->listeners, b), 7);
    reset_listener_table(ctx->listeners);
    EXPECT_EQ(find_listener(ctx->listeners, a), -1);
    EXPECT_EQ(find_listener(ctx->listeners, b), -1);
}
