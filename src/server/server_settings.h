#pragma once
// The server's keys: the station's socket and port, its listeners and the
// bandwidth they may take, the repeater, multicast and the master station.

#include <string>

constexpr int STATION_PORT_DEFAULT = 3456;
constexpr int REPEATER_PORT_DEFAULT = 3454;
// The master station runs elsewhere; by default it is looked for on loopback
// so that a fresh installation never sends anything off the machine.
constexpr const char* MASTER_IP_DEFAULT = "127.0.0.1";

struct ServerSettings {
    int MAX_CLIENT = 20;
    int BANDWIDTH = 28800;  // bits per second the station may send
    std::string RepeaterIP;
    int SPECIFIC_IP = 0;
    std::string IP_ADDR = "0.0.0.0";
    int MBONE = 0;
    std::string MBONEIP = "0.0.0.0";
    int Stream2X = 1;
    int AlwaysBindSocket = 0;
    int NetNoConnect = 1;
    long NextSrvID = 1000;
    // Ours: the UDP port of the station, so several stations can share a host.
    int STATION_PORT = STATION_PORT_DEFAULT;
    // Ours: the master station's address (start and close notices go there).
    std::string MASTER_IP = MASTER_IP_DEFAULT;
    std::string user_list_path;  // the program folder's userlist.txt
};
