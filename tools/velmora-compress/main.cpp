// velmora-compress: prepares songs (and pictures) for broadcasting.
//
//   velmora-compress [options] SCRIPT.VSK        every WAV song of the script, then its pictures
//   velmora-compress [options] IN.wav [OUT.VMA]  one file (OUT proposed from IN when omitted;
//                                                ".VMA" is appended to an OUT without it)
//
// Options:
//   --settings FILE        the station's settings file (sampling and transfer rate);
//                          without it the station's own "lumo.ini"
//   --sampling-rate HZ     overrides the settings' SamplingRate
//   --transfer-rate BPS    overrides the settings' TransferRate (bytes per second,
//                          500 up to four times the sampling rate)
//   --force                compresses again songs whose files are already up to date
//   --filter               resamples through a low-pass filter instead of picking
//                          samples (no aliases, but files differ from other stations')
//   --help, -h / --version
//
// Song and picture paths in a script are taken as the station takes them:
// relative to the script's folder. A picture the station cannot show fails
// the run; one cut to whole 32 x 32 tiles is said. Files are written under
// temporary names and renamed into place when complete; Ctrl+C leaves the
// files of earlier runs as they were. Exit status: 0 done, 1 some song,
// picture or script line was refused (each named with its cause on
// stderr), 2 wrong usage, 130 interrupted.

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/console_host.h"
#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "codec/stream_rate.h"
#include "base/version.h"
#include "media/picture_pass.h"
#include "media/sample_compression.h"
#include "media/wave_conversion.h"
#include "platform/safe_files.h"

namespace {

constexpr const char* kProgram = "velmora-compress";
constexpr int kRefused = 1;
constexpr int kUsageError = 2;
constexpr int kInterrupted = 130;

// The transfer rates a running station can reach: from 500 bytes per
// second (the keypad and the expert settings go that low; voice stations
// run at 1000) up to four times its sampling rate. Even at 44100 Hz, 500
// keeps the rate percentage at 1, never the 0 no script loader takes.
constexpr int kMinimumTransferRate = 500;
int maximum_transfer_rate(int sampling_rate) { return 4 * sampling_rate; }

// Ctrl+C, a hang-up or a termination request: the work stops between two
// steps, and the job removes the files it was writing.
volatile std::sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

void print_usage(FILE* to) {
    std::fprintf(to,
                 "usage:\n"
                 "  velmora-compress [options] SCRIPT.VSK\n"
                 "  velmora-compress [options] IN.wav [OUT.VMA]\n"
                 "Compresses WAV songs (8, 16, 24 or 32-bit PCM or 32-bit float, any channel count)\n"
                 "into OUT.VMA and its companion OUT.V40 for the station, and prepares the pictures\n"
                 "of a script. Songs whose files are up to date are passed over.\n"
                 "options:\n"
                 "  --settings FILE       settings file (default lumo.ini in ~/.config/velmora,\n"
                 "                        which need not exist: then the defaults)\n"
                 "  --sampling-rate HZ    8000, 11025, 16000, 22050, 32000 or 44100\n"
                 "  --transfer-rate BPS   transfer rate in bytes per second (500 to 4 x the sampling rate)\n"
                 "  --force               compress again files that are up to date\n"
                 "  --filter              resample through a low-pass filter (no aliases;\n"
                 "                        add --force to redo songs already prepared)\n"
                 "  --help, -h            this text\n"
                 "  --version             the version and build\n");
}

int usage_error(const std::string& problem) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    print_usage(stderr);
    return kUsageError;
}

bool parse_number(const char* text, long low, long high, long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

bool is_station_rate(long rate) {
    for (long r : {8000L, 11025L, 16000L, 22050L, 32000L, 44100L})
        if (rate == r) return true;
    return false;
}

struct Options {
    std::vector<std::string> paths;
    std::string settings;  // none named: the default file, which need not exist
    long sampling_rate = 0;
    long transfer_rate = 0;
    bool force = false;
    bool filter = false;
};

const char* parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--force") {
            o.force = true;
        } else if (arg == "--filter") {
            o.filter = true;
        } else if (arg == "--settings") {
            if (!value) return "--settings needs a file name";
            o.settings = value;
            ++i;
        } else if (arg == "--sampling-rate") {
            if (!parse_number(value, 1, 1000000, o.sampling_rate) || !is_station_rate(o.sampling_rate))
                return "--sampling-rate must be 8000, 11025, 16000, 22050, 32000 or 44100";
            ++i;
        } else if (arg == "--transfer-rate") {
            if (!parse_number(value, 1, 1000000, o.transfer_rate))
                return "--transfer-rate must be a positive number of bytes per second";
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option";
        } else {
            o.paths.push_back(arg);
        }
    }
    if (o.paths.empty() || o.paths.size() > 2) return "give a script, or a WAV file and its destination";
    return nullptr;
}

// A RIFF file or a ".wav" name is a song to convert; anything else is taken
// as a script.
bool is_song(const std::string& path) {
    if (path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".wav") == 0) return true;
    FILE* f = open_regular_file(path.c_str());
    if (f == nullptr) return false;
    char magic[4] = {};
    const bool riff = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "RIFF", 4) == 0;
    std::fclose(f);
    return riff;
}

