// The directory client with real parts: velmora-station as a process, a
// real HTTP/1.0 directory (tests/directory_server.py) and a real proxy
// (tinyproxy), each on loopback addresses of this test process.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/child_process.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/web_servers.h"
#include "web/proxy_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;  // 46 ms a tick
constexpr int kTransferRate = 4410;
constexpr int kStationPort = 34651;
constexpr int kDirectoryPort = 8080;
constexpr int kProxyPort = 8888;

// Waits until `done` holds, looking every 20 ms, for at most timeout_ms.
template <typename Condition>
bool wait_for(Condition done, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// One song of one super-block (a square tone) and a script that plays it.
void write_script(const TempDir& dir) {
    CodecState codec;
    set_rate(codec, kRate, kTransferRate);
    for (const char* ext : {"VMA", "V40"}) {
        CodecState file_codec;
        set_rate(file_codec, kRate, kTransferRate * (ext[1] == '4' ? 2 : 1));
        FILE* file = fopen(dir.file(std::string("song.") + ext).c_str(), "wb");
        write_sample_header(file, kRate, file_codec.rate_percent);
        static uint8_t block[kSuperBlockSamples];
        for (int i = 0; i < kSuperBlockSamples; ++i) block[i] = (i / 40) % 2 ? 168 : 88;
        static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
        interleave_super_block(block, frames);
        for (auto& frame : frames) {
            uint8_t out[6200];
            write_sample_frame(file, out, encode_frame(file_codec, frame, out));
        }
        fclose(file);
    }
    std::string percent = std::to_string(codec.rate_percent);
    std::string bytes = "1 " + std::to_string(kRate) + " " + std::string(3 - percent.size(), '0') +
                        percent + " SCRIPT";
    bytes.push_back('\0');
    bytes += "1 " + dir.file("song.VMA") + " \"\" A song";
    bytes.push_back('\0');
    write_file(dir.file("show.VSK"), bytes);
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

struct WebProcesses : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.path()};  // the proxy settings of the children too
    std::string directory_ip = test_ip(81), proxy_ip = test_ip(82), station_ip = test_ip(83);
    ChildProcess directory, proxy, station;
    EnvironmentList env = {{"XDG_CONFIG_HOME", dir.path()},
                           {"XDG_RUNTIME_DIR", dir.path()},
                           {"VELMORA_HOME", dir.path()}};

    std::string requests() { return read_file_or_empty(dir.file("requests.log")); }
    static std::string read_file_or_empty(const std::string& path) {
        return access(path.c_str(), F_OK) == 0 ? read_file(path) : "";
    }

    void start_directory(const std::string& mode = "answer") {
        ASSERT_EQ(start_directory_server(directory, directory_ip, kDirectoryPort, dir.file("requests.log"),
                                         mode, dir.file("directory-" + mode + ".out")),
                  "");
    }

    void start_proxy(bool basic_auth) {
        ASSERT_EQ(start_test_proxy(proxy, proxy_ip, kProxyPort, basic_auth, dir.file("tinyproxy.conf"),
                                   dir.file("proxy.out")),
                  "");
    }

    void write_settings(const std::string& extra) {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\nBANDWIDTH=64000\n"
                   "Mode=0\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(84) + "\n"
                   "StationName=Web Test FM\nStationLocation=Loop\nStationCategory=Talk & News\n"
                   "StationEMAIL=op@example.test\n"
                   "DIRURL=" + directory_ip + "\nDIRURLPORT=" + std::to_string(kDirectoryPort) + "\n"
                   "CATEGORIES_URL=" + directory_ip + ":" + std::to_string(kDirectoryPort) + "\n"
                   "StationScript=" + dir.file("show.VSK") + "\n" + extra);
    }

    void start_station() {
        write_script(dir);
        ASSERT_TRUE(station.start({program_path("velmora-station"), dir.file("station.ini"),
                                   "--status-interval", "1"},
                                  dir.file("station.out"), "", env));
    }
    std::string station_output() { return read_file_or_empty(dir.file("station.out")); }

    ProgramResult list_categories() {
        return run_program({program_path("velmora-station"), dir.file("station.ini"), "--list-categories"},
                           "", env, 20000);
    }
};

const char* const kAddStart = "GET /cgi-local/ul_vsl.prl?vslFile=";

