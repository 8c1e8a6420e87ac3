// The station's Icecast output against a real icecast2: a velmora-station
// process feeds a server of the test on its own loopback address, curl
// listens on the mount, opusdec and lame decode what it got, a second
// icecast2 relays the mount, and the server dies and comes back while a
// UDP listener keeps listening.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <chrono>
#include <cmath>
#include <cstring>
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
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/icecast_server.h"
#include "support/service_unit.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"
#include "support/udp_loopback.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using audio_measures::tone_level_db;
using wav_bytes::Decoded;
using wav_bytes::read_wav16;

constexpr int kRate = 44100;
constexpr int kStationPort = 34651;
constexpr int kIcecastPort = 18461;
constexpr int kRelayPort = 18462;
// A server still starting refuses the first attempt; the retries 1, 2 and 4 s
// later must fit, also on a loaded machine.
constexpr int kFirstConnectMs = 20000;

// A listener comes in in the middle of a frame; a player looks for the
// next frame, lame --decode needs to be given it. MPEG-1 layer III frames:
// a header 0xFFFB, the bit rate and sampling rate in the next byte, and
// the next header right after the frame's length.
std::string from_first_mp3_frame(const std::string& bytes) {
    static const int kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    auto frame_length = [&](size_t at) -> size_t {
        if (at + 4 > bytes.size() || uint8_t(bytes[at]) != 0xFF || uint8_t(bytes[at + 1]) != 0xFB) return 0;
        static const int hz[4] = {44100, 48000, 32000, 0};
        int rate = kbps[uint8_t(bytes[at + 2]) >> 4];
        int sampling = hz[(uint8_t(bytes[at + 2]) >> 2) & 3];
        if (!rate || !sampling) return 0;
        return 144000u * rate / sampling + ((uint8_t(bytes[at + 2]) >> 1) & 1);
    };
    for (size_t at = 0; at < bytes.size(); ++at) {
        size_t length = frame_length(at);
        if (length && frame_length(at + length)) return bytes.substr(at);
    }
    return "";
}

// The last `seconds` of what was decoded: the tone has settled by then.
Bytes tail(const Decoded& d, double seconds) {
    size_t n = static_cast<size_t>(seconds * d.rate);
    if (d.samples.size() <= n) return d.samples;
    return Bytes(d.samples.end() - static_cast<long>(n), d.samples.end());
}

// A song of `hz` in the station's format: `super_blocks` of a sine.
void write_song(const std::string& path, double hz, int super_blocks, const CodecState& codec) {
    CodecState c = codec;
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    write_sample_header(file, kRate, c.rate_percent);
    static uint8_t block[kSuperBlockSamples];
    static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    for (int b = 0; b < super_blocks; ++b) {
        for (int i = 0; i < kSuperBlockSamples; ++i)
            block[i] = static_cast<uint8_t>(128 + 60 * std::sin(2 * M_PI * hz * (b * kSuperBlockSamples + i) / kRate));
        interleave_super_block(block, frames);
        for (auto& frame : frames) {
            uint8_t out[kMaxFrameBytes];
            write_sample_frame(file, out, encode_frame(c, frame, out));
        }
    }
    fclose(file);
}

class IcecastOutput : public ::testing::Test {
protected:
    TempDir dir;
    TempDir ice_folder;
    TempDir relay_folder;
    ChildProcess station;
    ChildProcess server;
    ChildProcess relay;
    std::string station_ip = test_ip(91);
    std::string ice_ip = test_ip(92);
    std::string relay_ip = test_ip(93);
    std::string mount = "/velmora";

    std::string url() const { return "http://" + ice_ip + ":" + std::to_string(kIcecastPort) + mount; }

    void start_server() {
        std::string problem = start_icecast_server(server, {ice_ip, kIcecastPort, ice_folder.path(), {}, 0, {}});
        ASSERT_EQ(problem, "");
    }

