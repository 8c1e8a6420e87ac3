// The headless station as its operators run it: a real velmora-station
// process on its own loopback address, playing a script of compressed songs,
// driven by real UDP listeners and by velmora-listen.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_state.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "wire/station_list.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

constexpr int kRate = 44100;  // 46 ms a tick keeps the test short
constexpr int kTransferRate = 4410;  // 10 percent: the script keeps the rate exact
constexpr int kPort = 34611;
constexpr int kSuperBlocksPerSong = 2;
const char* const kSongTexts[] = {"First song", "Second song"};

using Bytes = std::vector<uint8_t>;

struct Song {
    std::vector<Bytes> frames;             // as stored in the file, in order
    std::vector<Bytes> decoded_blocks;     // each super-block decoded to time order
};

// Encodes kSuperBlocksPerSong super-blocks of a tone into `path` (and its
// companion at twice the rate) and returns what a listener should hear.
Song write_song(const std::string& path, int period) {
    Song song;
    CodecState main_codec, companion_codec;
    set_rate(main_codec, kRate, kTransferRate);
    set_rate(companion_codec, kRate, 2 * kTransferRate);
    FILE* main_file = fopen(path.c_str(), "wb");
    std::string companion_path = path.substr(0, path.size() - 3) + "V40";
    FILE* companion_file = fopen(companion_path.c_str(), "wb");
    write_sample_header(main_file, kRate, main_codec.rate_percent);
    write_sample_header(companion_file, kRate, 2 * main_codec.rate_percent);
    for (int b = 0; b < kSuperBlocksPerSong; ++b) {
        static uint8_t block[kSuperBlockSamples];
        for (int i = 0; i < kSuperBlockSamples; ++i)
            block[i] = static_cast<uint8_t>(128 + ((i / period) % 2 ? 40 : -40) + b * 3);
        static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
        interleave_super_block(block, frames);
        static uint8_t decoded[kFramesPerSuperBlock][kFrameSamples];
        for (int n = 0; n < kFramesPerSuperBlock; ++n) {
            uint8_t out[6200];
            int length = encode_frame(main_codec, frames[n], out);
            write_sample_frame(main_file, out, length);
            song.frames.emplace_back(out, out + length);
            EXPECT_EQ(decode_frame(out, length, decoded[n]), 1);
            length = encode_frame(companion_codec, frames[n], out);
            write_sample_frame(companion_file, out, length);
        }
        deinterleave_super_block(decoded, block);
        song.decoded_blocks.emplace_back(block, block + kSuperBlockSamples);
    }
    fclose(main_file);
    fclose(companion_file);
    return song;
}

// A script file: zero-terminated lines, header first.
void write_script(const std::string& path, const std::vector<std::string>& songs, int percent) {
    std::string bytes = std::to_string(songs.size()) + " " + std::to_string(kRate) + " " +
                        (percent < 10 ? "00" : percent < 100 ? "0" : "") +
                        std::to_string(percent) + " SCRIPT";
    bytes.push_back('\0');
    for (size_t i = 0; i < songs.size(); ++i) {
        bytes += "1 " + songs[i] + " \"\" " + kSongTexts[i];
        bytes.push_back('\0');
    }
    write_file(path, bytes);
}

