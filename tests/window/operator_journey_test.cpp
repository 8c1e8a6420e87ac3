// velmora-broadcaster on a real X display (Xvfb) as an operator meets it on a
// machine without a sound card: a station set to start by itself goes on the
// air with nobody at the keyboard and opens no dialog over its broadcast; a
// port another program holds refuses Ctrl+S with the window left open, and
// the next Ctrl+S, once the port is free, goes on the air; Enter in Options
// and in Expert Settings keeps the sampling rate, stream rate and address
// the settings file holds; the listeners' web page whose port is taken is
// told and the broadcast goes on, and the page's address typed into Expert
// Settings is served from the next Ctrl+S.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "station_test_support.h"
#include "support/child_process.h"
#include "support/taken_tcp_port.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"
#include "support/web_servers.h"
#include "support/xvfb_display.h"
#include "window/broadcaster_windows.h"

namespace {

// A GET as a browser sends it: what came back within `ms` (or until the server closed).
std::string http_get(const std::string& ip, int port, const std::string& path, int ms) {
    return exchange(ip, port, "GET " + path + " HTTP/1.1\r\nHost: " + ip + "\r\n\r\n", ms);
}

class OperatorJourney : public ::testing::Test {
   protected:
    TempDir dir;
    XvfbDisplay display;
    ChildProcess window;
    ChildProcess directory;  // the station lists itself while on the air
    std::string directory_ip = test_ip(114);
    std::string station_ip = test_ip(111);
    uint16_t station_port = 0;
    EnvironmentList env;

    void SetUp() override {
        if (!display.ready()) GTEST_SKIP() << display.why();
        // No sound server in this runtime folder: the machine has no recording device.
        env = {{"VELMORA_HOME", dir.path()},
               {"XDG_CONFIG_HOME", dir.path()},
               {"XDG_RUNTIME_DIR", dir.path()},
               {"HOME", dir.path()}};
        for (const auto& variable : display.environment()) env.push_back(variable);
        station_port = 3456;  // as users run it: its own address, the usual port
        ASSERT_EQ(start_directory_server(directory, directory_ip, 8080, dir.file("directory.log"),
                                         "answer", dir.file("directory.out")),
                  "");
    }

    // A script of a tone made at `rate` Hz, and settings that play it.
    void write_station(int rate, int transfer_rate, const std::string& keys) {
        ASSERT_TRUE(write_tone_song(dir.file("tone.VMA"), rate, transfer_rate, 440, 40));
        write_file(dir.file("show.VSK"),
                   tone_song_script(dir.file("tone.VMA"), rate, transfer_rate, "A tone"));
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=" + std::to_string(rate) +
                       "\nTransferRate=" + std::to_string(transfer_rate) +
                       "\nBANDWIDTH=64000\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip +
                       "\nSTATION_PORT=" + std::to_string(station_port) +
                       "\nMASTER_IP=" + test_ip(112) +
                       "\nStationName=Journey Station\n"
                       "DIRURL=" +
                       directory_ip +
                       "\nDIRURLPORT=8080\n"
                       "StationScript=" +
                       dir.file("show.VSK") + "\n" + keys);
    }

    // Starts the window; `answer_notice`: the operator first closes the
    // message of the missing recording device.
    std::string open_window(bool answer_notice = false) {
        EXPECT_TRUE(window.start({program_path("velmora-broadcaster"), dir.file("station.ini")},
                                 dir.file("window.out"), dir.path(), env));
        if (answer_notice) answer_box();
        std::string id = display.wait_for_window(kMainWindow, 20000);
        EXPECT_FALSE(id.empty()) << output() << display.describe();
        return id;
    }

    std::string output() const { return read_file(dir.file("window.out")); }

