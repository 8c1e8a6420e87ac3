// The archive as an operator runs it: real velmora-station processes with
// ARCHIVE_DIR, their hour files read back by opusinfo and opusdec, an hour's
// end brought near by a wall clock moved on in the station, a full disk in
// a small tmpfs of the station's own mount namespace, and a folder that
// cannot be made. The broadcast goes on through all of them: a listener of
// the test keeps hearing it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/udp_socket.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"
#include "wire/packet.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;
constexpr int kTransferRate = 4410;
constexpr int kPort = 34771;
constexpr int kStatusPort = 34772;

// Two super-blocks of a square tone (some 0.74 s) and the companion file.
void write_song(const std::string& path, int period) {
    CodecState main_codec, companion_codec;
    set_rate(main_codec, kRate, kTransferRate);
    set_rate(companion_codec, kRate, 2 * kTransferRate);
    FILE* main_file = fopen(path.c_str(), "wb");
    FILE* companion_file = fopen((path.substr(0, path.size() - 3) + "V40").c_str(), "wb");
    write_sample_header(main_file, kRate, main_codec.rate_percent);
    write_sample_header(companion_file, kRate, 2 * main_codec.rate_percent);
    for (int b = 0; b < 2; ++b) {
        static uint8_t block[kSuperBlockSamples];
        for (int i = 0; i < kSuperBlockSamples; ++i)
            block[i] = static_cast<uint8_t>(128 + ((i / period) % 2 ? 40 : -40));
        static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
        interleave_super_block(block, frames);
        for (auto& frame : frames) {
            uint8_t out[6200];
            write_sample_frame(main_file, out, encode_frame(main_codec, frame, out));
            write_sample_frame(companion_file, out, encode_frame(companion_codec, frame, out));
        }
    }
    fclose(main_file);
    fclose(companion_file);
}

// "2026-12-08/1400.opus": the hour file of a time.
std::string hour_file(time_t time) {
    tm local{};
    localtime_r(&time, &local);
    char name[32];
    strftime(name, sizeof name, "%Y-%m-%d/%H00.opus", &local);
    return name;
}

std::string day_folder(time_t time) {
    return hour_file(time).substr(0, 10);
}

class ArchiveJourney : public ::testing::Test {
   protected:
    TempDir dir;
    std::string ip = test_ip(141);
    std::string archive = dir.file("archive");
    ChildProcess station;
    EnvironmentList env = home_in(dir.path());

    void SetUp() override {
        write_song(dir.file("one.VMA"), 37);
        write_song(dir.file("two.VMA"), 11);
        CodecState codec;
        set_rate(codec, kRate, kTransferRate);
        std::string script =
            "2 " + std::to_string(kRate) + " 0" + std::to_string(codec.rate_percent) + " SCRIPT";
        script.push_back('\0');
        script += "1 " + dir.file("one.VMA") + " \"\" First song";
        script.push_back('\0');
        script += "1 " + dir.file("two.VMA") + " \"\" Second song";
        script.push_back('\0');
        write_file(dir.file("demo.VSK"), script);
    }

