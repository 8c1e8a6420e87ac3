// velmora-listen against a station played by the test: the test decides
// which packets get lost and which resend requests it answers.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include "codec/codec_state.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/udp_socket.h"
#include "server/packet.h"
#include "support/temp_dir.h"

namespace {

constexpr int kRate = 22050;
constexpr uint32_t kSession = 1234567;
constexpr int kFrames = 24;  // three super-blocks

std::string own_ip(int role) {
    unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(role) + "." + std::to_string((pid >> 8) & 0xFF) + "." +
           std::to_string(pid & 0xFF);
}

class ListenToolTest : public ::testing::Test {
protected:
    TempDir dir;
    int station = -1;
    sockaddr_in station_addr{};
    pid_t pid = -1;
    std::vector<std::vector<uint8_t>> frames;  // coded frames by seq
    std::vector<uint8_t> expected;             // what a listener decodes, in time order

    void SetUp() override {
        station = udp_open();
        ASSERT_TRUE(ipv4_from_dotted(own_ip(81).c_str(), 0, &station_addr));
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
        }
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        udp_close(station);
    }

    void start_listener(double seconds) {
        // Everything is worked out before the fork: the child has another pid.
        std::string exe = std::string(VELMORA_BIN_DIR) + "/velmora-listen";
        std::string port = std::to_string(ntohs(station_addr.sin_port));
        std::string wav = dir.file("heard.wav");
        std::string station_ip = own_ip(81), bind = own_ip(82);
        std::string secs = std::to_string(seconds);
        std::string output = dir.file("listen.out");
        pid = fork();
        if (pid == 0) {
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            execl(exe.c_str(), exe.c_str(), station_ip.c_str(), "--port", port.c_str(), "--bind",
                  bind.c_str(), "--seconds", secs.c_str(), "--wav", wav.c_str(),
                  static_cast<char*>(nullptr));
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

    void send_audio(const sockaddr_in& to, uint32_t seq, uint32_t session) {
        uint8_t bytes[MAX_DATAGRAM];
        int size = build_audio(bytes, seq, session, frames[seq].data(),
                               static_cast<int>(frames[seq].size()), false);
        udp_send_to(station, bytes, size, 0, &to, sizeof to);
    }
};

TEST_F(ListenToolTest, lost_packets_are_asked_for_again_and_the_rest_decodes_in_time_order) {
    start_listener(2.5);
    PacketHeader h;
    std::vector<uint8_t> payload;
    sockaddr_in listener{};
    ASSERT_TRUE(receive(h, payload, listener, 3000)) << read_file(dir.file("listen.out"));
    EXPECT_EQ(h.flags, PF_TEXT);  // the join

    uint8_t bytes[MAX_DATAGRAM];
    int size = build_join_accepted(bytes, 4, kSession, kRate, "Test Station", "A Song");
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);

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
    // everything else is what the decoder makes of the frames.
    std::string wav = read_file(dir.file("heard.wav"));
    ASSERT_EQ(wav.size(), 44 + expected.size());
    std::vector<uint8_t> heard(wav.begin() + 44, wav.end());
    for (size_t i = 0; i < expected.size(); ++i) {
        size_t block = i / kSuperBlockSamples, chunk = (i % kSuperBlockSamples) / 256;
        bool lost = block == 1 && chunk % 8 == 13 % 8;
        ASSERT_EQ(heard[i], lost ? 128 : expected[i]) << "sample " << i;
    }
}

TEST_F(ListenToolTest, a_busy_station_ends_the_listener_with_a_refusal) {
    start_listener(5);
    PacketHeader h;
    std::vector<uint8_t> payload;
    sockaddr_in listener{};
    ASSERT_TRUE(receive(h, payload, listener, 3000));
    uint8_t bytes[MAX_DATAGRAM];
    int size = build_busy(bytes, 8);
    udp_send_to(station, bytes, size, 0, &listener, sizeof listener);
    EXPECT_EQ(wait_listener(), 3);
    EXPECT_NE(read_file(dir.file("listen.out")).find("refused: Busy"), std::string::npos);
}

TEST(ListenToolUsage, refuses_stations_off_this_machine_and_bad_options) {
    std::string exe = std::string(VELMORA_BIN_DIR) + "/velmora-listen";
    EXPECT_EQ(WEXITSTATUS(system((exe + " 10.1.2.3 > /dev/null 2>&1").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " > /dev/null 2>&1").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " 127.0.0.1 --port 0 > /dev/null 2>&1").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((exe + " 127.0.0.1 --bogus > /dev/null 2>&1").c_str())), 2);
}

}  // namespace
