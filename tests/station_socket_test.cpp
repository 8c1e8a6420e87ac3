#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "server/picture_service.h"
#include "station_test_support.h"

namespace {

uint32_t ip(const char* dotted) { return ntohl(inet_addr(dotted)); }
uint32_t net(const char* dotted) { return inet_addr(dotted); }

TEST(NetworkMask, follows_the_class_of_the_address) {
    EXPECT_EQ(network_mask_of(ip("150.1.2.3")), ip("255.255.0.0"));
    EXPECT_EQ(network_mask_of(ip("10.1.2.3")), ip("255.0.0.0"));
    EXPECT_EQ(network_mask_of(ip("127.0.0.1")), ip("255.0.0.0"));
    EXPECT_EQ(network_mask_of(ip("128.0.0.0")), ip("255.255.0.0"));
    EXPECT_EQ(network_mask_of(ip("191.255.255.255")), ip("255.255.0.0"));
    EXPECT_EQ(network_mask_of(ip("192.168.1.2")), ip("255.255.255.0"));
    EXPECT_EQ(network_mask_of(ip("222.255.255.255")), ip("255.255.255.0"));
    EXPECT_EQ(network_mask_of(ip("223.0.0.1")), ip("255.255.255.255"));
    EXPECT_EQ(network_mask_of(ip("239.1.2.3")), ip("255.255.255.255"));
}

TEST(StationAddress, skips_loopback_names_for_the_first_real_interface) {
    uint32_t loopback_only[] = {net("127.0.1.1")};
    uint32_t interfaces[] = {net("127.0.0.1"), net("10.20.30.40"), net("192.168.1.9")};
    EXPECT_EQ(choose_station_address(loopback_only, 1, interfaces, 3), net("10.20.30.40"));

    uint32_t mixed[] = {net("127.0.1.1"), net("172.16.0.5")};
    EXPECT_EQ(choose_station_address(mixed, 2, interfaces, 3), net("172.16.0.5"));

    uint32_t real[] = {net("150.1.2.3")};
    EXPECT_EQ(choose_station_address(real, 1, interfaces, 3), net("150.1.2.3"));

    uint32_t only_lo[] = {net("127.0.0.1")};
    EXPECT_EQ(choose_station_address(loopback_only, 1, only_lo, 1), net("127.0.1.1"));
}

struct OpenStationTest : StationTest {
    PortSocket master{master_ip, MASTER_PORT};
};

TEST_F(OpenStationTest, announces_to_the_master_and_says_goodbye_once) {
    ctx->state.NextSrvID = 1234;
    open();
    EXPECT_EQ(ctx->station.local_addr_net, net(station_ip.c_str()));
    EXPECT_EQ(ctx->station.broadcast_start_time, host.now);

    auto announce = master.receive_all();
    ASSERT_EQ(announce.size(), 1u);
    EXPECT_EQ(header_of(announce[0]).seq, 0u);
    EXPECT_EQ(header_of(announce[0]).flags, PF_PICTURE);
    std::string expected = "1234 Test FM";
    expected.push_back('\0');
    auto payload = payload_of(announce[0]);
    EXPECT_EQ(std::string(payload.begin(), payload.end()), expected);
    EXPECT_EQ(header_of(announce[0]).length, expected.size());

    close_station(*ctx);
    close_station(*ctx);
    auto goodbye = master.receive_all();
    ASSERT_EQ(goodbye.size(), 1u);
    EXPECT_EQ(goodbye[0].size(), static_cast<size_t>(PACKET_HEADER_SIZE));
    EXPECT_EQ(header_of(goodbye[0]).seq, 0u);
    EXPECT_EQ(header_of(goodbye[0]).flags, PF_PICTURE | PF_LEAVE);
    EXPECT_EQ(header_of(goodbye[0]).length, 0);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
}

TEST_F(OpenStationTest, intranet_station_does_not_announce) {
    ctx->state.INTRANET = 1;
    open();
    EXPECT_TRUE(master.receive_all().empty());
}

TEST_F(OpenStationTest, the_master_itself_sends_no_notices_and_reads_its_number) {
    ctx->state.MASTER_IP = station_ip;
    ctx->state.NextSrvID = 4321;
    PortSocket own_master{station_ip, MASTER_PORT};
    open();
    EXPECT_EQ(ctx->station.server_number, 4321);
    close_station(*ctx);
    EXPECT_TRUE(own_master.receive_all().empty());
}

TEST_F(OpenStationTest, sets_time_to_live_and_send_buffer) {
    open();
    int ttl = 0, buffer = 0;
    socklen_t length = sizeof ttl;
    ASSERT_EQ(getsockopt(ctx->station.socket.fd(), IPPROTO_IP, IP_TTL, &ttl, &length), 0);
    EXPECT_EQ(ttl, 255);
    length = sizeof buffer;
    ASSERT_EQ(getsockopt(ctx->station.socket.fd(), SOL_SOCKET, SO_SNDBUF, &buffer, &length), 0);
    EXPECT_GE(buffer, 65536);
    EXPECT_EQ(ctx->station.net_mask, ip("255.0.0.0"));
}

TEST_F(OpenStationTest, starts_with_a_free_table_and_an_empty_resend_store) {
    ctx->listeners.entries[7].age = 3;
    ctx->listeners.busy_rejections = 5;
    ctx->sender.resend[4].bytes[0] = 0x55;
    ctx->sender.resend_write = 9;
    open();
    for (const ListenerEntry& e : ctx->listeners.entries) ASSERT_EQ(e.age, AGE_FREE);
    EXPECT_EQ(ctx->listeners.busy_rejections, 0);
    EXPECT_EQ(ctx->sender.resend[4].bytes[0], 0);
    EXPECT_EQ(ctx->sender.resend_write, 0);
}

TEST_F(OpenStationTest, a_port_in_use_is_fatal_with_status_3) {
    PortSocket squatter{station_ip, TEST_STATION_PORT};
    EXPECT_EQ(open_station(*ctx, station_ip.c_str(), nullptr, "", "Test FM"), 0);
    ASSERT_EQ(host.exit_statuses, std::vector<int>{EXIT_HOST_OR_BIND});
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.last_message(), "bind: " + station_ip + " port " +
                                       std::to_string(TEST_STATION_PORT) +
                                       ": Address already in use (another program or station "
                                       "holds this address and port)");
    EXPECT_EQ(host.messages.back().style, Buttons::ok | Icon::error | BoxFlag::system_modal);
}

