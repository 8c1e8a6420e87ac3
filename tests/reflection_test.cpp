// Forged datagrams against a station on real sockets: loops through the
// station's own port or between two stations, replies aimed at a forged
// address, and what a join buys a listener that is never heard from.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "server/bmp_header.h"
#include "server/control_datagrams.h"
#include "server/listener_table.h"
#include "server/picture_service.h"
#include "server/sender.h"
#include "station_test_support.h"
#include "support/synthetic_picture.h"

namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

const std::string kHello("hello", 6);

// A 24-bit gradient BMP of width x height (width a multiple of 4).
std::string gradient_bmp(int width, int height) {
    SyntheticPicture picture = make_gradient_picture(width, height);
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, width, height);
    std::string bmp(reinterpret_cast<const char*>(header), BMP_HEADER_SIZE);
    return bmp.append(picture.pixels.begin(), picture.pixels.end());
}

struct ReflectionTest : StationTest {
    // Datagrams the station sends through its queue, by destination.
    std::map<std::pair<uint32_t, uint16_t>, int> sent_to;

    // A script of one song of `frames` small frames; the station is opened
    // and counts what it sends.
    void open_with_song(int frames = 400) {
        std::vector<std::string> all(static_cast<size_t>(frames), std::string(40, 'a'));
        std::string song = dir.file("song.VMA");
        write_file(song, sample_file(all));
        ScriptEntry entry;
        entry.count = 1;
        snprintf(entry.song, sizeof entry.song, "%s", song.c_str());
        snprintf(entry.text, sizeof entry.text, "Song");
        ctx->script.entries.push_back(entry);
        ctx->script.loaded = true;
        ctx->script.script_entries = 1;
        open();
        count_sends(*ctx, sent_to);
    }

    static void count_sends(Context& station, std::map<std::pair<uint32_t, uint16_t>, int>& counts) {
        station.queue.send = [&counts](int socket, const void* data, int length, int flags,
                                       const sockaddr_in* addr, int addr_len) {
            ++counts[{addr->sin_addr.s_addr, addr->sin_port}];
            return udp_send_to(socket, data, length, flags, addr, addr_len);
        };
        station.sender.fan_out.send = [&counts](int socket, const UdpMessage* messages, int count) {
            int sent = udp_send_many(socket, messages, count);
            for (int i = 0; i < sent; ++i)
                ++counts[{messages[i].addr->sin_addr.s_addr, messages[i].addr->sin_port}];
            return sent;
        };
    }

    int sends_to(const sockaddr_in& to) { return sent_to[{to.sin_addr.s_addr, to.sin_port}]; }

    void ticks(int count) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }

    // Joins from `listener` and runs the tick that admits it; `heard` adds a
    // keep-alive, as velmora-listen sends right after "STARTSEQ".
    void join(LoopbackSocket& listener, bool heard = true) {
        send_control(listener.fd(), station_addr(), PF_TEXT, kHello);
        if (heard) send_control(listener.fd(), station_addr(), PF_KEEPALIVE, "stats");
        ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }

    const ListenerEntry* entry_of(const LoopbackSocket& listener) {
        int index = find_listener(ctx->listeners, listener.addr());
        return index < 0 ? nullptr : &ctx->listeners.entries[index];
    }
    bool listening(const LoopbackSocket& listener) {
        const ListenerEntry* entry = entry_of(listener);
        return entry && entry->age < AGE_FREE;
    }
};

TEST_F(ReflectionTest, a_join_forged_from_the_stations_own_port_is_never_answered) {
    open_with_song();
    // Sent from the station's own socket: the source is its address and port.
    send_control(ctx->station.socket.fd(), station_addr(), PF_TEXT, kHello);
    send_control(ctx->station.socket.fd(), station_addr(), PF_TEXT | PF_MULTICAST_QUERY, kHello);
    ticks(20);
    EXPECT_EQ(sends_to(station_addr()), 0);
    EXPECT_EQ(udp_readable(ctx->station.socket.fd()), 0);  // nothing came back to read
    EXPECT_EQ(find_listener(ctx->listeners, station_addr()), -1);

    // A listener on the station's machine, on a port of its own, is served.
    LoopbackSocket neighbour(station_ip.c_str());
    join(neighbour);
    EXPECT_EQ(texts_tagged(neighbour.receive_all(), "STARTSEQ").size(), 1u);
    EXPECT_TRUE(listening(neighbour));
}