class StationProcess : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<Song> songs;
    std::string station_ip = test_ip(71);
    std::string master_ip = test_ip(72);
    pid_t pid = -1;

    void SetUp() override {
        CodecState codec;
        set_rate(codec, kRate, kTransferRate);
        std::vector<std::string> names = {dir.file("one.VMA"), dir.file("two.VMA")};
        songs.push_back(write_song(names[0], 37));
        songs.push_back(write_song(names[1], 11));
        write_script(dir.file("demo.VSK"), names, codec.rate_percent);
        write_settings("Mode=0\n");
    }

    // The station's settings with `extra` lines (the feed, for one).
    void write_settings(const std::string& extra) {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\n"
                   "SamplingRate=44100\nTransferRate=4410\nBANDWIDTH=64000\n" + extra +
                   "AutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + master_ip + "\n"
                   "StationName=Test Station\nStationLocation=Loopback\n"
                   "StationScript=" + dir.file("demo.VSK") + "\n");
    }

    void TearDown() override { kill_station(); }

    void kill_station() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    void start_station(const std::vector<std::string>& options = {"--status-interval", "1"}) {
        std::vector<std::string> args = {std::string(VELMORA_BIN_DIR) + "/velmora-station",
                                         dir.file("station.ini")};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            int out = open(dir.file("station.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            setenv("VELMORA_HOME", dir.path().c_str(), 1);
            setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
            setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(pid, 0);
    }

    // Stops the station with a signal; returns its exit status.
    int stop_station(int signal_number) {
        kill(pid, signal_number);
        return wait_for_exit();
    }

    // The exit status of the station once it has ended; -2 when it runs on.
    int wait_for_exit() {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -2;
    }

    // Waits until the station's output, past its first `from` bytes, holds
    // `text`; false when it does not within `timeout_ms`.
    bool wait_for_output(const std::string& text, size_t from = 0, int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            std::string out = read_file(dir.file("station.out"));
            if (out.size() > from && out.find(text, from) != std::string::npos) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    sockaddr_in station_addr() {
        sockaddr_in a{};
        ipv4_from_dotted(station_ip.c_str(), kPort, &a);
        return a;
    }

    void send(LoopbackSocket& s, uint16_t flags, const std::string& text, uint32_t seq = 0,
              uint32_t session = 0, bool with_nul = true) {
        uint8_t bytes[MAX_DATAGRAM];
        int length = static_cast<int>(text.size()) + (with_nul && !text.empty() ? 1 : 0);
        put_packet_header(PacketHeader{seq, session, flags, static_cast<uint16_t>(length)}, bytes);
        memcpy(bytes + PACKET_HEADER_SIZE, text.c_str(), text.size() + 1);
        sockaddr_in to = station_addr();
        udp_send_to(s.fd(), bytes, PACKET_HEADER_SIZE + length, 0, &to, sizeof to);
    }

    // Joins until "STARTSEQ" (or a refusal) comes back; returns the reply.
    // The audio datagrams a joined listener hears in 3 s, keeping itself
    // alive every 20 of them.
    int audio_heard_in_3_s(LoopbackSocket& listener) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
        int audio = 0;
        while (std::chrono::steady_clock::now() < until) {
            Bytes d = listener.receive(100);
            if (!d.empty() && get_packet_header(d.data()).flags == PF_AUDIO) ++audio;
            if (audio % 20 == 0) send(listener, PF_KEEPALIVE, "stats");
        }
        return audio;
    }

    // Admitted, the listener sends its first keep-alive at once, as
    // listeners must (unless the join carried one already).
    Bytes join(LoopbackSocket& s, uint16_t flags = PF_TEXT, const std::string& text = "hello") {
        for (int attempt = 0; attempt < 40; ++attempt) {
            send(s, flags, text);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
            while (std::chrono::steady_clock::now() < deadline) {
                Bytes d = s.receive(50);
                if (d.size() < PACKET_HEADER_SIZE) continue;
                PacketHeader h = get_packet_header(d.data());
                if (h.flags & PF_TEXT && !(h.flags & PF_AUDIO)) {
                    auto parts = text_parts(d);
                    if (!parts.empty() && parts[0] == "STARTSEQ" && !(flags & PF_KEEPALIVE))
                        send(s, PF_KEEPALIVE, "stats");
                    if (!parts.empty() && (parts[0] == "STARTSEQ" || parts[0] == "Busy" ||
                                           parts[0] == "BUSY"))
                        return d;
                }
            }
        }
        return {};
    }

    // Audio datagrams that arrive until none has come for `quiet_ms`.
    int count_audio_until_quiet(LoopbackSocket& listener, int quiet_ms) {
        int audio = 0;
        for (;;) {
            Bytes d = listener.receive(quiet_ms);
            if (d.empty()) return audio;
            if (get_packet_header(d.data()).flags == PF_AUDIO) ++audio;
        }
    }
};

TEST_F(StationProcess, listener_hears_every_song_in_order_and_the_script_loops) {
    start_station();
    LoopbackSocket listener(test_ip(73).c_str());
    Bytes reply = join(listener);
    ASSERT_FALSE(reply.empty()) << read_file(dir.file("station.out"));
    auto parts = text_parts(reply);
    ASSERT_EQ(parts[0], "STARTSEQ");
    EXPECT_EQ(parts[1], "Test Station");
    PacketHeader joined = get_packet_header(reply.data());
    EXPECT_EQ(joined.flags, PF_TEXT | PF_RATE_44100 | PF_RATE_EXACT);

    // Two songs of 16 packets each, then entry 0 again: about 40 ticks.
    int probes = 0;
    std::map<uint32_t, Bytes> audio;
    auto first_audio = std::chrono::steady_clock::time_point{}, last_audio = first_audio;
    std::vector<std::pair<uint32_t, std::string>> song_texts;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < deadline && song_texts.size() < 4) {
        Bytes d = listener.receive(200);
        if (d.size() < PACKET_HEADER_SIZE) continue;
        PacketHeader h = get_packet_header(d.data());
        if (h.flags == PF_UPGRADE) ++probes;
        if (h.flags == PF_AUDIO) {
            EXPECT_EQ(h.session, joined.session);
            last_audio = std::chrono::steady_clock::now();
            if (audio.empty()) first_audio = last_audio;
            audio[h.seq] = Bytes(d.begin() + PACKET_HEADER_SIZE, d.end());
        }
        if (h.flags == PF_TEXT && text_parts(d)[0] == "SONGTEXT")
            song_texts.emplace_back(h.seq, text_parts(d)[1]);
        if (audio.size() % 20 == 0) send(listener, PF_KEEPALIVE, "stats");
    }
    EXPECT_EQ(probes, 9);
    // Paced at 2048 samples a tick: 46 ms at 44100 Hz (loosely: the machine may be busy).
    ASSERT_GE(audio.size(), 30u);
    double ms_per_tick = std::chrono::duration<double, std::milli>(last_audio - first_audio).count() /
                         static_cast<double>(audio.size() - 1);
    EXPECT_GT(ms_per_tick, 30.0);
    EXPECT_LT(ms_per_tick, 80.0);
    ASSERT_GE(song_texts.size(), 3u);
    // Every song starts on a super-block boundary, and the script loops.
    for (auto& [seq, text] : song_texts) EXPECT_EQ(seq % 8, 0u) << text;
    for (size_t i = 1; i < song_texts.size(); ++i)
        EXPECT_NE(song_texts[i].second, song_texts[i - 1].second) << "the script did not loop";
    // The packets of the second announced song carry its frames, in order.
    uint32_t start = song_texts[1].first;
    int song = song_texts[1].second == kSongTexts[0] ? 0 : 1;
    for (size_t i = 0; i < songs[song].frames.size(); ++i) {
        auto it = audio.find(start + static_cast<uint32_t>(i));
        ASSERT_NE(it, audio.end()) << "seq " << start + i;
        EXPECT_EQ(it->second, songs[song].frames[i]) << "frame " << i;
    }
    EXPECT_EQ(song_texts[2].first - song_texts[1].first, songs[song].frames.size());
}