TEST_F(WebProcesses, a_station_lists_itself_when_it_starts_and_leaves_the_directory_on_sigterm) {
    start_directory();
    write_settings("");
    start_station();
    ASSERT_TRUE(wait_for([&] { return requests().find(kAddStart) != std::string::npos; }, 10000))
        << station_output();
    ASSERT_TRUE(wait_for([&] { return station_output().find("| listed |") != std::string::npos; }, 5000))
        << station_output();

    // Both station-list files hold the record; the directory got it escaped.
    unsigned a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(sscanf(station_ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4);
    char name[16], padded[20];
    snprintf(name, sizeof name, "%02X%02X%02X%02X.vsl", d, c, b, a);
    snprintf(padded, sizeof padded, "%03u.%03u.%03u.%03u", a, b, c, d);
    std::string record = std::string(padded) + " Web Test FM\nTalk & News\n\n\n";
    EXPECT_EQ(read_file_or_empty(dir.file(name)), record);
    EXPECT_EQ(read_file_or_empty(dir.file("listen.vsl")), record);
    std::string escaped_padded = padded;
    for (size_t dot; (dot = escaped_padded.find('.')) != std::string::npos;)
        escaped_padded.replace(dot, 1, "%2E");
    EXPECT_EQ(lines_of(dir.file("requests.log")).at(0),
              std::string(kAddStart) + name + "&vslContent=" + escaped_padded +
                  "%20VelmoraPro%20Web%20Test%20FM%0ATalk%20%26%20News%0A%0A%0AEMAIL%3Aop%40example"
                  "%2Etest%0ALOCATION%3ALoop%0A HTTP/1.0");

    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    EXPECT_NE(requests().find(std::string("GET /cgi-local/del_vsl.prl?vslFile=") + name +
                              "&vslContent=" + escaped_padded + "%20VelmoraPro%0ATalk%20%26%20News%0A HTTP/1.0"),
              std::string::npos)
        << requests();
    EXPECT_EQ(station_output().find("could not be added"), std::string::npos);
}

TEST_F(WebProcesses, an_intranet_station_sends_no_request_at_all) {
    start_directory();
    write_settings("INTRANET=1\n");
    start_station();
    ASSERT_TRUE(wait_for([&] { return station_output().find("BROADCASTING") != std::string::npos; }, 10000))
        << station_output();
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    EXPECT_EQ(requests(), "");
    EXPECT_NE(station_output().find("| unlisted |"), std::string::npos);
}

TEST_F(WebProcesses, a_directory_that_never_answers_fails_the_add_once_while_the_broadcast_keeps_its_pace) {
    start_directory("silent");
    write_settings("HTTP_TIMEOUT=3\n");
    start_station();
    // Join as soon as the station answers: the add is then under way.
    LoopbackSocket listener(test_ip(85).c_str());
    sockaddr_in to{};
    ipv4_from_dotted(station_ip.c_str(), kStationPort, &to);
    std::vector<Clock::time_point> audio;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    bool joined = false;
    while (Clock::now() < deadline && audio.size() < 40) {
        if (!joined) {
            uint8_t hello[PACKET_HEADER_SIZE + 6];
            put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, hello);
            memcpy(hello + PACKET_HEADER_SIZE, "hello", 6);
            udp_send_to(listener.fd(), hello, sizeof hello, 0, &to, sizeof to);
        }
        auto datagram = listener.receive(100);
        if (datagram.size() < PACKET_HEADER_SIZE) continue;
        joined = true;
        if (get_packet_header(datagram.data()).flags == PF_AUDIO) audio.push_back(Clock::now());
    }
    ASSERT_TRUE(wait_for([&] { return station_output().find("Failed to contact") != std::string::npos; },
                         8000))
        << station_output();
    // The add was under way while the audio came.
    ASSERT_NE(requests().find(kAddStart), std::string::npos);
    ASSERT_GE(audio.size(), 40u) << station_output();
    double longest_gap_ms = 0;
    for (size_t i = 1; i < audio.size(); ++i)
        longest_gap_ms = std::max(longest_gap_ms,
                                  std::chrono::duration<double, std::milli>(audio[i] - audio[i - 1]).count());
    // A blocked station would leave a gap of the whole 3-second stall.
    EXPECT_LT(longest_gap_ms, 500.0);
    double mean_ms = std::chrono::duration<double, std::milli>(audio.back() - audio.front()).count() /
                     static_cast<double>(audio.size() - 1);
    EXPECT_GT(mean_ms, 35.0);
    EXPECT_LT(mean_ms, 60.0);

    std::string out = station_output();
    EXPECT_EQ(count_of(out, "Failed to contact the web server.  Try again later"), 1) << out;
    EXPECT_EQ(count_of(out, "[Adding station to directory...] Failed to contact"), 1) << out;
    EXPECT_EQ(count_of(out, "could not be added"), 0) << out;  // one failure, one message
    EXPECT_NE(out.find("| unlisted |"), std::string::npos);
    // The status line names the directory and what went wrong.
    const std::string why = directory_ip + " port " + std::to_string(kDirectoryPort) +
                            ": no answer within 3 seconds";
    ASSERT_TRUE(wait_for([&] { return station_output().find("| unlisted (" + why + ") |") !=
                                      std::string::npos; },
                         8000))
        << station_output();
    EXPECT_EQ(out.find("| listed |"), std::string::npos) << out;
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    // The add reached the directory, which may list the station: the remove follows.
    EXPECT_EQ(count_of(requests(), "del_vsl"), 1) << requests();
}

