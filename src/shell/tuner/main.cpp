// velmora-tuner: a listener window for stations built with this project.

#include <QApplication>
#include <clocale>
#include <cstdio>

#include "shell/common/command_line.h"
#include "shell/common/qt_host.h"
#include "shell/tuner/tuner_window.h"

namespace {

// The station to play ("" for none), or the outcome that ends the program at once.
ParseOutcome parse_tuner_options(const QStringList& arguments, std::string& station) {
    CommandLine line("velmora-tuner", "usage: velmora-tuner [STATION]\n", 12);
    line.describe("STATION", "a station's address and port (127.0.0.1:3456; the port may be\n"
                             "left out) or a station-list file (.vsl) as stations write them;\n"
                             "it is played at once. Without it the window waits for one to be\n"
                             "typed, opened or dropped on it.");
    line.set_notes("The last stations are remembered in ~/.config/velmora/velmora-tuner.conf.\n");
    ParseOutcome outcome = line.parse(arguments);
    if (!outcome.run) return outcome;
    const std::vector<std::string> rest = line.arguments();
    if (rest.size() > 1) return line.wrong("one station only, not " + rest[0] + " and " + rest[1]);
    station = rest.empty() ? "" : rest[0];
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    block_stop_signals();
    std::string station;
    // --help and --version are answered without a display.
    ParseOutcome parsed = parse_tuner_options(argument_list(argc, argv), station);
    if (!parsed.run && parsed.status == 0) return print_outcome(parsed);
    QApplication app(argc, argv);
    // Qt took its own options (-platform, -style) out: the rest is ours.
    parsed = parse_tuner_options(argument_list(argc, argv), station);
    if (!parsed.run) return print_outcome(parsed);
    setlocale(LC_NUMERIC, "C");
    QApplication::setOrganizationName("velmora");
    QApplication::setApplicationName("velmora-tuner");
    TunerWindow window;
    watch_stop_signals(&window, [&] { window.close(); });
    window.show();
    if (!station.empty()) {
        if (window.open_station(QString::fromLocal8Bit(station.c_str()))) window.play();
        else fprintf(stderr, "velmora-tuner: %s\n", qPrintable(window.status_text()));  // also on the status line
    }
    return app.exec();
}
