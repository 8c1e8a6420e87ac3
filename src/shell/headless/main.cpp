// velmora-station: the station without a window. It loads the settings,
// goes on the air at once (it has no Start button, so AutoStart=0 changes nothing),
// prints every operator message and a status line every few seconds, and
// stops properly on SIGINT, SIGTERM or SIGHUP.

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "app/control_commands.h"
#include "app/controller.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "app/settings_schema.h"
#include "app/status_report.h"
#include "app/status_text.h"
#include "base/version.h"
#include "platform/single_instance.h"
#include "shell/headless/headless_host.h"
#include "shell/headless/station_options.h"
#include "shell/headless/status_server.h"
#include "shell/common/control_server.h"
#include "shell/common/web_server.h"
#include "platform/registry.h"
#include "web/directory.h"
#include "web/proxy_settings.h"

namespace {

void print_status(Context& ctx) {
    const StationState& s = ctx.state;
    std::string elapsed = "----";
    if (ctx.sender.broadcast_state != BroadcastState::idle)
        elapsed = elapsed_text(ctx.host->time_now() - ctx.station.broadcast_start_time);
    std::string feed = feed_word(ctx);
    if (ctx.live_ring.feed_mode != FeedMode::script)
        feed += ", level " + std::to_string(ctx.capture.peak_level);
    std::string outputs = outputs_line(ctx);
    if (!outputs.empty()) outputs = " | " + outputs;
    printf("%s | %s | %s | listeners %s | busy %d | %s | %s | %s%s\n", broadcast_state_word(ctx), feed.c_str(),
           rate_line(s.TransferRate).c_str(),
           listeners_line(ctx).c_str(), ctx.listeners.busy_rejections, elapsed.c_str(),
           directory_state_text(ctx.web.directory_listed, ctx.web).c_str(), now_playing(ctx).c_str(),
           outputs.c_str());
    fflush(stdout);
}

// Stops whatever runs, closes the station and leaves with status 0, or
// with the failure's status when the station had failed for good.
void stop_and_quit(Context& ctx) {
    stop_for_exit(ctx);
    QCoreApplication::exit(ctx.sender.failure_status);
}

// --set-proxy: the four values as the proxy dialog stores them, the
// password read from standard input.
int set_proxy(ProxySettings proxy) {
    if (!std::getline(std::cin, proxy.password) && !std::cin.eof()) {
        fprintf(stderr, "velmora-station: cannot read the password from standard input\n");
        return 1;
    }
    std::string& password = proxy.password;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.size() > PROXY_FIELD_MAX) {
        fprintf(stderr, "velmora-station: the password has more than 127 characters\n");
        return 1;
    }
    if (!save_proxy_settings(proxy)) {
        fprintf(stderr, "velmora-station: cannot write %s: %s\n", registry_file_path().c_str(),
                strerror(errno));
        return 1;
    }
    if (proxy.server.empty())
        printf("velmora-station: no proxy (stored in %s)\n", registry_file_path().c_str());
    else
        printf("velmora-station: proxy %s port %d for user %s stored in %s\n", proxy.server.c_str(),
               proxy.port, proxy.user_id.c_str(), registry_file_path().c_str());
    return 0;
}

// --list-categories: one category path a line; 1 when the directory could not be reached.
int list_categories(Context& ctx) {
    CategoryList list;
    if (fetch_categories(ctx, ctx.web, list) != 1) {
        fprintf(stderr, "velmora-station: the station directory's categories could not be fetched "
                        "from %s\n", ctx.state.CATEGORIES_URL.c_str());
        return 1;
    }
    for (const std::string& path : list.paths) printf("%s\n", path.c_str());
    if (!list.announced_version.empty())
        printf("version %s announced, download: %s\n", list.announced_version.c_str(),
               list.download_address.c_str());
    if (list.cut) {
        fprintf(stderr, "velmora-station: the directory's reply from %s was longer than %d bytes: "
                        "the list is cut after %zu categories\n",
                ctx.state.CATEGORIES_URL.c_str(), CATEGORIES_BUFFER_SIZE, list.paths.size());
        return 1;
    }
    return 0;
}

