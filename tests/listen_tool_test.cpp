// velmora-listen against a station played by the test: the test decides
// which packets get lost and which resend requests it answers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_state.h"
#include "codec/decoder.h"
#include "codec/edge_smoothing.h"
#include "codec/encoder.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

constexpr int kRate = 22050;
constexpr uint32_t kSession = 1234567;
constexpr int kFrames = 24;  // three super-blocks

class ListenToolTest : public ::testing::Test {
protected:
    TempDir dir;
    UdpSocket station_socket;
    int station = -1;
    sockaddr_in station_addr{};
    pid_t pid = -1;
    std::vector<std::vector<uint8_t>> frames;  // coded frames by seq
    std::vector<uint8_t> expected;             // what a listener decodes, in time order
    std::vector<float> chunk_steps;            // the quantiser step of each chunk's frame

    void SetUp() override {
        station_socket = udp_open();
        station = station_socket.fd();
        ASSERT_TRUE(ipv4_from_dotted(test_ip(81).c_str(), 0, &station_addr));
        ASSERT_EQ(udp_bind(station, station_addr.sin_addr.s_addr, 0), 0);
        udp_local_address(station, &station_addr);

        CodecState codec;
        set_rate(codec, kRate, 4000);
        for (int b = 0; b < kFrames / 8; ++b) {
            static uint8_t block[kSuperBlockSamples], split[8][kFrameSamples], decoded[8][kFrameSamples];
            for (int i = 0; i < kSuperBlockSamples; ++i)
                block[i] = static_cast<uint8_t>(128 + ((i / (20 + 7 * b)) % 2 ? 30 : -30));
            interleave_super_block(block, split);
            for (int n = 0; n < 8; ++n) {
                uint8_t out[6200];
                int length = encode_frame(codec, split[n], out);
                frames.emplace_back(out, out + length);
                decode_frame(out, length, decoded[n]);
            }
            deinterleave_super_block(decoded, block);
            expected.insert(expected.end(), block, block + kSuperBlockSamples);
            for (int c = 0; c < kSuperBlockSamples / kChunkSamples; ++c)
                chunk_steps.push_back(frame_sample_step(frames[size_t(b * 8 + c % 8)].data(),
                                                        int(frames[size_t(b * 8 + c % 8)].size())));
        }
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void start_listener(double seconds, std::vector<std::string> extra = {}) {
        // Everything is worked out before the fork: the child has another pid.
        std::string exe = std::string(VELMORA_BIN_DIR) + "/velmora-listen";
        std::vector<std::string> arguments = {exe,      test_ip(81), "--port", std::to_string(ntohs(station_addr.sin_port)),
                                              "--bind", test_ip(82), "--seconds", std::to_string(seconds),
                                              "--wav",  dir.file("heard.wav")};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string output = dir.file("listen.out");
        pid = fork();
        if (pid == 0) {
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }

    int wait_listener() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The next datagram from the listener, with its address.
    bool receive(PacketHeader& header, std::vector<uint8_t>& payload, sockaddr_in& from,
                 int timeout_ms) {
        if (udp_wait_readable(station, timeout_ms) != 1) return false;
        uint8_t bytes[MAX_DATAGRAM];
        int from_len = sizeof from;
        int n = udp_receive_from(station, bytes, sizeof bytes, &from, &from_len);
        if (n < PACKET_HEADER_SIZE) return false;
        header = get_packet_header(bytes);
        payload.assign(bytes + PACKET_HEADER_SIZE, bytes + n);
        return true;
    }

    // Waits for the listener's join and answers it with `reply` (a built
    // datagram); returns the listener's address.
    sockaddr_in answer_join(const uint8_t* reply, int size) {
        PacketHeader h;
        std::vector<uint8_t> payload;
        sockaddr_in listener{};
        EXPECT_TRUE(receive(h, payload, listener, 3000)) << read_file(dir.file("listen.out"));
        EXPECT_EQ(h.flags, PF_TEXT);
        udp_send_to(station, reply, size, 0, &listener, sizeof listener);
        return listener;
    }

    void send_audio(const sockaddr_in& to, uint32_t seq, uint32_t session) {
        uint8_t bytes[MAX_DATAGRAM];
        int size = build_audio(bytes, seq, session, frames[seq].data(),
                               static_cast<int>(frames[seq].size()), false);
        udp_send_to(station, bytes, size, 0, &to, sizeof to);
    }
};

TEST_F(ListenToolTest, lost_packets_are_asked_for_again_and_the_rest_decodes_in_time_order) {
    start_listener(2.5);
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener = answer_join(
        bytes, build_join_accepted(bytes, 4, kSession, kRate, "Test Station", "A Song"));
    PacketHeader h;
    std::vector<uint8_t> payload;

    // Packets 5 and 13 get lost on the way; only 5 is still in our store.
    for (uint32_t seq = 0; seq < kFrames; ++seq)
        if (seq != 5 && seq != 13) send_audio(listener, seq, kSession);

    std::vector<uint32_t> asked;
    bool left = false, kept_alive = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!left && std::chrono::steady_clock::now() < deadline) {
        if (!receive(h, payload, listener, 200)) continue;
        if (h.flags == PF_KEEPALIVE && h.length == 0) {
            EXPECT_EQ(h.session, kSession);
            asked.push_back(h.seq);
            if (h.seq == 5) send_audio(listener, 5, kSession);
        }
        kept_alive |= h.flags == PF_KEEPALIVE && h.length > 0;
        left |= h.flags == PF_LEAVE;
    }
    EXPECT_TRUE(left);
    EXPECT_TRUE(kept_alive);
    EXPECT_NE(std::find(asked.begin(), asked.end(), 5u), asked.end());
    EXPECT_NE(std::find(asked.begin(), asked.end(), 13u), asked.end());
    EXPECT_EQ(wait_listener(), 0);

    std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("joined \"Test Station\" at 22050 Hz"), std::string::npos) << out;
    EXPECT_NE(out.find("gaps 2, recovered 1, lost 1"), std::string::npos) << out;