TEST_F(StationProcess, second_listener_is_busy_and_a_companion_listener_gets_companion_frames) {
    start_station();
    LoopbackSocket first(test_ip(74).c_str()), second(test_ip(75).c_str());
    ASSERT_EQ(text_parts(join(first))[0], "STARTSEQ") << read_file(dir.file("station.out"));
    Bytes refused = join(second, PF_TEXT | PF_COMPANION);
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(text_parts(refused)[0], "Busy");

    size_t before_leave = read_file(dir.file("station.out")).size();
    send(first, PF_LEAVE, "", 0, 0, false);
    // The next status line counts nobody once the leave has freed the place.
    ASSERT_TRUE(wait_for_output("| listeners 0 - ", before_leave))
        << read_file(dir.file("station.out"));
    first.receive_all(100);
    ASSERT_EQ(text_parts(join(second, PF_TEXT | PF_COMPANION))[0], "STARTSEQ");
    int companion = 0, main = 0;
    for (int i = 0; i < 60; ++i) {
        Bytes d = second.receive(200);
        if (d.size() < PACKET_HEADER_SIZE) continue;
        uint16_t flags = get_packet_header(d.data()).flags;
        companion += flags == (PF_AUDIO | PF_COMPANION);
        main += flags == PF_AUDIO;
    }
    EXPECT_GT(companion, 10);
    EXPECT_EQ(main, 0);
    // The first listener left: nothing more reaches it.
    EXPECT_TRUE(first.receive_all(100).empty());
}

