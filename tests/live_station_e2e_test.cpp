// A live station as its operators run it: a real velmora-station process
// recording from a WAV file, from a pipe and from the default device of a
// real PulseAudio sound server, heard by velmora-listen and by a listener
// socket of the test.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_frame.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "codec/codec_state.h"
#include "media/wave_conversion.h"
#include "wire/packet.h"
#include "platform/udp_socket.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"

namespace {

using audio_measures::tone_level_db;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;  // 46 ms a block keeps the priming short
constexpr int kPort = 34631;

// `seconds` of a sine of `hz` as signed 16-bit PCM with `channels` channels.
std::string sine_pcm16(double hz, int rate, int channels, double seconds, int amplitude) {
    std::string data;
    int n = static_cast<int>(seconds * rate);
    for (int i = 0; i < n; ++i) {
        auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / rate)));
        for (int c = 0; c < channels; ++c) data += wav_bytes::le16(static_cast<uint16_t>(v));
    }
    return data;
}

// The frequency near `hz` (within 20 %) where the tone is strongest.
double strongest_frequency(const Bytes& samples, double hz) {
    double best = 0, best_db = -1e9;
    for (double f = hz * 0.8; f <= hz * 1.2; f += hz * 0.0025) {
        double db = tone_level_db(samples, f, kRate);
        if (db > best_db) best_db = db, best = f;
    }
    return best;
}

class LiveStation : public ::testing::Test {
protected:
    TempDir dir;
    std::string station_ip = test_ip(81);
    pid_t pid = -1;
    EnvironmentList env;