    // The station's settings: `extra` names the feed and the Icecast keys.
    void start_station(const std::string& extra, const std::vector<std::string>& options) {
        start_station_in(station, dir, station_ip, extra, options);
    }
    // A station of its own folder and address, feeding the same url().
    void start_station_in(ChildProcess& process, TempDir& folder, const std::string& ip,
                          const std::string& extra, const std::vector<std::string>& options) {
        write_file(folder.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\nBANDWIDTH=512000\n"
                   "AutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + ip + "\nSTATION_PORT=" +
                   std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(94) + "\n"
                   "StationName=Icecast Station\nStationLocation=Loopback\nStationCategory=Jazz\n"
                   "WWW_DESC=Tones all day\nWWW_URL=http://127.0.0.1/velmora\n"
                   "ICECAST_URL=" + url() + "\n" + extra);
        chmod(folder.file("station.ini").c_str(), 0600);
        std::vector<std::string> args = {program_path("velmora-station"),
                                         folder.file("station.ini"), "--status-interval", "1"};
        args.insert(args.end(), options.begin(), options.end());
        EnvironmentList env = {{"VELMORA_HOME", folder.path()}, {"XDG_CONFIG_HOME", folder.path()},
                               {"XDG_RUNTIME_DIR", folder.path()}, {"HOME", folder.path()}};
        ASSERT_TRUE(process.start(args, folder.file("station.out"), folder.path(), env));
    }
    std::string station_output() { return read_file(dir.file("station.out")); }
    int count_in_output(const std::string& text) {
        std::string out = station_output();
        int n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }
    // What icecast2 said, for a failure's message.
    std::string server_output() {
        std::string said = "\n--- icecast2:\n";
        for (const char* name : {"/icecast.out", "/error.log"}) {
            std::string path = ice_folder.path() + name;
            if (access(path.c_str(), R_OK) == 0) said += read_file(path);
        }
        return said;
    }

    bool wait_for_output(const std::string& text, int timeout_ms, TempDir* folder = nullptr) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            std::string out = read_file((folder ? folder : &dir)->file("station.out"));
            if (out.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // What curl gets from `mount_url` in `seconds`.
    std::string listen_with_curl(const std::string& mount_url, int seconds, const std::string& name) {
        run_program({"/usr/bin/curl", "-s", "--max-time", std::to_string(seconds), "-o", dir.file(name),
                     mount_url}, "", {}, (seconds + 5) * 1000);
        return access(dir.file(name).c_str(), F_OK) == 0 ? read_file(dir.file(name)) : "";
    }

    // Two seconds of the mount, as a player hears them, hold the 1000 Hz tone.
    void expect_mount_plays_the_tone(const std::string& name) {
        listen_with_curl(url(), 2, name);
        Decoded d = decode(name, false);
        expect_tone(tail(d, 0.8), 1000, d.rate);
    }

    Decoded decode(const std::string& name, bool mp3) {
        std::string wav = dir.file(name + ".wav");
        if (mp3) write_file(dir.file(name), from_first_mp3_frame(read_file(dir.file(name))));
        ProgramResult r = mp3 ? run_program({"/usr/bin/lame", "--quiet", "--decode", dir.file(name), wav})
                              : run_program({"/usr/bin/opusdec", "--quiet", dir.file(name), wav});
        EXPECT_EQ(r.status, 0) << r.output;
        return access(wav.c_str(), F_OK) == 0 ? read_wav16(read_file(wav)) : Decoded{};
    }

    // The tone stands out of what else was heard.
    static void expect_tone(const Bytes& heard, double hz, int rate) {
        ASSERT_GT(heard.size(), 4000u);
        double level = tone_level_db(heard, hz, rate);
        EXPECT_GT(level, 25.0);
        EXPECT_GT(level, tone_level_db(heard, hz * 1.37, rate) + 20.0);
    }

    std::string status_json() { return http_get(ice_ip, kIcecastPort, "/status-json.xsl"); }
};

TEST_F(IcecastOutput, live_tone_reaches_a_curl_listener_as_ogg_opus_with_the_station_information) {
    start_server();
    start_station("ICECAST_PASSWORD=hackme\n", {"--capture", "tone:1000"});
    ASSERT_TRUE(wait_for_output("The Icecast output is on the air at " + url(), 8000)) << station_output();
    std::string heard = listen_with_curl(url(), 3, "live.ogg");
    ASSERT_EQ(heard.compare(0, 4, "OggS"), 0) << heard.size();
    EXPECT_NE(heard.find("OpusHead"), std::string::npos);
    Decoded d = decode("live.ogg", false);
    expect_tone(tail(d, 1.0), 1000, d.rate);

    std::string status = status_json();
    for (const char* field : {"\"server_name\":\"Icecast Station\"", "\"genre\":\"Jazz\"",
                              "\"server_description\":\"Tones all day\"", "\"bitrate\":96"})
        EXPECT_NE(status.find(field), std::string::npos) << field << " in " << status;
    EXPECT_TRUE(wait_for_output("| Icecast on the air", 3000)) << station_output();
}

TEST_F(IcecastOutput, mp3_carries_the_tone_at_its_bit_rate) {
    start_server();
    mount = "/velmora.mp3";
    start_station("ICECAST_PASSWORD=hackme\nICECAST_FORMAT=mp3\nICECAST_BITRATE=48\n",
                  {"--capture", "tone:700"});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs)) << station_output() << server_output();
    listen_with_curl(url(), 3, "live.mp3");
    Decoded d = decode("live.mp3", true);
    expect_tone(tail(d, 1.0), 700, d.rate);
    EXPECT_NE(status_json().find("\"bitrate\":48"), std::string::npos) << status_json();
}