TEST_F(ReflectionTest, a_join_forged_between_two_stations_dies_out) {
    open_with_song();
    // Station B on another address, same port, no script: it only answers.
    ReentrantHost other_host;
    auto other = make_context(other_host);
    set_test_station(*other, dir, test_ip(93), master_ip);
    other->sender.broadcast_state = BroadcastState::broadcasting;
    ASSERT_EQ(open_station(*other, test_ip(93).c_str(), nullptr, "", "Other FM"), 1);
    std::map<std::pair<uint32_t, uint16_t>, int> sent_by_other;
    count_sends(*other, sent_by_other);
    sockaddr_in a = station_addr(), b = test_station_addr(test_ip(93));

    // The forger names B as the listener: sent from B's own socket.
    send_control(other->station.socket.fd(), a, PF_TEXT, kHello);
    std::vector<int> a_to_b, b_to_a;  // per 100 ms step, over 6 seconds
    for (int step = 0; step < 60; ++step) {
        int before_ab = sends_to(b), before_ba = sent_by_other[{a.sin_addr.s_addr, a.sin_port}];
        ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
        broadcast_tick(station_parts(*other));
        a_to_b.push_back(sends_to(b) - before_ab);
        b_to_a.push_back(sent_by_other[{a.sin_addr.s_addr, a.sin_port}] - before_ba);
        host.clock_ms += 100;
        other_host.clock_ms += 100;
    }
    // A answers the join once (STARTSEQ, 9 probes, song text, audio) and
    // sends audio until the 4 seconds are up; B answers nothing.
    EXPECT_EQ(a_to_b[0], 12);
    for (int step = 1; step < 40; ++step) EXPECT_EQ(a_to_b[step], 1) << "step " << step;
    for (int step = 40; step < 60; ++step) EXPECT_EQ(a_to_b[step], 0) << "step " << step;
    for (int step = 0; step < 60; ++step) EXPECT_EQ(b_to_a[step], 0) << "step " << step;
    EXPECT_EQ(find_listener(ctx->listeners, b), -1);
    EXPECT_EQ(find_listener(other->listeners, a), -1);
    close_station(*other);
}

TEST_F(ReflectionTest, every_datagram_a_station_sends_is_known_as_a_stations) {
    // 8000 Hz: the join and multicast replies carry no rate code there.
    ctx->state.SamplingRate = 8000;
    ctx->state.BANDWIDTH = 16000;  // room for one listener at 2000 bytes a second
    ctx->state.TransferRate = 2000;
    write_file(dir.file("main.bmp"), gradient_bmp(64, 32));
    write_file(dir.file("logo.bmp"), gradient_bmp(32, 32));
    open_with_song();
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("main.bmp").c_str(), PICTURE_MAIN), 1);

    LoopbackSocket listener(test_ip(94).c_str());
    LoopbackSocket other(test_ip(95).c_str());
    auto ask = [&](const char* request) {
        send_control(listener.fd(), station_addr(), PF_TEXT | PF_PICTURE,
                     std::string(request) + '\0');
    };
    join(listener);
    ask("GETPAL");
    ask("GETBMPXY001000");
    ask("LOGOGETPAL");  // no logo yet
    send_control(other.fd(), station_addr(), PF_TEXT, "Radio Velmora's Keeper");
    send_control(other.fd(), station_addr(), PF_MULTICAST_QUERY | PF_COMPANION, "");
    send_control(other.fd(), station_addr(), PF_TEXT, kHello);  // busy
    ticks(1);
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("logo.bmp").c_str(), PICTURE_LOGO), 1);
    ask("LOGOGETPAL");
    ask("LOGOGETBMPXY000000");
    ctx->state.MBONE = 1;
    ctx->state.MBONEIP = "239.1.2.3";
    host.clock_ms += 4000;  // tokens for `other` to ask again
    send_control(other.fd(), station_addr(), PF_MULTICAST_QUERY, "");
    write_file(ctx->state.user_list_path, "alice\n");
    send_control(other.fd(), station_addr(), PF_TEXT, kHello);  // closed site
    ticks(1);
    ctx->state.INTRANET = 1;
    ctx->station.net_mask = 0xFFFFFF00;
    send_control(other.fd(), station_addr(), PF_TEXT, std::string("USERID alice", 13));
    ticks(1);

    Datagrams all = listener.receive_all();
    Datagrams refused = other.receive_all();
    all.insert(all.end(), refused.begin(), refused.end());
    std::map<std::string, int> kinds;
    for (const auto& d : all) {
        PacketHeader h = header_of(d);
        if (h.flags == PF_UPGRADE) continue;  // a probe: see below
        std::string kind = h.flags & PF_AUDIO ? "audio" : text_parts(d)[0].substr(0, 7);
        ++kinds[kind];
        EXPECT_TRUE(is_station_reply(h.flags, d.data() + PACKET_HEADER_SIZE, h.length)) << kind;
    }
    for (const char* kind : {"STARTSE", "SONGTEX", "BMPPAL0", "BMPXY00", "LOGON/A", "LOGOBMP",
                             "audio", "Broadca", "0.0.0.0", "239.1.2", "Busy", "BUSY", "Intrane"})
        EXPECT_EQ(kinds.count(kind), 1u) << kind;
    EXPECT_EQ(kinds["LOGOBMP"], 2);  // its grid and its tile
    // A bandwidth probe looks like an upgrade request and is not told
    // apart: it only refreshes a listener that is in the table already.
    EXPECT_EQ(with_flags(all, PF_UPGRADE).size(), 9u);
}

