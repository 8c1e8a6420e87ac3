// velmora-listen: a listener for a station on this machine. It joins and
// listens through the listener core (keep-alives, re-joins, resends, the
// jitter buffer), plays the audio through the sound card with --play,
// writes it to a WAV file with --wav, prints the song texts as they change,
// saves the pictures with --pictures, prints a summary, and leaves on exit
// or Ctrl+C.

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/wav_writer.h"
#include "listener/listener.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/safe_files.h"
#include "platform/udp_socket.h"
#include "server/bmp_header.h"
#include "shell/common/command_line.h"
#include "shell/common/qt_host.h"
#include "shell/listen/audio_player.h"

namespace {

// How often the player is fed: well inside the sink's own buffer.
constexpr int kFeedMs = 20;
// What one run may save as pictures: a station sends a few a song, but a
// forged one could announce a 2048-pixel square every few milliseconds.
constexpr int kMostPictures = 1000;
constexpr uint64_t kMostPictureBytes = 64ull << 20;
// Lines a second that what the station sends may print: a forged one
// sending thousands of song texts a second would fill a log on the disk.
constexpr int kMostStationLinesPerSecond = 20;

struct Options {
    std::string host;
    int port = 3456;
    std::string bind_address;  // empty: 127.0.0.1 for a station on this machine, else any
    bool companion = false;
    std::string user;
    double seconds = 10;
    bool seconds_given = false;
    std::string wav;
    std::string pictures;  // folder for the received pictures; empty: none fetched
    bool smoothing = true;
    bool play = false;
    int buffer_ms = 1500;
    std::string device;
    bool list_devices = false;
};

// Seconds to listen: above 0 and at most this, so that the milliseconds fit the clock.
constexpr double kMaxSeconds = 1000000;

ParseOutcome parse_options(const QStringList& arguments, Options& o) {
    CommandLine line("velmora-listen",
                     "usage: velmora-listen HOST [--play] [--buffer MS] [--device NAME] [--port P]\n"
                     "                      [--companion] [--user ID] [--seconds N] [--wav OUT.wav]\n"
                     "                      [--pictures DIR] [--bind ADDR] [--no-smoothing]\n"
                     "       velmora-listen --list-devices\n",
                     15);
    line.describe("HOST",
                  "the station's address: dotted (192.0.2.7) or a host name, with\n"
                  "its port after a colon when it is not 3456 (192.0.2.7:24494)");
    const auto play = line.add({"play"}, "", "play the station through the sound card until Ctrl+C");
    const auto buffer = line.add({"buffer"}, "MS",
                                 "with --play: start once this much audio is at hand (default\n"
                                 "1500); more rides out a rougher network, less starts sooner");
    const auto device = line.add({"device"}, "NAME",
                                 "with --play: the audio output to use (default: the default one)");
    const auto list_devices = line.add({"list-devices"}, "", "list the audio outputs and end");
    const auto port =
        line.add({"port"}, "P", "the station's port (default 3456; HOST:P also gives it)");
    const auto companion = line.add({"companion"}, "", "receive the companion (double-rate) stream");
    const auto user = line.add({"user"}, "ID", "join as a listener of a station that keeps a user list");
    const auto seconds = line.add({"seconds"}, "N",
                                  "listen this long (default 10, with --play until Ctrl+C);\n"
                                  "without an answer from the station it gives up after 5 seconds");
    const auto wav = line.add({"wav"}, "OUT.wav", "write the decoded audio as 8-bit mono WAV");
    const auto pictures = line.add({"pictures"}, "DIR",
                                   "fetch every picture the station shows and save it as BMP\n"
                                   "(the folder is made when it is missing)");
    const auto bind = line.add({"bind"}, "ADDR",
                               "the local address to listen on (default 127.0.0.1 for a\n"
                               "station on this machine, else every address)");
    const auto no_smoothing = line.add({"no-smoothing"}, "",
                                       "keep the steps the codec leaves at 256-sample chunk edges\n"
                                       "(by default they are softened to spare the clicks)");
    ParseOutcome outcome = line.parse(arguments);
    if (!outcome.run) return outcome;
    o.play = line.is_set(play);
    o.list_devices = line.is_set(list_devices);
    o.companion = line.is_set(companion);
    o.smoothing = !line.is_set(no_smoothing);
    if (line.is_set(user)) o.user = line.value(user);
    if (line.is_set(device)) o.device = line.value(device);
    if (line.is_set(wav)) o.wav = line.value(wav);
    if (line.is_set(pictures)) o.pictures = line.value(pictures);
    if (line.is_set(bind)) o.bind_address = line.value(bind);
    double number = 0;
    if (line.is_set(buffer)) {
        if (!parse_number(line.value(buffer), 100, 20000, true, &number))
            return line.wrong("--buffer takes milliseconds from 100 to 20000, not " + line.value(buffer));
        o.buffer_ms = static_cast<int>(number);
    }
    if (line.is_set(seconds)) {
        o.seconds_given = true;
        if (!parse_number(line.value(seconds), 0, kMaxSeconds, false, &o.seconds) || o.seconds == 0)
            return line.wrong("--seconds takes a number above 0 and up to 1000000, not " + line.value(seconds));
    }
    if (line.is_set(port)) {
        if (!parse_number(line.value(port), 1, 65535, true, &number))
            return line.wrong("--port takes 1 to 65535, not " + line.value(port));
        o.port = static_cast<int>(number);
    }
    const std::vector<std::string> rest = line.arguments();
    if (rest.size() > 1) return line.wrong("one station only, not " + rest[0] + " and " + rest[1]);
    if (rest.empty() && !o.list_devices) return line.wrong("the station's HOST is missing");
    if (!rest.empty()) o.host = rest[0];
    const size_t colon = o.host.find(':');
    if (colon != std::string::npos) {
        const std::string port_text = o.host.substr(colon + 1);
        if (!parse_number(port_text, 1, 65535, true, &number))
            return line.wrong("the port after " + o.host.substr(0, colon) +
                              ": takes 1 to 65535, not " + port_text);
        if (line.is_set(port) && static_cast<int>(number) != o.port)
            return line.wrong("two ports given: " + o.host + " and --port " + line.value(port));
        o.port = static_cast<int>(number);
        o.host.resize(colon);
    }
    return outcome;
}

bool is_loopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

// The station's IPv4 address: dotted, or a host name looked up once.
bool station_address(const std::string& host, int port, sockaddr_in* out, std::string* error) {
    if (ipv4_from_dotted(host.c_str(), static_cast<uint16_t>(port), out)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        *error = "cannot find the station " + host + ": " + gai_strerror(result);
        return false;
    }
    *out = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    out->sin_port = htons(static_cast<uint16_t>(port));
    freeaddrinfo(found);
    return true;
}

// A text from the station as it may go to a terminal: control characters
// (ESC, BEL, CR, ... and the C1 controls of UTF-8) would retitle the
// terminal or overwrite lines, so they and the backslash are shown escaped.
std::string visible(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c == '\\') {
            shown += "\\\\";
        } else if (c < 0x20 || c == 0x7F || c1) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02X", c1 ? static_cast<unsigned char>(text[++i]) : c);
            shown += code;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// Removes what listeners killed while saving a picture left in `folder`
// (picture_NN.bmp.tmpXXXXXX), sparing those another running listener writes.
void remove_stale_pictures(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        unsigned number = 0;
        int end = 0;
        if (sscanf(entry->d_name, "picture_%u.bmp.tmp%n", &number, &end) == 1 && end > 0)
            remove_stale_temporaries(folder + "/" + std::string(entry->d_name, size_t(end) - 4));
    }
    closedir(dir);
}

