// The station without a window as a service manager runs it: started on a
// settings file, watched through its status lines, stopped with a signal.
// It goes on the air or ends with a failure status and a message, and it
// leaves nothing behind that says otherwise (a listener count, a
// directory entry).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/web_servers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStationPort = 34721;
constexpr int kDirectoryPort = 34722;

std::string file_or_empty(const std::string& path) {
    return access(path.c_str(), F_OK) == 0 ? read_file(path) : "";
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        if (file_or_empty(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string last_line(const std::string& text) {
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

struct HeadlessStation : ::testing::Test {
    TempDir dir;
    std::string station_ip = test_ip(121);
    std::string directory_ip = test_ip(122);
    ChildProcess station, directory;
    EnvironmentList env = {{"VELMORA_HOME", dir.path()},
                           {"XDG_CONFIG_HOME", dir.path()},
                           {"XDG_RUNTIME_DIR", dir.path()},
                           {"HOME", dir.path()}};

    // A station on its own address; `extra` adds or overrides lines.
    void write_settings(const std::string& extra) {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
                   "SPECIFIC_IP=1\nIP_ADDR=" +
                       station_ip + "\nSTATION_PORT=" + std::to_string(kStationPort) +
                       "\nMASTER_IP=" + test_ip(123) +
                       "\n"
                       "StationName=Service\nStationLocation=Loopback\n" +
                       extra);
    }
    void start(const std::vector<std::string>& options) {
        std::vector<std::string> args = {program_path("velmora-station"), dir.file("station.ini"),
                                         "--status-interval", "1"};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(station.start(args, dir.file("station.out"), dir.path(), env));
    }
    std::string output() { return file_or_empty(dir.file("station.out")); }

    // Joins from `listener` until the station answers "STARTSEQ".
    bool join(LoopbackSocket& listener) {
        sockaddr_in to{};
        ipv4_from_dotted(station_ip.c_str(), kStationPort, &to);
        uint8_t bytes[PACKET_HEADER_SIZE + 6];
        for (int attempt = 0; attempt < 20; ++attempt) {
            put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, bytes);
            memcpy(bytes + PACKET_HEADER_SIZE, "hello", 6);
            udp_send_to(listener.fd(), bytes, sizeof bytes, 0, &to, sizeof to);
            for (auto reply = listener.receive(500); !reply.empty();
                 reply = listener.receive(100)) {
                if (reply.size() > PACKET_HEADER_SIZE + 8 &&
                    memcmp(reply.data() + PACKET_HEADER_SIZE, "STARTSEQ", 8) == 0) {
                    put_packet_header(PacketHeader{0, 0, PF_KEEPALIVE, 6},
                                      bytes);  // a sign of life
                    udp_send_to(listener.fd(), bytes, sizeof bytes, 0, &to, sizeof to);
                    return true;
                }
            }
        }
        return false;
    }
    int audio_datagrams(LoopbackSocket& listener, int wanted) {
        int audio = 0;
        for (auto d = listener.receive(1000); !d.empty() && audio < wanted;
             d = listener.receive(1000))
            if (get_packet_header(d.data()).flags == PF_AUDIO) ++audio;
        return audio;
    }
};

TEST_F(HeadlessStation,
       with_or_without_autostart_it_goes_on_the_air_and_a_stop_leaves_no_listener) {
    for (const char* autostart : {"AutoStart=1\n", "AutoStart=0\n"}) {
        SCOPED_TRACE(autostart);
        write_settings(std::string("Mode=1\n") + autostart);
        start({"--capture", "tone:440"});
        LoopbackSocket listener(test_ip(124).c_str());
        ASSERT_TRUE(join(listener)) << output();
        EXPECT_EQ(audio_datagrams(listener, 20), 20) << output();
        ASSERT_TRUE(wait_for_text(dir.file("station.out"), "listeners 1 - ", 5000)) << output();

        station.signal(SIGTERM);
        EXPECT_EQ(station.wait(10000), 0) << output();
        // The last status line, printed after the stop, counts nobody.
        EXPECT_NE(last_line(output()).find("IDLE"), std::string::npos) << output();
        EXPECT_NE(last_line(output()).find("| listeners 0 - 0% |"), std::string::npos) << output();
    }
}

TEST_F(HeadlessStation, a_script_whose_only_song_is_missing_ends_with_status_1_naming_it) {
    std::string script = "1 44100 020 SCRIPT";
    script.push_back('\0');
    script += "1 " + dir.file("gone.VMA") + " \"\" Gone";
    script.push_back('\0');
    write_file(dir.file("show.VSK"), script);
    for (const char* autostart : {"AutoStart=1\n", "AutoStart=0\n"}) {
        SCOPED_TRACE(autostart);
        write_settings(std::string("Mode=0\n") + autostart +
                       "StationScript=" + dir.file("show.VSK") + "\n");
        start({});
        EXPECT_EQ(station.wait(15000), 1) << output();
        station.kill_now();  // should it run on after all
        EXPECT_NE(output().find("Cannot open file " + dir.file("gone.VMA")), std::string::npos)
            << output();
    }
}

TEST_F(HeadlessStation, a_stop_while_the_directory_add_is_unanswered_still_sends_the_remove) {
    for (int signal_number : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        const std::string log = dir.file("requests-" + std::to_string(signal_number) + ".log");
        ASSERT_EQ(start_directory_server(directory, directory_ip, kDirectoryPort, log, "silent-add",
                                         dir.file("directory.out")),
                  "");
        write_settings("Mode=1\nAutoStart=1\nDIRURL=" + directory_ip +
                       "\nDIRURLPORT=" + std::to_string(kDirectoryPort) + "\nHTTP_TIMEOUT=30\n");
        start({"--capture", "tone:440"});
        ASSERT_TRUE(wait_for_text(log, "/cgi-local/ul_vsl.prl", 10000)) << output();

        station.signal(signal_number);
        EXPECT_EQ(station.wait(10000), 0) << output();
        EXPECT_NE(file_or_empty(log).find("/cgi-local/del_vsl.prl"), std::string::npos)
            << file_or_empty(log) << output();
        // The stop broke the add off: no failure to report, no advice to start again later.
        EXPECT_EQ(output().find("could not be added"), std::string::npos) << output();
        directory.kill_now();
    }
}

}  // namespace
