#pragma once
// What an administrator asks a running station from outside (velmora-ctl
// through the control socket, the window's menu): one request, a line of
// JSON such as {"command": "text", "text": "Back in five"}, and one reply,
// a line of JSON: {"ok": true, ...} or {"ok": false, "error": "..."}.
//
//   status     the status report            start, stop   the broadcast
//   next       end the song (live: the list's entry) and go on with the next
//   text       a song text now              picture       a picture now ("file")
//   reload     the script or live list, and the keys that can change on the air
//   listeners  address, join time and mode of each listener

#include <string>

struct Context;

// The longest request line taken; a longer one is refused.
constexpr int CONTROL_REQUEST_MAX = 4096;

// The reply to a request longer than CONTROL_REQUEST_MAX.
std::string control_request_too_long();
// Carries out one request line on the station's thread; never blocks.
std::string control_request(Context& ctx, const std::string& line);

// The window's Next Song and Reload Script: `command` ("next", "reload")
// as velmora-ctl would ask; "" when done, else why not.
std::string menu_command(Context& ctx, const char* command);

// A station's name among the control sockets: its settings file's name
// without folder and extension ("night" for /etc/velmora/night.ini).
std::string control_station_name(const std::string& settings_file);
// The folder of the control sockets: $XDG_RUNTIME_DIR/velmora, or
// /tmp/velmora-UID without a runtime folder.
std::string control_socket_folder();
// NAME.sock in that folder.
std::string control_socket_path(const std::string& station_name);

// The parts of the settings a reload takes on the air; any other key that
// changed is named in the reply as waiting for a restart.
constexpr const char* RELOADED_MODULES[] = {"station", "directory"};