TEST_F(StationProcess, resend_request_returns_the_stored_packet_with_the_requested_session) {
    start_station();
    LoopbackSocket listener(test_ip(76).c_str());
    ASSERT_FALSE(join(listener).empty());
    std::map<uint32_t, Bytes> audio;
    while (audio.size() < 10) {
        Bytes d = listener.receive(500);
        ASSERT_FALSE(d.empty());
        if (get_packet_header(d.data()).flags == PF_AUDIO) audio[get_packet_header(d.data()).seq] = d;
    }
    uint32_t wanted = audio.begin()->first + 2;
    send(listener, PF_KEEPALIVE, "", wanted, 4242, false);
    bool resent = false;
    for (int i = 0; i < 40 && !resent; ++i) {
        Bytes d = listener.receive(200);
        if (d.size() < PACKET_HEADER_SIZE) continue;
        PacketHeader h = get_packet_header(d.data());
        if (h.flags == PF_AUDIO && h.seq == wanted && h.session == 4242) {
            resent = true;
            EXPECT_TRUE(std::equal(d.begin() + PACKET_HEADER_SIZE, d.end(),
                                   audio[wanted].begin() + PACKET_HEADER_SIZE));
        }
    }
    EXPECT_TRUE(resent);
}

TEST_F(StationProcess, silent_listener_is_dropped_after_125_ticks) {
    start_station();
    LoopbackSocket listener(test_ip(77).c_str());
    // Its keep-alive rides on the join, so both count from the same tick.
    ASSERT_FALSE(join(listener, PF_TEXT | PF_KEEPALIVE).empty());
    EXPECT_EQ(count_audio_until_quiet(listener, 1500), 125);
}

TEST_F(StationProcess, a_listener_never_heard_after_its_join_is_dropped_after_4_seconds) {
    start_station();
    LoopbackSocket listener(test_ip(82).c_str());
    Bytes reply;
    for (int attempt = 0; attempt < 20 && reply.empty(); ++attempt) {
        send(listener, PF_TEXT, "hello");  // and never a word after it
        reply = listener.receive(250);
    }
    ASSERT_FALSE(reply.empty()) << read_file(dir.file("station.out"));
    // 4 seconds are some 86 ticks of 46 ms; ageing alone would allow 125.
    int audio = count_audio_until_quiet(listener, 1500);
    EXPECT_GT(audio, 40);
    EXPECT_LT(audio, 125);
}

TEST_F(StationProcess, signal_stops_the_station_after_a_close_notice_to_the_master) {
    // The master listens on its fixed port on an address of its own.
    UdpSocket master_socket = udp_open();
    int fd = master_socket.fd();
    sockaddr_in master{};
    ipv4_from_dotted(master_ip.c_str(), 3456, &master);
    ASSERT_EQ(udp_bind(fd, master.sin_addr.s_addr, 3456), 0);
    start_station();
    uint8_t bytes[MAX_DATAGRAM];
    ASSERT_EQ(udp_wait_readable(fd, 5000), 1) << read_file(dir.file("station.out"));
    int n = udp_receive_from(fd, bytes, sizeof bytes, nullptr, nullptr);
    ASSERT_GE(n, PACKET_HEADER_SIZE);
    EXPECT_EQ(get_packet_header(bytes).flags, PF_PICTURE);  // the announce
    EXPECT_NE(std::string(reinterpret_cast<char*>(bytes) + PACKET_HEADER_SIZE).find("Test Station"),
              std::string::npos);

    EXPECT_EQ(stop_station(SIGTERM), 0);
    ASSERT_EQ(udp_wait_readable(fd, 1000), 1);
    n = udp_receive_from(fd, bytes, sizeof bytes, nullptr, nullptr);
    ASSERT_EQ(n, PACKET_HEADER_SIZE);
    EXPECT_EQ(get_packet_header(bytes).flags, PF_PICTURE | PF_LEAVE);  // the close notice
}