    // What the weekday logs of the run hold.
    std::string logs() const {
        std::string all;
        std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(dir.path().c_str()), closedir);
        while (dirent* entry = folder ? readdir(folder.get()) : nullptr)
            if (std::string(entry->d_name).rfind("vmb_", 0) == 0)
                all += read_file(dir.file(entry->d_name));
        return all;
    }

    // Waits for a message box, answers it with Enter as the operator does,
    // and waits until it has gone (so that the next one is not taken for it).
    void answer_box() {
        ASSERT_TRUE(display.answer(kMessageBox)) << output() << display.describe();
    }

    // Waits at most 10 s until the window `id` is no longer shown.
    bool gone(const std::string& id, const char* title = kMessageBox) const {
        return display.gone(id, title, 10000);
    }

    // A listener's run of `seconds`; its exit status (0: it heard the station).
    ProgramResult listen(const char* seconds) {
        return run_program(
            {program_path("velmora-listen"), station_ip, "--port", std::to_string(station_port),
             "--bind", test_ip(113), "--seconds", seconds, "--wav", dir.file("heard.wav")},
            dir.path(), {}, 20000);
    }

    // Waits at most 10 s for `text` in the window's output.
    bool said(const std::string& text) const {
        for (int waited = 0; output().find(text) == std::string::npos; waited += 20) {
            if (waited >= 10000) return false;
            usleep(20 * 1000);
        }
        return true;
    }

    // Waits until the window `id` is idle again (its caption no longer names
    // the address), then closes every message box left open.
    void wait_idle_and_close_boxes(const std::string& id) {
        for (int waited = 0; display.title(id).find(station_ip) != std::string::npos;
             waited += 20) {
            ASSERT_LT(waited, 10000) << display.describe();
            usleep(20 * 1000);
        }
        for (const std::string& box : display.windows(kMessageBox)) {
            ASSERT_TRUE(display.press(box, {"Return"}));
            ASSERT_TRUE(gone(box)) << display.describe();
        }
    }

    void close_window() {
        window.signal(SIGTERM);
        EXPECT_EQ(window.wait(10000), 0) << output();
    }
};

// AutoStart=1, Mode=1 and no recording device: nobody presses a key, a
// listener hears the script, one notice tells why it is not live (another
// that MAX_CLIENT was clamped), and no Station Information dialog opens
// although the settings name no location.
TEST_F(OperatorJourney, an_unattended_station_goes_on_the_air_without_an_ok_or_a_dialog) {
    write_station(22050, 2205, "Mode=1\nAutoStart=1\nMAX_CLIENT=9000\n");
    ASSERT_FALSE(open_window().empty());
    ProgramResult heard = listen("2");
    ASSERT_EQ(heard.status, 0) << heard.output << output() << display.describe();
    EXPECT_NE(heard.output.find("now playing: A tone"), std::string::npos) << heard.output;
    EXPECT_TRUE(display.windows("^Station Information$").empty()) << display.describe();
    // One notice of the missing device (and one of the missing location), each said once.
    const std::string out = output();
    EXPECT_EQ(out.find("No recording device found"), out.rfind("No recording device found")) << out;
    EXPECT_EQ(out.find("No compatible sound card"), std::string::npos) << out;
    EXPECT_NE(out.find("Station > Station Info sets it"), std::string::npos) << out;
    close_window();
}

// Another program holds the station's address and port: Ctrl+S is refused
// with the address, port and cause in the weekday log (and in the box), the
// window stays open and idle, and Ctrl+S after the port is freed goes on the air.
TEST_F(OperatorJourney, a_port_in_use_refuses_ctrl_s_and_the_next_ctrl_s_goes_on_the_air) {
    write_station(22050, 2205, "Mode=0\nAutoStart=0\nStationLocation=Loopback\n");
    auto squatter = std::make_unique<PortSocket>(station_ip, station_port);
    std::string id = open_window(true);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();  // "About to start broadcasting on IP address ..."
    answer_box();  // the refusal
    EXPECT_EQ(window.wait(500), -2) << "the window stays open\n" << output();
    EXPECT_NE(logs().find("Cannot bind the station to " + station_ip + " port " +
                          std::to_string(station_port) + ": Address already in use"),
              std::string::npos)
        << logs();

    squatter.reset();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();
    ProgramResult heard = listen("1.5");
    EXPECT_EQ(heard.status, 0) << heard.output << output() << display.describe() << logs();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));  // off the air, so that SIGTERM ends it at once
    close_window();
}