// Script feed: the songs' frames decoded as a listener hears them; each
// song's text goes along, as tags of a chained Ogg stream or as the MP3
// mount's title.
TEST_F(IcecastOutput, script_songs_are_heard_with_their_titles_in_opus_and_mp3) {
    start_server();
    CodecState codec;
    set_rate(codec, kRate, 4410);
    write_song(dir.file("low.VMA"), 500, 4, codec);
    write_song(dir.file("high.VMA"), 1500, 4, codec);
    int percent = codec.rate_percent;
    std::string script = "2 44100 " + std::string(percent < 10 ? "00" : percent < 100 ? "0" : "") +
                         std::to_string(percent) + " SCRIPT";
    script += '\0';
    script += "1 " + dir.file("low.VMA") + " \"\" Low song";
    script += '\0';
    script += "1 " + dir.file("high.VMA") + " \"\" High song";
    script += '\0';
    write_file(dir.file("songs.VSK"), script);

    for (bool mp3 : {false, true}) {
        SCOPED_TRACE(mp3 ? "mp3" : "opus");
        mount = mp3 ? "/script.mp3" : "/script.ogg";
        start_station("Mode=0\nStationScript=" + dir.file("songs.VSK") + "\nICECAST_PASSWORD=hackme\n" +
                          (mp3 ? "ICECAST_FORMAT=mp3\n" : ""),
                      {});
        ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs)) << station_output() << server_output();
        std::string name = mp3 ? "script.mp3" : "script.ogg";
        std::string titles_seen;
        // The MP3 title is the server's; both songs (1.5 s each) come by.
        std::thread poll([&] {
            for (int i = 0; i < 40 && mp3; ++i) {
                titles_seen += status_json();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        std::string heard = listen_with_curl(url(), 4, name);
        poll.join();
        if (mp3) {
            EXPECT_NE(titles_seen.find("\"title\":\"Low song\""), std::string::npos) << titles_seen;
            EXPECT_NE(titles_seen.find("\"title\":\"High song\""), std::string::npos) << titles_seen;
        } else {
            EXPECT_NE(heard.find("TITLE=Low song"), std::string::npos);
            EXPECT_NE(heard.find("TITLE=High song"), std::string::npos);
        }
        Decoded d = decode(name, mp3);
        ASSERT_GT(d.samples.size(), static_cast<size_t>(d.rate));
        // Both songs' tones are in what was heard (each about half the time).
        EXPECT_GT(tone_level_db(d.samples, 500, d.rate), 18.0);
        EXPECT_GT(tone_level_db(d.samples, 1500, d.rate), 18.0);
        EXPECT_LT(tone_level_db(d.samples, 1000, d.rate), 10.0);
        station.signal(SIGTERM);
        EXPECT_EQ(station.wait(5000), 0) << station_output();
    }
}

TEST_F(IcecastOutput, a_second_icecast2_relays_the_mount_to_its_listeners) {
    start_server();
    start_station("ICECAST_PASSWORD=hackme\n", {"--capture", "tone:800"});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs)) << station_output() << server_output();
    std::string problem = start_icecast_server(
        relay, {relay_ip, kRelayPort, relay_folder.path(), ice_ip, kIcecastPort, mount});
    ASSERT_EQ(problem, "");
    std::string relayed = "http://" + relay_ip + ":" + std::to_string(kRelayPort) + mount;
    // The relay connects to the mount at its start; give it a moment.
    std::string heard;
    for (int attempt = 0; attempt < 10 && heard.size() < 2000; ++attempt) {
        heard = listen_with_curl(relayed, 3, "relayed.ogg");
        if (heard.size() < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_GT(heard.size(), 2000u) << read_file(relay_folder.file("error.log"));
    Decoded d = decode("relayed.ogg", false);
    expect_tone(tail(d, 1.0), 800, d.rate);
}

// The server goes away for 4 s: the UDP listeners hear nothing of it, the
// operator hears of the loss once and of the return once.
TEST_F(IcecastOutput, a_server_that_dies_and_returns_gets_the_stream_again_while_udp_goes_on) {
    start_server();
    start_station("ICECAST_PASSWORD=hackme\n", {"--capture", "tone:1000"});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs)) << station_output() << server_output();

    LoopbackSocket listener(test_ip(95).c_str());
    sockaddr_in to{};
    ipv4_from_dotted(station_ip.c_str(), kStationPort, &to);
    uint8_t join[PACKET_HEADER_SIZE + 6];
    put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, join);
    memcpy(join + PACKET_HEADER_SIZE, "hello", 6);
    uint8_t keepalive[PACKET_HEADER_SIZE + 2] = {};
    put_packet_header(PacketHeader{0, 0, PF_KEEPALIVE, 2}, keepalive);
    std::vector<uint32_t> seqs;
    std::vector<double> arrivals;  // seconds from the start, for a gap's report
    auto start = Clock::now();
    auto next_keepalive = Clock::now();
    auto take_audio = [&](int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (seqs.empty()) {
                udp_send_to(listener.fd(), join, sizeof join, 0, &to, sizeof to);
            } else if (Clock::now() >= next_keepalive) {
                udp_send_to(listener.fd(), keepalive, sizeof keepalive, 0, &to, sizeof to);
                next_keepalive = Clock::now() + std::chrono::seconds(1);
            }
            Bytes d = listener.receive(100);
            if (d.size() >= PACKET_HEADER_SIZE && get_packet_header(d.data()).flags == PF_AUDIO) {
                seqs.push_back(get_packet_header(d.data()).seq);
                arrivals.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
        }
    };
    take_audio(1000);
    server.kill_now();
    take_audio(4000);
    start_server();
    auto back_from = Clock::now();
    bool back = false;
    while (!back && Clock::now() - back_from < std::chrono::seconds(20)) {
        take_audio(250);
        back = station_output().find("back on the air") != std::string::npos;
    }
    ASSERT_TRUE(back) << station_output();
    take_audio(500);

    ASSERT_GT(seqs.size(), 100u);
    for (size_t i = 1; i < seqs.size(); ++i)
        ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << "after " << arrivals[i] << " s\n" << station_output();
    std::string out = station_output();
    auto count = [&](const std::string& text) {
        int n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("is lost ("), 1) << out;
    EXPECT_EQ(count("back on the air"), 1) << out;
    EXPECT_EQ(out.find("No error"), std::string::npos) << out;  // the cause in our words
    expect_mount_plays_the_tone("after.ogg");
}

