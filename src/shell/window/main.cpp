// velmora-broadcaster: the station with its operator's window.

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "app/controller.h"
#include "app/panel_view.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "base/version.h"
#include "platform/single_instance.h"
#include "shell/capture/capture_source.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: velmora-broadcaster [SETTINGS-FILE] [/s] [--skin DIR] [--unattended]\n"
            "                           [--screenshot FILE.png [--after SECONDS]]\n"
            "       velmora-broadcaster --help | --version\n"
            "  SETTINGS-FILE   the station's settings file (as velmora-station takes it)\n"
            "  /s              start minimised (also -s, /S, -S)\n"
            "  --skin DIR      draw the window from background.bmp, button.bmp, lamp.bmp\n"
            "                  and meter.bmp in DIR instead of the built-in skin\n"
            "  --unattended    print message boxes and answer them OK or Yes; dialogs\n"
            "                  are not shown (cancelled)\n"
            "  --screenshot    save a picture of the window after --after seconds\n"
            "                  (default 1), stop the station and end; implies --unattended\n");
}

int usage_error(const std::string& problem) {
    fprintf(stderr, "velmora-broadcaster: %s\n", problem.c_str());
    usage(stderr);
    return 2;
}

struct HeldLock {
    InstanceLock lock;
    ~HeldLock() { release_instance_lock(lock); }
};

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
    if (answer_help_or_version(argc, argv, "velmora-broadcaster", usage)) return 0;
    QApplication app(argc, argv);
    // Qt takes the environment's locale; numbers and clock texts stay "C".
    setlocale(LC_NUMERIC, "C");
    setlocale(LC_TIME, "C");

    std::string command_line, skin_dir, screenshot;
    double after = 1.0;
    bool unattended = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool takes_value = arg == "--skin" || arg == "--screenshot" || arg == "--after";
        if (takes_value && i + 1 == argc) return usage_error(arg + " needs a value");
        if (arg == "--skin") {
            skin_dir = argv[++i];
        } else if (arg == "--screenshot") {
            screenshot = argv[++i];
        } else if (arg == "--after") {
            char* end = nullptr;
            after = strtod(argv[++i], &end);
            if (end == argv[i] || *end || !(after >= 0 && after <= 3600))
                return usage_error("--after takes 0 to 3600 seconds");
        } else if (arg == "--unattended") {
            unattended = true;
        } else if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            return usage_error("unknown option " + arg);
        } else {
            // The settings name and the minimised switch, as one command line.
            command_line += (command_line.empty() ? "" : " ") + arg;
        }
    }
    if (!screenshot.empty()) unattended = true;

    StartupOptions options = parse_command_line(command_line.c_str());
    WindowHost host;
    if (unattended) {
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
    if (options.name_too_long) {
        show_message(*ctx, false, Buttons::ok | Icon::error,
                     "The settings file name is longer than %d characters: %.60s...",
                     SETTINGS_NAME_MAX, options.settings_file.c_str());
        return 1;
    }
    // Only the switch (or nothing) given: the default settings file.
    std::string without_switch = command_line;
    take_minimised_switch(without_switch);
    bool named = without_switch.find_first_not_of(" \t") != std::string::npos;
    std::string settings_file, problem;
    if (!find_settings_file(named ? options.settings_file.c_str() : "", &settings_file, &problem)) {
        show_message(*ctx, false, Buttons::ok | Icon::error, "%s", problem.c_str());
        return 1;
    }
    // One window per settings file: a second start ends quietly.
    HeldLock instance;
    if (acquire_instance_lock(instance.lock, settings_file) == 0) return 0;

    QString skin_problem;
    Skin skin = load_skin(QString::fromLocal8Bit(skin_dir.c_str()), &skin_problem);
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
    // Start asks for a script when none is named; a named one must be there.
    if (ctx->state.feed_mode == FEED_SCRIPT) check_station_script(*ctx, report, false);

    MainWindow window(*ctx, host, std::move(skin));
    watch_stop_signals(&window, [&] { window.close_for_exit(); });
    window.start_timers();
    if (options.start_minimised) window.showMinimized();
    else window.show();
    // The operator is told, then fixes what the dialogs can fix; an address
    // the station cannot use keeps Start refused until then.
    tell_settings_problems(*ctx, report);
    // A station without settings asks for them first.
    if (needs_station_info) host.post_command(Command::station_info);

    bool screenshot_failed = false;
    // The picture is taken at the first moment after the delay at which a
    // station on the air shows its blinking "BROADCASTING".
    std::function<void()> take_screenshot = [&] {
        if (ctx->state.broadcast_state != BS_IDLE && !broadcasting_visible(*ctx)) {
            QTimer::singleShot(PACE_TIMER_MS / 2, &window, take_screenshot);
            return;
        }
        if (!save_screenshot(window, QString::fromLocal8Bit(screenshot.c_str()))) {
            fprintf(stderr, "velmora-broadcaster: cannot write the screenshot %s\n",
                    screenshot.c_str());
            screenshot_failed = true;
        }
        window.close_for_exit();
    };
    if (!screenshot.empty())
        QTimer::singleShot(static_cast<int>(after * 1000), &window, take_screenshot);
    int status = app.exec();
    if (host.exit_requested()) return host.exit_status();
    return screenshot_failed ? 1 : status;
}
