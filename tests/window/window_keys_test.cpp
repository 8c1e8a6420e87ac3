// velmora-broadcaster on a real X display (Xvfb), driven by its keys as an
// operator drives it: Ctrl+S puts the station on the air (the master hears
// the announce), Ctrl+S takes it off (the close notice; the window stays
// open) and Ctrl+S again on, and a listener hears it before and after.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/private_pulseaudio.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"
#include "support/web_servers.h"
#include "support/xvfb_display.h"
#include "window/broadcaster_windows.h"

namespace {

constexpr int kRate = 22050;
constexpr int kTransferRate = 2205;

class WindowKeys : public ::testing::Test {
   protected:
    TempDir dir;
    XvfbDisplay display;
    PrivatePulseAudio pulse;  // a sound card, so that no box waits at start-up
    ChildProcess window;
    ChildProcess directory;  // the station lists itself while on the air
    std::string station_ip = test_ip(94);
    std::string master_ip = test_ip(95);
    uint16_t station_port = 0;
    EnvironmentList env;
    UdpSocket master_socket;
    int master = -1;

    void SetUp() override {
        if (!display.ready()) GTEST_SKIP() << display.why();
        env = {{"VELMORA_HOME", dir.path()},
               {"XDG_CONFIG_HOME", dir.path()},
               {"XDG_RUNTIME_DIR", dir.path()},
               {"HOME", dir.path()}};
        std::string why;
        // Qt lists no monitor sources: the sink's monitor becomes a microphone.
        if (!pulse.start("card", {"module-remap-source master=card.monitor source_name=mic"},
                         dir.file("pulseaudio.out"), env, &why)) {
            if (which("pulseaudio").empty()) GTEST_SKIP() << why;
            FAIL() << why;
        }
        for (const auto& variable : display.environment()) env.push_back(variable);
        ASSERT_TRUE(write_tone_song(dir.file("tone.VMA"), kRate, kTransferRate, 440, 40));
        write_file(dir.file("show.VSK"),
                   tone_song_script(dir.file("tone.VMA"), kRate, kTransferRate, "A tone"));
        station_port = 3456;  // as users run it: its own address, the usual port
        const std::string directory_ip = test_ip(97);
        ASSERT_EQ(start_directory_server(directory, directory_ip, 8080, dir.file("directory.log"),
                                         "answer", dir.file("directory.out")),
                  "");
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2205\nBANDWIDTH=64000\n"
                   "Mode=0\nAutoStart=0\nSPECIFIC_IP=1\nIP_ADDR=" +
                       station_ip +
                       "\n"
                       "STATION_PORT=" +
                       std::to_string(station_port) + "\nMASTER_IP=" + master_ip +
                       "\nStationName=Key Station\nStationLocation=Loopback\n"
                       "DIRURL=" +
                       directory_ip +
                       "\nDIRURLPORT=8080\n"
                       "StationScript=" +
                       dir.file("show.VSK") + "\n");
        master_socket = udp_open();
        master = master_socket.fd();
        sockaddr_in master_addr{};
        ipv4_from_dotted(master_ip.c_str(), 3456, &master_addr);
        ASSERT_EQ(udp_bind(master, master_addr.sin_addr.s_addr, 3456), 0);
    }

    std::string output() const { return read_file(dir.file("window.out")); }

    // Waits for a message box and answers it with Enter, as the operator does.
    void answer_box() {
        ASSERT_TRUE(display.answer(kMessageBox)) << output() << display.describe();
    }

    // The flags of the next datagram the master receives, -1 when none came.
    int next_master_flags(int timeout_ms) {
        uint8_t bytes[MAX_DATAGRAM];
        if (udp_wait_readable(master, timeout_ms) != 1) return -1;
        int n = udp_receive_from(master, bytes, sizeof bytes, nullptr, nullptr);
        return n >= PACKET_HEADER_SIZE ? get_packet_header(bytes).flags : -1;
    }
};