    // The lost packet is silence in every eighth chunk of its super-block;
    // everything else is what the decoder makes of the frames, with the
    // chunk edges smoothed except where they meet a lost chunk.
    std::string wav = read_file(dir.file("heard.wav"));
    ASSERT_EQ(wav.size(), 44 + expected.size());
    std::vector<uint8_t> heard(wav.begin() + 44, wav.end());
    std::vector<uint8_t> want = expected;
    for (size_t c = 0; c < chunk_steps.size(); ++c) {
        if (c / 64 == 1 && c % 8 == 13 % 8) {
            chunk_steps[c] = 0;
            std::fill(want.begin() + long(c * 256), want.begin() + long(c * 256 + 256), uint8_t(128));
        }
    }
    const std::vector<uint8_t> unsmoothed = want;
    smooth_chunk_edges(want.data(), want.size(), chunk_steps.data());
    ASSERT_NE(want, unsmoothed);  // the smoothing has something to do here
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(heard[i], want[i]) << "sample " << i;
}

// Also: --no-smoothing gives the decoder's samples as they are.
TEST_F(ListenToolTest, a_stray_far_away_seq_is_neither_a_gap_nor_hours_of_silence) {
    start_listener(1.5, {"--no-smoothing"});
    uint8_t bytes[MAX_DATAGRAM];
    int size = build_join_accepted(bytes, 4, kSession, kRate, "Test Station", "");
    sockaddr_in listener = answer_join(bytes, size);
    for (uint32_t seq = 0; seq < 16; ++seq) send_audio(listener, seq, kSession);
    size = build_audio(bytes, 3'000'000'000u, kSession, frames[0].data(),
                       static_cast<int>(frames[0].size()), false);
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    EXPECT_EQ(wait_listener(), 0);
    std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("gaps 0, recovered 0, lost 0"), std::string::npos) << out;
    std::string wav = read_file(dir.file("heard.wav"));
    ASSERT_EQ(wav.size(), 44u + 2 * kSuperBlockSamples);
    std::vector<uint8_t> heard(wav.begin() + 44, wav.end());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), expected.begin()));
}