// --check: every problem of the settings and what they name, one a line
// ("FILE:LINE: error: ..."); 0 when there is none.
int check_settings(Context& ctx) {
    SettingsReport report;
    check_station(ctx, report);
    // Each file's problems together, in the order of their lines.
    std::stable_sort(report.problems.begin(), report.problems.end(),
                     [](const SettingsProblem& a, const SettingsProblem& b) {
                         return a.file != b.file ? a.file < b.file : a.line < b.line;
                     });
    for (SettingsProblem problem : report.problems) {
        problem.text = (problem.error ? "error: " : "warning: ") + problem.text;
        printf("%s\n", problem_text(problem).c_str());
    }
    if (report.problems.empty()) {
        printf("%s: no problems found\n", ctx.state.settings_file.c_str());
        return 0;
    }
    printf("%s: %d error%s, %d warning%s\n", ctx.state.settings_file.c_str(), report.errors(),
           report.errors() == 1 ? "" : "s", report.warnings(), report.warnings() == 1 ? "" : "s");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    block_stop_signals();
    StationOptions o;
    ParseOutcome parsed = parse_station_options(argument_list(argc, argv), o);
    if (!parsed.run) return print_outcome(parsed);
    if (o.set_proxy) return set_proxy(o.proxy);
    if (!o.settings_reference.empty()) {
        const ReferenceFormat format =
            o.settings_reference == "man" ? ReferenceFormat::man : ReferenceFormat::markdown;
        fputs(settings_reference(format).c_str(), stdout);
        return 0;
    }
    // Whole lines at once into a pipe or the journal, as into a terminal.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);

    std::string settings_file, problem;
    if (!find_settings_file(o.settings_name.c_str(), &settings_file, &problem)) {
        fprintf(stderr, "velmora-station: %s\n", problem.c_str());
        return 1;
    }
    if (o.check) {
        // Nothing is started and no lock taken: a running station's file may be checked.
        HeadlessHost host(false);
        auto ctx = make_context(host);
        host.attach(ctx.get());
        setup_paths(*ctx, settings_file);
        return check_settings(*ctx);
    }
    if (o.list_categories) {
        // Downloading a new version is for an operator who asked for it.
        HeadlessHost host(o.answer_given && o.answer_yes);
        auto ctx = make_context(host);
        host.attach(ctx.get());
        setup_paths(*ctx, settings_file);
        load_settings(*ctx, true);
        return list_categories(*ctx);
    }
    // One station per settings file: a second one would fight for its port and logs.
    InstanceLock lock;  // goes when main ends, whichever way it returns
    int locked = acquire_instance_lock(lock, settings_file);
    if (locked == 0) {
        fprintf(stderr, "velmora-station: another station already runs with %s (its lock is %s)\n",
                settings_file.c_str(), lock.path.c_str());
        return 1;
    }
    if (locked < 0)
        fprintf(stderr,
                "velmora-station: warning: cannot make the lock file %s (%s); a second station "
                "on these settings would not be stopped\n",
                lock.path.c_str(), strerror(errno));

    HeadlessHost host(o.answer_yes);
    auto ctx = make_context(host);
    host.attach(ctx.get());
    // Bound before the station starts: a port in use ends the start with its reason.
    StatusServer status_server;
    std::string status_problem;
    if (!o.status_http.empty() && !status_server.listen(o.status_host, o.status_port, status_problem)) {
        fprintf(stderr, "velmora-station: --status-http %s: %s\n", o.status_http.c_str(),
                status_problem.c_str());
        return 1;
    }

    // --capture makes the feed live from its source; without it a live feed
    // records from the sound card, when there is one.
    std::string capture_problem;
    // (A source written wrongly was refused with the command line; a file may still fail.)
    auto source = make_capture_source(o.capture.empty() ? "default" : o.capture, capture_problem);
    if (!source) {
        fprintf(stderr, "velmora-station: --capture %s: %s\n", o.capture.c_str(), capture_problem.c_str());
        return 1;
    }
    const bool no_sound_card = o.capture.empty() && !sound_card_present();
    if (!no_sound_card) host.set_capture_source(std::move(source));
    bool needs_station_info = false;
    SettingsReport report;
    if (!controller_startup(*ctx, settings_file.c_str(), no_sound_card, &needs_station_info, &report))
        return 1;
    if (!o.capture.empty()) {
        ctx->state.MODE = 1;
        ctx->live_ring.feed_mode = FeedMode::live_priming;
        update_start_menu(*ctx);
    }
    // Nobody is here to pick a script: the script feed must have one.
    if (ctx->live_ring.feed_mode == FeedMode::script) check_station_script(*ctx, report, true);
    // Nor to read the page's address again: a page asked for must be served.
    if (!o.web.empty()) ctx->state.WEB_LISTEN = o.web;
    check_web_listen(*ctx, report, true);
    tell_settings_problems(*ctx, report);
    if (report.errors() > 0) {
        fprintf(stderr, "velmora-station: the station does not start: %d problem%s in %s (see above)\n",
                report.errors(), report.errors() == 1 ? "" : "s", settings_file.c_str());
        return 1;
    }
    // The listeners' page, bound before the station starts: a port in use
    // ends the start with its reason.
    WebServer web_server(ctx->web_stream.feed());
    std::string web_problem;
    if (!ctx->state.WEB_LISTEN.empty() && !web_server.listen(ctx->state.WEB_LISTEN, web_problem)) {
        fprintf(stderr, "velmora-station: %s\n", web_problem.c_str());
        return 1;
    }
    // The control socket (velmora-ctl): a station an administrator cannot
    // reach does not start as if all were well.
    ControlServer control([&ctx](const std::string& line) { return control_request(*ctx, line); });
    const std::string control_path = control_socket_path(control_station_name(ctx->state.settings_file));
    std::string control_problem;
    if (!control.listen(control_path, ctx->state.CONTROL_GROUP, control_problem)) {
        fprintf(stderr, "velmora-station: no control socket: %s\n", control_problem.c_str());
        return 1;
    }
    printf("[%s] settings %s, station port %d\n", PROGRAM_TITLE,
           ctx->state.settings_file.c_str(), ctx->state.STATION_PORT);
    if (locked > 0) printf("[%s] lock file %s\n", PROGRAM_TITLE, lock.path.c_str());
    if (!o.status_http.empty())
        printf("[%s] status on %s (also status.json and metrics)\n", PROGRAM_TITLE,
               status_server.url().c_str());
    if (!ctx->state.WEB_LISTEN.empty())
        printf("[%s] listeners' page on %s (stream /listen.opus)\n", PROGRAM_TITLE,
               web_server.url().c_str());
    printf("[%s] control socket %s (velmora-ctl --socket %s status)\n", PROGRAM_TITLE,
           control_path.c_str(), control_path.c_str());
    if (needs_station_info)
        printf("[%s] hint: the settings name no StationLocation; set StationName, "
               "StationLocation and the other station details in %s\n",
               PROGRAM_TITLE, ctx->state.settings_file.c_str());
    fflush(stdout);

    // A request under way (the directory add, say) ends at once; the stop
    // runs once its caller has returned to the main loop.
    std::function<void()> stop_when_no_request = [&] {
        if (!host.http().running()) return stop_and_quit(*ctx);
        host.http().abort();
        QTimer::singleShot(10, stop_when_no_request);
    };
    if (!watch_stop_signals(&app, [&] {
            printf("[%s] signal received, stopping\n", PROGRAM_TITLE);
            stop_when_no_request();
        }))
        return 1;
    QObject::connect(&host, &HeadlessHost::close_requested, [&] { stop_and_quit(*ctx); });
    // A station that failed for good (no song of its script can be played)
    // ends, so that a service manager sees the failure and can restart it.
    QObject::connect(&host, &HeadlessHost::controller_called, [&] {
        if (ctx->sender.failure_status != 0 && ctx->sender.broadcast_state == BroadcastState::idle &&
            !host.exit_requested())
            host.exit_program(ctx->sender.failure_status);
    });

    host.start_timers();

    // The status endpoint answers from a copy, handed over a few times a second.
    QTimer publish_timer;
    if (!o.status_http.empty()) {
        QObject::connect(&publish_timer, &QTimer::timeout,
                         [&] { status_server.publish(collect_status(*ctx)); });
        status_server.publish(collect_status(*ctx));
        publish_timer.start(StatusServer::kPublishIntervalMs);
    }

    QTimer status_timer;
    QObject::connect(&status_timer, &QTimer::timeout, [&] { print_status(*ctx); });
    if (o.status_interval > 0) status_timer.start(o.status_interval * 1000);

    // Without a window there is no Start button: the station goes on the
    // air, whatever AutoStart says. With AutoStart 1 the first tick starts
    // the broadcast; a second start command would toggle it off again.
    if (ctx->state.AutoStart != 1) host.post_command(Command::start_stop);
    int status = app.exec();
    print_status(*ctx);
    if (host.exit_requested()) return host.exit_status();
    return status != 0 ? status : ctx->sender.failure_status;
}
