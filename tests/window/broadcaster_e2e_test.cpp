// velmora-broadcaster as an operator runs it, offscreen: a station with
// AutoStart 1 on its own loopback address goes on the air by itself (with
// the script given on the command line, when there is one),
// velmora-listen hears it, the screenshot shows it on the air, and SIGTERM
// closes the window cleanly after the close notice to the master.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QImage>
#include <string>

#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "panel_pixels.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kRate = 22050;
constexpr int kTransferRate = 2205;
constexpr int kPort = 34631;

// A song of two super-blocks of a square tone, compressed at kRate.
void write_song(const std::string& path) {
    CodecState codec;
    set_rate(codec, kRate, kTransferRate);
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    write_sample_header(file, kRate, codec.rate_percent);
    for (int b = 0; b < 2; ++b) {
        static uint8_t block[kSuperBlockSamples];
        for (int i = 0; i < kSuperBlockSamples; ++i)
            block[i] = static_cast<uint8_t>(128 + ((i / 25) % 2 ? 40 : -40));
        static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
        interleave_super_block(block, frames);
        for (auto& frame : frames) {
            uint8_t out[6200];
            write_sample_frame(file, out, encode_frame(codec, frame, out));
        }
    }
    fclose(file);
}

class BroadcasterProcess : public ::testing::Test {
protected:
    TempDir dir;
    std::string station_ip = test_ip(91);
    std::string master_ip = test_ip(92);
    ChildProcess broadcaster;

    void SetUp() override {
        CodecState codec;
        set_rate(codec, kRate, kTransferRate);
        write_song(dir.file("tone.VMA"));
        std::string script = "1 " + std::to_string(kRate) + " 0" +
                             std::to_string(codec.rate_percent) + " SCRIPT";
        script.push_back('\0');
        script += "1 " + dir.file("tone.VMA") + " \"\" A tone";
        script.push_back('\0');
        write_file(dir.file("show.VSK"), script);
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2205\nBANDWIDTH=64000\n"
                   "Mode=0\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + master_ip + "\n"
                   "StationName=Window Station\nStationLocation=Loopback\n"
                   "StationScript=" + dir.file("show.VSK") + "\n");
    }

    EnvironmentList environment() const {
        return {{"QT_QPA_PLATFORM", "offscreen"},
                {"VELMORA_HOME", dir.path()},
                {"XDG_CONFIG_HOME", dir.path()},
                {"XDG_RUNTIME_DIR", dir.path()}};
    }

    void start(const std::vector<std::string>& options) {
        std::vector<std::string> args = {program_path("velmora-broadcaster"), dir.file("station.ini")};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(broadcaster.start(args, dir.file("window.out"), dir.path(), environment()));
    }
};

TEST_F(BroadcasterProcess, on_the_air_by_itself_heard_by_a_listener_and_pictured_on_the_air) {
    start({"--screenshot", dir.file("shot.png"), "--after", "4"});
    ProgramResult listen = run_program(
        {program_path("velmora-listen"), station_ip, "--port", std::to_string(kPort), "--bind",
         test_ip(93), "--seconds", "2.5", "--wav", dir.file("heard.wav")},
        dir.path(), {}, 20000);
    ASSERT_EQ(listen.status, 0) << listen.output << read_file(dir.file("window.out"));
    std::string wav = read_file(dir.file("heard.wav"));
    EXPECT_GE(wav.size(), 44u + kSuperBlockSamples) << listen.output;

    ASSERT_EQ(broadcaster.wait(20000), 0) << read_file(dir.file("window.out"));
    QImage shot(QString::fromStdString(dir.file("shot.png")));
    ASSERT_FALSE(shot.isNull());
    // The window's picture is its menu bar over the 478 x 401 panel.
    ASSERT_EQ(shot.width(), 478);
    ASSERT_GT(shot.height(), 401);
    QImage panel = shot.copy(0, shot.height() - 401, 478, 401).convertToFormat(QImage::Format_RGB32);
    EXPECT_GT(count_pixels(panel, kBroadcastingArea, is_broadcasting_red), 100);
    EXPECT_GT(count_pixels(panel, kRateLineArea, is_text_yellow), 40);
}

TEST_F(BroadcasterProcess, a_script_on_the_command_line_is_the_one_broadcast_and_the_settings_keep_theirs) {
    // The same song under another text: the song line tells the scripts apart.
    std::string script = read_file(dir.file("show.VSK"));
    script.replace(script.find("A tone"), 6, "The other tone");
    write_file(dir.file("other.VSK"), script);
    const std::string settings = read_file(dir.file("station.ini"));
    start({"other.VSK", "--screenshot", dir.file("shot.png"), "--after", "4"});  // as the desktop opens it
    ProgramResult listen = run_program({program_path("velmora-listen"), station_ip, "--port",
                                        std::to_string(kPort), "--bind", test_ip(93), "--seconds", "2.5"},
                                       dir.path(), {}, 20000);
    ASSERT_EQ(listen.status, 0) << listen.output << read_file(dir.file("window.out"));
    EXPECT_NE(listen.output.find("song: The other tone"), std::string::npos) << listen.output;
    EXPECT_EQ(listen.output.find("song: A tone"), std::string::npos) << listen.output;
    ASSERT_EQ(broadcaster.wait(20000), 0) << read_file(dir.file("window.out"));
    EXPECT_EQ(read_file(dir.file("station.ini")), settings) << "chosen for this run only";
}