TEST_F(ListenToolTest, a_keep_alive_follows_startseq_at_once_and_silence_brings_a_new_join) {
    start_listener(4.5);
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener = answer_join(
        bytes, build_join_accepted(bytes, 4, kSession, kRate, "Test Station", ""));
    PacketHeader h;
    std::vector<uint8_t> payload;
    // Before any audio: a station keeps only listeners it hears from.
    ASSERT_TRUE(receive(h, payload, listener, 1000));
    EXPECT_EQ(h.flags, PF_KEEPALIVE);
    EXPECT_GT(h.length, 0);
    EXPECT_EQ(h.session, kSession);

    for (uint32_t seq = 0; seq < 8; ++seq) send_audio(listener, seq, kSession);
    auto stopped = std::chrono::steady_clock::now();
    bool joined_again = false;
    while (!joined_again && std::chrono::steady_clock::now() - stopped < std::chrono::seconds(5)) {
        if (!receive(h, payload, listener, 200)) continue;
        joined_again = h.flags == PF_TEXT;
        if (!joined_again) {
            EXPECT_EQ(h.flags, PF_KEEPALIVE);
        }
    }
    ASSERT_TRUE(joined_again) << read_file(dir.file("listen.out"));
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(2500));

    // Admitted again, it listens on with its new session.
    int size = build_join_accepted(bytes, 12, kSession + 1, kRate, "Test Station", "");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    ASSERT_TRUE(receive(h, payload, listener, 1000));
    EXPECT_EQ(h.flags, PF_KEEPALIVE);
    EXPECT_EQ(h.session, kSession + 1);
    for (uint32_t seq = 8; seq < kFrames; ++seq) send_audio(listener, seq, kSession + 1);
    EXPECT_EQ(wait_listener(), 0);
    std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("no audio for 3 seconds: joining again\njoined \"Test Station\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("packets 24, probes 0, gaps 0"), std::string::npos) << out;
}

TEST_F(ListenToolTest, a_busy_station_ends_the_listener_with_a_refusal) {
    start_listener(5);
    uint8_t bytes[MAX_DATAGRAM];
    answer_join(bytes, build_busy(bytes, 8));
    EXPECT_EQ(wait_listener(), 3);
    EXPECT_NE(read_file(dir.file("listen.out")).find("refused: Busy"), std::string::npos);
}

// A picture as the station keeps it (prepared at quality 2), the payloads
// it sends for its tiles, and what a listener makes of them.
struct ServedPicture {
    SyntheticPicture picture;
    int columns = 0, rows = 0;
    std::vector<std::vector<uint8_t>> payloads;  // by row * columns + column
    std::vector<uint8_t> decoded;                // the whole grid, rows as stored

    explicit ServedPicture(SyntheticPicture p) : picture(std::move(p)) {
        columns = picture.width / 32;
        rows = picture.height / 32;
        EXPECT_EQ(prepare_picture(picture.pixels.data(), picture.pixels.size(), picture.width,
                                  picture.height, picture.row_stride, 2, nullptr),
                  1);
        CodecState codec;
        decoded.assign(static_cast<size_t>(picture.width) * picture.height * 3, 0);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) {
                std::vector<uint8_t> payload(PICTURE_PAYLOAD_MAX_BYTES);
                payload.resize(encode_picture_tile(codec, copy_tile(picture, c, r).data(), 2, payload.data()));
                uint8_t tile[PICTURE_TILE_BYTES];
                EXPECT_EQ(decode_picture_tile(payload.data(), static_cast<int>(payload.size()), tile), 1);
                for (int y = 0; y < 32; ++y)
                    memcpy(&decoded[(static_cast<size_t>(r * 32 + y) * picture.width + c * 32) * 3], tile + y * 96, 96);
                payloads.push_back(std::move(payload));
            }
    }
};

struct ListenPictureTest : ListenToolTest {
    int forged_flood_of_huge_pictures(bool* left);
    // The picture shown when the listener joins, then the one a notice announces.
    const ServedPicture shown[2] = {ServedPicture(make_photo_picture(64, 32, 5)),
                                    ServedPicture(make_gradient_picture(32, 32))};

