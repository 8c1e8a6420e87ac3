// velmora-station: the station without a window. It loads the settings,
// broadcasts (at the first tick when AutoStart is 1, or with --start),
// prints every operator message and a status line every few seconds, and
// stops properly on SIGINT or SIGTERM.

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/context.h"
#include "app/controller.h"
#include "app/settings.h"
#include "app/status_text.h"
#include "app/version.h"
#include "platform/single_instance.h"
#include "shell/headless/headless_host.h"

namespace {

constexpr long kMaxStatusInterval = 86400;  // a day; the timer counts milliseconds in an int

void usage(FILE* out) {
    fprintf(out,
            "usage: velmora-station [SETTINGS-FILE] [--start] [--answer yes|no]\n"
            "                       [--status-interval SECONDS] [--capture SOURCE]\n"
            "       velmora-station --help | --version\n"
            "  SETTINGS-FILE      the station's settings file: a name with a folder is that\n"
            "                     file, a bare name is looked for in the current folder,\n"
            "                     then in ~/.config/velmora (default: lumo.ini there)\n"
            "  --start            start broadcasting at once\n"
            "  --answer yes|no    the answer given to questions (default yes)\n"
            "  --status-interval  seconds between status lines (default 5, 0 = none,\n"
            "                     at most 86400)\n"
            "  --capture SOURCE   broadcast live from SOURCE: default (the sound card),\n"
            "                     a WAV file (looped), - (raw unsigned 8-bit mono at the\n"
            "                     sampling rate on standard input) or tone:HZ\n");
}

int usage_error(const std::string& problem) {
    fprintf(stderr, "velmora-station: %s\n", problem.c_str());
    usage(stderr);
    return 2;
}

const char* state_word(const Context& ctx) {
    switch (ctx.state.broadcast_state) {
        case BS_BROADCASTING: return "BROADCASTING";
        case BS_STOP_REQUESTED: return "STOPPING";
        case BS_TRANSITION: return "STARTING";
        default: return "IDLE";
    }
}

void print_status(Context& ctx) {
    const StationState& s = ctx.state;
    std::string elapsed = "----";
    if (s.broadcast_state != BS_IDLE)
        elapsed = elapsed_text(ctx.host->time_now() - ctx.station.broadcast_start_time);
    std::string feed = "script";
    if (s.feed_mode != FEED_SCRIPT) feed = "live, level " + std::to_string(ctx.capture.peak_level);
    printf("%s | %s | %s | listeners %s | busy %d | %s | %s\n", state_word(ctx), feed.c_str(),
           rate_line(s.TransferRate).c_str(),
           listeners_line(ctx).c_str(), ctx.listeners.busy_rejections, elapsed.c_str(),
           now_playing(ctx).c_str());
    fflush(stdout);
}

// Stops whatever runs, closes the station and leaves with status 0.
void stop_and_quit(Context& ctx) {
    stop_for_exit(ctx);
    QCoreApplication::exit(0);
}

// The lock goes when main ends, whichever way it returns.
struct HeldLock {
    InstanceLock lock;
    ~HeldLock() { release_instance_lock(lock); }
};

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-station", usage)) return 0;
    QCoreApplication app(argc, argv);
    std::string settings_name;
    bool start = false, answer_yes = true;
    int status_interval = 5;
    std::string capture_name;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--answer" || arg == "--status-interval" || arg == "--capture") && i + 1 == argc)
            return usage_error(arg + " needs a value");
        if (arg == "--start") {
            start = true;
        } else if (arg == "--answer") {
            std::string answer = argv[++i];
            if (answer != "yes" && answer != "no") return usage_error("--answer takes yes or no");
            answer_yes = answer == "yes";
        } else if (arg == "--capture") {
            capture_name = argv[++i];
        } else if (arg == "--status-interval") {
            char* end = nullptr;
            long seconds = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end || seconds < 0 || seconds > kMaxStatusInterval)
                return usage_error("--status-interval takes 0 to 86400 seconds");
            status_interval = static_cast<int>(seconds);
        } else if (!arg.empty() && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else if (!settings_name.empty()) {
            return usage_error("one settings file only, not " + settings_name + " and " + arg);
        } else {
            settings_name = arg;
        }
    }

    std::string settings_file, problem;
    if (!find_settings_file(settings_name.c_str(), &settings_file, &problem)) {
        fprintf(stderr, "velmora-station: %s\n", problem.c_str());
        return 1;
    }
    // One station per settings file: a second one would fight for its port and logs.
    HeldLock instance;
    int locked = acquire_instance_lock(instance.lock, settings_file);
    if (locked == 0) {
        fprintf(stderr, "velmora-station: another station already runs with %s (its lock is %s)\n",
                settings_file.c_str(), instance.lock.path.c_str());
        return 1;
    }
    if (locked < 0)
        fprintf(stderr,
                "velmora-station: warning: cannot make the lock file %s (%s); a second station "
                "on these settings would not be stopped\n",
                instance.lock.path.c_str(), strerror(errno));

    HeadlessHost host(answer_yes);
    auto ctx = make_context(host);
    host.attach(ctx.get());

    // --capture makes the feed live from its source; without it a live feed
    // records from the sound card, when there is one.
    std::string capture_problem;
    auto source = make_capture_source(capture_name.empty() ? "default" : capture_name, capture_problem);
    if (!source) {
        fprintf(stderr, "velmora-station: --capture %s: %s\n", capture_name.c_str(), capture_problem.c_str());
        return 2;
    }
    const bool no_sound_card = capture_name.empty() && !sound_card_present();
    if (!no_sound_card) host.set_capture_source(std::move(source));
    bool needs_station_info = false;
    if (!controller_startup(*ctx, settings_file.c_str(), no_sound_card, &needs_station_info))
        return 1;
    if (!capture_name.empty()) {
        ctx->state.MODE = 1;
        ctx->state.feed_mode = FEED_LIVE_PRIMING;
        update_start_menu(*ctx);
    }
    printf("[%s] settings %s, station port %d\n", PROGRAM_TITLE,
           ctx->state.settings_file.c_str(), ctx->state.STATION_PORT);
    if (locked > 0) printf("[%s] lock file %s\n", PROGRAM_TITLE, instance.lock.path.c_str());
    if (needs_station_info)
        printf("[%s] hint: the settings name no StationLocation; set StationName, "
               "StationLocation and the other station details in %s\n",
               PROGRAM_TITLE, ctx->state.settings_file.c_str());
    fflush(stdout);

    if (!watch_stop_signals(&app, [&] {
            printf("[%s] signal received, stopping\n", PROGRAM_TITLE);
            stop_and_quit(*ctx);
        }))
        return 1;
    QObject::connect(&host, &HeadlessHost::close_requested, [&] { stop_and_quit(*ctx); });

    // The panel's 128 ms rhythm and the ticks' own precise timer, re-armed
    // for the moment the next tick is due, so that ticks go out one at a
    // time on schedule whatever the sampling rate.
    QTimer panel_timer;
    QObject::connect(&panel_timer, &QTimer::timeout, [&] {
        if (!host.exit_requested()) panel_tick(*ctx);
    });
    panel_timer.start(PACE_TIMER_MS);
    QTimer send_timer;
    send_timer.setSingleShot(true);
    send_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&send_timer, &QTimer::timeout, [&] {
        if (host.exit_requested()) return;
        send_timer.start(send_due_ticks(*ctx));
    });
    send_timer.start(0);

    QTimer status_timer;
    QObject::connect(&status_timer, &QTimer::timeout, [&] { print_status(*ctx); });
    if (status_interval > 0) status_timer.start(status_interval * 1000);

    // With AutoStart 1 the first tick starts the broadcast; a second start
    // command would toggle it off again.
    if (start && ctx->state.AutoStart != 1) host.post_command(CMD_START_STOP);
    int status = app.exec();
    print_status(*ctx);
    return host.exit_requested() ? host.exit_status() : status;
}
