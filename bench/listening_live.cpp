// The live listening report: velmora-listen --play and velmora-tuner
// against real stations, played into the null sink of a private PulseAudio
// server and recorded from its monitor.
//
//   Holes: the share of 20-ms windows without the tone over 20 s of
//   playback of a velmora-station sending a test tone, on a clean path and
//   through a relay that loses 5 % of the station's audio datagrams.
//   First sound: from starting velmora-listen to the tone leaving the sink.
//   Moments in the recording are counted back from its end: its last
//   sample left the sink when parec was told to stop (a silent stream keeps
//   the sink running, so the recording has no gaps).
//   CPU: velmora-listen --play at 44100 Hz, user plus system time over the run.
//   Sound to ear: a station recording from a pipe; tone bursts written into
//   it are timed against their onsets at the sink, at 16000 and 44100 Hz
//   (the pipe holds up to one capture block, as a sound card's buffer does).
//   Tuner: the longest the window's event loop is held (a 1-ms timer's
//   largest lateness) while a station sends audio and a 20 x 15-tile
//   picture is fetched again every 3 seconds.
//
// Run build/release/bench/listening_live; it takes about two minutes and
// needs pulseaudio and pulseaudio-utils.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_state.h"
#include "codec/picture_coder.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "shell/tuner/tuner_window.h"
#include "support/child_process.h"
#include "support/lossy_relay.h"
#include "support/played_tone.h"
#include "support/private_pulseaudio.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using played_tone::kRecordRate;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TempDir dir;
EnvironmentList env;
int next_port = 35100;

std::string station_ini(int rate, int port) {
    const std::string path = dir.file("station" + std::to_string(port) + ".ini");
    write_file(path, "[VelmoraStation]\nSamplingRate=" + std::to_string(rate) +
                         "\nTransferRate=" + std::to_string(rate >= 44100 ? 8820 : 2000) +
                         "\nBANDWIDTH=512000\nMode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=127.0.0.5\n"
                         "STATION_PORT=" + std::to_string(port) + "\nMASTER_IP=127.0.0.6\nStationName=Bench\n");
    return path;
}

// A station recording from a pipe; returns its pid and the pipe's write end.
pid_t start_piped_station(const std::string& ini, int* input) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(dir.file("piped-station.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        dup2(fds[0], 0);
        close(fds[1]);
        std::string exe = program_path("velmora-station");
        execl(exe.c_str(), exe.c_str(), ini.c_str(), "--capture", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    *input = fds[1];
    return pid;
}

// Silence played into the sink all along: an idle null sink's monitor
// records nothing, and the recordings must have no gaps.
ChildProcess keep_sink_running;

std::vector<int16_t> samples_of(const std::string& raw) {
    std::vector<int16_t> s(raw.size() / 2);
    memcpy(s.data(), raw.data(), s.size() * 2);
    return s;
}

// The amplitude of `hz` in `count` samples from `at` (Hann-windowed single bin).
double tone_amplitude(const std::vector<int16_t>& s, size_t at, size_t count, double hz) {
    double re = 0, im = 0, gain = 0;
    for (size_t i = 0; i < count && at + i < s.size(); ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(count));
        re += w * s[at + i] * std::cos(2 * M_PI * hz * double(i) / kRecordRate);
        im -= w * s[at + i] * std::sin(2 * M_PI * hz * double(i) / kRecordRate);
        gain += w;
    }
    return 2 * std::sqrt(re * re + im * im) / std::max(gain, 1.0);
}

// Seconds into the recording where `hz` sets in after at least 200 ms
// without it and stays for 100 ms (the broadband edge of another tone's
// start does not count), at 2-ms steps.
std::vector<double> onsets(const std::vector<int16_t>& s, double hz) {
    const size_t step = kRecordRate / 500, window = 4 * step;  // 8 ms: 125 Hz wide
    std::vector<bool> on;
    for (size_t at = 0; at + window <= s.size(); at += step) on.push_back(tone_amplitude(s, at, window, hz) > 2500);
    std::vector<double> found;
    int quiet = 0;
    for (size_t i = 0; i < on.size(); ++i) {
        if (on[i] && quiet >= 100 && i + 50 < on.size() &&
            std::all_of(on.begin() + long(i), on.begin() + long(i + 50), [](bool b) { return b; }))
            found.push_back(double(i * step + window / 2) / kRecordRate);
        quiet = on[i] ? 0 : quiet + 1;
    }
    return found;
}

struct Recorder {
    ChildProcess parec;
    Clock::time_point started;
    void start() {
        parec.start({"/bin/sh", "-c",
                     "exec parec -d ear.monitor --latency-msec=10 --rate=48000 --channels=1 --format=s16le --raw > " +
                         dir.file("heard.raw")},
                    dir.file("parec.out"), dir.path(), env);
        started = Clock::now();
    }
    Clock::time_point stopped;
    // The recording; its last sample is taken to have left the sink when
    // parec was told to stop (the marker stream keeps the sink running, so
    // the recording has no gaps).
    std::string stop() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopped = Clock::now();
        parec.signal(SIGTERM);
        parec.wait(2000);
        return read_file(dir.file("heard.raw"));
    }
};

