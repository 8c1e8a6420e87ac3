// velmora-tuner: a listener window for stations built with this project.

#include <QApplication>
#include <clocale>
#include <cstdio>

#include "base/version.h"
#include "shell/common/qt_host.h"
#include "shell/tuner/tuner_window.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: velmora-tuner [STATION]\n"
            "       velmora-tuner --help | --version\n"
            "  STATION   a station's address and port (127.0.0.1:3456; the port may be\n"
            "            left out) or a station-list file (.vsl) as stations write them;\n"
            "            it is played at once. Without it the window waits for one to be\n"
            "            typed, opened or dropped on it.\n"
            "The last stations are remembered in ~/.config/velmora/velmora-tuner.conf.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-tuner", usage)) return 0;
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        if (argc == 2) fprintf(stderr, "velmora-tuner: unknown option %s\n", argv[1]);
        usage(stderr);
        return 2;
    }
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");
    QApplication::setOrganizationName("velmora");
    QApplication::setApplicationName("velmora-tuner");
    TunerWindow window;
    watch_stop_signals(&window, [&] { window.close(); });
    window.show();
    if (argc == 2) {
        if (window.open_station(QString::fromLocal8Bit(argv[1]))) window.play();
        else fprintf(stderr, "velmora-tuner: %s\n", qPrintable(window.status_text()));  // also on the status line
    }
    return app.exec();
}