// Joins from `listener` every 200 ms until audio comes; the time from the
// first join to the first audio, or -1 when none came within `limit_ms`.
double ms_to_audio(LoopbackSocket& listener, const sockaddr_in& station, int limit_ms) {
    auto first = Clock::now(), last_join = first - std::chrono::seconds(1);
    while (Clock::now() - first < std::chrono::milliseconds(limit_ms)) {
        if (Clock::now() - last_join > std::chrono::milliseconds(200)) {
            uint8_t hello[PACKET_HEADER_SIZE + 6];
            put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, hello);
            memcpy(hello + PACKET_HEADER_SIZE, "hello", 6);
            udp_send_to(listener.fd(), hello, sizeof hello, 0, &station, sizeof station);
            last_join = Clock::now();
        }
        auto datagram = listener.receive(20);
        if (datagram.size() >= PACKET_HEADER_SIZE && get_packet_header(datagram.data()).flags == PF_AUDIO)
            return std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    }
    return -1;
}

TEST_F(WebProcesses, the_station_is_on_the_air_while_a_directory_that_never_answers_holds_the_add) {
    start_directory("silent");
    write_settings("");  // the full 30-second time-out
    start_station();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    LoopbackSocket listener(test_ip(86).c_str());
    sockaddr_in to{};
    ipv4_from_dotted(station_ip.c_str(), kStationPort, &to);
    double waited = ms_to_audio(listener, to, 2000);
    EXPECT_GE(waited, 0) << "no audio within 2 s of the join\n" << station_output();
    // The add went out after the first tick and is still unanswered.
    EXPECT_TRUE(wait_for([&] { return requests().find(kAddStart) != std::string::npos; }, 2000));
    EXPECT_EQ(station_output().find("| listed |"), std::string::npos);
}

TEST_F(WebProcesses, a_stop_ends_the_audio_first_and_waits_for_a_silent_remove_only_seconds) {
    start_directory("silent-remove");
    write_settings("");  // HTTP_TIMEOUT 30 s: the remove must not wait that long
    start_station();
    ASSERT_TRUE(wait_for([&] { return station_output().find("| listed |") != std::string::npos; }, 10000))
        << station_output();
    LoopbackSocket listener(test_ip(87).c_str());
    sockaddr_in to{};
    ipv4_from_dotted(station_ip.c_str(), kStationPort, &to);
    ASSERT_GE(ms_to_audio(listener, to, 3000), 0) << station_output();

    auto signalled = Clock::now();
    station.signal(SIGTERM);
    ASSERT_TRUE(wait_for([&] { return requests().find("del_vsl") != std::string::npos; }, 3000));
    listener.receive_all(50);  // what was under way before the remove went out
    int audio_during_remove = 0;
    for (auto d = listener.receive(500); !d.empty(); d = listener.receive(500))
        audio_during_remove += get_packet_header(d.data()).flags == PF_AUDIO;
    EXPECT_EQ(audio_during_remove, 0);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(6));
}

TEST_F(WebProcesses, sighup_stops_like_sigterm_with_the_remove_and_without_the_lock_file) {
    start_directory();
    write_settings("");
    start_station();
    ASSERT_TRUE(wait_for([&] { return station_output().find("| listed |") != std::string::npos; }, 10000))
        << station_output();
    std::string out = station_output();
    size_t at = out.find("lock file ");
    ASSERT_NE(at, std::string::npos) << out;
    std::string lock = out.substr(at + 10, out.find('\n', at) - at - 10);
    ASSERT_EQ(access(lock.c_str(), F_OK), 0) << lock;
    station.signal(SIGHUP);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    EXPECT_EQ(count_of(requests(), "GET /cgi-local/del_vsl.prl"), 1) << requests();
    EXPECT_NE(access(lock.c_str(), F_OK), 0) << lock;
}

TEST_F(WebProcesses, sigterm_during_a_stalled_add_ends_the_request_at_once_and_the_station_cleanly) {
    start_directory("silent");
    write_settings("");  // the full 30-second time-out
    start_station();
    ASSERT_TRUE(wait_for([&] { return requests().find(kAddStart) != std::string::npos; }, 10000))
        << station_output();
    auto signalled = Clock::now();
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(8000), 0) << station_output();
    // The add reached the directory: the remove goes too, waiting 3 seconds at most.
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_EQ(count_of(requests(), "del_vsl"), 1) << requests();
    EXPECT_EQ(count_of(station_output(), "[Adding station to directory...] Failed to contact"), 0)
        << station_output();
}

