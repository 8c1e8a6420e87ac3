// The listeners' page in a real browser: Debian's Chromium, headless,
// opens the page of the real velmora-station playing a script of two short
// songs (a 440 Hz and a 660 Hz tone) with --web, and a listener presses
// play. The page shows the station, its player plays the live stream
// (currentTime advances), the song text it shows follows each song change
// within 3 s, and each song is heard (its tone, through the page's Web Audio
// analyser) within 6 s of its start at the station. The test prints how
// long the browser takes from play (the stream's first byte) to sound and
// from a song's start at the station to its sound.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/headless_chromium.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"

namespace {

// A GET as a browser sends it: what came back within `ms` (or until the server closed).
std::string http_get(const std::string& ip, int port, const std::string& path, int ms) {
    return exchange(ip, port, "GET " + path + " HTTP/1.1\r\nHost: " + ip + "\r\n\r\n", ms);
}

using Clock = std::chrono::steady_clock;
constexpr int kStationPort = 34871;
constexpr int kWebPort = 34872;
constexpr int kRate = 22050, kTransferRate = 2205;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class PageInBrowser : public ::testing::Test {
protected:
    TempDir dir;
    std::string ip = test_ip(125);
    ChildProcess station;
    HeadlessChromium browser;
    EnvironmentList env = {{"VELMORA_HOME", dir.path()},
                           {"XDG_CONFIG_HOME", dir.path()},
                           {"XDG_RUNTIME_DIR", dir.path()},
                           {"HOME", dir.path()}};

    void SetUp() override {
        if (HeadlessChromium::program().empty())
            GTEST_SKIP() << "Debian's chromium is not installed (scripts/setup installs it): "
                            "the listeners' page is not tried in a browser";
        // Two songs of some 3.7 s each (five super-blocks), the script played in a loop.
        ASSERT_TRUE(write_tone_song(dir.file("one.VMA"), kRate, kTransferRate, 440, 5));
        ASSERT_TRUE(write_tone_song(dir.file("two.VMA"), kRate, kTransferRate, 660, 5));
        std::string script =
            tone_song_script(dir.file("one.VMA"), kRate, kTransferRate, "First song");
        script[0] = '2';
        const std::string second =
            tone_song_script(dir.file("two.VMA"), kRate, kTransferRate, "Second song");
        script += second.substr(second.find('\0') + 1);
        write_file(dir.file("show.VSK"), script);
        const std::string address = "SPECIFIC_IP=1\nIP_ADDR=" + ip + "\nSTATION_PORT=" +
                                    std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(126);
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2205\nBANDWIDTH=64000\n"
                   "Mode=0\n" + address + "\nStationName=Browser Station\nStationLocation=Loopback\n"
                   "WWW_DESC=Two songs\nStationScript=" + dir.file("show.VSK") + "\n");
    }

    std::string output() const { return read_file(dir.file("station.out")); }
    std::string web_address() const {
        return "http://" + ip + ":" + std::to_string(kWebPort) + "/";
    }

    // The station's own title now, as /now.json gives it.
    std::string station_title() const {
        const nlohmann::json now = nlohmann::json::parse(
            body_of(http_get(ip, kWebPort, "/now.json", 1000)), nullptr, false);
        return now.is_object() && now["title"].is_string() ? now["title"].get<std::string>() : "";
    }
};