TEST_F(IcecastOutput, a_refused_password_is_told_as_such_and_the_udp_station_goes_on) {
    start_server();
    start_station("ICECAST_PASSWORD=wrong\n", {"--capture", "tone:1000"});
    ASSERT_TRUE(wait_for_output("refused the password (HTTP 401) of user source", 8000)) << station_output();
    ASSERT_TRUE(wait_for_output("| Icecast reconnecting", 3000)) << station_output();
    EXPECT_NE(station_output().find("BROADCASTING | live"), std::string::npos);
}

// SIGSTOP: the server's system still takes the stream into its buffers, so
// only the unanswered status requests show the freeze.
TEST_F(IcecastOutput, a_frozen_server_is_told_lost_within_15_s_and_its_return_once) {
    start_server();
    start_station("ICECAST_PASSWORD=hackme\n", {"--capture", "tone:1000"});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs))
        << station_output() << server_output();
    server.signal(SIGSTOP);
    auto frozen = Clock::now();
    ASSERT_TRUE(wait_for_output("is lost (", 15000)) << station_output();
    EXPECT_LT(Clock::now() - frozen, std::chrono::seconds(15));
    EXPECT_TRUE(wait_for_output("| Icecast reconnecting", 3000)) << station_output();
    // The freeze lasts 20 s, as a server stopped by hand or swapped out for a while.
    std::this_thread::sleep_until(frozen + std::chrono::seconds(20));
    server.signal(SIGCONT);
    ASSERT_TRUE(wait_for_output("back on the air", 45000)) << station_output() << server_output();
    EXPECT_EQ(count_in_output("is lost ("), 1) << station_output();
    EXPECT_EQ(count_in_output("back on the air"), 1) << station_output();
    EXPECT_NE(station_output().find("stopped answering"), std::string::npos) << station_output();
    expect_mount_plays_the_tone("thawed.ogg");
}