TEST_F(WebProcesses, list_categories_prints_the_paths_and_fails_when_nobody_answers) {
    write_settings("");
    ProgramResult unreachable = list_categories();
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.output.find("could not be fetched from " + directory_ip), std::string::npos)
        << unreachable.output;

    start_directory();
    ProgramResult listed = list_categories();
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("\\Music\n\\Music\\Rock\n\\Music\\Jazz\n\\Talk\n"), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("version 3.00 announced, download: http://127.0.0.1/new"),
              std::string::npos);
    EXPECT_NE(requests().find("GET /cgi-local/vmb_list_categories.prl?ID=id HTTP/1.0"), std::string::npos);
}

TEST_F(WebProcesses, a_directory_that_closes_at_once_or_answers_401_lists_nothing) {
    write_settings("");
    start_directory("close");
    ProgramResult closed = list_categories();
    EXPECT_EQ(closed.status, 1) << closed.output;
    directory.kill_now();

    start_directory("401");
    ProgramResult refused = list_categories();
    EXPECT_EQ(refused.status, 1);
    // There is no dialog: the operator learns how to store credentials, and no retry follows.
    EXPECT_NE(refused.output.find("refused the request (HTTP 401/407)"), std::string::npos);
    EXPECT_NE(refused.output.find("--set-proxy SERVER PORT USER"), std::string::npos);
    EXPECT_EQ(count_of(requests(), "GET "), 1);
}

TEST_F(WebProcesses, list_categories_fails_on_a_reply_cut_by_a_time_out_or_by_the_reply_limit) {
    write_settings("HTTP_TIMEOUT=2\n");
    struct Case {
        const char* mode;
        const char* says;
    } cases[] = {
        {"dribble", "could not be fetched"},  // one byte a second: the time-out ends it
        {"endless", "could not be fetched"},
        {"big", "the list is cut after 0 categories"},
        {"long-lines", "the list is cut after 0 categories"},
        {"many", "the list is cut after "},
    };
    for (const Case& c : cases) {
        start_directory(c.mode);
        ProgramResult result = list_categories();
        EXPECT_EQ(result.status, 1) << c.mode << "\n" << result.output;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << c.mode << "\n" << result.output;
        directory.kill_now();
    }
}

TEST_F(WebProcesses, through_a_proxy_with_basic_auth_the_add_arrives_and_a_wrong_password_is_refused) {
    start_directory();
    start_proxy(true);
    write_settings("");
    ASSERT_EQ(save_proxy_settings({proxy_ip, kProxyPort, "operator", "s3cret"}), 1);
    start_station();
    ASSERT_TRUE(wait_for([&] { return requests().find(kAddStart) != std::string::npos; }, 10000))
        << station_output() << read_file_or_empty(dir.file("proxy.out"));
    ASSERT_TRUE(wait_for([&] { return station_output().find("| listed |") != std::string::npos; }, 5000));
    // It went through the proxy, which took the credentials.
    EXPECT_NE(read_file_or_empty(dir.file("proxy.out"))
                  .find("GET http://" + directory_ip + ":" + std::to_string(kDirectoryPort) +
                        "/cgi-local/ul_vsl.prl?vslFile="),
              std::string::npos);
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0);
    EXPECT_EQ(count_of(requests(), "del_vsl.prl"), 1);

    // A wrong password and a missing one: 401 and 407 from tinyproxy, both refused.
    for (const char* password : {"wrong", ""}) {
        ASSERT_EQ(save_proxy_settings({proxy_ip, kProxyPort, password[0] ? "operator" : "", password}), 1);
        ProgramResult refused = list_categories();
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find("the proxy refused the request"), std::string::npos) << refused.output;
    }
    EXPECT_EQ(count_of(requests(), "vmb_list_categories"), 0);
}

TEST_F(WebProcesses, through_a_proxy_without_auth_the_categories_arrive) {
    start_directory();
    start_proxy(false);
    write_settings("");
    ASSERT_EQ(save_proxy_settings({proxy_ip, kProxyPort, "", ""}), 1);
    ProgramResult listed = list_categories();
    EXPECT_EQ(listed.status, 0) << listed.output << read_file_or_empty(dir.file("proxy.out"));
    EXPECT_NE(listed.output.find("\\Music\\Jazz\n"), std::string::npos);
}

}  // namespace