// A script made at 16000 Hz (12 %, 1920 bytes per second) was on the air;
// Options and Expert Settings are opened from the menus and closed with
// Enter. The file keeps 16000 Hz, 2000 bytes per second and the address it
// named, which the name look-up of this machine does not give.
TEST_F(OperatorJourney, enter_in_options_and_expert_settings_changes_nothing) {
    write_station(16000, 1920, "Mode=0\nAutoStart=0\nStationLocation=Loopback\n");
    std::string stored = read_file(dir.file("station.ini"));
    stored.replace(stored.find("TransferRate=1920"), 17, "TransferRate=2000");
    write_file(dir.file("station.ini"), stored);
    std::string id = open_window(true);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();
    ASSERT_EQ(listen("1").status, 0) << output();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    // Idle again once the caption no longer names the address: the menus work.
    for (int waited = 0; display.title(id).find(station_ip) != std::string::npos; waited += 20) {
        ASSERT_LT(waited, 10000) << display.describe();
        usleep(20 * 1000);
    }
    // The notices of the start (the station's port is not 3456) are read and closed.
    for (const std::string& box : display.windows(kMessageBox)) {
        ASSERT_TRUE(display.press(box, {"Return"}));
        ASSERT_TRUE(gone(box)) << display.describe();
    }

    ASSERT_TRUE(display.press(id, {"alt+o", "s"}));
    std::string options = display.wait_for_window("^Options$", 10000);
    ASSERT_FALSE(options.empty()) << display.describe();
    ASSERT_TRUE(display.press(options, {"Return"}));
    ASSERT_TRUE(gone(options, "^Options$")) << display.describe();
    ASSERT_TRUE(display.press(id, {"alt+o", "e"}));
    std::string expert = display.wait_for_window("^Expert Settings$", 10000);
    ASSERT_FALSE(expert.empty()) << display.describe();
    ASSERT_TRUE(display.press(expert, {"Return"}));
    // Nothing changed: no question or warning comes, the dialog closes.
    EXPECT_TRUE(gone(expert, "^Expert Settings$")) << display.describe();
    EXPECT_TRUE(display.windows(kMessageBox).empty()) << display.describe();

    const std::string now = read_file(dir.file("station.ini"));
    const std::vector<std::string> kept = {"SamplingRate=16000\n", "TransferRate=2000\n",
                                           "IP_ADDR=" + station_ip + "\n", "SPECIFIC_IP=1\n"};
    for (const std::string& line : kept)
        EXPECT_NE(now.find(line), std::string::npos) << line << now;
    close_window();
}

