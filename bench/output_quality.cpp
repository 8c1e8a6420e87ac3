// output_quality: what ordinary players hear of a stereo source. A 44100 Hz
// stereo music-like source (different notes on the left and the right, over
// a quiet noise bed) is fed to a live velmora-station (--capture FILE.wav)
// that streams it to a private icecast2 (Ogg Opus at 96 kbit/s) and to its
// listeners' page (/listen.opus at 96 kbit/s). Both streams are recorded
// for some seconds, decoded (ffmpeg when it is installed, else opusdec),
// aligned with the source and compared with it; the same source through
// `opusenc --bitrate 96` is the yardstick, measured in the same run.
//
// Printed for each: channels, and the log-spectral distance to the source
// (dB, 2048-sample Hann frames up to 20 kHz, both channels).
//
// Run build/release/bench/output_quality; it takes about 40 seconds and
// needs icecast2 and opus-tools.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/program_audio.h"
#include "support/child_process.h"
#include "support/icecast_server.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSourceRate = 44100;
constexpr int kRate = 48000;  // what the decoders give
constexpr double kSourceSeconds = 12;
constexpr int kStationPort = 34851, kWebPort = 34852, kIcecastPort = 34853;

struct Stereo {
    std::vector<float> left, right;  // -1..1
};

// Notes of a few harmonics with a soft attack, a different melody on each
// side, over noise 40 dB down: enough spectrum for the codec to work on.
Stereo music_like() {
    const int n = static_cast<int>(kSourceSeconds * kSourceRate);
    Stereo s{std::vector<float>(size_t(n)), std::vector<float>(size_t(n))};
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.005f);
    const double left_notes[] = {220, 247, 262, 294, 330, 349, 392, 440};
    const double right_notes[] = {523, 587, 659, 698, 784, 880, 988, 1047};
    const int note_length = kSourceRate / 4;
    for (int i = 0; i < n; ++i) {
        const int note = i / note_length;
        const double t = double(i % note_length) / kSourceRate;
        const double envelope = std::min(1.0, t * 50) * std::exp(-t * 3);
        auto voice = [&](double f) {
            double v = 0;
            for (int h = 1; h <= 6; ++h) v += std::sin(2 * M_PI * f * h * t) / h;
            return 0.25 * envelope * v;
        };
        s.left[size_t(i)] = float(voice(left_notes[(note * 5) % 8])) + noise(random);
        s.right[size_t(i)] = float(voice(right_notes[(note * 3) % 8])) + noise(random);
    }
    return s;
}

std::string stereo_wav(const Stereo& s) {
    std::string data;
    for (size_t i = 0; i < s.left.size(); ++i)
        for (float v : {s.left[i], s.right[i]}) {
            int16_t x = int16_t(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767));
            data += char(x & 0xFF);
            data += char(x >> 8 & 0xFF);
        }
    return wav_bytes::pcm(kSourceRate, 2, 16, data);
}

// A 16-bit WAV's samples and channels ("" data when it is none).
struct Pcm {
    std::vector<int16_t> samples;
    int channels = 0, rate = 0;
};
Pcm read_pcm(const std::string& bytes) {
    Pcm p;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size;
        memcpy(&size, bytes.data() + at + 4, 4);
        const std::string id = bytes.substr(at, 4);
        if (id == "fmt " && at + 24 <= bytes.size()) {
            p.channels = uint8_t(bytes[at + 10]);
            memcpy(&p.rate, bytes.data() + at + 12, 4);
        } else if (id == "data") {
            size = std::min<uint32_t>(size, uint32_t(bytes.size() - at - 8));
            p.samples.resize(size / 2);
            memcpy(p.samples.data(), bytes.data() + at + 8, p.samples.size() * 2);
            break;
        }
        at += 8 + size + (size & 1);
    }
    return p;
}

Stereo to_stereo(const Pcm& p) {
    Stereo s;
    if (p.channels < 1) return s;
    for (size_t i = 0; i + size_t(p.channels) <= p.samples.size(); i += size_t(p.channels)) {
        s.left.push_back(p.samples[i] / 32768.0f);
        s.right.push_back(p.samples[i + size_t(p.channels) - 1] / 32768.0f);
    }
    return s;
}