// A picture as a 24-bit BMP (width a multiple of 4, so rows need no
// padding), written beside its name and renamed into place.
bool write_picture(const std::string& path, const ListenerPicture& p, std::string* why) {
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, p.columns * 32, p.rows * 32);
    OutputFile out;
    if (!begin_output(out, path)) {
        *why = out.why;
        return false;
    }
    if (fwrite(header, 1, sizeof header, out.file) != sizeof header ||
        fwrite(p.pixels.data(), 1, p.pixels.size(), out.file) != p.pixels.size()) {
        *why = strerror(errno);
        return false;
    }
    if (!commit_output(out)) {
        *why = out.why;
        return false;
    }
    return true;
}

struct Run {
    Options o;
    Listener l;
    AudioPlayer player;
    QAudioDevice device;
    std::vector<uint8_t> heard;  // decoded, not yet written to the WAV file
    WavSeries wav;  // the first file named as given, then NAME-2.wav, ...
    int pictures_fetched = 0, pictures_saved = 0;
    uint64_t picture_bytes = 0;
    bool pictures_full = false;
    bool pictures_failed = false;  // one could not be written
    int status = 0;  // set when the run ends early
    bool ending = false;
    uint32_t lines_second = 0;  // when the current second of printing began
    int lines_printed = 0, lines_held = 0;

    void end(int exit_status) {
        if (ending) return;
        ending = true;
        if (status == 0) status = exit_status;  // a failure seen before stays
        QCoreApplication::exit(status);
    }

