// The listeners' web page and stream as a listener's browser and a hostile
// client use them: the real velmora-station broadcasting a live tone with
// --web, its stream decoded by opusdec, its page, now.json and events read
// over plain sockets.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStationPort = 34751;
constexpr int kWebPort = 34752;

class WebListen : public ::testing::Test {
protected:
    TempDir dir;
    std::string ip = test_ip(95);
    ChildProcess station;
    EnvironmentList env = {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
                           {"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()}};

    void SetUp() override {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=22050\nMode=1\nAutoStart=1\nSPECIFIC_IP=1\n"
                   "IP_ADDR=" + ip + "\nSTATION_PORT=" + std::to_string(kStationPort) +
                   "\nMASTER_IP=" + test_ip(96) + "\nStationName=Web \"Tone\" Station\n"
                   "StationLocation=Loopback\nWWW_DESC=A tone all day\n");
    }
    bool start(const std::string& web) {
        if (!station.start({program_path("velmora-station"), dir.file("station.ini"), "--capture",
                            "tone:1000", "--status-interval", "0", "--web", web},
                           dir.file("station.out"), dir.path(), env))
            return false;
        // Up once the stream has begun (the broadcast is on the air).
        for (int i = 0; i < 200; ++i) {
            if (station.wait(0) != -2) return false;
            if (get("/listen.opus", 200).rfind("HTTP/1.1 200 OK", 0) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::string output() { return read_file(dir.file("station.out")); }
    std::string get(const std::string& path, int ms = 3000) {
        return exchange(ip, kWebPort, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", ms);
    }
};

TEST_F(WebListen, a_browser_hears_the_live_program_and_sees_the_station) {
    ASSERT_TRUE(start(ip + ":" + std::to_string(kWebPort))) << output();
    ASSERT_NE(output().find("listeners' page on http://" + ip + ":" + std::to_string(kWebPort) + "/"),
              std::string::npos) << output();

    const std::string page = get("/");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("text/html"), std::string::npos);
    EXPECT_NE(page.find("<audio id=\"player\" controls preload=\"none\" src=\"/listen.opus\">"),
              std::string::npos);
    EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);  // readable on a phone

    // Three seconds of the stream: its headers, the last seconds kept, the live pages.
    std::string stream;
    std::thread listener([&] { stream = get("/listen.opus", 3000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto now = nlohmann::json::parse(body_of(get("/now.json")));
    listener.join();
    EXPECT_EQ(now["station"], "Web \"Tone\" Station");
    EXPECT_EQ(now["description"], "A tone all day");
    EXPECT_TRUE(now["on_air"].get<bool>());
    EXPECT_TRUE(now["picture"].is_null());
    EXPECT_EQ(now["listeners"]["web"], 1);
    EXPECT_EQ(now["listeners"]["udp"], 0);

    ASSERT_NE(stream.find("Content-Type: audio/ogg"), std::string::npos) << stream.substr(0, 200);
    const std::string ogg = body_of(stream);
    ASSERT_EQ(ogg.compare(0, 4, "OggS"), 0);
    EXPECT_NE(ogg.find("OpusHead"), std::string::npos);
    EXPECT_GT(ogg.size(), 20000u);  // 96 kbit/s for some 3 s
    write_file(dir.file("heard.opus"), ogg);
    ProgramResult decoded = run_program({"/usr/bin/opusdec", "--quiet", dir.file("heard.opus"),
                                         dir.file("heard.wav")}, dir.path(), env, 20000);
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    wav_bytes::Decoded d = wav_bytes::read_wav16(read_file(dir.file("heard.wav")));
    ASSERT_GT(d.samples.size(), 48000u) << d.samples.size();
    std::vector<uint8_t> last(d.samples.end() - 24000, d.samples.end());
    EXPECT_GT(audio_measures::tone_level_db(last, 1000, d.rate), 25.0);
    EXPECT_GT(audio_measures::tone_level_db(last, 1000, d.rate),
              audio_measures::tone_level_db(last, 1370, d.rate) + 20.0);

    // The events stream begins with what plays now.
    const std::string events = get("/events", 1000);
    EXPECT_NE(events.find("text/event-stream"), std::string::npos);
    EXPECT_NE(events.find("data: {\"station\": \"Web \\\"Tone\\\" Station\""), std::string::npos) << events;
    EXPECT_EQ(get("/picture.png").rfind("HTTP/1.1 404", 0), 0u);  // no picture in this program
}

TEST_F(WebListen, bad_requests_get_4xx_and_a_listener_that_reads_nothing_is_dropped) {
    ASSERT_TRUE(start(ip + ":" + std::to_string(kWebPort))) << output();
    const struct {
        std::string request;
        const char* status;
    } cases[] = {
        {"POST / HTTP/1.1\r\n\r\n", "HTTP/1.1 405"},
        {"GET /nothing-here HTTP/1.1\r\n\r\n", "HTTP/1.1 404"},
        {"BLAH\r\n\r\n", "HTTP/1.1 400"},
        {"GET nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"GET / HTTP/1.1\r\nX: " + std::string(4000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exchange(ip, kWebPort, c.request, 2000).rfind(c.status, 0), 0u) << c.request.substr(0, 40);

    // A client that asks for the stream and never reads: the server lets it
    // go once what waits for it passes its bound, well within 30 s.
    int silent = connect_to(ip, kWebPort, 4096);
    ASSERT_GE(silent, 0);
    const std::string request = "GET /listen.opus HTTP/1.1\r\n\r\n";
    send(silent, request.data(), request.size(), MSG_NOSIGNAL);
    const auto asked = Clock::now();
    tcp_info info{};
    while (Clock::now() - asked < std::chrono::seconds(30)) {
        socklen_t size = sizeof info;
        getsockopt(silent, IPPROTO_TCP, TCP_INFO, &info, &size);
        if (info.tcpi_state != TCP_ESTABLISHED) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_NE(info.tcpi_state, TCP_ESTABLISHED) << "a client that reads nothing still held after 30 s";
    close(silent);
    // Everyone else is still served.
    EXPECT_EQ(get("/now.json").rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(WebListen, a_taken_port_or_a_bad_address_ends_the_start_with_the_cause) {
    LoopbackSocket udp(ip.c_str());  // only to have the address up; TCP below
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kWebPort);
    inet_pton(AF_INET, ip.c_str(), &at.sin_addr);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ProgramResult r = run_program({program_path("velmora-station"), dir.file("station.ini"), "--capture",
                                   "tone:1000", "--web", ip + ":" + std::to_string(kWebPort)},
                                  dir.path(), env, 20000);
    close(taken);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("the listeners' page cannot use " + ip + " port " + std::to_string(kWebPort) +
                            ": The bound address is already in use"),
              std::string::npos) << r.output;

    r = run_program({program_path("velmora-station"), dir.file("station.ini"), "--web", "host:80"},
                    dir.path(), env, 20000);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("--web takes PORT or ADDR:PORT"), std::string::npos) << r.output;
}

}  // namespace
