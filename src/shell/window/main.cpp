// velmora-broadcaster: the station with its operator's window.

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "app/control_commands.h"
#include "app/controller.h"
#include "app/panel_view.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "base/version.h"
#include "platform/single_instance.h"
#include "shell/capture/capture_source.h"
#include "shell/window/broadcaster_options.h"
#include "shell/common/control_server.h"
#include "shell/window/listeners_page.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"

namespace {

// Saves the window's picture beside the file and renames it into place.
bool save_screenshot(QWidget& window, const QString& path) {
    QString temp = path + QStringLiteral(".part");
    if (!window.grab().toImage().save(temp, "PNG")) {
        QFile::remove(temp);
        return false;
    }
    QFile::remove(path);
    return QFile::rename(temp, path);
}

}  // namespace

int main(int argc, char** argv) {
    block_stop_signals();
    BroadcasterOptions o;
    // --help and --version are answered without a display.
    ParseOutcome parsed = parse_broadcaster_options(argument_list(argc, argv), o);
    if (!parsed.run && parsed.status == 0) return print_outcome(parsed);
    QApplication app(argc, argv);
    // Qt took its own options (-platform, -style) out: the rest is ours.
    o = BroadcasterOptions();
    parsed = parse_broadcaster_options(argument_list(argc, argv), o);
    if (!parsed.run) return print_outcome(parsed);
    // Qt takes the environment's locale; numbers and clock texts stay "C".
    setlocale(LC_NUMERIC, "C");
    setlocale(LC_TIME, "C");

    WindowHost host;
    if (o.unattended) {
        host.box_answers = [](const char* text, BoxStyle style) {
            return print_message_box(text, PROGRAM_TITLE, style, true);
        };
        // Nobody fills a dialog: it is named and left, which cancels it.
        host.dialog_driver = [](QDialog& dialog) {
            printf("[%s] dialog \"%s\" not shown in an unattended run\n", PROGRAM_TITLE,
                   qPrintable(dialog.windowTitle()));
            fflush(stdout);
        };
    }
    auto ctx = make_context(host);
    host.attach(ctx.get());
    // The listeners' web page, served from each start on as WEB_LISTEN says then.
    ctx->outputs.add(std::make_unique<ListenersPage>(ctx->state, ctx->web_stream.feed()));
    // A refusal before the window: a box (or a line, unattended), status 1.
    auto refuse = [&](const std::string& text) {
        show_message(*ctx, false, Buttons::ok | Icon::error, "%s", text.c_str());
        return 1;
    };
    // A name is never cut: a shorter one would name another file.
    if (o.settings_name.size() > SETTINGS_NAME_MAX)
        return refuse("The settings file name is longer than " + std::to_string(SETTINGS_NAME_MAX) +
                      " characters: " + o.settings_name.substr(0, 60) + "...");
    std::string settings_file, problem;
    if (!find_settings_file(o.settings_name.c_str(), &settings_file, &problem)) return refuse(problem);
    // One window per settings file: a second start ends quietly.
    InstanceLock lock;  // goes when main ends, whichever way it returns
    if (acquire_instance_lock(lock, settings_file) == 0) {
        if (o.script.empty()) return 0;
        return refuse("A window already runs with " + settings_file + ": choose the script " + o.script +
                      " there, in Options.");
    }

    QString skin_problem;
    Skin skin = load_skin(QString::fromLocal8Bit(o.skin_dir.c_str()), &skin_problem);
    if (!skin_problem.isEmpty()) fprintf(stderr, "velmora-broadcaster: %s", qPrintable(skin_problem));

    // The sound card, when there is one, records a live feed.
    const bool no_sound_card = !sound_card_present();
    if (!no_sound_card) {
        std::string problem;
        host.set_capture_source(make_capture_source("default", problem));
    }
    bool needs_station_info = false;
    SettingsReport report;
    if (!controller_startup(*ctx, settings_file.c_str(), no_sound_card, &needs_station_info, &report))
        return 1;
    if (!o.script.empty()) {
        std::string script_problem = select_script(*ctx, o.script);
        if (!script_problem.empty()) return refuse(script_problem);
    }
    // Start asks for a script when none is named; a named one must be there.
    if (ctx->live_ring.feed_mode == FeedMode::script) check_station_script(*ctx, report, false);
    // A page the window cannot serve is told; the station runs without it.
    check_web_listen(*ctx, report, false);

    MainWindow window(*ctx, host, std::move(skin));
    // velmora-ctl reaches the window's station as it reaches a headless one;
    // here an operator is at hand, so a socket it cannot make is told and
    // the window goes on without it.
    ControlServer control([&](const std::string& line) {
        std::string reply = control_request(*ctx, line);
        window.sync_view();
        return reply;
    });
    std::string control_problem;
    if (!control.listen(control_socket_path(control_station_name(ctx->state.settings_file)),
                        ctx->state.CONTROL_GROUP, control_problem))
        host.notice(("No control socket for velmora-ctl: " + control_problem).c_str());
    watch_stop_signals(&window, [&] { window.close_for_exit(); });
    window.start_timers();
    if (o.start_minimised) window.showMinimized();
    else window.show();
    // The operator is told, then fixes what the dialogs can fix; an address
    // the station cannot use keeps Start refused until then.
    tell_settings_problems(*ctx, report);
    // A station without settings asks for them first, unless it starts by
    // itself: a dialog opened now would stay open over the broadcast.
    if (needs_station_info && ctx->state.AutoStart == 1)
        host.notice("The station has no StationLocation: the directory lists it without one. "
                    "Station > Station Info sets it while the station is idle.");
    else if (needs_station_info)
        host.post_command(Command::station_info);

    bool screenshot_failed = false;
    // The picture is taken at the first moment after the delay at which a
    // station on the air shows its blinking "BROADCASTING".
    std::function<void()> take_screenshot = [&] {
        if (ctx->sender.broadcast_state != BroadcastState::idle && !broadcasting_visible(*ctx)) {
            QTimer::singleShot(PACE_TIMER_MS / 2, &window, take_screenshot);
            return;
        }
        if (!save_screenshot(window, QString::fromLocal8Bit(o.screenshot.c_str()))) {
            fprintf(stderr, "velmora-broadcaster: cannot write the screenshot %s\n",
                    o.screenshot.c_str());
            screenshot_failed = true;
        }
        window.close_for_exit();
    };
    if (!o.screenshot.empty())
        QTimer::singleShot(static_cast<int>(o.after * 1000), &window, take_screenshot);
    int status = app.exec();
    if (host.exit_requested()) return host.exit_status();
    return screenshot_failed ? 1 : status;
}