    // Plays the station for a listener started with --pictures: admits it,
    // answers its picture requests from shown[0] and, once both its tiles are
    // out, announces shown[1] and serves that. Returns when the listener leaves.
    void serve_pictures() {
        PacketHeader h;
        std::vector<uint8_t> payload;
        sockaddr_in listener{};
        ASSERT_TRUE(receive(h, payload, listener, 3000)) << read_file(dir.file("listen.out"));
        uint8_t bytes[MAX_DATAGRAM];
        int size = build_join_accepted(bytes, 4, kSession, kRate, "Test Station", "A Song");
        udp_send_to(station, bytes, size, 0, &listener, sizeof listener);

        auto reply = [&](const std::string& text, const std::vector<uint8_t>& tile) {
            int n = build_picture_reply(bytes, 0, kSession, text.c_str(), tile.data(), static_cast<int>(tile.size()));
            udp_send_to(station, bytes, n, 0, &listener, sizeof listener);
        };
        int current = 0;
        std::vector<bool> served(2, false);
        bool left = false, sent_bogus = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!left && std::chrono::steady_clock::now() < deadline) {
            if (!receive(h, payload, listener, 200)) continue;
            left |= h.flags == PF_LEAVE;
            if (h.flags != (PF_TEXT | PF_PICTURE)) continue;
            EXPECT_EQ(h.session, kSession);
            std::string request(payload.begin(), payload.end());
            request = request.c_str();  // up to the NUL
            const ServedPicture& picture = shown[current];
            int column = 0, row = 0;
            if (request == "GETPAL") {
                char text[16];
                snprintf(text, sizeof text, "BMPPAL%03d%03d", picture.columns, picture.rows);
                reply(text, {});
            } else if (sscanf(request.c_str(), "GETBMPXY%3d%3d", &column, &row) == 2 &&
                       column < picture.columns && row < picture.rows) {
                if (!sent_bogus) {
                    // A damaged reply with a negative column: it must be
                    // dropped, not stored beside the real tiles.
                    reply("BMPXY-01000", picture.payloads[0]);
                    sent_bogus = true;
                }
                char text[16];
                snprintf(text, sizeof text, "BMPXY%03d%03d", column, row);
                reply(text, picture.payloads[static_cast<size_t>(row * picture.columns + column)]);
                if (current == 0) {
                    served[static_cast<size_t>(row * picture.columns + column)] = true;
                    if (served[0] && served[1]) {
                        current = 1;
                        size = build_picture_notice(bytes, 0, kSession, shown[1].columns, shown[1].rows);
                        udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
                    }
                }
            }
        }
        EXPECT_TRUE(left);
    }
};

TEST_F(ListenPictureTest, pictures_are_fetched_tile_by_tile_and_saved_as_bmp) {
    start_listener(2.5, {"--pictures", dir.path()});
    serve_pictures();
    EXPECT_EQ(wait_listener(), 0);
    std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("picture: 1 x 1 tiles"), std::string::npos) << out;
    EXPECT_NE(out.find("pictures 2"), std::string::npos) << out;

    for (int i = 0; i < 2; ++i) {
        const std::string bmp = read_file(dir.file(i == 0 ? "picture_01.bmp" : "picture_02.bmp"));
        const SyntheticPicture& p = shown[i].picture;
        ASSERT_EQ(bmp.size(), 54 + shown[i].decoded.size()) << out;
        EXPECT_EQ(bmp.substr(0, 2), "BM");
        EXPECT_EQ(static_cast<uint8_t>(bmp[18]) | static_cast<uint8_t>(bmp[19]) << 8, p.width);
        EXPECT_EQ(static_cast<uint8_t>(bmp[22]) | static_cast<uint8_t>(bmp[23]) << 8, p.height);
        EXPECT_EQ(bmp[28], 24);
        EXPECT_EQ(std::vector<uint8_t>(bmp.begin() + 54, bmp.end()), shown[i].decoded) << "picture " << i + 1;
    }
}

TEST_F(ListenPictureTest, a_missing_picture_folder_is_made_and_one_that_cannot_be_fails_before_joining) {
    start_listener(2.5, {"--pictures", dir.file("new/pictures")});
    serve_pictures();
    EXPECT_EQ(wait_listener(), 0);
    std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("pictures 2"), std::string::npos) << out;
    EXPECT_EQ(read_file(dir.file("new/pictures/picture_02.bmp")).size(), 54 + shown[1].decoded.size());

    // Beneath a plain file no folder can be made: status 1, and no join.
    write_file(dir.file("plain"), "not a folder");
    start_listener(2.5, {"--pictures", dir.file("plain/pictures")});
    EXPECT_EQ(wait_listener(), 1);
    out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("cannot make the picture folder " + dir.file("plain/pictures") + ": Not a directory"),
              std::string::npos)
        << out;
    PacketHeader h;
    std::vector<uint8_t> payload;
    sockaddr_in from{};
    EXPECT_FALSE(receive(h, payload, from, 300));
}