// Two sources for one mount: the second station is told the mount is in
// use (not that its password was refused) and takes it once it is free,
// "on the air" for the first time, not "back".
TEST_F(IcecastOutput, a_mount_in_use_is_told_as_such_and_taken_once_free) {
    start_server();
    TempDir first_dir;
    ChildProcess first;
    start_station_in(first, first_dir, test_ip(96), "ICECAST_PASSWORD=hackme\n",
                     {"--capture", "tone:500"});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs, &first_dir))
        << read_file(first_dir.file("station.out")) << server_output();
    start_station("ICECAST_PASSWORD=hackme\n", {"--capture", "tone:1000"});
    ASSERT_TRUE(wait_for_output("The Icecast mount /velmora at " + url() + " is in use", 15000))
        << station_output() << server_output();
    EXPECT_EQ(station_output().find("refused the password"), std::string::npos) << station_output();
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(10000), 0);
    ASSERT_TRUE(wait_for_output("The Icecast output is on the air at " + url(), 45000))
        << station_output() << server_output();
    EXPECT_EQ(station_output().find("back on the air"), std::string::npos) << station_output();
    expect_mount_plays_the_tone("taken.ogg");
}

// A song whose frames do not decode: the mount gets silence for its
// length instead of nothing, so the server (which drops a source after
// 5 s without data here) keeps the stream, and the next song is heard.
TEST_F(IcecastOutput, a_song_that_does_not_decode_keeps_the_mount_fed_with_silence) {
    start_server();
    CodecState codec;
    set_rate(codec, kRate, 4410);
    // 24 super-blocks of frames that fail to decode: about 9 s.
    {
        FILE* file = fopen(dir.file("broken.VMA").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        write_sample_header(file, kRate, codec.rate_percent);
        uint8_t junk[64];
        memset(junk, 0xFF, sizeof junk);
        for (int f = 0; f < 24 * kFramesPerSuperBlock; ++f)
            write_sample_frame(file, junk, sizeof junk);
        fclose(file);
    }
    write_song(dir.file("tone.VMA"), 700, 40, codec);
    int percent = codec.rate_percent;
    std::string script = "2 44100 " + std::string(percent < 10 ? "00" : percent < 100 ? "0" : "") +
                         std::to_string(percent) + " SCRIPT";
    script += '\0';
    script += "1 " + dir.file("broken.VMA") + " \"\" Broken song";
    script += '\0';
    script += "1 " + dir.file("tone.VMA") + " \"\" Tone song";
    script += '\0';
    write_file(dir.file("songs.VSK"), script);
    start_station("Mode=0\nStationScript=" + dir.file("songs.VSK") +
                      "\nICECAST_PASSWORD=hackme\n",
                  {});
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs))
        << station_output() << server_output();
    // Through the broken song's 9 s and into the tone.
    std::string heard = listen_with_curl(url(), 12, "through.ogg");
    EXPECT_EQ(count_in_output("is lost ("), 0) << station_output() << server_output();
    EXPECT_NE(heard.find("TITLE=Tone song"), std::string::npos);
    Decoded d = decode("through.ogg", false);
    ASSERT_GT(d.samples.size(), static_cast<size_t>(8 * d.rate)) << "the mount went without data";
    EXPECT_GT(tone_level_db(tail(d, 1.0), 700, d.rate), 18.0);
}