    void save_pictures() {
        for (const ListenerPicture& p : l.finished_pictures) {
            if (pictures_failed) break;
            const uint64_t size = BMP_HEADER_SIZE + p.pixels.size();
            if (pictures_saved >= kMostPictures || picture_bytes + size > kMostPictureBytes) {
                if (!pictures_full)
                    printf("pictures: %d saved, %llu MB: no more are saved in this run\n",
                           pictures_saved, static_cast<unsigned long long>(picture_bytes >> 20));
                pictures_full = true;
                continue;
            }
            char name[64];
            snprintf(name, sizeof name, "/picture_%02d.bmp", ++pictures_fetched);
            std::string path = o.pictures + name, why;
            if (write_picture(path, p, &why)) {
                ++pictures_saved;
                picture_bytes += size;
                printf("picture saved: %s (%d of %d tiles)\n", path.c_str(), p.tiles, p.columns * p.rows);
            } else {
                // A full disk stays full: one message, no more tries, and the run fails.
                fprintf(stderr,
                        "velmora-listen: cannot write %s: %s: no more pictures are saved in "
                        "this run\n",
                        path.c_str(), why.c_str());
                pictures_failed = true;
                status = 1;
            }
        }
        l.finished_pictures.clear();
    }

    // Says how many lines of the last second were held back (at the end of
    // a second and of the run).
    void say_held() {
        if (lines_held > 0)
            printf("(%d more lines of what the station sent were not printed)\n", lines_held);
        lines_held = 0;
    }

    // Whether a line caused by the station may be printed now; past the
    // budget of a second the lines are counted and their number said later.
    bool may_print() {
        if (lines_printed < kMostStationLinesPerSecond) return ++lines_printed, true;
        return ++lines_held, false;
    }

    void take_notes() {
        const uint32_t now = monotonic_ms();
        if (now - lines_second >= 1000) {
            say_held();
            lines_second = now;
            lines_printed = 0;
        }
        for (const ListenerNote& n : l.notes) {
            switch (n.kind) {
            case kNoteJoined:
                if (may_print()) {
                    printf("joined \"%s\" at %d Hz (session %u)\n", visible(n.text).c_str(),
                           l.sampling_rate, l.session);
                    if (!n.song.empty()) printf("now playing: %s\n", visible(n.song).c_str());
                }
                follow_rate();
                start_player();
                break;
            case kNoteSongText:
                // Sent by the station when it changes.
                if (may_print()) printf("song: %s\n", visible(n.text).c_str());
                break;
            case kNotePictureAnnounced:
                if (may_print()) printf("picture: %d x %d tiles\n", n.column, n.row);
                break;
            case kNoteRefused:
                printf("refused: %s\n", visible(n.text).c_str());
                end(3);
                break;
            case kNoteRejoining:
                printf("no audio for 3 seconds: joining again\n");
                break;
            case kNoteRestarted:
                if (may_print()) printf("the station started afresh: following its new stream\n");
                break;
            case kNotePictureTile:
            case kNotePictureDone:
                break;
            }
        }
        l.notes.clear();
        if (!o.pictures.empty()) save_pictures();
        else l.finished_pictures.clear();
        fflush(stdout);
    }

    // Says which WAV files are complete; one that cannot be written ends
    // the run with status 1, also when it was ending anyway.
    bool wav_written(bool ok) {
        for (const WavSeries::Written& w : wav.written)
            printf("wrote %s: %u samples at %d Hz\n", w.path.c_str(), w.samples, w.sample_rate);
        wav.written.clear();
        if (ok) return true;
        fprintf(stderr, "velmora-listen: cannot write %s: %s\n", wav.stream.out.path.c_str(),
                wav.stream.out.why.c_str());
        end(1);
        status = 1;
        return false;
    }

    // Moves the decoded audio to the WAV files (when they are written): a
    // run longer than one file holds goes on in the next.
    void write_heard() {
        if (wav.stream.out.file) wav_written(wav_series_add(wav, heard.data(), heard.size()));
        heard.clear();
    }

    // On a join: the first opens the WAV file; one at another rate ends it
    // (with what the old stream left) and goes on in the next.
    void follow_rate() {
        if (o.wav.empty() || (wav.stream.out.file && wav.stream.sample_rate == l.sampling_rate))
            return;
        if (wav.stream.out.file) {
            heard.insert(heard.end(), l.flushed.begin(), l.flushed.end());
            l.flushed.clear();
            write_heard();
            if (status == 1) return;
        }
        wav_written(wav_series_begin(wav, l.sampling_rate));
    }

    void start_player() {
        if (!o.play || (player.running() && player.station_rate() == l.sampling_rate)) return;
        QString error;
        if (!player.start(device, l.sampling_rate, o.buffer_ms, &error)) {
            fprintf(stderr, "velmora-listen: %s\n", qPrintable(error));
            end(1);
            return;
        }
        printf("playing on %s at %d Hz\n", qPrintable(device.description()), player.output_rate());
    }