// A forged station: each tile it serves comes with the notice of a new
// 64 x 64 tile picture (2048 pixels square, 12.6 MB as BMP), so every few
// milliseconds another huge picture is finished. Returns the notices sent;
// false in `left` when the listener did not leave.
int ListenPictureTest::forged_flood_of_huge_pictures(bool* left) {
    PacketHeader h;
    std::vector<uint8_t> payload;
    sockaddr_in listener{};
    *left = false;
    if (!receive(h, payload, listener, 3000)) return 0;
    uint8_t bytes[MAX_DATAGRAM];
    int size = build_join_accepted(bytes, 4, kSession, kRate, "Forged Station", "");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    int notices = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!*left && std::chrono::steady_clock::now() < deadline) {
        if (!receive(h, payload, listener, 200)) continue;
        *left |= h.flags == PF_LEAVE;
        if (h.flags != (PF_TEXT | PF_PICTURE)) continue;
        const std::string request = reinterpret_cast<const char*>(payload.data());
        if (request == "GETPAL") {
            size = build_picture_reply(bytes, 0, kSession, "BMPPAL064064", nullptr, 0);
            udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
        } else if (request == "GETBMPXY000000") {
            const std::vector<uint8_t>& tile = shown[1].payloads[0];
            size = build_picture_reply(bytes, 0, kSession, "BMPXY000000", tile.data(),
                                       static_cast<int>(tile.size()));
            udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
            size = build_picture_notice(bytes, 0, kSession, 64, 64);
            udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
            ++notices;
        }
    }
    return notices;
}

// The run saves a few and then no more, whatever the station sends.
TEST_F(ListenPictureTest, a_forged_flood_of_huge_pictures_stays_within_the_runs_budget) {
    start_listener(3, {"--pictures", dir.file("pictures")});
    bool left = false;
    const int notices = forged_flood_of_huge_pictures(&left);
    EXPECT_TRUE(left);
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    uintmax_t saved = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir.file("pictures")))
        saved += file.file_size();
    EXPECT_GT(notices, 8) << out;
    EXPECT_GE(saved, 12u << 20) << out;
    EXPECT_LE(saved, 64u << 20) << out;
    EXPECT_NE(out.find("no more are saved in this run"), std::string::npos) << out;
}

// The same flood into a folder on a full disk: the first picture that
// cannot be written is told, no more are tried, and the run fails.
TEST_F(ListenPictureTest, a_picture_that_cannot_be_written_is_told_once_and_fails_the_run) {
    const std::string pictures = dir.file("pictures");
    std::filesystem::create_directory(pictures);
    if (mount("tmpfs", pictures.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{pictures};
    start_listener(3, {"--pictures", pictures});
    bool left = false;
    EXPECT_GT(forged_flood_of_huge_pictures(&left), 8);
    EXPECT_TRUE(left);
    EXPECT_EQ(wait_listener(), 1);
    const std::string out = read_file(dir.file("listen.out"));
    int told = 0;
    for (size_t at = out.find("cannot write "); at != std::string::npos;
         at = out.find("cannot write ", at + 1))
        ++told;
    EXPECT_EQ(told, 1) << out.substr(0, 3000);
    EXPECT_NE(out.find("No space left on device: no more pictures are saved in this run"),
              std::string::npos)
        << out.substr(0, 3000);
}

// A forged station whose seq leaps 128 ahead with every datagram: no hours
// of silence in the WAV and no flood of resend requests. Where the stream
// goes on evenly again, the listener follows it.
TEST_F(ListenToolTest,
       forged_seq_leaps_neither_fill_the_wav_with_silence_nor_flood_resend_requests) {
    start_listener(2.5, {"--no-smoothing"});
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Forged Station", ""));
    auto send_frame = [&](uint32_t seq, size_t frame) {
        int size = build_audio(bytes, seq, kSession, frames[frame].data(),
                               static_cast<int>(frames[frame].size()), false);
        udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    };
    for (uint32_t seq = 0; seq < 16; ++seq) send_frame(seq, seq);
    uint32_t seq = 16;
    for (int i = 0; i < 60; ++i, seq += 128) send_frame(seq, size_t(i) % kFrames);
    const uint32_t again = seq + 4096;
    for (uint32_t n = 0; n < 16; ++n) send_frame(again + n, n);

    PacketHeader h;
    std::vector<uint8_t> payload;
    int resend_requests = 0;
    bool left = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!left && std::chrono::steady_clock::now() < deadline) {
        if (!receive(h, payload, listener, 200)) continue;
        resend_requests += h.flags == PF_KEEPALIVE && h.length == 0;
        left |= h.flags == PF_LEAVE;
    }
    EXPECT_TRUE(left);
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    EXPECT_LE(resend_requests, 16) << out;
    // The two blocks before the leaps, and the one after the stream went on
    // evenly (the block it went on inside is left out, as on a join).
    const std::string wav = read_file(dir.file("heard.wav"));
    ASSERT_EQ(wav.size(), 44u + 3 * kSuperBlockSamples) << out;
    const std::vector<uint8_t> heard(wav.begin() + 44, wav.end());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end() - kSuperBlockSamples, expected.begin()));
    EXPECT_TRUE(std::equal(heard.end() - kSuperBlockSamples, heard.end(),
                           expected.begin() + kSuperBlockSamples));
}

