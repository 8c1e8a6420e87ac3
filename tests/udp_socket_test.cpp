#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "app/context.h"
#include "app/program.h"
#include "support/fake_host.h"
#include "support/udp_loopback.h"

namespace {

TEST(UdpSocket, errno_values_map_to_the_words_of_the_socket_error_table) {
    FakeHost host;
    auto ctx = make_context(host);
    struct Case {
        int errno_value;
        int code;
        const char* words;
    };
    const Case cases[] = {
        {EWOULDBLOCK, 10035, "Cannot make connection"},
        {EAGAIN, 10035, "Cannot make connection"},
        {ECONNREFUSED, 10061, "Connection refused"},
        {EHOSTUNREACH, 10065, "Host is unreachable"},
        {ENETUNREACH, 10051, "ICMP network unreachable"},
        {EMSGSIZE, 10040, "Message too long"},
        {EACCES, 10013, "Access denied"},
        {ENOBUFS, 10055, "No buffer space is available"},
        {EADDRINUSE, 10048, "Address already in use"},
        {EADDRNOTAVAIL, 10049, "Can't assign requested address"},
        {ECONNRESET, 10054, "Connection reset by peer"},
        {EINVAL, 10022, "Invalid argument"},
        {EBADF, 10009, "Bad file number"},
        {ENOTSOCK, 10038, "Cannot initialize Winsock."},
        {EHOSTDOWN, 10064, "Host is down"},
        {ENETDOWN, 10050, "Network is down"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(socket_error_number(c.errno_value), c.code) << strerror(c.errno_value);
        EXPECT_STREQ(socket_error_text(*ctx, socket_error_number(c.errno_value)), c.words);
    }
    EXPECT_EQ(socket_error_number(EHOSTUNREACH), 10065);
}

TEST(UdpSocket, datagrams_travel_between_loopback_sockets) {
    LoopbackSocket a("127.0.4.1");
    LoopbackSocket b("127.0.4.2");
    ASSERT_EQ(udp_set_nonblocking(b.fd()), 0);
    EXPECT_EQ(udp_readable(b.fd()), 0);

    char buffer[64];
    EXPECT_EQ(udp_receive_from(b.fd(), buffer, sizeof buffer, nullptr, nullptr), -1);
    EXPECT_EQ(socket_error_number(errno), 10035);  // would block

    ASSERT_EQ(udp_send_to(a.fd(), "hello", 5, 0, &b.addr(), sizeof(sockaddr_in)), 5);
    ASSERT_EQ(udp_wait_readable(b.fd(), 1000), 1);
    EXPECT_EQ(udp_readable(b.fd()), 1);
    sockaddr_in from{};
    int from_len = 0;
    ASSERT_EQ(udp_receive_from(b.fd(), buffer, sizeof buffer, &from, &from_len), 5);
    EXPECT_EQ(memcmp(buffer, "hello", 5), 0);
    EXPECT_EQ(from_len, 16);
    EXPECT_EQ(from.sin_addr.s_addr, a.addr().sin_addr.s_addr);
    EXPECT_EQ(from.sin_port, a.addr().sin_port);
}

// A program started meanwhile (the log viewer) must not keep the port bound.
TEST(UdpSocket, a_socket_is_not_inherited_by_programs_the_station_starts) {
    UdpSocket socket = udp_open();
    ASSERT_TRUE(socket.is_open());
    EXPECT_NE(fcntl(socket.fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(UdpSocket, a_closed_socket_reports_an_error_instead_of_waiting) {
    UdpSocket socket = udp_open();
    ASSERT_TRUE(socket.is_open());
    const int fd = socket.fd();
    socket.close();
    EXPECT_EQ(udp_readable(fd), -1);
    EXPECT_EQ(socket_error_number(errno), 10009);  // a bad descriptor
}

TEST(UdpSocket, addresses_come_from_dotted_text_or_names) {
    sockaddr_in addr{};
    ASSERT_EQ(ipv4_from_dotted("127.0.4.9", 3454, &addr), 1);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(ntohs(addr.sin_port), 3454);
    EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000409u);
    EXPECT_EQ(ipv4_from_dotted("127.0.4", 1, &addr), 0);
    EXPECT_EQ(ipv4_from_dotted("radio", 1, &addr), 0);

    uint32_t resolved = 0;
    ASSERT_EQ(resolve_ipv4("127.0.4.10", &resolved), 1);
    EXPECT_EQ(ntohl(resolved), 0x7F00040Au);
    ASSERT_EQ(resolve_ipv4("localhost", &resolved), 1);
    EXPECT_EQ(ntohl(resolved) >> 24, 127u);
    EXPECT_EQ(resolve_ipv4("", &resolved), 0);
    EXPECT_EQ(resolve_ipv4(nullptr, &resolved), 0);
}

}  // namespace