// The moment (seconds since `since`) sample `index` of a recording of `count` left the sink.
double moment(const Recorder& r, double index, size_t count, Clock::time_point since) {
    return std::chrono::duration<double>(r.stopped - since).count() - (double(count) - index) / kRecordRate;
}

// velmora-listen --play for `seconds`, its CPU time from the shell's `times`.
ProgramResult listen(const std::string& host, uint16_t port, double seconds, double* cpu_seconds) {
    const std::string command = program_path("velmora-listen") + " " + host + " --port " + std::to_string(port) +
                                " --bind 127.0.0.7 --play --seconds " + std::to_string(seconds) + "; times";
    ProgramResult r = run_program({"/bin/bash", "-c", command}, dir.path(), env, 120000);
    int um = 0, sm = 0;
    double us = 0, ss = 0;
    size_t last_line = r.output.rfind('\n', r.output.size() - 2);
    *cpu_seconds = sscanf(r.output.c_str() + last_line + 1, "%dm%lfs %dm%lfs", &um, &us, &sm, &ss) == 4
                       ? um * 60 + us + sm * 60 + ss
                       : -1;
    return r;
}

void holes(double loss) {
    const int port = next_port++;
    ChildProcess station;
    station.start({program_path("velmora-station"), station_ini(44100, port), "--capture", "tone:1000"},
                  dir.file("station.out"), dir.path(), env);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sockaddr_in to{};
    ipv4_from_dotted("127.0.0.5", uint16_t(port), &to);
    LossyRelay relay("127.0.0.8", to, loss);
    Recorder recorder;
    recorder.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Clock::time_point listen_started = Clock::now();
    double cpu = 0;
    const double seconds = 24;
    ProgramResult r = loss > 0 ? listen("127.0.0.8", relay.port(), seconds, &cpu)
                               : listen("127.0.0.5", uint16_t(port), seconds, &cpu);
    const std::vector<int16_t> heard = samples_of(recorder.stop());
    const std::vector<double> tone = onsets(heard, 1000);
    if (tone.empty()) {
        printf("  loss %2.0f %%: no tone heard\n%s\n", loss * 100, r.output.c_str());
        return;
    }
    // 20-ms windows from the first sound on.
    const size_t window = kRecordRate / 50, first = size_t(tone[0] * kRecordRate);
    int without = 0, windows = 0;
    for (size_t at = first; windows < 1000 && at + window <= heard.size(); at += window, ++windows)
        without += tone_amplitude(heard, at, window, 1000) < 2500;
    const size_t summary = r.output.find("summary:");
    printf("  loss %2.0f %%: holes %d of %d windows (%.2f %%), first sound %.2f s after the start, relay dropped %d\n"
           "             %s",
           loss * 100, without, windows, 100.0 * without / std::max(windows, 1),
           moment(recorder, tone[0] * kRecordRate, heard.size(), listen_started),
           relay.dropped(),
           summary == std::string::npos ? "\n" : r.output.substr(summary, r.output.find('\n', summary) - summary + 1).c_str());
    if (loss == 0) printf("  CPU of velmora-listen --play at 44100 Hz: %.2f s over %.0f s = %.1f %% of a core\n", cpu,
                          seconds, 100 * cpu / seconds);
}