// Datagrams from the station's address but another port (another program
// there, or a forger sharing the host) are not the station's.
TEST_F(ListenToolTest, only_datagrams_from_the_stations_port_are_heard) {
    start_listener(1.5);
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener = answer_join(
        bytes, build_join_accepted(bytes, 4, kSession, kRate, "Test Station", "First Song"));
    LoopbackSocket other(test_ip(81).c_str());
    int size = build_song_text(bytes, 4, kSession, "Forged Song");
    udp_send_to(other.fd(), bytes, size, 0, &listener, sizeof listener);
    size = build_song_text(bytes, 4, kSession, "Second Song");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("now playing: First Song\n"), std::string::npos) << out;
    EXPECT_NE(out.find("song: Second Song\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Forged"), std::string::npos) << out;
}

// Escape sequences in a station's texts would retitle the terminal (OSC
// ... BEL) or move the cursor to forge lines: they are printed visibly.
TEST_F(ListenToolTest, control_characters_in_station_texts_reach_the_terminal_escaped) {
    start_listener(1.5);
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Evil\x1b]0;owned\x07",
                                               "\x1b[1Asummary: 0"));
    int size = build_song_text(bytes, 4, kSession,
                               "tab\there, back\\slash, C1 \xc2\x9b"
                               "31m, caf\xc3\xa9");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    for (char control : {'\x1b', '\x07', '\t', '\r'})
        EXPECT_EQ(out.find(control), std::string::npos) << out;
    EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos) << out;
    EXPECT_NE(out.find("joined \"Evil\\x1B]0;owned\\x07\""), std::string::npos) << out;
    EXPECT_NE(out.find("now playing: \\x1B[1Asummary: 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("song: tab\\x09here, back\\\\slash, C1 \\x9B31m, caf\xc3\xa9\n"),
              std::string::npos)
        << out;
}

// A station that restarts at 8000 Hz after 22050 Hz: what came at each rate
// is in a WAV file of its own, each with its rate in the header.
TEST_F(ListenToolTest, a_station_restarting_at_another_rate_goes_on_in_a_new_wav_at_that_rate) {
    start_listener(2, {"--no-smoothing"});
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Test Station", ""));
    for (uint32_t seq = 0; seq < 16; ++seq) send_audio(listener, seq, kSession);
    // Restarted, its counter begins afresh near where the old one was.
    int size = build_join_accepted(bytes, 4, kSession + 1, 8000, "Test Station", "");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    for (uint32_t seq = 0; seq < 8; ++seq) send_audio(listener, seq, kSession + 1);
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    auto rate = [](const std::string& wav) {
        return wav.size() < 44 ? 0
                               : static_cast<uint8_t>(wav[24]) | static_cast<uint8_t>(wav[25]) << 8;
    };
    const std::string first = read_file(dir.file("heard.wav")),
                      second = read_file(dir.file("heard-2.wav"));
    EXPECT_EQ(rate(first), kRate) << out;
    EXPECT_EQ(first.size(), 44u + 2 * kSuperBlockSamples) << out;
    EXPECT_EQ(rate(second), 8000) << out;
    ASSERT_EQ(second.size(), 44u + kSuperBlockSamples) << out;
    const std::vector<uint8_t> heard(second.begin() + 44, second.end());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), expected.begin()));
    EXPECT_NE(out.find("wrote " + dir.file("heard.wav") + ": 32768 samples at 22050 Hz"),
              std::string::npos)
        << out;
}