    void write_settings(const std::string& extra) {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\nBANDWIDTH=64000\n"
                   "Mode=0\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" +
                       ip + "\nSTATION_PORT=" + std::to_string(kPort) +
                       "\nMASTER_IP=" + test_ip(142) +
                       "\nStationName=Archive Station\nStationLocation=Loopback\nStationScript=" +
                       dir.file("demo.VSK") + "\n" + extra);
    }

    // The station, started through `wrapper` (a command that runs the rest)
    // when given; with its status report on HTTP when `status_http`.
    void start(const EnvironmentList& more = {}, const std::vector<std::string>& wrapper = {},
               bool status_http = false) {
        std::vector<std::string> args = wrapper;
        for (const std::string& arg : {program_path("velmora-station"), dir.file("station.ini"),
                                       std::string("--status-interval"), std::string("1")})
            args.push_back(arg);
        if (status_http) {
            args.push_back("--status-http");
            args.push_back(ip + ":" + std::to_string(kStatusPort));
        }
        EnvironmentList all = env;
        all.insert(all.end(), more.begin(), more.end());
        ASSERT_TRUE(station.start(args, dir.file("station.out"), dir.path(), all));
    }
    int stop() {
        station.signal(SIGTERM);
        return station.wait(30000);
    }
    std::string output() { return read_file(dir.file("station.out")); }

    static bool wait_until(const std::function<bool()>& done, int ms = 30000) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    // A file of the archive being written reached `bytes`.
    bool writing(const std::string& relative, uintmax_t bytes = 1) {
        return wait_until([&] {
            std::error_code error;
            const uintmax_t size = fs::file_size(archive + "/" + relative + ".tmp", error);
            return !error && size >= bytes;
        });
    }

    // Every file under the archive, by its path there.
    std::set<std::string> archive_files() {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(archive))
            if (!entry.is_directory())
                files.insert(entry.path().lexically_relative(archive).string());
        return files;
    }

    // A listener of the test joins and hears `count` audio datagrams in a
    // row (each seq the last one's next); false when they do not come.
    bool hears_broadcast(int count) {
        LoopbackSocket listener(test_ip(143).c_str());
        sockaddr_in to{};
        ipv4_from_dotted(ip.c_str(), kPort, &to);
        uint8_t join[PACKET_HEADER_SIZE + 6];
        put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, join);
        memcpy(join + PACKET_HEADER_SIZE, "hello", 6);
        std::vector<uint32_t> seqs;
        auto next_join = Clock::now();
        const auto end = Clock::now() + std::chrono::seconds(15);
        while (static_cast<int>(seqs.size()) < count && Clock::now() < end) {
            if (seqs.empty() && Clock::now() >= next_join) {
                udp_send_to(listener.fd(), join, sizeof join, 0, &to, sizeof to);
                next_join = Clock::now() + std::chrono::milliseconds(500);
            }
            std::vector<uint8_t> d = listener.receive(300);
            if (d.size() < PACKET_HEADER_SIZE || get_packet_header(d.data()).flags != PF_AUDIO)
                continue;
            const uint32_t seq = get_packet_header(d.data()).seq;
            if (!seqs.empty() && seq != seqs.back() + 1) return false;
            seqs.push_back(seq);
        }
        return static_cast<int>(seqs.size()) == count;
    }

    // The archive's section of the status report.
    nlohmann::json archive_status() {
        const ProgramResult got =
            run_program({"/usr/bin/curl", "-s",
                         "http://" + ip + ":" + std::to_string(kStatusPort) + "/status.json"},
                        dir.path(), env);
        const auto json = nlohmann::json::parse(got.output, nullptr, false);
        return json.is_object() && json.contains("archive") ? json["archive"] : nlohmann::json();
    }

    ProgramResult opusinfo(const std::string& relative) {
        return run_program({"/usr/bin/opusinfo", archive + "/" + relative}, dir.path(), env);
    }
};

