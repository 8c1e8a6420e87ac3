#include "shell/headless/station_options.h"

#include "stream/web_stream.h"

#include "shell/capture/capture_source.h"

bool parse_status_address(const std::string& text, QHostAddress& host, quint16& port) {
    std::string address = "127.0.0.1", port_text = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos)
            return false;  // an IPv6 address needs its brackets
    }
    double number = 0;
    if (!parse_number(port_text, 1, 65535, true, &number)) return false;
    port = static_cast<quint16>(number);
    return host.setAddress(QString::fromStdString(address));
}

ParseOutcome parse_station_options(const QStringList& arguments, StationOptions& o) {
    CommandLine line("velmora-station",
                     "usage: velmora-station [SETTINGS-FILE] [--start] [--answer yes|no]\n"
                     "                       [--status-interval SECONDS] [--capture SOURCE]\n"
                     "                       [--status-http [ADDR:]PORT]\n"
                     "       velmora-station [SETTINGS-FILE] --list-categories [--answer yes|no]\n"
                     "       velmora-station --check [SETTINGS-FILE]\n"
                     "       velmora-station --set-proxy SERVER PORT USER   (password on standard input)\n",
                     21);
    describe_settings_file(line);
    const auto start = line.add({"start"}, "",
                                "start broadcasting at once (the default: without a\n"
                                "window the station always goes on the air)");
    const auto answer = line.add({"answer"}, "yes|no", "the answer given to questions (default yes)");
    const auto interval = line.add({"status-interval"}, "SECONDS",
                                   "seconds between status lines (default 5, 0 = none,\n"
                                   "at most 86400)");
    const auto status_http = line.add({"status-http"}, "[ADDR:]PORT",
                                      "serves the station's status over HTTP: /status.json,\n"
                                      "/metrics (Prometheus) and / (a page), on 127.0.0.1\n"
                                      "unless ADDR is given (0.0.0.0 for every address)");
    const auto web = line.add({"web"}, "[ADDR:]PORT",
                              "serves the listeners' page and stream (/, /listen.opus,\n"
                              "/now.json, /events, /picture.png) on PORT of every address\n"
                              "or of ADDR (instead of WEB_LISTEN)");
    const auto capture = line.add({"capture"}, "SOURCE",
                                  "broadcast live from SOURCE: default (the sound card),\n"
                                  "a WAV file (looped), - (raw unsigned 8-bit mono at the\n"
                                  "sampling rate on standard input) or tone:HZ");
    const auto categories = line.add({"list-categories"}, "",
                                     "prints the station directory's categories, one path a\n"
                                     "line, from CATEGORIES_URL (HOST or HOST:PORT, port 80 by\n"
                                     "default), and any newer version announced (its address\n"
                                     "is opened only with --answer yes)");
    const auto check = line.add({"check"}, "",
                                "checks the settings file and everything it names (the\n"
                                "addresses and ports, the script, each song prepared and\n"
                                "up to date at these rates, each picture) without\n"
                                "starting; lists every problem with its file and line\n"
                                "and ends with status 1 when there is one");
    const auto set_proxy = line.add({"set-proxy"}, "",
                                    "stores the HTTP proxy for the directory requests (an empty\n"
                                    "SERVER: no proxy; PORT 0: the directory's port); reads the\n"
                                    "password as one line from standard input");
    const auto reference = line.add({"settings-reference"}, "markdown|man", "");
    ParseOutcome outcome = line.parse(arguments);
    if (!outcome.run) return outcome;
    const std::vector<std::string> rest = line.arguments();

    if (line.is_set(reference)) {
        o.settings_reference = line.value(reference);
        if (o.settings_reference != "markdown" && o.settings_reference != "man")
            return line.wrong("--settings-reference takes markdown or man, not " +
                              o.settings_reference);
        return outcome;
    }

    if (line.is_set(set_proxy)) {
        if (line.options_given() != 1 || rest.size() != 3)
            return line.wrong("--set-proxy takes SERVER PORT USER and nothing else");
        o.set_proxy = true;
        double port = 0;
        if (!parse_number(rest[1], 0, 65535, true, &port))
            return line.wrong("--set-proxy takes a port of 0 to 65535, not " + rest[1]);
        if (rest[0].size() > PROXY_FIELD_MAX || rest[2].size() > PROXY_FIELD_MAX)
            return line.wrong("--set-proxy: the server and the user id have at most 127 characters");
        o.proxy = {rest[0], static_cast<int>(port), rest[2], ""};
        return outcome;
    }
    if (rest.size() > 1)
        return line.wrong("one settings file only, not " + rest[0] + " and " + rest[1]);
    if (!rest.empty()) o.settings_name = rest[0];
    o.start = line.is_set(start);
    o.check = line.is_set(check);
    o.list_categories = line.is_set(categories);
    if (line.is_set(answer)) {
        const std::string given = line.value(answer);
        if (given != "yes" && given != "no") return line.wrong("--answer takes yes or no, not " + given);
        o.answer_yes = given == "yes";
        o.answer_given = true;
    }
    if (line.is_set(interval)) {
        double seconds = 0;
        if (!parse_number(line.value(interval), 0, STATUS_INTERVAL_MAX, true, &seconds))
            return line.wrong("--status-interval takes 0 to 86400 seconds, not " + line.value(interval));
        o.status_interval = static_cast<int>(seconds);
    }
    if (line.is_set(status_http)) {
        o.status_http = line.value(status_http);
        if (!parse_status_address(o.status_http, o.status_host, o.status_port))
            return line.wrong("--status-http takes [ADDR:]PORT (PORT 1 to 65535, an IPv6 ADDR in "
                              "brackets), not " + o.status_http);
    }
    if (line.is_set(web)) {
        o.web = line.value(web);
        std::string address, problem;
        int port = 0;
        if (!parse_web_listen(o.web, &address, &port, &problem))
            return line.wrong("--web takes PORT or ADDR:PORT (a dotted address, PORT 1 to 65535), not " +
                              o.web);
    }
    if (line.is_set(capture)) {
        o.capture = line.value(capture);
        std::string problem;
        if (o.capture.empty()) return line.wrong("--capture needs a source");
        if (!capture_name_well_formed(o.capture, problem))
            return line.wrong("--capture " + o.capture + ": " + problem);
    }
    return outcome;
}
