#pragma once
// What is wrong with a station's settings and with what they name, each
// rule in one place. The start-up reports what load_settings had to replace
// and what the station cannot run with; a broadcast start refuses an
// address or port it cannot use; the Expert Settings dialog names a stored
// address it cannot use; `velmora-station --check` runs every check group.

#include <string>

#include "app/settings_report.h"

struct Context;
struct StationState;

// Why `text` cannot be an address the station binds to or sends to, or ""
// when it can: it must be a dotted IPv4 address ("a.b.c.d", each 0 to 255;
// the system would read anything else as 255.255.255.255) and neither
// 0.0.0.0 nor 255.255.255.255.
std::string address_problem(const std::string& text);
// The same for RepeaterIP: a host (a dotted address as above, or a host
// name) and an optional ":PORT" of 1 to 65535. Empty, or starting with a
// blank, means no repeater and is no problem.
std::string repeater_problem(const std::string& text);

// The keys the station binds to and sends with, in memory: IP_ADDR (when
// SPECIFIC_IP is on), MBONEIP (when MBONE is on), RepeaterIP, MASTER_IP and
// STATION_PORT are errors when unusable; a BANDWIDTH that cannot carry one
// listener at TransferRate is a warning (every listener would be refused
// "Busy"), and so is a wrong ICECAST_* key (that output stays off).
void check_network_settings(const Context& ctx, SettingsReport& report);

// WEB_LISTEN, when set, must be PORT or ADDR:PORT. `required`: an error (a
// station without an operator was asked for a page it cannot serve, and
// does not start); otherwise a warning (the window goes on without the page).
void check_web_listen(const Context& ctx, SettingsReport& report, bool required);

// The settings file itself: unreadable, too large, keys but no
// [VelmoraStation] section (errors: every key would be ignored), keys
// before the first section line (a warning). A missing file is no problem:
// the defaults apply.
void check_settings_file(const std::string& path, SettingsReport& report);

// The script a script feed plays: a StationScript that is named must be a
// file that can be read; none named is an error only when `needed` (a start
// with nobody to pick a script).
void check_station_script(const Context& ctx, SettingsReport& report, bool needed);

// The script's header, and for every entry its song (prepared, whole, at
// the station's sampling rate and with the rate codes velmora-compress
// gives at these rates, not older than its WAV source and made from it) and
// its picture (one the station can show). Reads only; writes nothing.
void check_script_material(Context& ctx, SettingsReport& report);

// Every check group in turn on the settings of ctx.state.settings_file,
// loaded here: the file, its values, the addresses and ports, the script
// and what it names. Returns the number of problems.
int check_station(Context& ctx, SettingsReport& report);

// Tells the operator: each error as its own message, the warnings together
// in one line.
void tell_settings_problems(Context& ctx, const SettingsReport& report);

// The settings a tool prepares material with (ctx.state.settings_file):
// the file checked, then loaded, every problem told. Returns 1, or 0 when
// the file's settings would all be ignored (no section, too large,
// unreadable): material made at the default rates would not suit the station.
int load_tool_settings(Context& ctx);