// Each burst has a tone of its own, so that none is taken for another
// however late it comes.
double burst_hz(size_t k) { return 500 + 250 * double(k % 6); }

void sound_to_ear(int rate) {
    const int port = next_port++;
    int input = -1;
    pid_t station = start_piped_station(station_ini(rate, port), &input);
    signal(SIGPIPE, SIG_IGN);
    const Clock::time_point begun = Clock::now();
    std::atomic<bool> stop{false};
    std::vector<double> bursts;  // seconds since `begun` each was written
    std::thread writer([&] {
        const int lead = 2048;  // one capture block ahead, so the station never reads short
        int64_t written = 0;
        std::vector<uint8_t> chunk;
        while (!stop) {
            const int64_t target = lead + int64_t(seconds_since(begun) * rate);
            chunk.clear();
            for (; written < target; ++written) {
                const double t = double(written - lead) / rate;  // when it is written
                const bool on = t >= 9 && fmod(t - 9, 2.0) < 0.5;
                if (on && fmod(t - 9, 2.0) < 1.0 / rate) bursts.push_back(t);
                chunk.push_back(on ? uint8_t(128 + std::lround(90 * std::sin(2 * M_PI * burst_hz(bursts.size() - 1) * t))) : 128);
            }
            if (!chunk.empty() && write(input, chunk.data(), chunk.size()) < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Recorder recorder;
    recorder.start();
    double cpu = 0;
    listen("127.0.0.5", uint16_t(port), 17, &cpu);
    const std::vector<int16_t> heard = samples_of(recorder.stop());
    stop = true;
    writer.join();
    close(input);
    kill(station, SIGTERM);
    waitpid(station, nullptr, 0);
    double sum = 0, most = 0, least = 1e9;
    int matched = 0;
    for (size_t k = 0; k < bursts.size(); ++k)
        for (double o : onsets(heard, burst_hz(k))) {
            const double at = moment(recorder, o * kRecordRate, heard.size(), begun);
            if (at > bursts[k] && at - bursts[k] < 8) {
                sum += at - bursts[k], most = std::max(most, at - bursts[k]), least = std::min(least, at - bursts[k]);
                ++matched;
                break;
            }
        }
    if (matched == 0) printf("  %5d Hz: no burst heard (%zu written)\n", rate, bursts.size());
    else printf("  %5d Hz: sound to ear %.2f s on average (%.2f to %.2f s, %d bursts)\n", rate, sum / matched, least, most, matched);
}

// A station played in a thread of its own: tone audio at 44100 Hz and a
// 640 x 480 picture announced every 3 seconds, its tiles coded on request.
void tuner_station(LoopbackSocket& socket, std::atomic<bool>& stop) {
    SyntheticPicture picture = make_photo_picture(640, 480, 3);
    prepare_picture(picture.pixels.data(), picture.pixels.size(), picture.width, picture.height, picture.row_stride, 2,
                    nullptr);
    const std::vector<std::vector<uint8_t>> frames = tone_frames(44100, 8820, 441.0);
    CodecState codec;  // the picture tiles' coder
    sockaddr_in listener{};
    uint8_t bytes[MAX_DATAGRAM];
    uint32_t seq = 0;
    const Clock::time_point begun = Clock::now();
    double next_notice = 1;
    auto send = [&](int size) { udp_send_to(socket.fd(), bytes, size, 0, &listener, sizeof listener); };
    while (!stop) {
        if (udp_wait_readable(socket.fd(), 2) == 1) {
            sockaddr_in from{};
            int from_len = sizeof from;
            int n = udp_receive_from(socket.fd(), bytes, sizeof bytes, &from, &from_len);
            if (n < PACKET_HEADER_SIZE) continue;
            PacketHeader h = get_packet_header(bytes);
            std::string text(reinterpret_cast<char*>(bytes) + PACKET_HEADER_SIZE, size_t(n - PACKET_HEADER_SIZE));
            text = text.c_str();
            int c = 0, r = 0;
            if (h.flags == PF_TEXT) {
                listener = from;
                send(build_join_accepted(bytes, seq + 4, 99, 44100, "Bench Radio", "A song"));
            } else if (text == "GETPAL") {
                send(build_picture_reply(bytes, seq, 99, "BMPPAL020015", nullptr, 0));
            } else if (sscanf(text.c_str(), "GETBMPXY%3d%3d", &c, &r) == 2 && c < 20 && r < 15) {
                uint8_t tile[PICTURE_PAYLOAD_MAX_BYTES];
                int size = encode_picture_tile(codec, copy_tile(picture, c, r).data(), 2, tile);
                char reply[16];
                snprintf(reply, sizeof reply, "BMPXY%03d%03d", c, r);
                send(build_picture_reply(bytes, seq, 99, reply, tile, size));
            }
        }
        if (listener.sin_port == 0) continue;
        const double t = seconds_since(begun);
        while (seq < uint32_t(t * 44100 / 2048)) {
            const auto& f = frames[seq % 8];
            send(build_audio(bytes, seq, 99, f.data(), int(f.size()), false));
            ++seq;
        }
        if (t >= next_notice) {
            send(build_picture_notice(bytes, seq, 99, 20, 15));
            next_notice += 3;
        }
    }
}

// The largest lateness of a 1-ms timer over `ms` (after a first second), and its 99.9th percentile.
std::pair<double, double> event_loop_lateness(int ms) {
    QElapsedTimer clock, since_last;
    clock.start();
    since_last.start();
    std::vector<qint64> late;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 gap = since_last.nsecsElapsed() / 1000;  // microseconds
        since_last.restart();
        if (clock.elapsed() > 1000) late.push_back(gap - 1000);
        if (clock.elapsed() > ms + 1000) QCoreApplication::quit();
    });
    probe.start(1);
    QApplication::exec();
    std::sort(late.begin(), late.end());
    if (late.empty()) return {0, 0};
    return {late.back() / 1000.0, late[late.size() * 999 / 1000] / 1000.0};
}

void tuner_blocks() {
    const auto idle = event_loop_lateness(3000);
    printf("  this machine's own noise: an idle event loop is held up to %.1f ms (99.9th percentile %.1f ms)\n",
           idle.first, idle.second);
    LoopbackSocket socket("127.0.0.9");
    std::atomic<bool> stop{false};
    std::thread station([&] { tuner_station(socket, stop); });
    TunerWindow window;
    window.show();
    window.open_station(QString("127.0.0.9:%1").arg(socket.port()));
    window.play();
    const auto busy = event_loop_lateness(12000);
    stop = true;
    station.join();
    printf("  longest event-loop block %.1f ms (99.9th percentile %.1f ms) over 12 s; %d of 300 tiles\n"
           "  of the last picture; %d audio packets; status: %s\n",
           busy.first, busy.second, window.listener().picture.tiles, window.listener().audio_packets,
           qPrintable(window.status_text()));
    window.stop();
}

}  // namespace

int main(int argc, char** argv) {
    env = {{"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
           {"VELMORA_HOME", dir.path()}};
    for (auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    PrivatePulseAudio pulse;
    std::string why;
    if (!pulse.start("ear", {}, dir.file("pulseaudio.out"), env, &why)) {
        fprintf(stderr, "listening_live: %s\n", why.c_str());
        return 1;
    }
    QApplication app(argc, argv);
    keep_sink_running.start({"/bin/sh", "-c", "exec pacat -d ear --raw --rate=48000 --channels=1 --format=s16le < /dev/zero"},
                            dir.file("pacat.out"), dir.path(), env);
    printf("Holes over 20 s of playback (velmora-listen --play, 44100 Hz station, 1.5 s buffer):\n");
    holes(0);
    holes(0.05);
    printf("Sound to ear (station recording from a pipe, velmora-listen --play):\n");
    sound_to_ear(16000);
    sound_to_ear(44100);
    printf("velmora-tuner playing a 44100 Hz station while a 20 x 15-tile picture comes:\n");
    tuner_blocks();
    return 0;
}