// The system service as systemd runs it: the unit's own ExecStart= and
// Environment= lines, run as an unprivileged user (nobody) with a settings
// file of root's that anyone may read, and the password in a file only
// root reads, handed over as the unit's LoadCredential= does (a copy in a
// folder of the service's user, $CREDENTIALS_DIRECTORY).
TEST_F(IcecastOutput, a_service_user_logs_in_with_its_credential_and_is_advised_rightly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the station as another user";
    const uid_t nobody = 65534;
    start_server();
    std::string root = dir.path();
    chmod(root.c_str(), 0755);
    ASSERT_TRUE(make_folder_of(root + "/etc", 0, 0755));
    ASSERT_TRUE(make_folder_of(root + "/state/velmora/radio", nobody, 0700));
    ASSERT_TRUE(make_folder_of(root + "/run/velmora/radio", nobody, 0700));
    ASSERT_TRUE(make_folder_of(root + "/credentials", nobody, 0500));
    std::string settings =
        "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\nBANDWIDTH=512000\n"
        "AutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\nSTATION_PORT=" +
        std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(94) + "\n"
        "StationName=Service\nStationLocation=Loopback\nICECAST_URL=" + url() + "\n";
    write_file(root + "/etc/radio.ini", settings);
    chmod((root + "/etc/radio.ini").c_str(), 0644);
    write_file(root + "/etc/radio.password", std::string(TEST_ICECAST_PASSWORD) + "\n");
    chmod((root + "/etc/radio.password").c_str(), 0600);
    std::string credential = root + "/credentials/icecast-password";
    write_file(credential, std::string(TEST_ICECAST_PASSWORD) + "\n");
    ASSERT_EQ(chown(credential.c_str(), nobody, nobody), 0);
    chmod(credential.c_str(), 0400);

    // The service has no sound card: its live feed is a tone, as a drop-in would give it.
    std::vector<std::string> command = unit_command(root, "radio");
    command.insert(command.begin() + 1, "CREDENTIALS_DIRECTORY=" + root + "/credentials");
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                     "--clear-groups", "--"});
    std::vector<std::string> check = command;
    check.push_back("--check");
    ProgramResult checked = run_program(check);
    EXPECT_EQ(checked.status, 0) << checked.output;
    command.insert(command.end(), {"--capture", "tone:1000"});
    ASSERT_TRUE(station.start(command, dir.file("station.out"), root));
    ASSERT_TRUE(wait_for_output("The Icecast output is on the air at " + url(), kFirstConnectMs))
        << station_output() << server_output();
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0) << station_output();

    // The password in the settings file itself: the advice names who runs the
    // station and keeps the file readable for it.
    write_file(root + "/etc/radio.ini",
               settings + "ICECAST_PASSWORD=" + TEST_ICECAST_PASSWORD + "\n");
    command.erase(command.begin() + 6);  // no credential
    write_file(dir.file("station.out"), "");  // the last run's words are not this one's
    ASSERT_TRUE(station.start(command, dir.file("station.out"), root));
    ASSERT_TRUE(wait_for_output("on the air at " + url(), kFirstConnectMs)) << station_output();
    std::string said = station_output();
    EXPECT_NE(said.find("it belongs to root and the station runs as nobody, who could not read "
                        "it after a chmod 600"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("LoadCredential=icecast-password:"), std::string::npos) << said;
    EXPECT_EQ(said.find("(chmod 600"), std::string::npos) << said;

    // A password file the station's user cannot read is named by --check.
    write_file(root + "/etc/radio.ini", settings + "ICECAST_PASSWORD_FILE=radio.password\n");
    check = command;
    check.resize(check.size() - 2);  // without --capture tone:1000
    check.push_back("--check");
    ProgramResult refused = run_program(check);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("ICECAST_PASSWORD_FILE: cannot read " + root +
                                  "/etc/radio.password: Permission denied"),
              std::string::npos)
        << refused.output;
}

}  // namespace
