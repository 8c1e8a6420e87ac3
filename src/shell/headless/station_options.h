#pragma once
// velmora-station's command line: what it asks the station to do.

#include <QHostAddress>
#include <QStringList>
#include <string>

#include "shell/common/command_line.h"
#include "web/proxy_settings.h"

struct StationOptions {
    std::string settings_name;  // empty: the default settings file
    bool start = false;
    bool answer_yes = true;
    bool answer_given = false;
    int status_interval = 5;  // seconds; 0: no status lines
    std::string capture;      // empty: the sound card for a live feed
    // --status-http: the address as given, and what it names.
    std::string status_http;
    QHostAddress status_host;
    quint16 status_port = 0;
    // --web: the listeners' page and stream, instead of WEB_LISTEN.
    std::string web;
    bool list_categories = false;
    bool check = false;
    // --settings-reference markdown|man: the settings list the README and
    // the man page are made from (not listed in --help).
    std::string settings_reference;
    // --set-proxy SERVER PORT USER (the password is read later).
    bool set_proxy = false;
    ProxySettings proxy;
};

// The longest --status-interval: a day (the timer counts milliseconds in an int).
constexpr int STATUS_INTERVAL_MAX = 86400;

// Parses velmora-station's arguments (its name first) into `options`.
ParseOutcome parse_station_options(const QStringList& arguments, StationOptions& options);

// "[ADDR:]PORT" with ADDR an IPv4 address or an IPv6 address in brackets
// (127.0.0.1 without it) and PORT 1 to 65535. False when it is not that.
bool parse_status_address(const std::string& text, QHostAddress& host, quint16& port);
