// velmora-make-demo: writes the material of the built-in demo station into a
// folder: two synthesised songs (44100 Hz 16-bit stereo WAV), two pictures
// (24-bit BMP), a script naming them, and a settings file that binds the
// station to 127.0.0.1. A spoken "intro.wav" already in the folder becomes
// the first song.
//
//   velmora-make-demo DIR | --help | -h | --version

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/version.h"
#include "platform/safe_files.h"
#include "server/bmp_header.h"

namespace {

constexpr const char* kProgram = "velmora-make-demo";
constexpr int kWavRate = 44100;
constexpr double kPi = 3.14159265358979323846;

void put16(std::vector<uint8_t>& b, int v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Writes a whole file, renamed into place when complete; says why not.
bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    OutputFile out;
    bool ok = begin_output(out, path) == 1;
    if (ok && fwrite(bytes.data(), 1, bytes.size(), out.file) != bytes.size()) {
        out.why = strerror(errno);
        ok = false;
    }
    ok = ok && commit_output(out);
    if (!ok) fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(), out.why.c_str());
    return ok;
}

void print_usage(FILE* to) {
    fprintf(to,
            "usage: velmora-make-demo DIR\n"
            "Writes the demo station's material into DIR (made when missing): two songs,\n"
            "two pictures, the script demo.VSK and the settings file demo.ini.\n"
            "  --help, -h   this text\n"
            "  --version    the version and build\n");
}

// A little tune: notes of `melody` (semitones above A3) with a soft chord
// under them, each note `note_seconds` long, in stereo.
bool write_song(const std::string& path, const std::vector<int>& melody, double note_seconds) {
    int frames = static_cast<int>(melody.size() * note_seconds * kWavRate);
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    put32(b, 36 + frames * 4);
    for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<uint8_t>(c));
    put32(b, 16);
    put16(b, 1);
    put16(b, 2);
    put32(b, kWavRate);
    put32(b, kWavRate * 4);
    put16(b, 4);
    put16(b, 16);
    for (char c : std::string("data")) b.push_back(static_cast<uint8_t>(c));
    put32(b, frames * 4);
    int note_frames = static_cast<int>(note_seconds * kWavRate);
    for (int i = 0; i < frames; ++i) {
        int n = i / note_frames;
        double t = static_cast<double>(i) / kWavRate;
        double in_note = static_cast<double>(i % note_frames) / note_frames;
        double envelope = std::min(1.0, in_note * 20) * (1.0 - 0.6 * in_note);
        double f = 220.0 * std::pow(2.0, melody[static_cast<size_t>(n)] / 12.0);
        double lead = std::sin(2 * kPi * f * t) + 0.3 * std::sin(4 * kPi * f * t);
        double chord = std::sin(2 * kPi * 110.0 * t) + std::sin(2 * kPi * 138.6 * t);
        double left = 0.45 * envelope * lead + 0.12 * chord;
        double right = 0.35 * envelope * lead + 0.16 * chord;
        put16(b, static_cast<int>(left * 20000));
        put16(b, static_cast<int>(right * 20000));
    }
    return write_bytes(path, b);
}

// A 24-bit picture with a colour gradient and rings; rows bottom first.
bool write_picture(const std::string& path, int width, int height, int hue) {
    int row_bytes = bmp24_row_bytes(width);
    std::vector<uint8_t> b(BMP_HEADER_SIZE);
    make_bmp24_header(b.data(), width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double dx = x - width / 2.0, dy = y - height / 2.0;
            int ring = static_cast<int>(std::sqrt(dx * dx + dy * dy)) / 8 % 2;
            b.push_back(static_cast<uint8_t>(hue == 0 ? 255 * y / height : 80 + ring * 120));
            b.push_back(static_cast<uint8_t>(60 + ring * 90));
            b.push_back(static_cast<uint8_t>(hue == 0 ? 200 - ring * 100 : 255 * x / width));
        }
        for (int p = width * 3; p < row_bytes; ++p) b.push_back(0);
    }
    return write_bytes(path, b);
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, kProgram, print_usage)) return 0;
    const std::string first = argc > 1 ? argv[1] : "";
    // An option is never taken for a folder to make.
    if (argc != 2 || first.empty() || first[0] == '-') {
        if (!first.empty() && first[0] == '-') fprintf(stderr, "%s: unknown option %s\n", kProgram, first.c_str());
        print_usage(stderr);
        return 2;
    }
    std::string dir = first;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s: cannot make the folder %s: %s\n", kProgram, dir.c_str(), strerror(errno));
        return 1;
    }
    auto in = [&](const char* name) { return dir + "/" + name; };
    bool ok = write_song(in("morning.wav"), {0, 4, 7, 12, 7, 4, 0, 4, 7, 11, 14, 12}, 0.5) &&
              write_song(in("evening.wav"), {12, 11, 7, 4, 5, 7, 9, 7, 4, 2, 0, 0}, 0.5) &&
              write_picture(in("sunrise.bmp"), 160, 96, 0) &&
              write_picture(in("waves.bmp"), 128, 128, 1);
    if (!ok) return 1;

    // Script: zero-terminated lines; the third header field is completed when
    // the songs are compressed. The files lie beside the script, where the
    // station looks for names without a folder.
    std::vector<std::string> lines;
    struct stat st;
    if (stat(in("intro.wav").c_str(), &st) == 0)
        lines.push_back("1 \"intro.wav\" \"sunrise.bmp\" Welcome to Radio Velmora");
    lines.push_back("1 \"morning.wav\" \"sunrise.bmp\" Morning Tune");
    lines.push_back("2 \"evening.wav\" \"waves.bmp\" Evening Tune");
    std::string script = std::to_string(lines.size()) + " 22050 000 SCRIPT";
    script.push_back('\0');
    for (const std::string& line : lines) {
        script += line;
        script.push_back('\0');
    }
    std::vector<uint8_t> bytes(script.begin(), script.end());
    std::string settings =
        "[VelmoraStation]\n"
        "SamplingRate=22050\nTransferRate=4000\nBANDWIDTH=64000\nMode=0\nAutoStart=1\n"
        "SPECIFIC_IP=1\nIP_ADDR=127.0.0.1\nMASTER_IP=127.0.0.2\nImageQuality=3\n"
        "StationName=Radio Velmora Demo\nStationLocation=This machine\n"
        "StationCategory=Demo\nStationScript=" + in("demo.VSK") + "\n";
    if (!write_bytes(in("demo.VSK"), bytes) ||
        !write_bytes(in("demo.ini"), std::vector<uint8_t>(settings.begin(), settings.end())))
        return 1;
    printf("demo material in %s: %zu songs, 2 pictures, demo.VSK, demo.ini\n", dir.c_str(),
           lines.size());
    return 0;
}