// WEB_LISTEN names a port another program holds: Ctrl+S tells it (address,
// port, cause) without stopping anything, and a listener hears the station.
// The operator types another address into Expert Settings (Alt+W), presses
// Enter; the file keeps it and the next Ctrl+S serves the page there.
TEST_F(OperatorJourney,
       a_taken_web_page_port_is_told_and_expert_settings_moves_the_page_for_the_next_start) {
    const std::string web_ip = test_ip(117);
    const int taken_port = 34861, free_port = 34862;
    write_station(22050, 2205,
                  "Mode=0\nAutoStart=0\nStationLocation=Loopback\nWEB_LISTEN=" + web_ip + ":" +
                      std::to_string(taken_port) + "\n");
    TakenTcpPort taken(web_ip, taken_port);
    ASSERT_TRUE(taken.held());
    std::string id = open_window(true);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();  // "About to start broadcasting on IP address ..."
    EXPECT_TRUE(said("The listeners' page cannot use " + web_ip + " port " +
                     std::to_string(taken_port) +
                     ": The bound address is already in use. The broadcast goes on"))
        << output();
    ProgramResult heard = listen("1.5");
    EXPECT_EQ(heard.status, 0) << heard.output << output() << display.describe();
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    wait_idle_and_close_boxes(id);

    ASSERT_TRUE(display.press(id, {"alt+o", "e"}));
    std::string expert = display.wait_for_window("^Expert Settings$", 10000);
    ASSERT_FALSE(expert.empty()) << display.describe();
    ASSERT_TRUE(display.press(expert, {"alt+w", "ctrl+a"}));
    ASSERT_TRUE(display.type(expert, web_ip + ":" + std::to_string(free_port)));
    ASSERT_TRUE(display.press(expert, {"Return"}));
    ASSERT_TRUE(gone(expert, "^Expert Settings$")) << display.describe();
    EXPECT_NE(read_file(dir.file("station.ini"))
                  .find("WEB_LISTEN=" + web_ip + ":" + std::to_string(free_port) + "\n"),
              std::string::npos)
        << read_file(dir.file("station.ini"));

    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    answer_box();
    ASSERT_TRUE(said("listeners' page on http://" + web_ip + ":" + std::to_string(free_port) + "/"))
        << output();
    const std::string page = http_get(web_ip, free_port, "/", 3000);
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK", 0), 0u) << page;
    EXPECT_NE(page.find("<audio"), std::string::npos) << page;
    const std::string stream = http_get(web_ip, free_port, "/listen.opus", 1500);
    EXPECT_EQ(stream.rfind("HTTP/1.1 200 OK", 0), 0u) << stream.substr(0, 200);
    EXPECT_NE(stream.find("OggS"), std::string::npos);
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));
    wait_idle_and_close_boxes(id);
    close_window();
}

}  // namespace

// On the air with a script of two songs: the operator's Ctrl+N (Station >
// Next Song) and an administrator's velmora-ctl reach the same station, and
// a listener hears both changes.
TEST_F(OperatorJourney, ctrl_n_and_velmora_ctl_change_what_the_listener_hears) {
    write_station(22050, 2205, "Mode=0\nAutoStart=1\nStationLocation=Loopback\n");
    ASSERT_TRUE(write_tone_song(dir.file("second.VMA"), 22050, 2205, 880, 40));
    std::string script = tone_song_script(dir.file("tone.VMA"), 22050, 2205, "A tone");
    script[0] = '2';
    script += "1 " + dir.file("second.VMA") + " \"\" Second tone";
    script.push_back('\0');
    write_file(dir.file("show.VSK"), script);
    std::string id = open_window(true);
    ASSERT_FALSE(id.empty());
    ChildProcess listener;
    ASSERT_TRUE(listener.start({program_path("velmora-listen"), station_ip, "--port",
                                std::to_string(station_port), "--bind", test_ip(113), "--seconds", "8"},
                               dir.file("listen.out"), dir.path()));
    auto heard = [&](const std::string& line) {
        for (int waited = 0; waited < 5000; waited += 20) {
            if (read_file(dir.file("listen.out")).find(line) != std::string::npos) return true;
            usleep(20 * 1000);
        }
        return false;
    };
    ASSERT_TRUE(heard("now playing: A tone")) << read_file(dir.file("listen.out")) << output();
    ASSERT_TRUE(display.press(id, {"ctrl+n"}));
    EXPECT_TRUE(heard("song: Second tone")) << read_file(dir.file("listen.out")) << output();
    ProgramResult said = run_program({program_path("velmora-ctl"), "text", "Back in five"}, dir.path(), env);
    EXPECT_EQ(said.status, 0) << said.output << output();
    EXPECT_TRUE(heard("song: Back in five")) << read_file(dir.file("listen.out")) << output();
    EXPECT_EQ(listener.wait(15000), 0) << read_file(dir.file("listen.out"));
    ASSERT_TRUE(display.press(id, {"ctrl+s"}));  // off the air, so that SIGTERM ends it at once
    close_window();
}