TEST_F(BroadcasterProcess, an_unattended_start_without_a_script_names_the_file_dialog_and_goes_on) {
    std::string settings = read_file(dir.file("station.ini"));
    settings.replace(settings.find("StationScript="), std::string::npos, "StationScript=\n");
    write_file(dir.file("station.ini"), settings);
    start({"--screenshot", dir.file("shot.png"), "--after", "2"});
    ASSERT_EQ(broadcaster.wait(20000), 0) << read_file(dir.file("window.out"));
    EXPECT_NE(read_file(dir.file("window.out")).find("dialog \"Load Script\" not shown"), std::string::npos)
        << read_file(dir.file("window.out"));
}

TEST_F(BroadcasterProcess, an_address_that_does_not_parse_is_named_and_never_bound_as_the_broadcast_address) {
    std::string settings = read_file(dir.file("station.ini"));
    settings.replace(settings.find("IP_ADDR="), settings.find('\n', settings.find("IP_ADDR=")) - settings.find("IP_ADDR="),
                     "IP_ADDR=300.1.2.3");
    write_file(dir.file("station.ini"), settings);
    start({"--screenshot", dir.file("shot.png"), "--after", "1.5"});
    ASSERT_EQ(broadcaster.wait(20000), 0) << read_file(dir.file("window.out"));
    const std::string out = read_file(dir.file("window.out"));
    const std::string problem = dir.file("station.ini") + ":8: IP_ADDR=300.1.2.3 is not a dotted IPv4 address";
    EXPECT_NE(out.find("] " + problem), std::string::npos) << out;                         // at start-up
    EXPECT_NE(out.find("Cannot start broadcasting: " + problem), std::string::npos) << out;  // at Start
    EXPECT_EQ(out.find("About to start broadcasting"), std::string::npos) << out;
}

TEST_F(BroadcasterProcess, sigterm_closes_the_window_after_the_close_notice_and_a_second_start_ends_quietly) {
    UdpSocket master_socket = udp_open();
    int master = master_socket.fd();
    sockaddr_in master_addr{};
    ipv4_from_dotted(master_ip.c_str(), 3456, &master_addr);
    ASSERT_EQ(udp_bind(master, master_addr.sin_addr.s_addr, 3456), 0);
    start({"--unattended"});  // no sound card: its two boxes are printed
    uint8_t bytes[MAX_DATAGRAM];
    ASSERT_EQ(udp_wait_readable(master, 10000), 1) << read_file(dir.file("window.out"));
    int n = udp_receive_from(master, bytes, sizeof bytes, nullptr, nullptr);
    ASSERT_GE(n, PACKET_HEADER_SIZE);
    EXPECT_EQ(get_packet_header(bytes).flags, PF_PICTURE);  // the announce

    ProgramResult second = run_program({program_path("velmora-broadcaster"), dir.file("station.ini")},
                                       dir.path(), environment(), 20000);
    EXPECT_EQ(second.status, 0) << second.output;
    // A script opened on the desktop meanwhile is not lost without a word.
    ProgramResult with_script = run_program({program_path("velmora-broadcaster"), dir.file("station.ini"),
                                             dir.file("show.VSK"), "--unattended"},
                                            dir.path(), environment(), 20000);
    EXPECT_EQ(with_script.status, 1) << with_script.output;
    EXPECT_NE(with_script.output.find("A window already runs with " + dir.file("station.ini") +
                                      ": choose the script " + dir.file("show.VSK") + " there, in Options."),
              std::string::npos)
        << with_script.output;

    broadcaster.signal(SIGTERM);
    EXPECT_EQ(broadcaster.wait(10000), 0) << read_file(dir.file("window.out"));
    ASSERT_EQ(udp_wait_readable(master, 2000), 1);
    n = udp_receive_from(master, bytes, sizeof bytes, nullptr, nullptr);
    ASSERT_EQ(n, PACKET_HEADER_SIZE);
    EXPECT_EQ(get_packet_header(bytes).flags, PF_PICTURE | PF_LEAVE);  // the close notice
}

// Waits until the output file holds `text`; false after timeout_ms.
bool output_shows(const std::string& path, const std::string& text, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (read_file(path).find(text) != std::string::npos) return true;
        usleep(50 * 1000);
    }
    return false;
}

// An unattended window (the refusal printed) stays running and idle.
TEST_F(BroadcasterProcess, a_port_in_use_refuses_the_start_naming_address_and_port) {
    PortSocket squatter(station_ip, kPort);
    start({"--unattended"});
    const std::string refusal = "Cannot start broadcasting: the station cannot bind to " +
                                station_ip + " port " + std::to_string(kPort) +
                                ": Address already in use";
    ASSERT_TRUE(output_shows(dir.file("window.out"), refusal, 20000))
        << read_file(dir.file("window.out"));
    // Still running and idle: SIGTERM ends it as any window, with status 0.
    broadcaster.signal(SIGTERM);
    EXPECT_EQ(broadcaster.wait(10000), 0) << read_file(dir.file("window.out"));
}

TEST_F(BroadcasterProcess, an_overlong_settings_name_is_refused_naming_the_limit) {
    ProgramResult result = run_program({program_path("velmora-broadcaster"), std::string(300, 'n'),
                                        "--unattended"},
                                       dir.path(), environment(), 20000);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("longer than 255 characters"), std::string::npos) << result.output;
}

}  // namespace