// The source at 48000 Hz, through the outputs' own resampler.
Stereo source_at_48k(const Stereo& s) {
    std::vector<int16_t> in;
    for (size_t i = 0; i < s.left.size(); ++i) {
        in.push_back(int16_t(std::lround(std::clamp(s.left[i], -1.0f, 1.0f) * 32767)));
        in.push_back(int16_t(std::lround(std::clamp(s.right[i], -1.0f, 1.0f) * 32767)));
    }
    ProgramResampler resampler(kRate, 2);
    std::vector<int16_t> out;
    resampler.convert({in.data(), int(s.left.size()), 2, kSourceRate}, out);
    Pcm p{out, 2, kRate};
    return to_stereo(p);
}

// Where `heard` starts in the (looping) source: a coarse search on 10-ms
// energy envelopes, then the sample with the best correlation around it.
long find_offset(const std::vector<float>& source, const std::vector<float>& heard) {
    const size_t hop = kRate / 100;
    auto envelope = [hop](const std::vector<float>& x) {
        std::vector<double> e;
        for (size_t at = 0; at + hop <= x.size(); at += hop) {
            double sum = 0;
            for (size_t i = at; i < at + hop; ++i) sum += x[i] * x[i];
            e.push_back(std::sqrt(sum / hop));
        }
        return e;
    };
    const std::vector<double> es = envelope(source), eh = envelope(heard);
    const size_t frames = std::min<size_t>(eh.size(), 300);
    long best = 0;
    double best_score = -1e300;
    for (size_t o = 0; o < es.size(); ++o) {
        double score = 0;
        for (size_t k = 0; k < frames; ++k) score += es[(o + k) % es.size()] * eh[k];
        if (score > best_score) best_score = score, best = long(o * hop);
    }
    const size_t window = std::min<size_t>(heard.size(), kRate);
    long fine = best;
    best_score = -1e300;
    for (long o = best - long(hop) * 2; o <= best + long(hop) * 2; ++o) {
        double score = 0;
        for (size_t i = 0; i < window; ++i) {
            const long at = ((o + long(i)) % long(source.size()) + long(source.size())) % long(source.size());
            score += double(source[size_t(at)]) * heard[i];
        }
        if (score > best_score) best_score = score, fine = o;
    }
    return (fine % long(source.size()) + long(source.size())) % long(source.size());
}

// Power spectrum of 2048 samples under a Hann window (a plain radix-2 FFT).
std::vector<double> power(const float* x) {
    constexpr size_t n = 2048;
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i) a[i] = x[i] * (0.5 - 0.5 * std::cos(2 * M_PI * i / n));
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1;
            for (size_t k = 0; k < len / 2; ++k, wk *= w) {
                auto u = a[i + k], v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::vector<double> p(n / 2);
    for (size_t k = 0; k < n / 2; ++k) p[k] = std::norm(a[k]);
    return p;
}

// Mean log-spectral distance (dB) of `heard` to the source from `offset`,
// bins up to 20 kHz, powers floored 80 dB under the frame's loudest.
double lsd(const std::vector<float>& source, long offset, const std::vector<float>& heard) {
    std::vector<float> ref(2048);
    double total = 0;
    int frames = 0;
    const size_t top = size_t(20000.0 * 2048 / kRate);
    for (size_t at = kRate / 2; at + 2048 <= heard.size(); at += 1024) {
        for (size_t i = 0; i < 2048; ++i) ref[i] = source[(size_t(offset) + at + i) % source.size()];
        const std::vector<double> pr = power(ref.data()), ph = power(heard.data() + at);
        const double floor = *std::max_element(pr.begin(), pr.begin() + long(top)) * 1e-8 + 1e-12;
        double sum = 0;
        for (size_t k = 1; k < top; ++k) {
            const double d = 10 * std::log10((pr[k] + floor) / (ph[k] + floor));
            sum += d * d;
        }
        total += std::sqrt(sum / double(top - 1));
        ++frames;
    }
    return frames ? total / frames : NAN;
}

// Where a program is installed; "" when it is not.
std::string which(const std::string& program) {
    ProgramResult r = run_program({"/bin/sh", "-c", "command -v " + program});
    if (r.status != 0) return "";
    while (!r.output.empty() && r.output.back() == '\n') r.output.pop_back();
    return r.output;
}
bool have(const std::string& program) { return !which(program).empty(); }