    void SetUp() override {
        env = {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
               {"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()}};
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
                   "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + test_ip(82) + "\n"
                   "StationName=Live Station\nStationLocation=Loopback\n");
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts the station; with `input` its standard input is a pipe whose
    // write end is returned (otherwise -1).
    int start_station(const std::vector<std::string>& options, bool input = false) {
        std::vector<std::string> args = {program_path("velmora-station"), dir.file("station.ini"),
                                         "--status-interval", "1"};
        args.insert(args.end(), options.begin(), options.end());
        int pipe_fds[2] = {-1, -1};
        if (input && pipe(pipe_fds) != 0) return -1;
        pid = fork();
        if (pid == 0) {
            int out = open(dir.file("station.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            if (input) {
                dup2(pipe_fds[0], 0);
                close(pipe_fds[1]);
            }
            for (auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (!input) return -1;
        close(pipe_fds[0]);
        return pipe_fds[1];
    }

    std::string station_output() { return read_file(dir.file("station.out")); }

    // Joins with a socket of the test and takes up to `count` audio
    // datagrams (no companions) within 10 seconds.
    struct Taken {
        std::vector<Bytes> datagrams;
        Clock::time_point first, last;
    };
    Taken take_audio(int count) {
        Taken taken;
        LoopbackSocket listener(test_ip(83).c_str());
        sockaddr_in station{};
        ipv4_from_dotted(station_ip.c_str(), kPort, &station);
        uint8_t join[PACKET_HEADER_SIZE + 6];
        put_packet_header(PacketHeader{0, 0, PF_TEXT, 6}, join);
        memcpy(join + PACKET_HEADER_SIZE, "hello", 6);
        std::vector<Bytes>& heard = taken.datagrams;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        Clock::time_point next_join = Clock::now();
        while (static_cast<int>(heard.size()) < count && Clock::now() < deadline) {
            // Joined again every half second until audio comes (not per reply).
            if (heard.empty() && Clock::now() >= next_join) {
                udp_send_to(listener.fd(), join, sizeof join, 0, &station, sizeof station);
                next_join = Clock::now() + std::chrono::milliseconds(500);
            }
            Bytes d = listener.receive(300);
            if (d.size() < PACKET_HEADER_SIZE || get_packet_header(d.data()).flags != PF_AUDIO) continue;
            taken.last = Clock::now();
            if (heard.empty()) taken.first = taken.last;
            heard.push_back(std::move(d));
        }
        return taken;
    }

    // Takes `count` audio datagrams: their seq numbers must follow each
    // other, one block's playing time apart.
    void expect_continuous_stream(int count) {
        Taken taken = take_audio(count);
        std::vector<uint32_t> seqs;
        for (const Bytes& d : taken.datagrams) seqs.push_back(get_packet_header(d.data()).seq);
        const Clock::time_point first = taken.first, last = taken.last;
        ASSERT_EQ(static_cast<int>(seqs.size()), count) << station_output();
        for (size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], seqs[i - 1] + 1) << i;
        // 2048 samples at 44100 Hz: 46.4 ms (loosely: the machine may be busy).
        double ms_per_tick = std::chrono::duration<double, std::milli>(last - first).count() / (count - 1);
        EXPECT_GT(ms_per_tick, 35.0);
        EXPECT_LT(ms_per_tick, 60.0);
    }

    // What velmora-listen decodes in `seconds`: the last two super-blocks.
    Bytes listen(int seconds) {
        std::string wav = dir.file("heard.wav");
        ProgramResult r = run_program({program_path("velmora-listen"), station_ip, "--port",
                                       std::to_string(kPort), "--bind", test_ip(84), "--seconds",
                                       std::to_string(seconds), "--wav", wav});
        EXPECT_EQ(r.status, 0) << r.output << station_output();
        EXPECT_NE(r.output.find("gaps 0, recovered 0, lost 0"), std::string::npos) << r.output;
        std::string bytes = read_file(wav);
        if (bytes.size() < 44 + 2 * 16384) {
            ADD_FAILURE() << "too little heard: " << r.output << station_output();
            return {};
        }
        return Bytes(bytes.end() - 2 * 16384, bytes.end());
    }
};

TEST_F(LiveStation, a_looped_wav_file_is_broadcast_at_its_own_pitch_without_gaps) {
    // A stereo 16-bit file at 22050 Hz: converted as songs are.
    write_file(dir.file("tone.wav"), wav_bytes::pcm(22050, 2, 16, sine_pcm16(1000, 22050, 2, 1.0, 12000)));
    start_station({"--capture", dir.file("tone.wav")});
    expect_continuous_stream(40);
    Bytes heard = listen(3);
    ASSERT_FALSE(heard.empty());
    EXPECT_NEAR(strongest_frequency(heard, 1000), 1000, 20);
    EXPECT_GT(tone_level_db(heard, 1000, kRate), 30.0);  // amplitude about 47 of 128
    EXPECT_NE(station_output().find("| live, level 4"), std::string::npos) << station_output();
}

// The listeners get exactly what they got before the outputs took the file's
// own samples: the frames the live pump makes of its 8-bit mono mix,
// converted as songs are, each in its place.
TEST_F(LiveStation, the_listeners_get_the_frames_of_the_files_8_bit_mono_mix_bit_for_bit) {
    // 1.5 s of stereo, left and right unlike each other and no block alike.
    std::string pcm;
    const int n = kRate * 3 / 2;
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        pcm += wav_bytes::le16(static_cast<uint16_t>(
            static_cast<int16_t>(std::lround(9000 * std::sin(2 * M_PI * (300 + 400 * t) * t)))));
        const int noise = i * 7919 % 12001 - 6000;
        pcm += wav_bytes::le16(static_cast<uint16_t>(static_cast<int16_t>(noise)));
    }
    write_file(dir.file("mix.wav"), wav_bytes::pcm(kRate, 2, 16, pcm));
    start_station({"--capture", dir.file("mix.wav")});

    // Super-block after super-block of the looped samples, as the pump
    // encodes them: each frame and its place in the broadcast.
    std::vector<uint8_t> samples(static_cast<size_t>(n));
    ASSERT_EQ(convert_pcm(reinterpret_cast<const uint8_t*>(pcm.data()),
                          static_cast<int>(pcm.size()), pcm_layout(2, 16), kRate, kRate,
                          samples.data(), n, true),
              n);
    CodecState codec;
    set_rate(codec, kRate, 8820);
    codec.interp_threshold = 32;  // the station's at every rate but 8000 Hz
    std::map<std::string, int> places;
    static uint8_t super_block[kSuperBlockSamples], frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t frame[kMaxFrameBytes];
    for (int cycle = 0; cycle < 160; ++cycle) {  // a minute of it
        for (int i = 0; i < kSuperBlockSamples; ++i)
            super_block[i] = samples[static_cast<size_t>((cycle * kSuperBlockSamples + i) % n)];
        interleave_super_block(super_block, frames);
        for (int k = 0; k < kFramesPerSuperBlock; ++k)
            places.emplace(std::string(reinterpret_cast<char*>(frame),
                                       static_cast<size_t>(encode_frame(codec, frames[k], frame))),
                           cycle * kFramesPerSuperBlock + k);
    }

    Taken taken = take_audio(40);
    ASSERT_EQ(taken.datagrams.size(), 40u) << station_output();
    int place = -1;
    for (const Bytes& d : taken.datagrams) {
        auto found = places.find(std::string(d.begin() + PACKET_HEADER_SIZE, d.end()));
        ASSERT_NE(found, places.end()) << "seq " << get_packet_header(d.data()).seq
                                       << " carries a frame the pump never made of these samples";
        EXPECT_GT(found->second, place) << "out of order: seq " << get_packet_header(d.data()).seq;
        place = found->second;
    }
}

// A named pipe given as the WAV file would hold the station in open(),
// deaf to SIGTERM: it is refused at once with the reason ("-" is the way
// to feed samples through a pipe).
TEST_F(LiveStation, a_named_pipe_as_the_wav_file_is_refused_at_once) {
    const std::string fifo = dir.file("live.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    start_station({"--capture", fifo});
    int status = -1;
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
    ASSERT_EQ(pid, -1) << "the station still waits in open(): " << station_output();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(station_output().find(fifo + ": it is not a regular file"), std::string::npos)
        << station_output();
}

TEST_F(LiveStation, raw_samples_from_a_pipe_are_broadcast_and_silence_follows_their_end) {
    int input = start_station({"--capture", "-"}, true);
    ASSERT_GE(input, 0);
    // Four seconds of 750 Hz, then the pipe closes.
    std::thread writer([input] {
        std::string samples;
        for (int i = 0; i < 4 * kRate; ++i)
            samples += static_cast<char>(std::lround(128 + 60 * std::sin(2 * M_PI * 750.0 * i / kRate)));
        for (size_t at = 0; at < samples.size();) {
            ssize_t n = write(input, samples.data() + at, samples.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        close(input);
    });
    Bytes heard = listen(3);
    writer.join();
    ASSERT_FALSE(heard.empty());
    EXPECT_NEAR(strongest_frequency(heard, 750), 750, 15);
    // After its end the station goes on, sending silence.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    expect_continuous_stream(10);
    EXPECT_NE(station_output().find("| live, level 0"), std::string::npos) << station_output();
}

// The full path of a program on PATH, or "" when it is not installed.
std::string which(const std::string& program) {
    ProgramResult r = run_program({"/bin/sh", "-c", "command -v " + program});
    if (r.status != 0) return "";
    while (!r.output.empty() && isspace(static_cast<unsigned char>(r.output.back()))) r.output.pop_back();
    return r.output;
}

TEST_F(LiveStation, the_default_recording_device_of_a_pulseaudio_server_is_broadcast) {
    std::string pulseaudio = which("pulseaudio"), pactl = which("pactl"), paplay = which("paplay");
    if (pulseaudio.empty() || pactl.empty() || paplay.empty())
        GTEST_SKIP() << "pulseaudio, pactl or paplay is not installed (scripts/setup installs "
                        "pulseaudio and pulseaudio-utils): the sound-card test cannot run";
    // A private sound server: a null sink whose monitor is remapped into a
    // recording source (Qt lists no monitor sources), made the default.
    ChildProcess server;
    ASSERT_TRUE(server.start({pulseaudio, "-n", "--daemonize=no", "--system=false",
                              "--exit-idle-time=-1", "--disallow-module-loading=false",
                              "-L", "module-native-protocol-unix",
                              "-L", "module-null-sink sink_name=station_sink",
                              "-L", "module-remap-source master=station_sink.monitor source_name=station_mic "
                                    "master_channel_map=front-left,front-right "
                                    "channel_map=front-left,front-right"},
                             dir.file("pulseaudio.out"), dir.path(), env));
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        ready = run_program({pactl, "set-default-source", "station_mic"}, "", env, 2000).status == 0;
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(ready) << read_file(dir.file("pulseaudio.out"));
    write_file(dir.file("tone.wav"), wav_bytes::pcm(kRate, 1, 16, sine_pcm16(1000, kRate, 1, 20.0, 12000)));
    ChildProcess player;
    ASSERT_TRUE(player.start({paplay, dir.file("tone.wav")}, dir.file("paplay.out"), dir.path(), env));

    start_station({});
    // The first samples may take a reopening of the device: a few seconds of silence first.
    Bytes heard = listen(7);
    ASSERT_FALSE(heard.empty());
    EXPECT_NEAR(strongest_frequency(heard, 1000), 1000, 20) << station_output();
    EXPECT_GT(tone_level_db(heard, 1000, kRate), 30.0) << station_output();
    EXPECT_NE(station_output().find("| live, level 4"), std::string::npos) << station_output();

    // The sound server goes away: listeners keep a continuous stream (of
    // silence), and the operator is told once (the device stopped
    // delivering, or Qt found it no longer usable: whichever it sees first).
    server.kill_now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    expect_continuous_stream(30);
    std::string out = station_output();
    const std::string fault = "; sending silence and opening it again every 2 seconds";
    size_t told = out.find(fault);
    ASSERT_NE(told, std::string::npos) << out;
    EXPECT_NE(out.rfind("live capture: the recording device ", told), std::string::npos) << out;
    EXPECT_EQ(out.find(fault, told + 1), std::string::npos) << out;
    EXPECT_NE(out.find("| live, level 0", told), std::string::npos) << out;
}

}  // namespace
