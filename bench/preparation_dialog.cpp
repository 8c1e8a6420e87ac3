// The song preparation dialog as the operator sees it, offscreen: a script
// of three 30-second 44100 Hz 16-bit stereo songs prepared for a 44100 Hz
// station, the dialog's steps driven by its own timer in Qt's event loop.
//
//   longest_block_ms  the longest time the event loop was held by one step,
//                     seen by a 1 ms probe timer (goal: under 50 ms)
//   songs_per_minute  songs the dialog prepares per minute of wall time
//   compress_songs_per_minute  the same script through velmora-compress
//   dialog_vs_compress         compress CPU time / dialog CPU time (goal: at
//                              least 0.9); CPU time, because on a shared
//                              machine the wall times swing with the load
//   dialog_vs_compress_wall    the same in wall time

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "media/entry_list.h"
#include "shell/window/editors/editor_seams.h"
#include "shell/window/editors/preparation_dialogs.h"
#include "shell/window/window_host.h"
#include "support/synthetic_audio.h"
#include "support/wav_bytes.h"

namespace {

constexpr int kRate = 44100;
constexpr int kTransferRate = 4410;
constexpr int kSongs = 3;
constexpr int kSeconds = 30;

struct Files {
    std::string dir;
    std::string script;
    Files() {
        char pattern[] = "/tmp/velmora-prepare-XXXXXX";
        dir = mkdtemp(pattern);
        script = dir + "/three.VSK";
        write(dir + "/station.ini", "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\n");
        EntryList list;
        for (int s = 0; s < kSongs; ++s) {
            // Music-like 8-bit mono widened to 16-bit stereo, the channels apart.
            std::vector<uint8_t> mono = synthetic::music_like(kRate * kSeconds, kRate, 5 + s);
            std::string data;
            data.reserve(mono.size() * 4);
            for (size_t i = 0; i < mono.size(); ++i) {
                int v = (mono[i] - 128) * 256;
                data += wav_bytes::le16(uint32_t(v) & 0xFFFF);
                data += wav_bytes::le16(uint32_t(v * 3 / 4) & 0xFFFF);
            }
            const std::string song = dir + "/song" + std::to_string(s) + ".wav";
            write(song, wav_bytes::pcm(kRate, 2, 16, data));
            list.entries.push_back(format_entry(SCRIPT_LIST, {1, song, "", ""}));
        }
        write(script, entry_file_bytes(list, kRate, 0));  // the preparation writes the percentage
    }
    ~Files() {
        for (int s = 0; s < kSongs; ++s)
            for (const char* ext : {".wav", ".VMA", ".V40"}) remove((dir + "/song" + std::to_string(s) + ext).c_str());
        for (const char* name : {"/three.VSK", "/station.ini"}) remove((dir + name).c_str());
        rmdir(dir.c_str());
    }
    // Every song waits to be compressed again.
    void unprepare() const {
        for (int s = 0; s < kSongs; ++s)
            for (const char* ext : {".VMA", ".V40"}) remove((dir + "/song" + std::to_string(s) + ext).c_str());
    }
    static void write(const std::string& path, const std::string& bytes) {
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
};

const Files& files() {
    static Files f;
    return f;
}

double thread_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Run {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds of CPU
};

// With `longest_block_ms` the loop is probed (which costs a little time).
Run dialog_run(double* longest_block_ms) {
    WindowHost host;
    host.box_answers = [](const char* text, BoxStyle) {
        fprintf(stderr, "message: %s\n", text);
        return Answer::ok;
    };
    auto ctx = make_context(host);
    host.attach(ctx.get());
    ctx->state.SamplingRate = kRate;
    ctx->state.TransferRate = kTransferRate;
    EditorSeams seams;
    files().unprepare();

    // The probe runs whenever the event loop does; between two of its runs
    // the loop was held by a step (and the drawing after it). The time is
    // the thread's own CPU time, so that another process taking the core
    // meanwhile does not count as a block.
    QTimer probe;
    double since = thread_ms(), longest = 0;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const double now = thread_ms();
        longest = std::max(longest, now - since);
        since = now;
    });

    auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_ms();
    SongPreparationDialog dialog(*ctx, seams, files().script, nullptr);
    dialog.show();
    since = thread_ms();
    if (longest_block_ms) probe.start(1);
    dialog.compress();
    while (dialog.isVisible()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    probe.stop();
    if (longest_block_ms) *longest_block_ms = longest;
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            (thread_ms() - cpu_start) / 1e3};
}

Run compress_run() {
    files().unprepare();
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        const std::string program = std::string(VELMORA_BIN_DIR) + "/velmora-compress";
        const std::string settings = files().dir + "/station.ini";
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        execl(program.c_str(), program.c_str(), "--settings", settings.c_str(), files().script.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {-1, -1};
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

void prepare_three_songs_in_the_dialog(benchmark::State& state) {
    files();
    Run dialog_total, compress_total;
    double longest = 0;
    dialog_run(&longest);
    for (auto _ : state) {
        const Run dialog = dialog_run(nullptr);
        const Run compress = compress_run();
        if (compress.wall < 0) {
            state.SkipWithError("velmora-compress failed");
            return;
        }
        dialog_total.wall += dialog.wall;
        dialog_total.cpu += dialog.cpu;
        compress_total.wall += compress.wall;
        compress_total.cpu += compress.cpu;
        state.SetIterationTime(dialog.wall);
    }
    const double runs = double(state.iterations());
    state.counters["longest_block_ms"] = longest;
    state.counters["songs_per_minute"] = kSongs * runs * 60.0 / dialog_total.wall;
    state.counters["compress_songs_per_minute"] = kSongs * runs * 60.0 / compress_total.wall;
    state.counters["dialog_vs_compress"] = compress_total.cpu / dialog_total.cpu;
    state.counters["dialog_vs_compress_wall"] = compress_total.wall / dialog_total.wall;
}

}  // namespace

BENCHMARK(prepare_three_songs_in_the_dialog)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