TEST_F(OpenStationTest, a_missing_host_name_is_fatal_with_status_3) {
    EXPECT_EQ(open_station(*ctx, "", nullptr, "", "Test FM"), 0);
    EXPECT_EQ(host.exit_statuses, std::vector<int>{EXIT_HOST_OR_BIND});
    EXPECT_EQ(host.last_message(), "Please specify server URL.");
    EXPECT_EQ(ctx->station.socket.fd(), -1);
}

TEST_F(OpenStationTest, a_group_that_is_no_address_is_refused_but_the_station_runs) {
    ASSERT_EQ(open_station(*ctx, station_ip.c_str(), "not.a.group", "", "Test FM"), 1);
    EXPECT_FALSE(ctx->station.multicast);
    EXPECT_EQ(host.last_message(), "Failed to activate MBONE");
    EXPECT_GE(ctx->station.socket.fd(), 0);
}

TEST_F(OpenStationTest, close_frees_what_the_broadcast_held) {
    open();
    ctx->script.entries.resize(2);
    ctx->script.loaded = true;
    ctx->script.script_entries = 2;
    ctx->pictures.slots[PICTURE_MAIN].block.assign(100, 1);
    ctx->pictures.slots[PICTURE_LOGO].block.assign(100, 1);
    ctx->pictures.shown_name = "a.bmp";
    write_file(dir.file("song.VMA"), sample_file({"x"}));
    ctx->sender.song_file.reset(fopen(dir.file("song.VMA").c_str(), "rb"));
    ctx->sender.companion_file.reset(fopen(dir.file("song.VMA").c_str(), "rb"));

    close_station(*ctx);
    EXPECT_TRUE(ctx->script.entries.empty());
    EXPECT_FALSE(ctx->script.loaded);
    EXPECT_EQ(ctx->script.script_entries, 0);
    EXPECT_TRUE(ctx->pictures.slots[PICTURE_MAIN].block.empty());
    EXPECT_TRUE(ctx->pictures.slots[PICTURE_LOGO].block.empty());
    EXPECT_EQ(ctx->pictures.shown_name, "");
    EXPECT_EQ(ctx->sender.song_file, nullptr);
    EXPECT_EQ(ctx->sender.companion_file, nullptr);
}

}  // namespace