TEST_F(StationProcess, a_song_deleted_on_the_air_is_skipped_and_with_none_left_the_station_ends_with_status_1) {
    start_station();
    LoopbackSocket listener(test_ip(73).c_str());
    ASSERT_FALSE(join(listener).empty()) << read_file(dir.file("station.out"));
    ASSERT_EQ(remove(dir.file("two.VMA").c_str()), 0);
    // Two rounds of the script: "one" plays on, "two" is told once.
    const int audio = audio_heard_in_3_s(listener);
    EXPECT_GT(audio, 40);
    std::string out = read_file(dir.file("station.out"));
    size_t told = out.find("Cannot open file " + dir.file("two.VMA") + " (No such file or directory)");
    EXPECT_NE(told, std::string::npos) << out;
    EXPECT_EQ(out.find("Cannot open file", told + 1), std::string::npos) << out;  // once

    // No song left to play: the station ends by itself, as a failure.
    ASSERT_EQ(remove(dir.file("one.VMA").c_str()), 0);
    EXPECT_EQ(wait_for_exit(), 1) << read_file(dir.file("station.out"));
    EXPECT_NE(read_file(dir.file("station.out")).find("No song of the script can be played"),
              std::string::npos);
}

// A pipe in a song's place would hold the station in open(), deaf even to
// SIGTERM: it is skipped like any song that cannot be opened.
TEST_F(StationProcess, a_pipe_in_a_songs_place_is_skipped_and_the_broadcast_goes_on) {
    start_station();
    LoopbackSocket listener(test_ip(73).c_str());
    ASSERT_FALSE(join(listener).empty()) << read_file(dir.file("station.out"));
    ASSERT_EQ(remove(dir.file("two.VMA").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("two.VMA").c_str(), 0600), 0);
    const int audio = audio_heard_in_3_s(listener);
    EXPECT_GT(audio, 40);
    const std::string out = read_file(dir.file("station.out"));
    EXPECT_NE(out.find("Cannot open file " + dir.file("two.VMA") + " (it is not a regular file"),
              std::string::npos)
        << out;
    EXPECT_EQ(stop_station(SIGTERM), 0) << read_file(dir.file("station.out"));
}

TEST_F(StationProcess, an_address_already_in_use_ends_the_station_with_status_3) {
    UdpSocket taken_socket = udp_open();
    sockaddr_in taken = station_addr();
    ASSERT_EQ(udp_bind(taken_socket.fd(), taken.sin_addr.s_addr, kPort), 0);
    start_station();
    int status = -2;
    for (int i = 0; i < 100 && pid > 0; ++i) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            pid = -1;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    taken_socket.close();
    EXPECT_EQ(status, 3);
    EXPECT_NE(read_file(dir.file("station.out")).find(" port " + std::to_string(kPort) +
                                                       ": Address already in use"),
              std::string::npos)
        << read_file(dir.file("station.out"));
}

TEST_F(StationProcess, the_start_option_with_autostart_one_starts_the_broadcast_only_once) {
    start_station({"--start", "--status-interval", "1"});
    // Past the first few ticks, when a second start would have stopped it
    // again: the first status line comes a second after the start.
    ASSERT_TRUE(wait_for_output("BROADCASTING |")) << read_file(dir.file("station.out"));
    LoopbackSocket listener(test_ip(79).c_str());
    Bytes reply = join(listener);
    ASSERT_FALSE(reply.empty()) << read_file(dir.file("station.out"));
    EXPECT_EQ(text_parts(reply)[0], "STARTSEQ");
}