// A forged station sending thousands of song texts a second: a listener
// whose lines go to a log prints at most 20 of them a second and says how
// many it held back, so the log cannot fill the disk.
TEST_F(ListenToolTest, a_flood_of_song_texts_prints_at_most_20_lines_a_second) {
    start_listener(2);
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Forged Station", ""));
    const std::string long_text(700, 'x');
    for (int i = 0; i < 3000; ++i) {
        int size = build_song_text(bytes, 4, kSession, (std::to_string(i) + long_text).c_str());
        udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    }
    EXPECT_EQ(wait_listener(), 0);
    const std::string out = read_file(dir.file("listen.out"));
    int songs = 0;
    for (size_t at = out.find("song: "); at != std::string::npos; at = out.find("song: ", at + 1))
        ++songs;
    EXPECT_GE(songs, 10) << out.substr(0, 2000);
    EXPECT_LE(songs, 3 * 20) << out.substr(0, 2000);
    EXPECT_NE(out.find("more lines of what the station sent were not printed)"), std::string::npos)
        << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
}

// A forged station that restarts at another rate again and again: a rate
// change before any audio leaves no empty file, and a run begins at most
// 100 WAV files, then ends saying why, rather than filling the folder.
TEST_F(ListenToolTest, a_station_changing_its_rate_without_end_gets_at_most_100_wav_files) {
    start_listener(30, {"--no-smoothing"});
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Forged Station", ""));
    // Each restart waits for the listener's keep-alive, which answers it at
    // once, then for the file it finished, if any.
    auto restart = [&](uint32_t session, int rate, const std::string& finished) {
        int size = build_join_accepted(bytes, 4, session, rate, "Forged Station", "");
        udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
        PacketHeader h;
        std::vector<uint8_t> payload;
        sockaddr_in from{};
        bool answered = false;
        // Generous bounds: a loaded machine may hold the listener for seconds.
        while (!answered && receive(h, payload, from, 10000))
            answered = h.flags == PF_KEEPALIVE && h.length == 16;
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             answered && !finished.empty() && !std::filesystem::exists(dir.file(finished));
             std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            if (std::chrono::steady_clock::now() > deadline) return false;
        return answered;
    };
    uint32_t session = kSession;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(restart(++session, i % 2 ? kRate : 8000, ""));
    for (int i = 0; i < 120; ++i) {
        const std::string finished =
            i == 0 ? "" : i == 1 ? "heard.wav" : "heard-" + std::to_string(i) + ".wav";
        if (!restart(++session, i % 2 ? kRate : 8000, finished)) break;
        for (uint32_t seq = 0; seq < 8; ++seq) send_audio(listener, seq, session);
    }
    EXPECT_EQ(wait_listener(), 1);
    const std::string out = read_file(dir.file("listen.out"));
    int files = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = file.path().filename().string();
        if (name.rfind("heard", 0) != 0) continue;
        ++files;
        EXPECT_GT(file.file_size(), 44u) << name;
    }
    EXPECT_EQ(files, 100) << out;
    EXPECT_NE(out.find("cannot write " + dir.file("heard-101.wav") +
                       ": this run already wrote 100 WAV files"),
              std::string::npos)
        << out;
}