    void step() {
        const uint32_t now = monotonic_ms();
        listener_poll(l, now);
        take_notes();
        if (o.play && player.running()) {
            player.feed(l, wav.stream.out.file ? &heard : nullptr);
            if (!player.error_text().isEmpty()) {
                fprintf(stderr, "velmora-listen: audio output %s: %s\n", qPrintable(device.description()),
                        qPrintable(player.error_text()));
                end(1);
            }
        } else {
            // Without a player a block waits for its lost frames while the
            // station can still resend them.
            const bool due = jitter_pending_frames(l.audio) >= int(kStationResendStore + 8);
            while (listener_decode(l, due, heard) > 0) {
            }
        }
        write_heard();
        const bool time_up =
            (o.seconds_given || !o.play) && now - l.opened_ms >= static_cast<uint32_t>(o.seconds * 1000);
        // Listening a shorter while than the wait for an answer is no success either.
        if (!l.admitted && !l.refused && (time_up || now - l.opened_ms >= kListenerNoAnswerMs)) {
            fprintf(stderr, "velmora-listen: no station answered at %s port %d\n", o.host.c_str(), o.port);
            end(1);
        } else if (time_up) {
            end(0);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    block_stop_signals();
    Run run;
    Options& o = run.o;
    ParseOutcome parsed = parse_options(argument_list(argc, argv), o);
    if (!parsed.run) return print_outcome(parsed);
    run.wav.path = o.wav;
    QCoreApplication app(argc, argv);
    if (o.list_devices) {
        const QStringList names = audio_output_names();
        if (names.isEmpty()) {
            fprintf(stderr, "velmora-listen: no audio output: no sound server or sound card answers\n");
            return 1;
        }
        for (const QString& name : names) printf("%s\n", qPrintable(name));
        return 0;
    }
    ListenerConfig config;
    std::string error;
    if (!station_address(o.host, o.port, &config.station, &error)) {
        fprintf(stderr, "velmora-listen: %s\n", error.c_str());
        return 1;
    }
    if (o.bind_address.empty()) o.bind_address = is_loopback(config.station) ? "127.0.0.1" : "0.0.0.0";
    if (!ipv4_from_dotted(o.bind_address.c_str(), 0, &config.local)) {
        fprintf(stderr, "velmora-listen: --bind takes a dotted address such as 127.0.0.1, not %s\n",
                o.bind_address.c_str());
        return 2;
    }
    if (!o.pictures.empty() && !make_directories(o.pictures)) {
        fprintf(stderr, "velmora-listen: cannot make the picture folder %s: %s\n", o.pictures.c_str(),
                strerror(errno));
        return 1;
    }
    if (!o.pictures.empty()) remove_stale_pictures(o.pictures);
    if (o.play) {
        QString error;
        if (!find_audio_output(QString::fromStdString(o.device), &run.device, &error)) {
            fprintf(stderr, "velmora-listen: %s\n", qPrintable(error));
            return 1;
        }
    }
    config.companion = o.companion;
    config.user = o.user;
    config.fetch_pictures = !o.pictures.empty();
    config.smoothing = o.smoothing;
    config.buffer_ms = o.buffer_ms;
    if (!listener_open(run.l, config, monotonic_ms(), &error)) {
        fprintf(stderr, "velmora-listen: %s\n", error.c_str());
        return 1;
    }
    if (!watch_stop_signals(&app, [&] { run.end(0); })) {
        fprintf(stderr, "velmora-listen: cannot watch for Ctrl+C: %s\n", strerror(errno));
        return 1;
    }
    QSocketNotifier readable(run.l.socket.fd(), QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] { run.step(); });
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] { run.step(); });
    timer.start(kFeedMs);
    app.exec();
    readable.setEnabled(false);

    Listener& l = run.l;
    listener_close(l);
    if (!o.pictures.empty()) run.save_pictures();
    run.heard.insert(run.heard.end(), l.flushed.begin(), l.flushed.end());
    jitter_finish(l.audio, run.heard);
    run.write_heard();
    if (run.wav.stream.out.file && !run.wav_written(wav_series_finish(run.wav))) return 1;
    run.say_held();
    printf("summary: packets %d, probes %d, gaps %d, recovered %d, lost %d, late %d, underruns %d, "
           "pictures %d\n",
           l.audio_packets, l.probes, l.audio.gaps, l.audio.recovered, l.audio.lost, l.audio.late,
           run.player.playout().underruns, run.pictures_saved);
    // The sound output is left to the system to close: Qt's stop of it
    // aborted the program now and then at this point (its connection to the
    // sound server already gone), after everything above was done.
    fflush(stdout);
    fflush(stderr);
    std::_Exit(run.status != 0 ? run.status : l.admitted ? 0 : 1);
}
