// velmora-station: the station without a window. It loads the settings,
// broadcasts (at the first tick when AutoStart is 1, or with --start),
// prints every operator message and a status line every few seconds, and
// stops properly on SIGINT or SIGTERM.

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/context.h"
#include "app/controller.h"
#include "app/status_text.h"
#include "platform/single_instance.h"
#include "shell/headless/headless_host.h"

namespace {

int g_signal_pipe[2] = {-1, -1};  // the only way out of a signal handler

constexpr long kMaxStatusInterval = 86400;  // a day; the timer counts milliseconds in an int

void on_signal(int) {
    char byte = 1;
    ssize_t ignored = write(g_signal_pipe[1], &byte, 1);
    (void)ignored;
}

void usage() {
    fprintf(stderr,
            "usage: velmora-station [SETTINGS-FILE] [--start] [--answer yes|no]\n"
            "                       [--status-interval SECONDS]\n"
            "  SETTINGS-FILE      settings file (default lumo.ini in ~/.config/velmora)\n"
            "  --start            start broadcasting at once\n"
            "  --answer yes|no    the answer given to questions (default yes)\n"
            "  --status-interval  seconds between status lines (default 5, 0 = none,\n"
            "                     at most 86400)\n");
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
    printf("%s | %s | %s | listeners %s | busy %d | %s | %s\n", state_word(ctx),
           s.feed_mode == FEED_SCRIPT ? "script" : "live", rate_line(s.TransferRate).c_str(),
           listeners_line(ctx).c_str(), ctx.listeners.busy_rejections, elapsed.c_str(),
           now_playing(ctx).c_str());
    fflush(stdout);
}

// Stops whatever runs, closes the station and leaves with status 0.
void stop_and_quit(Context& ctx) {
    if (ctx.state.broadcast_state != BS_IDLE) {
        if (ctx.state.feed_mode == FEED_SCRIPT) stop_broadcast(ctx);
        else finish_stop(ctx);
    }
    on_close_request(ctx);
    QCoreApplication::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string settings_file;
    bool start = false, answer_yes = true;
    int status_interval = 5;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--start") {
            start = true;
        } else if (arg == "--answer" && i + 1 < argc) {
            std::string answer = argv[++i];
            if (answer != "yes" && answer != "no") return usage(), 2;
            answer_yes = answer == "yes";
        } else if (arg == "--status-interval" && i + 1 < argc) {
            char* end = nullptr;
            long seconds = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end || seconds < 0 || seconds > kMaxStatusInterval)
                return usage(), 2;
            status_interval = static_cast<int>(seconds);
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            usage();
            return 2;
        } else {
            settings_file = arg;
        }
    }

    HeadlessHost host(answer_yes);
    auto ctx = make_context(host);
    host.attach(ctx.get());

    // This station records nothing: a live feed could never start, so the
    // operator is told at once and the script is played instead.
    const bool no_sound_card = true;
    bool needs_station_info = false;
    if (!controller_startup(*ctx, settings_file.c_str(), no_sound_card, &needs_station_info))
        return 1;
    printf("[%s] settings %s, station port %d\n", PROGRAM_TITLE,
           ctx->state.settings_file.c_str(), ctx->state.STATION_PORT);
    if (needs_station_info)
        printf("[%s] hint: the settings name no StationLocation; set StationName, "
               "StationLocation and the other station details in %s\n",
               PROGRAM_TITLE, ctx->state.settings_file.c_str());
    fflush(stdout);

    // One station per settings file: a second one would fight for its port and logs.
    InstanceLock instance_lock;
    if (acquire_instance_lock(instance_lock, ctx->state.settings_file) == 0) {
        printf("[%s] another station already runs with %s\n", PROGRAM_TITLE,
               ctx->state.settings_file.c_str());
        return 0;
    }

    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_signal_pipe) != 0) return 1;
    QSocketNotifier signal_notifier(g_signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&signal_notifier, &QSocketNotifier::activated, [&] {
        char byte;
        ssize_t ignored = read(g_signal_pipe[0], &byte, 1);
        (void)ignored;
        printf("[%s] signal received, stopping\n", PROGRAM_TITLE);
        stop_and_quit(*ctx);
    });
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
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
    release_instance_lock(instance_lock);
    return host.exit_requested() ? host.exit_status() : status;
}