// What a listener killed while saving a picture left (picture_07.bmp.tmp...)
// is cleared by the next; other files stay. The WAV reaches the disk as the
// audio comes, not only at the end (a long run holds no hours of samples).
TEST_F(ListenToolTest,
       a_killed_listeners_leftovers_are_cleared_and_the_wav_is_written_as_it_comes) {
    const std::string pictures = dir.file("pictures");
    std::filesystem::create_directory(pictures);
    const std::string leftover = pictures + "/picture_07.bmp.tmpab12cd",
                      other = pictures + "/holiday.bmp.tmpab12cd";
    for (const std::string& path : {leftover, other}) {
        write_file(path, "half a picture");
        std::filesystem::last_write_time(
            path, std::filesystem::last_write_time(path) - std::chrono::minutes(1));
    }
    start_listener(3, {"--pictures", pictures, "--no-smoothing"});
    uint8_t bytes[MAX_DATAGRAM];
    sockaddr_in listener =
        answer_join(bytes, build_join_accepted(bytes, 4, kSession, kRate, "Test Station", ""));
    for (uint32_t seq = 0; seq < 16; ++seq) send_audio(listener, seq, kSession);
    // While it listens, the decoded blocks are already in the file being written.
    uintmax_t written = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
         written < 44 + kSuperBlockSamples && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const auto& file : std::filesystem::directory_iterator(dir.path()))
            if (file.path().filename().string().rfind("heard.wav.tmp", 0) == 0)
                written = file.file_size();
    }
    EXPECT_GE(written, 44u + kSuperBlockSamples);
    EXPECT_EQ(wait_listener(), 0);
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_EQ(read_file(dir.file("heard.wav")).size(), 44u + 2 * kSuperBlockSamples);
}

TEST(ListenToolUsage, bad_command_lines_are_refused_with_status_2) {
    std::string exe = std::string(VELMORA_BIN_DIR) + "/velmora-listen";
    for (const char* arguments :
         {"", " 127.0.0.1 --port 0", " 127.0.0.1 --bogus", " 127.0.0.1 --bind 10.1", " 127.0.0.1:0",
          " 127.0.0.1:99999", " 127.0.0.1:3456 --port 3457"})
        EXPECT_EQ(WEXITSTATUS(system((exe + arguments + " > /dev/null 2>&1").c_str())), 2) << arguments;
}

// Stations elsewhere, in a network namespace of the test's own: 10.1.2.3 is
// an address of its loopback, and no name server can be reached.
TEST(ListenToolReach, stations_are_reached_by_any_address_or_host_name) {
    if (system("unshare -n true 2> /dev/null") != 0) GTEST_SKIP() << "no network namespace can be made here";
    TempDir dir;
    std::string exe = std::string(VELMORA_BIN_DIR) + "/velmora-listen";
    // Each case: where a one-datagram station listens, what the listener is
    // given, and the join's source address the station must see ("" when no
    // join may be sent).
    struct Case {
        const char* station;
        const char* host;
        const char* from;
        const char* message;
    } cases[] = {
        {"10.1.2.3", "10.1.2.3", "10.1.2.3", "no station answered"},
        {"127.0.0.1", "localhost", "127.0.0.1", "no station answered"},
        {"127.0.0.1", "no-such-host.invalid", "", "cannot find the station no-such-host.invalid"},
    };
    for (const Case& c : cases) {
        std::string seen = dir.file("seen"), said = dir.file("said");
        std::string station = "python3 -c \"import socket\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                              "s.bind(('" + std::string(c.station) + "',3456))\ns.settimeout(4)\n"
                              "print(s.recvfrom(2000)[1][0])\" > " + seen + " 2>&1 &\n";
        std::string script = dir.file("reach.sh");
        write_file(script, "ip link set lo up && ip addr add 10.1.2.3/32 dev lo || exit 1\n" + station +
                               "sleep 0.5\n" + exe + " " + c.host + " --seconds 1 > " + said +
                               " 2>&1\necho $? >> " + said + "\nwait\n");
        ASSERT_EQ(system(("unshare -n sh " + script).c_str()), 0) << read_file(script);
        std::string heard = read_file(seen), told = read_file(said);
        EXPECT_NE(told.find(c.message), std::string::npos) << c.host << ": " << told;
        EXPECT_EQ(told.substr(told.size() - 2), "1\n") << c.host << ": " << told;
        if (*c.from) EXPECT_EQ(heard, std::string(c.from) + "\n") << c.host;
        else EXPECT_NE(heard.find("timed out"), std::string::npos) << c.host << ": " << heard;
    }
}

}  // namespace
