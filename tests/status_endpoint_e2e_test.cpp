// The headless station's status endpoint (--status-http) as a monitoring
// system uses it: the real velmora-station broadcasting live to a UDP
// listener of the test, fetched with curl, and held by slow clients.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/child_process.h"
#include "support/connection_flood.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStationPort = 34651;
constexpr int kStatusPort = 34652;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A TCP connection to the status endpoint, made by hand to time it.
// Everything the server sends until it closes (or 5 s pass).
std::string read_to_close(int fd) {
    std::string reply;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, got);
    return reply;
}

class StatusEndpoint : public ::testing::Test {
protected:
    TempDir dir;
    std::string station_ip = test_ip(91);
    std::string status_address = station_ip + ":" + std::to_string(kStatusPort);
    ChildProcess station;
    LoopbackSocket listener{test_ip(92).c_str()};
    sockaddr_in station_addr{};

    void SetUp() override {
        ipv4_from_dotted(station_ip.c_str(), kStationPort, &station_addr);
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
                   "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(93) +
                   "\nStationName=Status Station\nStationLocation=Loopback\n");
        // As the system service runs it: under journald, which stamps each line itself.
        EnvironmentList env = {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
                               {"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()},
                               {"JOURNAL_STREAM", "8:12345"}};
        ASSERT_TRUE(station.start({program_path("velmora-station"), dir.file("station.ini"),
                                   "--capture", "tone:440", "--status-interval", "0",
                                   "--status-http", status_address},
                                  dir.file("station.out"), dir.path(), env));
        // The endpoint is up once the station has read its settings.
        for (int i = 0; i < 100; ++i) {
            int fd = connect_to(station_ip, kStatusPort, 0, 5000);
            if (fd >= 0) return close(fd), void();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "no status endpoint: " << station_output();
    }

    std::string station_output() { return read_file(dir.file("station.out")); }

    void send_to_station(uint16_t flags, const std::string& text) {
        uint8_t bytes[MAX_DATAGRAM];
        int length = static_cast<int>(text.size());
        put_packet_header(PacketHeader{0, 0, flags, static_cast<uint16_t>(length)}, bytes);
        memcpy(bytes + PACKET_HEADER_SIZE, text.data(), text.size());
        udp_send_to(listener.fd(), bytes, PACKET_HEADER_SIZE + length, 0, &station_addr,
                    sizeof station_addr);
    }

    // Audio datagrams of the listener for `ms`, joined (again every half
    // second until audio comes) and kept alive; their arrival times.
    std::vector<Clock::time_point> listen_for(int ms, std::vector<uint32_t>* seqs = nullptr) {
        std::vector<Clock::time_point> arrivals;
        auto start = Clock::now(), next_message = start;
        while (ms_since(start) < ms) {
            if (Clock::now() >= next_message) {
                send_to_station(arrivals.empty() ? PF_TEXT : PF_KEEPALIVE,
                                arrivals.empty() ? std::string("hello", 6) : std::string("\1\1", 2));
                next_message = Clock::now() + std::chrono::milliseconds(500);
            }
            auto d = listener.receive(100);
            if (d.size() < PACKET_HEADER_SIZE || get_packet_header(d.data()).flags != PF_AUDIO) continue;
            arrivals.push_back(Clock::now());
            if (seqs) seqs->push_back(get_packet_header(d.data()).seq);
        }
        return arrivals;
    }

    ProgramResult curl(const std::string& path) {
        return run_program({"/usr/bin/curl", "--silent", "--show-error", "--fail", "--max-time", "5",
                            "--include", "http://" + status_address + path});
    }
};

TEST_F(StatusEndpoint, curl_reads_the_status_of_a_station_broadcasting_to_a_listener) {
    ASSERT_GT(listen_for(2500).size(), 20u) << station_output();
    ProgramResult json = curl("/status.json");
    ASSERT_EQ(json.status, 0) << json.output << station_output();
    EXPECT_NE(json.output.find("Content-Type: application/json"), std::string::npos);
    nlohmann::json status = nlohmann::json::parse(json.output.substr(json.output.find("\r\n\r\n")));
    EXPECT_EQ(status["station"]["name"], "Status Station");
    EXPECT_EQ(status["station"]["state"], "BROADCASTING");
    EXPECT_EQ(status["station"]["feed"], "live");
    EXPECT_EQ(status["listeners"]["active"], 1);
    EXPECT_GT(status["listeners"]["load_bps"], 8 * 8820 - 1);
    // Every *_bps figure counts bits: TransferRate=8820 bytes a second.
    EXPECT_EQ(status["station"]["transfer_rate_bps"], 8 * 8820);
    EXPECT_GT(status["datagrams"]["sent"], 20);
    EXPECT_EQ(status["song"]["file"], "");  // live: no song file

    ProgramResult metrics = curl("/metrics");
    ASSERT_EQ(metrics.status, 0) << metrics.output;
    EXPECT_NE(metrics.output.find("\nvelmora_listeners_active 1\n"), std::string::npos) << metrics.output;
    EXPECT_NE(metrics.output.find("\nvelmora_station_transfer_rate_bps 70560\n"), std::string::npos)
        << metrics.output;
    EXPECT_NE(metrics.output.find("state=\"BROADCASTING\""), std::string::npos);

    ProgramResult page = curl("/");
    ASSERT_EQ(page.status, 0) << page.output;
    EXPECT_NE(page.output.find("<meta http-equiv=\"refresh\""), std::string::npos);
    EXPECT_NE(page.output.find("<h1>Status Station</h1>"), std::string::npos);

    EXPECT_NE(curl("/nothing").status, 0);  // 404: curl --fail says so
    std::string output = station_output();
    EXPECT_NE(output.find("status on http://" + status_address + "/"), std::string::npos) << output;
    // The journal stamps each line: the station's lines carry no time of their own.
    for (size_t start = 0; start < output.size(); start = output.find('\n', start) + 1) {
        EXPECT_EQ(output.compare(start, 1, "["), 0) << output.substr(start, 40);
        if (output.find('\n', start) == std::string::npos) break;
    }
}

TEST_F(StatusEndpoint, a_client_sending_a_byte_a_second_delays_neither_ticks_nor_other_requests) {
    ASSERT_GT(listen_for(3000).size(), 10u) << station_output();  // live priming first
    // Idle connections beyond the limit, then the slow client, then requests.
    std::vector<int> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(connect_to(station_ip, kStatusPort, 0, 5000));
    std::atomic<double> slow_closed_after_ms{-1};
    std::thread slow([&] {
        int fd = connect_to(station_ip, kStatusPort, 0, 5000);
        auto start = Clock::now();
        const char request[] = "GET /status.json HTTP/1.1\r\n\r\n";
        for (size_t i = 0; i + 1 < sizeof request; ++i) {
            if (send(fd, request + i, 1, MSG_NOSIGNAL) != 1) break;
            char byte;
            // A second's wait that ends early when the server closes.
            timeval second{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
            if (recv(fd, &byte, 1, 0) >= 0) break;  // 0: closed (no reply was due)
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;  // reset
        }
        slow_closed_after_ms = ms_since(start);
        close(fd);
    });
    std::atomic<bool> measuring{true};
    std::vector<double> request_ms;
    std::vector<std::string> replies;
    std::thread client([&] {
        while (measuring) {
            auto start = Clock::now();
            int fd = connect_to(station_ip, kStatusPort, 0, 5000);
            const char request[] = "GET /metrics HTTP/1.1\r\n\r\n";
            send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
            replies.push_back(read_to_close(fd));
            request_ms.push_back(ms_since(start));
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::vector<uint32_t> seqs;
    std::vector<Clock::time_point> arrivals = listen_for(5000, &seqs);
    measuring = false;
    client.join();
    slow.join();
    for (int fd : idle) close(fd);

    // The slow client is cut off after about 3 s, long before its request is complete.
    EXPECT_GT(slow_closed_after_ms, 2500.0);
    EXPECT_LT(slow_closed_after_ms, 4500.0);
    ASSERT_GT(replies.size(), 10u);
    for (size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << i << ": " << replies[i];
        EXPECT_LT(request_ms[i], 1000.0) << i;
    }
    // Ticks went on: every audio datagram came, and none more than a few ticks late.
    ASSERT_GT(seqs.size(), 50u) << station_output();
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], seqs[i - 1] + 1) << i;
    double longest = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        longest = std::max(longest, std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    EXPECT_LT(longest, 500.0) << "46 ms a tick";
}

TEST_F(StatusEndpoint, a_connection_flood_leaves_the_listener_whole_and_a_monitor_answered) {
    ASSERT_GT(listen_for(3000).size(), 10u) << station_output();  // live priming first
    // Hundreds of clients asking and connecting again the moment they are
    // answered, as a misconfigured fleet of monitors or an attacker does.
    ConnectionFlood flood(station_ip, kStatusPort, 300, "GET /metrics HTTP/1.1\r\n\r\n");
    std::atomic<bool> measuring{true};
    int probes = 0, answered = 0;
    std::thread monitor([&] {
        while (measuring) {
            // A monitor waits a few seconds (a scraper's usual timeout is 10 s);
            // a request dropped unread fails at once whatever the wait.
            std::string reply =
                fetch_once(station_ip, kStatusPort, "GET /status.json HTTP/1.1\r\n\r\n", 5000);
            ++probes;
            if (reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
                reply.find("\"state\": \"BROADCASTING\"") != std::string::npos)
                ++answered;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    std::vector<uint32_t> seqs;
    listen_for(6000, &seqs);
    measuring = false;
    monitor.join();
    long connects = flood.stop();

    // Some 500 connections a second even on a loaded machine under the
    // sanitizers (thousands on an idle one), and a monitor's probe at least
    // every 1.5 s.
    EXPECT_GT(connects, 1000) << "the flood did not flood";
    EXPECT_GE(probes, 4);
    // A monitor's connection can still lose its place when its request comes
    // later than a flood of others; before, half of them went unanswered.
    EXPECT_GE(answered * 10, probes * 8) << answered << " of " << probes
                                         << " monitor's requests answered during the flood";
    ASSERT_GT(seqs.size(), 100u) << station_output();  // 46 ms a tick
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], seqs[i - 1] + 1) << i;
}

TEST_F(StatusEndpoint, requests_of_every_shape_are_answered_and_a_bad_address_stops_the_start) {
    int fd = connect_to(station_ip, kStatusPort, 0, 5000);
    ASSERT_GE(fd, 0) << station_output();
    std::string request = "GET / HTTP/1.1\r\nX-Long: " + std::string(10000, 'a') + "\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_to_close(fd).rfind("HTTP/1.1 431 ", 0), 0u);
    close(fd);
    // Typed by hand (netcat): lines ended by "\n" alone.
    fd = connect_to(station_ip, kStatusPort, 0, 5000);
    send(fd, "GET /status.json HTTP/1.0\n\n", 27, MSG_NOSIGNAL);
    EXPECT_EQ(read_to_close(fd).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    close(fd);

    for (const char* bad : {"0", "70000", "127.0.0.1:", "::1:8080", "nowhere:80"}) {
        ProgramResult r = run_program({program_path("velmora-station"), dir.file("station.ini"),
                                       "--status-http", bad},
                                      dir.path(), {{"VELMORA_HOME", dir.path()}, {"XDG_RUNTIME_DIR", dir.file("other")}});
        EXPECT_EQ(r.status, 2) << bad << r.output;  // a wrong command line
        EXPECT_NE(r.output.find("--status-http takes [ADDR:]PORT"), std::string::npos) << r.output;
    }
}

}  // namespace