// Seconds of `wav` (an 8-bit mono WAV velmora-listen wrote) in which the tone sounds.
double seconds_of_tone(const std::string& wav, double hz) {
    std::vector<uint8_t> samples;
    if (wav.size() > 44) samples.assign(wav.begin() + 44, wav.end());
    int blocks = 0;
    for (size_t at = 0; at + kSuperBlockSamples <= samples.size(); at += kSuperBlockSamples) {
        std::vector<uint8_t> block(samples.begin() + long(at),
                                   samples.begin() + long(at + kSuperBlockSamples));
        if (audio_measures::tone_level_db(block, hz, kRate) > 20) ++blocks;
    }
    return blocks * double(kSuperBlockSamples) / kRate;
}

TEST_F(WindowKeys, a_listener_hears_the_station_again_after_ctrl_s_twice) {
    ASSERT_TRUE(window.start({program_path("velmora-broadcaster"), dir.file("station.ini")},
                             dir.file("window.out"), dir.path(), env));
    std::string id = display.wait_for_window(kMainWindow, 20000);
    ASSERT_FALSE(id.empty()) << output() << display.describe();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();  // "About to start broadcasting" names the address
    ASSERT_EQ(next_master_flags(10000), PF_PICTURE) << output() << display.describe();
    EXPECT_NE(display.title(id).find(station_ip), std::string::npos) << "the caption names it";

    const int listen_seconds = 16;
    ChildProcess listener;
    ASSERT_TRUE(listener.start({program_path("velmora-listen"), station_ip, "--port",
                                std::to_string(station_port), "--bind", test_ip(96), "--seconds",
                                std::to_string(listen_seconds), "--wav", dir.file("heard.wav")},
                               dir.file("listen.out"), dir.path()));
    const auto listening = std::chrono::steady_clock::now();
    auto since_listening = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - listening).count();
    };
    // On the air for 6 seconds more (65 ticks at 22050 Hz), as a second listener counts them.
    LoopbackSocket counter(test_ip(98).c_str());
    sockaddr_in station{};
    ipv4_from_dotted(station_ip.c_str(), station_port, &station);
    uint8_t join[PACKET_HEADER_SIZE + 6];
    put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, join);
    memcpy(join + PACKET_HEADER_SIZE, "count", 6);
    udp_send_to(counter.fd(), join, sizeof join, 0, &station, sizeof station);
    uint8_t alive[PACKET_HEADER_SIZE + 1];
    put_packet_header(PacketHeader{0, 0, PF_KEEPALIVE, 1}, alive);
    int audio = 0;
    for (auto d = counter.receive(2000); !d.empty() && audio < 65; d = counter.receive(2000))
        if (get_packet_header(d.data()).flags == PF_AUDIO && ++audio % 40 == 1)
            udp_send_to(counter.fd(), alive, sizeof alive, 0, &station, sizeof station);
    ASSERT_EQ(audio, 65) << output();

    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    int flags = next_master_flags(10000);
    while (flags == PF_PICTURE) flags = next_master_flags(10000);
    ASSERT_EQ(flags, PF_PICTURE | PF_LEAVE) << "the close notice\n"
                                            << output() << display.describe();
    EXPECT_EQ(window.wait(0), -2) << "the window stays open after a stop\n" << output();
    const double stopped_at = since_listening();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();
    ASSERT_EQ(next_master_flags(10000), PF_PICTURE) << output() << display.describe();
    const double started_at = since_listening();

    EXPECT_EQ(listener.wait((listen_seconds + 10) * 1000), 0) << read_file(dir.file("listen.out"));
    const std::string heard = read_file(dir.file("listen.out"));
    const size_t late = heard.find(" late ");
    ASSERT_NE(late, std::string::npos) << heard;
    EXPECT_LE(atoi(heard.c_str() + late + 6), 8) << heard;
    // Off the air while stopped, and until the listener joined again (at
    // most 3 seconds after the audio stopped); the tone everywhere else.
    const double silent = std::max(started_at - stopped_at, 3.0) + 1.5;
    EXPECT_GE(seconds_of_tone(read_file(dir.file("heard.wav")), 440), listen_seconds - silent - 1.5)
        << heard << "stopped at " << stopped_at << " s, started at " << started_at << " s";

    window.signal(SIGTERM);
    EXPECT_EQ(window.wait(10000), 0) << output();
}

}  // namespace