TEST_F(StationProcess, without_a_sound_card_a_live_feed_setting_plays_the_script) {
    write_settings("Mode=1\n");
    start_station();
    LoopbackSocket listener(test_ip(80).c_str());
    Bytes reply = join(listener);
    ASSERT_FALSE(reply.empty()) << read_file(dir.file("station.out"));
    EXPECT_EQ(text_parts(reply)[0], "STARTSEQ");
    bool audio = false;
    for (int i = 0; i < 20 && !audio; ++i) {
        Bytes d = listener.receive(200);
        audio = d.size() >= PACKET_HEADER_SIZE && get_packet_header(d.data()).flags == PF_AUDIO;
    }
    EXPECT_TRUE(audio);
    // The message is one line of the output.
    std::string out = read_file(dir.file("station.out"));
    EXPECT_NE(out.find("[Radio Velmora Broadcaster (tm)] No recording device found: live "
                       "broadcasting is off, and the station plays its script (Mode=1 asks for "
                       "live).\n"),
              std::string::npos)
        << out;
}

TEST_F(StationProcess, a_status_interval_that_is_no_number_of_seconds_is_refused) {
    for (const char* bad : {"abc", "-1", "5x", "3000000"}) {
        start_station({"--status-interval", bad});
        EXPECT_EQ(wait_for_exit(), 2) << bad;
        kill_station();  // should it run on after all
        EXPECT_NE(read_file(dir.file("station.out")).find("usage:"), std::string::npos) << bad;
    }
}

// Reads the samples of an 8-bit mono WAV written by velmora-listen.
Bytes wav_samples(const std::string& path) {
    std::string bytes = read_file(path);
    if (bytes.size() < 44) return {};
    return Bytes(bytes.begin() + 44, bytes.end());
}

// The station is on another port than 3456: it says that its station lists
// cannot tell listeners so, and velmora-listen is given HOST:PORT.
TEST_F(StationProcess, velmora_listen_writes_exactly_what_the_decoder_makes_of_the_broadcast) {
    start_station();
    std::string wav = dir.file("heard.wav");
    // Without edge smoothing, so the file holds the decoder's samples as they are.
    std::string command = std::string(VELMORA_BIN_DIR) + "/velmora-listen " + station_ip + ":" +
                          std::to_string(kPort) + " --bind " + test_ip(78) +
                          " --seconds 4 --no-smoothing --wav " + wav + " > " +
                          dir.file("listen.out") + " 2>&1";
    ASSERT_EQ(system(command.c_str()), 0) << read_file(dir.file("listen.out"));
    Bytes heard = wav_samples(wav);
    ASSERT_GE(heard.size(), 2u * kSuperBlockSamples) << read_file(dir.file("listen.out"));
    ASSERT_EQ(heard.size() % kSuperBlockSamples, 0u);

    // The script's super-blocks in playing order, round and round.
    std::vector<Bytes> cycle;
    for (const Song& s : songs) cycle.insert(cycle.end(), s.decoded_blocks.begin(), s.decoded_blocks.end());
    size_t blocks = heard.size() / kSuperBlockSamples;
    Bytes first(heard.begin(), heard.begin() + kSuperBlockSamples);
    size_t at = 0;
    while (at < cycle.size() && cycle[at] != first) ++at;
    ASSERT_LT(at, cycle.size()) << "the first block heard is no block of the script";
    for (size_t b = 0; b < blocks; ++b) {
        Bytes block(heard.begin() + b * kSuperBlockSamples, heard.begin() + (b + 1) * kSuperBlockSamples);
        EXPECT_EQ(block, cycle[(at + b) % cycle.size()]) << "block " << b;
    }
    const std::string said = read_file(dir.file("station.out"));
    EXPECT_NE(said.find("The station uses port " + std::to_string(kPort) + ": its station lists (" +
                        station_list_file_name(ntohl(station_addr().sin_addr.s_addr)) +
                        ", listen.vsl) carry no port"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Give listeners the address with its port: " + station_ip + ":" +
                        std::to_string(kPort)),
              std::string::npos)
        << said;
    // The list keeps the form other listener programs read: address, a blank, the name.
    EXPECT_EQ(read_file(dir.file("listen.vsl")).rfind("127.", 0), 0u);
}

}  // namespace