TEST_F(ReflectionTest, a_resend_goes_to_the_listeners_own_port_not_the_requests) {
    open_with_song();
    LoopbackSocket listener(test_ip(94).c_str());
    LoopbackSocket same_address(test_ip(94).c_str());  // another port, same address
    join(listener);
    ticks(3);
    listener.receive_all();
    send_control(same_address.fd(), station_addr(), PF_KEEPALIVE, "", 2, 77);
    ticks(1);
    auto resent = with_flags(listener.receive_all(), PF_AUDIO);
    ASSERT_EQ(resent.size(), 2u);  // the resend, then the tick's own audio
    EXPECT_EQ(header_of(resent[0]).seq, 2u);
    EXPECT_EQ(header_of(resent[0]).session, 77u);
    EXPECT_TRUE(same_address.receive_all().empty());
}

TEST_F(ReflectionTest, a_listener_never_heard_after_its_join_is_dropped_after_4_seconds) {
    open_with_song();
    LoopbackSocket silent(test_ip(94).c_str());
    LoopbackSocket kept(test_ip(95).c_str());
    join(silent, false);
    join(kept);
    host.clock_ms += 3000;
    // Joining again does not buy more time; the forger's second join is
    // answered, but the entry still goes 4 seconds after the first.
    send_control(silent.fd(), station_addr(), PF_TEXT, kHello);
    ticks(1);
    EXPECT_EQ(texts_tagged(silent.receive_all(), "STARTSEQ").size(), 2u);
    host.clock_ms += 999;
    ticks(1);
    EXPECT_TRUE(listening(silent));
    silent.receive_all();
    host.clock_ms += 1;
    ticks(1);
    EXPECT_EQ(find_listener(ctx->listeners, silent.addr()), -1);
    EXPECT_TRUE(listening(kept));
    ticks(3);
    EXPECT_TRUE(with_flags(silent.receive_all(), PF_AUDIO).empty());
    EXPECT_EQ(with_flags(kept.receive_all(), PF_AUDIO).size(), 7u);
    EXPECT_TRUE(host.messages.empty());
    for (const auto& file : std::filesystem::directory_iterator(dir.path()))  // no log line
        EXPECT_EQ(file.path().filename().string().rfind("vmb_", 0), std::string::npos);
}

TEST_F(ReflectionTest, anything_a_listener_sends_after_its_join_keeps_it) {
    open_with_song();
    LoopbackSocket resend(test_ip(94).c_str()), upgrade(test_ip(95).c_str()),
        picture(test_ip(96).c_str()), report(test_ip(97).c_str());
    for (LoopbackSocket* s : {&resend, &upgrade, &picture, &report}) join(*s, false);
    send_control(resend.fd(), station_addr(), PF_KEEPALIVE, "", 1, 1);
    send_control(upgrade.fd(), station_addr(), PF_UPGRADE, "Please");  // Stream2X is off
    send_control(picture.fd(), station_addr(), PF_TEXT | PF_PICTURE, std::string("GETPAL", 7));
    send_control(report.fd(), station_addr(), PF_LOAD_REPORT, "1/2");  // not a sign of life
    ticks(1);
    host.clock_ms += 4000;
    ticks(1);
    EXPECT_TRUE(listening(resend));
    EXPECT_TRUE(listening(upgrade));
    EXPECT_TRUE(listening(picture));
    EXPECT_FALSE(listening(report));
}