// Decodes an Ogg Opus file to a 48000 Hz WAV with ffmpeg, else opusdec.
Pcm decode(const std::string& opus, const std::string& wav) {
    ProgramResult r = have("ffmpeg")
                          ? run_program({which("ffmpeg"), "-v", "error", "-y", "-i", opus, "-ar", "48000",
                                         "-c:a", "pcm_s16le", wav})
                          : run_program({which("opusdec"), "--quiet", "--rate", "48000", opus, wav});
    if (r.status != 0) fprintf(stderr, "output_quality: cannot decode %s: %s\n", opus.c_str(), r.output.c_str());
    return read_pcm(read_file(wav));
}

// Reads an HTTP stream for `seconds` and keeps its body.
std::string record(const std::string& ip, int port, const std::string& path, double seconds) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: bench\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[16384];
        for (auto end = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < end;) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got == 0) break;
            if (got > 0) reply.append(buffer, size_t(got));
        }
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

void report(const char* what, const Pcm& pcm, const Stereo& source) {
    const Stereo heard = to_stereo(pcm);
    if (heard.left.size() < size_t(kRate) * 2) {
        printf("%-26s no audio to compare (%zu samples)\n", what, heard.left.size());
        return;
    }
    const long offset = find_offset(source.left, heard.left);
    const double l = lsd(source.left, offset, heard.left), r = lsd(source.right, offset, heard.right);
    printf("%-26s %d channel%s, %.1f s, log-spectral distance %.2f dB (left %.2f, right %.2f)\n", what,
           pcm.channels, pcm.channels == 1 ? "" : "s", double(heard.left.size()) / kRate, (l + r) / 2, l, r);
}

}  // namespace

int main() {
    for (const char* program : {"icecast2", "opusenc", "opusdec"})
        if (!have(program)) return fprintf(stderr, "output_quality: %s is not installed\n", program), 1;
    TempDir dir;
    const Stereo source = music_like();
    write_file(dir.file("source.wav"), stereo_wav(source));
    const Stereo source48 = source_at_48k(source);
    printf("source: %.0f s of 44100 Hz stereo music-like sound; decoder: %s\n", kSourceSeconds,
           have("ffmpeg") ? "ffmpeg" : "opusdec");

    // The yardstick.
    ProgramResult encoded = run_program({which("opusenc"), "--quiet", "--bitrate", "96", dir.file("source.wav"),
                                         dir.file("opusenc.opus")});
    if (encoded.status != 0) return fprintf(stderr, "output_quality: opusenc: %s\n", encoded.output.c_str()), 1;
    report("opusenc --bitrate 96", decode(dir.file("opusenc.opus"), dir.file("opusenc.wav")), source48);

    const std::string ip = test_ip(97), ice_ip = test_ip(98);
    TempDir ice_folder;
    ChildProcess server, station;
    std::string problem = start_icecast_server(server, {ice_ip, kIcecastPort, ice_folder.path(), {}, 0, {}});
    if (!problem.empty()) return fprintf(stderr, "output_quality: icecast2: %s\n", problem.c_str()), 1;
    write_file(dir.file("station.ini"),
               "[VelmoraStation]\nSamplingRate=22050\nMode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + ip +
                   "\nSTATION_PORT=" + std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(99) +
                   "\nStationName=Quality\nStationLocation=Loopback\nICECAST_URL=http://" + ice_ip + ":" +
                   std::to_string(kIcecastPort) + "/quality.opus\nICECAST_PASSWORD=" +
                   TEST_ICECAST_PASSWORD + "\nICECAST_BITRATE=96\nWEB_BITRATE=96\n");
    EnvironmentList env = {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
                           {"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()}};
    if (!station.start({program_path("velmora-station"), dir.file("station.ini"), "--capture",
                        dir.file("source.wav"), "--status-interval", "0", "--web",
                        ip + ":" + std::to_string(kWebPort)},
                       dir.file("station.out"), dir.path(), env))
        return fprintf(stderr, "output_quality: velmora-station does not start\n"), 1;
    std::this_thread::sleep_for(std::chrono::seconds(4));  // on the air, the mount up
    std::string web, mount;
    std::thread web_reader([&] { web = record(ip, kWebPort, "/listen.opus", 10); });
    mount = record(ice_ip, kIcecastPort, "/quality.opus", 10);
    web_reader.join();
    write_file(dir.file("web.opus"), web);
    write_file(dir.file("mount.opus"), mount);
    report("/listen.opus (96 kbit/s)", decode(dir.file("web.opus"), dir.file("web.wav")), source48);
    report("Icecast mount (96 kbit/s)", decode(dir.file("mount.opus"), dir.file("mount.wav")), source48);
    return 0;
}