TEST_F(PageInBrowser, the_page_plays_the_live_stream_and_follows_the_song_changes) {
    ASSERT_TRUE(
        station.start({program_path("velmora-station"), dir.file("station.ini"),
                       "--status-interval", "0", "--web", ip + ":" + std::to_string(kWebPort)},
                      dir.file("station.out"), dir.path(), env));
    // On the air once the stream answers.
    for (int waited = 0;
         http_get(ip, kWebPort, "/listen.opus", 100).rfind("HTTP/1.1 200 OK", 0) != 0;
         waited += 100) {
        ASSERT_EQ(station.wait(0), -2) << output();
        ASSERT_LT(waited, 20000) << output();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    std::string why;
    ASSERT_TRUE(
        browser.open(web_address(), dir.file("profile"), dir.file("chromium.out"), env, &why))
        << why << "\n"
        << read_file(dir.file("chromium.out"));
    std::string error;
    nlohmann::json shown;
    for (int waited = 0; shown != "Browser Station"; waited += 50) {
        ASSERT_LT(waited, 10000) << "the page never showed the station: " << shown << error;
        shown = browser.evaluate("document.getElementById('station').textContent", false, &error);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(browser.evaluate("document.getElementById('description').textContent"), "Two songs");

    // The listener presses play: the player asks for /listen.opus now. The
    // page notes when its time first moves, and which of the two tones it
    // sounds (440 Hz for the first song, 660 Hz for the second) from when.
    const nlohmann::json started = browser.evaluate(R"(
        (function () {
          var player = document.getElementById('player');
          window.pressed = performance.now();
          window.seen = {};
          ['loadedmetadata', 'canplay', 'playing'].forEach(function (name) {
            player.addEventListener(name, function () {
              if (!window.seen[name]) window.seen[name] = performance.now() - window.pressed;
            });
          });
          player.addEventListener('timeupdate', function () {
            if (!window.sounding && player.currentTime > 0) window.sounding = performance.now();
          });
          var audio = new AudioContext();
          var analyser = audio.createAnalyser();
          analyser.fftSize = 4096;
          audio.createMediaElementSource(player).connect(analyser);
          analyser.connect(audio.destination);
          var bins = new Float32Array(analyser.frequencyBinCount);
          window.heard = [];
          setInterval(function () {
            analyser.getFloatFrequencyData(bins);
            var loudest = 0;
            for (var i = 1; i < bins.length; ++i) if (bins[i] > bins[loudest]) loudest = i;
            if (bins[loudest] < -60) return;  // silence
            var song = loudest * audio.sampleRate / analyser.fftSize < 550 ? 'First song'
                                                                            : 'Second song';
            var last = window.heard[window.heard.length - 1];
            if (!last || last.song != song) window.heard.push({at: Date.now(), song: song});
          }, 10);
          return player.play().then(function () { return 'playing'; },
                                    function (e) { return 'refused: ' + e; });
        })())",
                                                    true, &error);
    ASSERT_EQ(started, "playing") << error;

    // Over some 12 s: the player's time goes on, and each title the station
    // changes to is on the page within 3 s.
    const Clock::time_point begin = Clock::now();
    std::string station_now = station_title(), page_now;
    // A song change the station made that the page has not shown yet.
    std::string pending;
    Clock::time_point pending_since{};
    struct SongStart {
        std::string title;
        double at_ms;  // wall clock, as the page's Date.now()
    };
    std::vector<SongStart> song_starts;
    int changes = 0;
    double first_time = -1, last_time = -1, slowest_change = 0;
    auto shown_on_page = [&](double delay) {
        ++changes;
        slowest_change = std::max(slowest_change, delay);
        EXPECT_LT(delay, 3.0) << "\"" << pending << "\" came " << delay << " s late";
        pending.clear();
    };
    while (seconds_since(begin) < 12 || changes < 2) {
        ASSERT_LT(seconds_since(begin), 30) << "the page showed " << changes << " song changes\n"
                                            << output();
        const std::string title = station_title();
        if (!title.empty() && title != station_now) {
            ASSERT_TRUE(pending.empty()) << "the page never showed \"" << pending << "\"";
            station_now = title;
            pending = title;
            pending_since = Clock::now();
            song_starts.push_back({title, std::chrono::duration<double, std::milli>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count()});
            if (page_now == title) shown_on_page(0);  // the page was told before this test asked
        }
        const nlohmann::json state = browser.evaluate(
            "({time: document.getElementById('player').currentTime, "
            "title: document.getElementById('title').textContent})",
            false, &error);
        ASSERT_TRUE(state.is_object()) << error;
        const double time = state["time"].get<double>();
        if (first_time < 0) first_time = time;
        last_time = time;
        page_now = state["title"].get<std::string>();
        if (!pending.empty() && page_now == pending) shown_on_page(seconds_since(pending_since));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(last_time - first_time, 8.0) << "the player's time went from " << first_time << " to "
                                           << last_time << " s in " << seconds_since(begin) << " s";
    EXPECT_EQ(browser.evaluate("document.getElementById('player').paused"), false);
    const nlohmann::json sounding = browser.evaluate("window.sounding - window.pressed");
    ASSERT_TRUE(sounding.is_number()) << sounding;
    // Each song the station started is heard in the browser, its tone
    // first sounding this long after.
    const nlohmann::json heard = browser.evaluate("window.heard");
    ASSERT_TRUE(heard.is_array()) << heard;
    std::string ear_delays;
    for (const SongStart& start : song_starts) {
        double delay = -1;
        for (const auto& tone : heard)
            if (tone["song"] == start.title && tone["at"].get<double>() >= start.at_ms) {
                delay = tone["at"].get<double>() - start.at_ms;
                break;
            }
        if (delay < 0 && &start == &song_starts.back()) continue;  // it may still be on its way
        EXPECT_GE(delay, 0) << "\"" << start.title << "\" was never heard: " << heard;
        EXPECT_LT(delay, 6000) << "\"" << start.title << "\" was heard " << delay << " ms late";
        ear_delays += (ear_delays.empty() ? "" : ", ") + std::to_string(std::lround(delay));
    }
    EXPECT_FALSE(ear_delays.empty()) << heard;
    printf("a song's start at the station to its sound in the browser: %s ms\n",
           ear_delays.c_str());
    const nlohmann::json seen = browser.evaluate("window.seen");
    printf(
        "play to sound in the browser (from the stream's first byte): %.0f ms (metadata at %.0f, "
        "can play at %.0f, playing at %.0f); the slowest song text change on the page: %.0f ms "
        "after the station's\n",
        sounding.get<double>(), seen.value("loadedmetadata", -1.0), seen.value("canplay", -1.0),
        seen.value("playing", -1.0), slowest_change * 1000);
    EXPECT_EQ(station.wait(0), -2) << output();
}

}  // namespace