// "velmora-compress: mix.VSK line 3: ..." or "velmora-compress: ..." for one file.
void report(const std::string& script, int line, const std::string& text) {
    if (line > 0)
        std::fprintf(stderr, "%s: %s line %d: %s\n", kProgram, script.c_str(), line, text.c_str());
    else
        std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// Drives the song job to its end with progress on stderr: one line kept
// up to date on a terminal, a line every 10 % for a pipe or a log file.
// Returns 0, or kInterrupted after a stop request (the job's temporary
// files removed).
int run_song_job(Context& ctx, ConsoleHost& host, SongJob& job) {
    const bool terminal = isatty(fileno(stderr));
    std::string shown;
    int shown_line = -1, shown_tens = -1;
    host.window_texts_shown = false;
    while (!stop_requested && song_job_step(ctx, ctx.codec, job) == SONG_JOB_RUNNING) {
        if (shown == job.status_text) continue;
        if (terminal) {
            std::fprintf(stderr, "\r%-60s", job.status_text);
        } else if (job.current != shown_line || job.percent / 10 != shown_tens) {
            std::fprintf(stderr, "%s\n", job.status_text);
            shown_line = job.current;
            shown_tens = job.percent / 10;
        }
        shown = job.status_text;
    }
    host.window_texts_shown = true;
    if (terminal && !shown.empty()) std::fputc('\n', stderr);
    if (stop_requested) {
        end_song_job(ctx, ctx.codec, job);
        std::fprintf(stderr, "%s: interrupted; files of earlier runs are as they were\n", kProgram);
        return kInterrupted;
    }
    return 0;
}

// The work list on stdout, and the cause of every refused line on stderr.
void print_song_lines(const SongJob& job) {
    for (const SongLine& line : job.lines) {
        std::printf("%c %s -> %s\n", line.status, line.source.c_str(), line.destination.c_str());
        if (line.status == SONG_REFUSED) report(job.script_path, line.script_line, line.problem);
        if (!line.note.empty()) report(job.script_path, line.script_line, line.note);
    }
}

int prepare_script(Context& ctx, ConsoleHost& host, const std::string& script, const Options& options) {
    SongJob job;
    job.force = options.force;
    job.filter = options.filter;
    host.window_texts_shown = false;
    const int waiting = open_song_job(ctx, ctx.codec, ctx.state, job, script.c_str());
    host.window_texts_shown = true;
    if (waiting < 0) {
        report("", 0, job.problem);
        return kRefused;
    }
    for (const ScriptProblem& problem : job.script_problems) report(script, problem.line, problem.text);
    if (waiting > 0) {
        start_song_job(ctx, ctx.codec, ctx.state, job);
        if (run_song_job(ctx, host, job) == kInterrupted) return kInterrupted;
    }
    print_song_lines(job);
    const int refused = refused_songs(job) + int(job.script_problems.size());
    end_song_job(ctx, ctx.codec, job);

    // Every picture the station could not show fails the run; one that is
    // cut to whole tiles is only said.
    PicturePass pass;
    if (open_picture_pass(ctx, pass, script.c_str(), true) > 0) {
        int result;
        do {
            result = picture_pass_step(ctx, ctx.pictures, pass);
            if (!pass.problem.empty()) report(script, pass.line, pass.picture + ": " + pass.problem);
            if (!pass.note.empty()) report(script, pass.line, pass.picture + ": " + pass.note);
        } while (!stop_requested && result == PICTURE_PASS_RUNNING);
        if (stop_requested) return kInterrupted;
        // A picture whose copy could not be written is still shown (prepared
        // at the station's start): what failed is the preparation.
        std::printf("pictures: %d prepared, %d failed\n", pass.prepared, pass.failed);
    }
    return refused + pass.failed > 0 ? kRefused : 0;
}

int convert_one(Context& ctx, ConsoleHost& host, const std::string& source, std::string destination,
                const Options& options) {
    if (destination.empty()) destination = wave_destination_name(source);
    SongJob job;
    job.force = options.force;
    job.filter = options.filter;
    open_conversion_job(ctx, ctx.codec, job, source, destination);
    start_song_job(ctx, ctx.codec, ctx.state, job);
    if (run_song_job(ctx, host, job) == kInterrupted) return kInterrupted;
    print_song_lines(job);
    const int refused = refused_songs(job);
    end_song_job(ctx, ctx.codec, job);
    return refused > 0 ? kRefused : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, kProgram, print_usage)) return 0;
    Options options;
    if (const char* problem = parse_options(argc, argv, options)) return usage_error(problem);

    struct sigaction stop {};
    stop.sa_handler = request_stop;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);

    ConsoleHost host;
    auto ctx = make_context(host);
    std::string settings_file, problem;
    if (!find_settings_file(options.settings.c_str(), &settings_file, &problem)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
        return kRefused;
    }
    setup_paths(*ctx, settings_file);
    if (!load_tool_settings(*ctx)) return kRefused;
    if (options.sampling_rate) apply_sampling_rate(ctx->state, ctx->codec, int(options.sampling_rate));
    const int highest = maximum_transfer_rate(ctx->state.SamplingRate);
    if (options.transfer_rate) {
        if (options.transfer_rate < kMinimumTransferRate || options.transfer_rate > highest)
            return usage_error("--transfer-rate must lie between " + std::to_string(kMinimumTransferRate) +
                               " and " + std::to_string(highest) + " at this sampling rate");
        ctx->state.TransferRate = int(options.transfer_rate);
    }
    // A fresh start: the codec-wide values as before any broadcast, at the
    // settings' rate as the station would take it at this sampling rate.
    ctx->codec = CodecState{};
    set_stream_rate(ctx->state, ctx->codec, ctx->state.SamplingRate,
                    std::clamp(ctx->state.TransferRate, kMinimumTransferRate, highest));

    std::fprintf(stderr, "station: %d Hz, %d bytes per second\n", ctx->state.SamplingRate,
                 ctx->state.TransferRate);
    int status;
    if (options.paths.size() == 2 || is_song(options.paths[0]))
        status = convert_one(*ctx, host, options.paths[0], options.paths.size() == 2 ? options.paths[1] : "",
                             options);
    else
        status = prepare_script(*ctx, host, options.paths[0], options);
    if (host.exit_status != 0) return host.exit_status;
    return status;
}