size_t count_of(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(ArchiveJourney, a_script_station_archives_its_songs_with_their_titles_as_chained_streams) {
    write_settings("ARCHIVE_DIR=archive\n");  // beside the settings file
    const time_t began = time(nullptr);
    start();
    // Some 3 s of the program at 64 kbit/s: each song more than once.
    ASSERT_TRUE(writing(hour_file(began), 24000)) << output();
    EXPECT_TRUE(wait_until([&] { return output().find("Archive recording") != std::string::npos; }))
        << output();
    ASSERT_EQ(stop(), 0) << output();

    const std::set<std::string> files = archive_files();
    ASSERT_TRUE(files.count(hour_file(began))) << output();
    for (const std::string& file : files) EXPECT_EQ(file.find(".tmp"), std::string::npos) << file;
    const ProgramResult info = opusinfo(hour_file(began));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_GE(count_of(info.output, "New logical stream"), 3u) << info.output;
    EXPECT_NE(info.output.find("TITLE=First song"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("TITLE=Second song"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("ORGANIZATION=Archive Station"), std::string::npos);
    EXPECT_EQ(info.output.find("WARNING"), std::string::npos) << info.output;

    const ProgramResult decoded = run_program(
        {"/usr/bin/opusdec", "--quiet", archive + "/" + hour_file(began), dir.file("heard.wav")},
        dir.path(), env);
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    const wav_bytes::Decoded wav = wav_bytes::read_wav16(read_file(dir.file("heard.wav")));
    EXPECT_GT(wav.samples.size(), 3u * 48000u);  // the whole stop written out, not cut
}

TEST_F(ArchiveJourney, an_hours_end_renames_its_file_and_the_next_hour_gets_its_own) {
    // The station's clock 6 s before an hour's end (local time).
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const long shift = 3600 - (local.tm_min * 60 + local.tm_sec) - 6;
    const std::string first = hour_file(now + shift), second = hour_file(now + shift + 60);
    ASSERT_NE(first, second);
    write_settings("ARCHIVE_DIR=" + archive + "\n");
    start({{"LD_PRELOAD", VELMORA_CLOCK_SHIFT_LIBRARY},
           {"VELMORA_CLOCK_SHIFT", std::to_string(shift)},
           {"ASAN_OPTIONS", "verify_asan_link_order=0"}},
          {}, true);

    // The first hour's file is renamed as the next one begins.
    ASSERT_TRUE(writing(second, 1)) << output();
    EXPECT_TRUE(wait_until([&] { return fs::exists(archive + "/" + first); })) << output();
    // The status report counts it (it is published anew every second or so).
    nlohmann::json status;
    EXPECT_TRUE(
        wait_until([&] { return (status = archive_status())["files_written"] == 1; }, 10000))
        << status;
    EXPECT_EQ(status["state"], "recording") << status;
    EXPECT_GT(status["bytes_written"].get<int64_t>(), 1000) << status;
    EXPECT_EQ(status["last_error"], "") << status;
    ASSERT_EQ(stop(), 0) << output();
    EXPECT_EQ(archive_files(), (std::set<std::string>{first, second})) << output();
    for (const std::string& file : {first, second}) {
        const ProgramResult info = opusinfo(file);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_NE(info.output.find("TITLE="), std::string::npos) << info.output;
    }
}

TEST_F(ArchiveJourney, archive_days_removes_its_own_files_of_old_days_and_nothing_else) {
    const time_t now = time(nullptr);
    const std::string yesterday = day_folder(now - 86400), long_ago = day_folder(now - 5 * 86400);
    const std::vector<std::string> planted = {
        "2000-01-01/1400.opus",   "2000-01-01/1400-2.opus.tmp", "2000-01-01/notes.txt",
        "2000-01-02/0900.opus",   "old-stuff/1400.opus",        "2000-13-01/1400.opus",
        yesterday + "/2300.opus", long_ago + "/0100.opus",      "2000-01-01/keep/1400.opus"};
    for (const std::string& file : planted) {
        fs::create_directories(fs::path(archive + "/" + file).parent_path());
        write_file(archive + "/" + file, "planted");
    }
    write_file(dir.file("precious.opus"), "a stranger's");
    fs::create_symlink(dir.file("precious.opus"), archive + "/2000-01-01/1500.opus");
    write_settings("ARCHIVE_DIR=" + archive + "\nARCHIVE_DAYS=3\n");
    start();
    ASSERT_TRUE(writing(hour_file(time(nullptr)), 1)) << output();
    ASSERT_EQ(stop(), 0) << output();

    std::set<std::string> left = archive_files();
    for (auto at = left.begin(); at != left.end();)
        at = at->rfind(day_folder(now), 0) == 0 ? left.erase(at) : std::next(at);
    EXPECT_EQ(left, (std::set<std::string>{"2000-01-01/notes.txt", "2000-01-01/1500.opus",
                                           "2000-01-01/keep/1400.opus", "old-stuff/1400.opus",
                                           "2000-13-01/1400.opus", yesterday + "/2300.opus"}));
    EXPECT_FALSE(fs::exists(archive + "/2000-01-02"));
    EXPECT_FALSE(fs::exists(archive + "/" + long_ago));
    EXPECT_EQ(read_file(dir.file("precious.opus")), "a stranger's");
}

TEST_F(ArchiveJourney, a_full_disk_stops_the_archive_with_one_message_and_the_broadcast_goes_on) {
    // A tmpfs of 40 kB on the archive folder, in the station's own user and
    // mount namespaces: some 5 s of the program fill it.
    if (run_program({"/usr/bin/unshare", "-Urm", "true"}, "", {}, 10000).status != 0)
        GTEST_SKIP() << "no user and mount namespaces here";
    fs::create_directories(archive);
    write_settings("ARCHIVE_DIR=" + archive + "\n");
    // Once the station has ended, the shell shows what the full disk holds.
    const char* shell =
        "mount -t tmpfs -o size=40k archive \"$0\" || exit 9\n"
        "\"$@\" & station=$!\n"
        "trap 'kill -TERM $station' TERM\n"
        "while kill -0 $station 2>/dev/null; do wait $station; status=$?; done\n"
        "echo \"held: $(cd \"$0\" && echo */*)\"\n"
        "opusinfo \"$0\"/*/*.opus\n"
        "exit $status\n";
    start({}, {"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", shell, archive}, true);
    ASSERT_TRUE(hears_broadcast(20)) << output();

    const std::string told =
        "The archive stops: cannot write " + archive + "/" + hour_file(time(nullptr));
    ASSERT_TRUE(wait_until([&] { return output().find(told) != std::string::npos; })) << output();
    EXPECT_NE(output().find(".opus.tmp: No space left on device; " + archive + "/" +
                            hour_file(time(nullptr)) +
                            " keeps what was written before. The broadcast goes on."),
              std::string::npos)
        << output();
    // The listener hears on (some 2 s twice), and the operator heard it once.
    EXPECT_TRUE(hears_broadcast(40)) << output();
    EXPECT_TRUE(wait_until([&] { return output().find("Archive stopped") != std::string::npos; }))
        << output();
    EXPECT_TRUE(hears_broadcast(40)) << output();
    EXPECT_EQ(count_of(output(), "The archive stops"), 1u) << output();
    nlohmann::json status;
    EXPECT_TRUE(
        wait_until([&] { return (status = archive_status())["state"] == "stopped"; }, 10000))
        << status;
    EXPECT_NE(status["last_error"].get<std::string>().find("No space left on device"),
              std::string::npos)
        << status;
    EXPECT_EQ(stop(), 0) << output();
    // The hour's file keeps the whole pages written before the disk was
    // full, under its own name: a recording up to there.
    EXPECT_NE(output().find("held: " + hour_file(time(nullptr)) + "\n"), std::string::npos)
        << output();
    EXPECT_NE(output().find("Playback length: 0m:0"), std::string::npos) << output();
}

TEST_F(ArchiveJourney,
       a_folder_that_cannot_be_made_is_told_with_its_cause_and_the_broadcast_goes_on) {
    write_file(dir.file("plain"), "a file, not a folder");
    write_settings("ARCHIVE_DIR=" + dir.file("plain/archive") + "\n");
    const ProgramResult check = run_program(
        {program_path("velmora-station"), "--check", dir.file("station.ini")}, dir.path(), env);
    EXPECT_NE(
        check.output.find("warning: cannot make the folder " + dir.file("plain/archive") + ": " +
                          dir.file("plain") + " is not a folder: the archive stays off"),
        std::string::npos)
        << check.output;
    EXPECT_EQ(check.status, 1);

    start();
    EXPECT_TRUE(wait_until([&] {
        return output().find("The archive stays off (ARCHIVE_DIR): cannot make the folder " +
                             dir.file("plain/archive") +
                             ": Not a directory. The broadcast goes on.") != std::string::npos;
    })) << output();
    EXPECT_TRUE(hears_broadcast(40)) << output();
    EXPECT_EQ(stop(), 0) << output();
    EXPECT_EQ(count_of(output(), "The archive stays off"), 1u) << output();
}

}  // namespace
