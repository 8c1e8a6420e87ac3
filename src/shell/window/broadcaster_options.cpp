#include "shell/window/broadcaster_options.h"

#include <QFileInfo>

#include "app/context.h"
#include "app/controller.h"
#include "app/settings_dialogs.h"
#include "media/script_file.h"

ParseOutcome parse_broadcaster_options(const QStringList& arguments, BroadcasterOptions& o) {
    CommandLine line("velmora-broadcaster",
                     "usage: velmora-broadcaster [SETTINGS-FILE] [SCRIPT] [/s] [--unattended]\n"
                     "                           [--skin DIR] [--screenshot FILE.png [--after SECONDS]]\n",
                     20);
    describe_settings_file(line);
    line.describe("SCRIPT", "a script (.VSK) to broadcast, as if chosen in Options,\n"
                            "for this run: the settings file keeps its own");
    const auto minimised = line.add({"s", "S"}, "", "");  // listed as /s
    line.describe("/s", "start minimised (also -s, /S, -S)");
    const auto skin = line.add({"skin"}, "DIR",
                               "draw the window from background.bmp, button.bmp, lamp.bmp\n"
                               "and meter.bmp in DIR instead of the built-in skin");
    const auto unattended = line.add({"unattended"}, "",
                                     "print message boxes and answer them OK or Yes; dialogs\n"
                                     "are not shown (cancelled)");
    const auto screenshot = line.add({"screenshot"}, "FILE.png",
                                     "save a picture of the window after --after seconds,\n"
                                     "stop the station and end; implies --unattended");
    const auto after = line.add({"after"}, "SECONDS", "seconds before the screenshot (default 1)");
    ParseOutcome outcome = line.parse(arguments);
    if (!outcome.run) return outcome;

    o.start_minimised = line.is_set(minimised);
    for (const std::string& argument : line.arguments()) {
        if (argument == "/s" || argument == "/S") {
            o.start_minimised = true;
            continue;
        }
        const bool script = QString::fromLocal8Bit(argument.c_str()).endsWith(".vsk", Qt::CaseInsensitive);
        std::string& slot = script ? o.script : o.settings_name;
        if (!slot.empty())
            return line.wrong(std::string(script ? "one script" : "one settings file") + " only, not " +
                              slot + " and " + argument);
        slot = argument;
    }
    o.skin_dir = line.value(skin);
    o.screenshot = line.value(screenshot);
    o.unattended = line.is_set(unattended) || line.is_set(screenshot);
    if (line.is_set(after)) {
        if (!parse_number(line.value(after), 0, 3600, false, &o.after))
            return line.wrong("--after takes 0 to 3600 seconds, not " + line.value(after));
    }
    return outcome;
}

std::string select_script(Context& ctx, const std::string& path) {
    const std::string absolute =
        QFileInfo(QString::fromLocal8Bit(path.c_str())).absoluteFilePath().toLocal8Bit().toStdString();
    // Never cut: a shorter path would name another file.
    if (absolute.size() > SCRIPT_PATH_MAX)
        return "The script path is longer than " + std::to_string(SCRIPT_PATH_MAX) + " characters: " +
               absolute.substr(0, 60) + "...";
    std::string why;
    if (!script_readable(absolute, &why)) return "The script " + absolute + " cannot be opened: " + why;
    StationState& s = ctx.state;
    s.StationScript = absolute;
    s.MODE = 0;
    ctx.live_ring.feed_mode = FeedMode::script;
    update_start_menu(ctx);
    refresh_rate(ctx);
    return "";
}
