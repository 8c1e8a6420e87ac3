#pragma once
// A real icecast2 for the tests of the station's Icecast output: its own
// loopback address and port, its own configuration file and folder, killed
// with its ChildProcess. Run by root it changes to nobody/nogroup (icecast2
// refuses to run as root), so its folder is open to that user.

#include <string>

#include "support/child_process.h"

constexpr const char* TEST_ICECAST_PASSWORD = "hackme";

struct IcecastServerOptions {
    std::string ip;
    int port = 0;
    std::string folder;  // configuration, logs and pid file (made writable for nobody)
    // Set: relay this mount of another server (ip:port) under the same name.
    std::string relay_ip;
    int relay_port = 0;
    std::string relay_mount;
};

// Writes the configuration and starts icecast2. Returns "" once it accepts
// connections, otherwise what went wrong (its output included).
std::string start_icecast_server(ChildProcess& server, const IcecastServerOptions& options);

// One HTTP GET to ip:port (a few seconds at most): the body, "" on failure.
std::string http_get(const std::string& ip, int port, const std::string& path);
