#include "wire/packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_host.h"

namespace {

std::string payload_of(const uint8_t* out, int size) {
    return std::string(reinterpret_cast<const char*>(out) + PACKET_HEADER_SIZE,
                       static_cast<size_t>(size - PACKET_HEADER_SIZE));
}

struct PacketTest : ::testing::Test {
    uint8_t out[MAX_DATAGRAM];
};

TEST_F(PacketTest, header_travels_big_endian_and_comes_back_in_host_order) {
    put_packet_header(PacketHeader{0x01020304, 0xA0B0C0D0, 0x8001, 0x1234}, out);
    const uint8_t expected[12] = {1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0, 0x80, 0x01, 0x12, 0x34};
    EXPECT_EQ(0, memcmp(out, expected, 12));
    PacketHeader back = get_packet_header(out);
    EXPECT_EQ(back.seq, 0x01020304u);
    EXPECT_EQ(back.session, 0xA0B0C0D0u);
    EXPECT_EQ(back.flags, 0x8001);
    EXPECT_EQ(back.length, 0x1234);

    put_wire_session(out, 0x11223344);
    EXPECT_EQ(get_packet_header(out).session, 0x11223344u);
    EXPECT_EQ(get_packet_header(out).seq, 0x01020304u);
}

TEST_F(PacketTest, rate_code_names_family_and_exactness) {
    EXPECT_EQ(rate_code(8000), 0);
    EXPECT_EQ(rate_code(11025), PF_RATE_EXACT);
    EXPECT_EQ(rate_code(16000), PF_RATE_22050);
    EXPECT_EQ(rate_code(22050), PF_RATE_22050 | PF_RATE_EXACT);
    EXPECT_EQ(rate_code(32000), PF_RATE_44100);
    EXPECT_EQ(rate_code(44100), PF_RATE_44100 | PF_RATE_EXACT);
}

TEST_F(PacketTest, text_replies_have_their_exact_payloads) {
    int size = build_song_text(out, 7, 99, "Night Drive");
    EXPECT_EQ(payload_of(out, size), std::string("SONGTEXT\0Night Drive\0", 21));
    EXPECT_EQ(get_packet_header(out).length, 11 + 10);
    EXPECT_EQ(get_packet_header(out).flags, PF_TEXT);
    EXPECT_EQ(get_packet_header(out).session, 99u);

    size = build_picture_notice(out, 7, 99, 12, 9);
    EXPECT_EQ(payload_of(out, size), std::string("BMPPAL012009\0", 13));
    size = build_picture_notice(out, 7, 99, 123456, -5);  // out of range: still 13 bytes
    EXPECT_EQ(get_packet_header(out).length, 13);

    size = build_busy(out, 100);
    EXPECT_EQ(payload_of(out, size), std::string("Busy\0", 5));
    EXPECT_EQ(get_packet_header(out).seq, 108u);

    size = build_closed_site(out, 100);
    EXPECT_EQ(payload_of(out, size), std::string("BUSY\0ClosedSite\0", 16));
    EXPECT_EQ(get_packet_header(out).length, 16);

    size = build_intranet_only(out, 0xFFFFFFFC);  // the counter wraps
    EXPECT_EQ(payload_of(out, size), std::string("IntranetOnly\0", 13));
    EXPECT_EQ(get_packet_header(out).seq, 4u);

    size = build_keeper_status(out, 100, 2000, 3, 28800);
    EXPECT_EQ(payload_of(out, size), std::string("Broadcaster running\n2000 3/28800\0", 33));

    size = build_multicast_reply(out, 100, 22050, "0.0.0.0", "Velmora FM", "Song");
    EXPECT_EQ(payload_of(out, size), std::string("0.0.0.0\0Velmora FM\0Song\0", 24));
    EXPECT_EQ(get_packet_header(out).flags, PF_TEXT | PF_RATE_22050 | PF_RATE_EXACT);
    EXPECT_EQ(get_packet_header(out).seq, 108u);
}

TEST_F(PacketTest, join_accepted_runs_four_behind_the_counter) {
    int size = build_join_accepted(out, 2, 1700000000, 16000, "Velmora FM", "");
    PacketHeader h = get_packet_header(out);
    EXPECT_EQ(h.seq, 0xFFFFFFFEu);
    EXPECT_EQ(h.session, 1700000000u);
    EXPECT_EQ(h.flags, PF_TEXT | PF_RATE_22050);
    EXPECT_EQ(payload_of(out, size), std::string("STARTSEQ\0Velmora FM\0\0", 21));
    EXPECT_EQ(h.length, 8 + 10 + 0 + 3);
}

TEST_F(PacketTest, audio_picture_reply_and_master_notices) {
    uint8_t frame[300];
    for (int i = 0; i < 300; ++i) frame[i] = static_cast<uint8_t>(i);
    int size = build_audio(out, 16, 5, frame, 300, true);
    EXPECT_EQ(size, 312);
    EXPECT_EQ(get_packet_header(out).flags, 0x8001);
    EXPECT_EQ(0, memcmp(out + 12, frame, 300));
    build_audio(out, 16, 5, frame, 300, false);
    EXPECT_EQ(get_packet_header(out).flags, 0x8000);

    const uint8_t tile[4] = {9, 8, 7, 6};
    size = build_picture_reply(out, 40, 77, "BMPXY001002", tile, 4);
    EXPECT_EQ(get_packet_header(out).length, 11 + 4);  // the text carries no NUL
    EXPECT_EQ(payload_of(out, size), std::string("BMPXY001002\x09\x08\x07\x06"));
    EXPECT_EQ(get_packet_header(out).session, 77u);

    size = build_master_announce(out, 1000, "Velmora FM");
    EXPECT_EQ(payload_of(out, size), std::string("1000 Velmora FM\0", 16));
    EXPECT_EQ(get_packet_header(out).flags, PF_PICTURE);
    EXPECT_EQ(get_packet_header(out).seq, 0u);
    size = build_master_close(out);
    EXPECT_EQ(size, 12);
    EXPECT_EQ(get_packet_header(out).flags, 0x0090);
}

TEST_F(PacketTest, probe_length_is_a_sixteenth_of_the_companion_rate) {
    FakeHost host;
    EXPECT_EQ(build_bandwidth_probe(out, 1, 2000, host), 12 + 4000 / 16);
    EXPECT_EQ(build_bandwidth_probe(out, 1, 5000, host), 12 + 7000 / 16);
    EXPECT_EQ(get_packet_header(out).flags, PF_UPGRADE);
    EXPECT_EQ(get_packet_header(out).seq, 0u);
}

TEST_F(PacketTest, oversized_texts_and_frames_are_cut_to_the_payload) {
    std::string huge(9000, 'x');
    int size = build_join_accepted(out, 10, 1, 8000, huge.c_str(), huge.c_str());
    EXPECT_EQ(size, MAX_DATAGRAM);
    EXPECT_EQ(get_packet_header(out).length, MAX_PAYLOAD);
    EXPECT_EQ(out[MAX_DATAGRAM - 1], 0);  // still NUL-terminated
    size = build_master_announce(out, 1, huge.c_str());
    EXPECT_LE(size, MAX_DATAGRAM);
    std::vector<uint8_t> frame(9000, 1);
    EXPECT_EQ(build_audio(out, 0, 0, frame.data(), 9000, false), MAX_DATAGRAM);
    EXPECT_EQ(build_picture_reply(out, 0, 0, huge.c_str(), frame.data(), 9000), MAX_DATAGRAM);
}

// Every request a listener sends stays a request; the station's own
// datagrams (checked whole against the real handlers elsewhere) are known
// by their flags or their first words, also at 8000 Hz without a rate code.
TEST_F(PacketTest, station_replies_are_told_from_every_listener_request) {
    const struct {
        uint16_t flags;
        std::string payload;
    } requests[] = {
        {PF_TEXT, std::string("hello", 6)},
        {PF_TEXT | PF_COMPANION, std::string("Repeater", 9)},
        {PF_TEXT, std::string("USERID alice", 13)},
        {PF_TEXT, std::string("Radio Velmora's Keeper", 23)},
        {PF_TEXT, "Receiver"},
        {PF_TEXT, ""},
        {PF_TEXT, std::string("10.0.0.1x", 10)},  // not an address alone
        {PF_TEXT, std::string("300.1.2.3", 10)},
        {PF_TEXT, std::string("1.2.3", 6)},
        {PF_MULTICAST_QUERY | PF_COMPANION, ""},
        {PF_LEAVE, ""},
        {PF_KEEPALIVE, std::string("\x05\0\x01\0", 4)},
        {PF_KEEPALIVE, ""},
        {PF_UPGRADE, std::string("Repeater", 9)},
        {PF_TEXT | PF_PICTURE, std::string("GETPAL", 7)},
        {PF_TEXT | PF_PICTURE, std::string("LOGOGETBMPXY001002", 19)},
        {PF_LOAD_REPORT, "12/34"},
        {0, std::string("QuitNow!", 9)},
    };
    for (const auto& r : requests)
        EXPECT_FALSE(is_station_reply(r.flags, reinterpret_cast<const uint8_t*>(r.payload.data()),
                                      static_cast<int>(r.payload.size())))
            << std::hex << r.flags << " " << r.payload;

    auto reply = [&](int size) {
        PacketHeader h = get_packet_header(out);
        EXPECT_EQ(size, PACKET_HEADER_SIZE + h.length);
        return is_station_reply(h.flags, out + PACKET_HEADER_SIZE, h.length);
    };
    EXPECT_TRUE(reply(build_join_accepted(out, 9, 1, 8000, "Velmora FM", "Song")));
    EXPECT_TRUE(reply(build_multicast_reply(out, 9, 8000, "0.0.0.0", "Velmora FM", "Song")));
    EXPECT_TRUE(reply(build_multicast_reply(out, 9, 8000, "239.255.255.255", "", "")));
    EXPECT_TRUE(reply(build_picture_reply(out, 9, 1, "N/A", nullptr, 0)));
    for (int rate : {11025, 16000, 22050, 32000, 44100})
        EXPECT_TRUE(reply(build_multicast_reply(out, 9, rate, "", "", ""))) << rate;
}

TEST_F(PacketTest, received_length_is_clamped_to_what_arrived) {
    ReceivedDatagram d;
    uint8_t bytes[20];
    put_packet_header(PacketHeader{5, 6, PF_TEXT, 4000}, bytes);
    memcpy(bytes + 12, "Repeater", 8);  // no NUL arrived
    ASSERT_EQ(parse_datagram(bytes, 20, d), 1);
    EXPECT_EQ(d.header.length, 8);
    EXPECT_STREQ(reinterpret_cast<const char*>(d.payload), "Repeater");

    put_packet_header(PacketHeader{5, 6, PF_TEXT, 3}, bytes);  // shorter than what arrived
    ASSERT_EQ(parse_datagram(bytes, 20, d), 1);
    EXPECT_EQ(d.header.length, 3);
    EXPECT_STREQ(reinterpret_cast<const char*>(d.payload), "Rep");

    EXPECT_EQ(parse_datagram(bytes, 11, d), 0);
    EXPECT_EQ(d.header.flags, 0);
    EXPECT_EQ(parse_datagram(bytes, -1, d), 0);
    EXPECT_EQ(parse_datagram(nullptr, 20, d), 0);
}

TEST_F(PacketTest, a_full_size_datagram_keeps_its_last_byte_and_a_terminator) {
    std::vector<uint8_t> bytes(MAX_DATAGRAM, 'a');
    put_packet_header(PacketHeader{0, 0, PF_TEXT, MAX_PAYLOAD}, bytes.data());
    ReceivedDatagram d;
    ASSERT_EQ(parse_datagram(bytes.data(), MAX_DATAGRAM, d), 1);
    EXPECT_EQ(d.header.length, MAX_PAYLOAD);
    EXPECT_EQ(strlen(reinterpret_cast<const char*>(d.payload)), size_t{MAX_PAYLOAD});
    // More than a datagram can hold (a caller with a bigger buffer): still cut.
    bytes.resize(MAX_DATAGRAM + 100, 'b');
    put_packet_header(PacketHeader{0, 0, PF_TEXT, 0xFFFF}, bytes.data());
    ASSERT_EQ(parse_datagram(bytes.data(), static_cast<int>(bytes.size()), d), 1);
    EXPECT_EQ(d.header.length, MAX_PAYLOAD);
}

}  // namespace