TEST_F(ReflectionTest, the_repeater_needs_no_sign_of_life) {
    LoopbackSocket repeater(test_ip(96).c_str());
    ctx->state.RepeaterIP = test_ip(96) + ":" + std::to_string(repeater.port());
    open_with_song();
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    host.clock_ms += 60000;
    ticks(3);
    EXPECT_EQ(ctx->listeners.entries[0].age, 0);
    EXPECT_EQ(with_flags(repeater.receive_all(), PF_AUDIO).size(), 3u);
}

TEST_F(ReflectionTest, a_keep_alive_revives_a_listener_that_aged_out_without_a_reply) {
    open_with_song();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    const uint32_t joined = entry_of(listener)->joined;
    host.now += 100;
    ticks(125);
    ASSERT_FALSE(listening(listener));
    listener.receive_all();

    send_control(listener.fd(), station_addr(), PF_KEEPALIVE, "stats");
    ticks(1);
    ASSERT_TRUE(listening(listener));
    EXPECT_EQ(entry_of(listener)->joined, joined);  // its stamp stays
    auto got = listener.receive_all();
    EXPECT_EQ(got.size(), 1u);  // the tick's audio and nothing else
    EXPECT_EQ(with_flags(got, PF_AUDIO).size(), 1u);

    // Revived by what anybody could have forged: it must be heard again
    // within 4 seconds, and once dropped for that it stays gone.
    host.clock_ms += 4000;
    ticks(1);
    EXPECT_EQ(find_listener(ctx->listeners, listener.addr()), -1);
    send_control(listener.fd(), station_addr(), PF_KEEPALIVE, "", 3, 1);
    ticks(1);
    EXPECT_EQ(find_listener(ctx->listeners, listener.addr()), -1);
    EXPECT_TRUE(listener.receive_all().empty());
}

TEST_F(ReflectionTest, a_keep_alive_revives_nobody_a_join_would_leave_out) {
    open_with_song();
    LoopbackSocket away(test_ip(94).c_str());
    join(away);
    ticks(125);
    auto keep_alive = [&] {
        send_control(away.fd(), station_addr(), PF_KEEPALIVE, "stats");
        ticks(1);
        return listening(away);
    };
    ctx->state.BANDWIDTH = 8 * 2000 - 1;  // no room for one listener
    EXPECT_FALSE(keep_alive());
    ctx->state.BANDWIDTH = 8 * 2000;
    ctx->state.INTRANET = 1;
    ctx->station.net_mask = 0xFFFFFF00;
    EXPECT_FALSE(keep_alive());  // outside the station's network
    ctx->state.INTRANET = 0;
    // The admission limits: its join took a token, three queries the rest.
    for (int i = 0; i < 3; ++i) send_control(away.fd(), station_addr(), PF_MULTICAST_QUERY, "");
    EXPECT_FALSE(keep_alive());
    host.clock_ms += ADMIT_PER_ADDRESS.interval_ms;
    EXPECT_TRUE(keep_alive());
}

TEST_F(ReflectionTest, picture_requests_are_answered_only_to_listeners) {
    write_file(dir.file("main.bmp"), gradient_bmp(64, 32));
    open_with_song();
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("main.bmp").c_str(), PICTURE_MAIN), 1);
    LoopbackSocket stranger(test_ip(94).c_str());
    for (const char* request : {"GETPAL", "GETBMPXY000000", "LOGOGETPAL"})
        send_control(stranger.fd(), station_addr(), PF_TEXT | PF_PICTURE,
                     std::string(request) + '\0');
    ticks(1);
    EXPECT_TRUE(stranger.receive_all().empty());
    EXPECT_EQ(find_listener(ctx->listeners, stranger.addr()), -1);

    join(stranger);
    stranger.receive_all();
    send_control(stranger.fd(), station_addr(), PF_TEXT | PF_PICTURE,
                 std::string("GETBMPXY000000", 15));
    ticks(1);
    bool tile = false;
    for (const auto& d : stranger.receive_all())
        tile |= header_of(d).flags == PF_TEXT &&
                std::string(d.begin() + PACKET_HEADER_SIZE, d.begin() + PACKET_HEADER_SIZE + 11) ==
                    "BMPXY000000";
    EXPECT_TRUE(tile);
}

}  // namespace
