#pragma once
// StationState: the settings of the station (one field per key of section
// "VelmoraStation" of the settings file) and the run-time values of the main
// window. Fields are read and written directly by the code that names them.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/host.h"

constexpr const char* PROGRAM_TITLE = "Radio Velmora Broadcaster (tm)";
constexpr const char* SETTINGS_SECTION = "VelmoraStation";
constexpr const char* DEFAULT_SETTINGS_FILE = "lumo.ini";
constexpr int STATION_PORT_DEFAULT = 3456;
constexpr int REPEATER_PORT_DEFAULT = 3454;
// The master station runs elsewhere; by default it is looked for on loopback
// so that a fresh installation never sends anything off the machine.
constexpr const char* MASTER_IP_DEFAULT = "127.0.0.1";
constexpr const char* DIRURL_DEFAULT = "127.0.0.1";
// Ours: the host that lists the directory's categories (always port 80).
constexpr const char* CATEGORIES_URL_DEFAULT = "127.0.0.1";
constexpr int HTTP_TIMEOUT_DEFAULT = 30;  // seconds a directory request may take

struct StationState {
    // --- paths ---
    std::string settings_file;   // resolved path of the settings file
    std::string user_list_path;  // program_dir + "/userlist.txt"

    // --- settings, in the order they are loaded ---
    int SamplingRate = 16000;
    int device_rate = 22050;  // sound-card rate derived from SamplingRate
    int LOG = 1;
    int REPORT = 0;
    int MAX_CLIENT = 20;
    int BANDWIDTH = 28800;
    int INTRANET = 0;
    std::string WWW_URL;
    std::string WWW_DESC;
    std::string RepeaterIP;
    int SPECIFIC_IP = 0;
    std::string IP_ADDR = "0.0.0.0";
    int MBONE = 0;
    std::string MBONEIP = "0.0.0.0";
    int ImageQuality = 2;
    int Stream2X = 1;
    int AutoStart = 0;
    int TransferRate = 2000;
    int MODE = 1;  // written as "Mode"; the feed chosen for the next start
    std::string StationName;
    std::string StationLocation;
    std::string StationCategory;
    std::string StationEMAIL;
    std::string StationScript;
    std::string LiveScript;  // the live list of a live feed
    int AlwaysBindSocket = 0;
    int NetNoConnect = 1;
    int AudioSample11025 = 0;
    long NextSrvID = 1000;
    std::string DIRURL = DIRURL_DEFAULT;
    int DIRURLPORT = 80;
    std::string CATEGORIES_URL = CATEGORIES_URL_DEFAULT;  // ours
    int HTTP_TIMEOUT = HTTP_TIMEOUT_DEFAULT;  // ours: seconds from the connection attempt, 1..3600
    // Ours: the UDP port of the station, so several stations can share a host.
    int STATION_PORT = STATION_PORT_DEFAULT;
    // Ours: the master station's address (start and close notices go there).
    std::string MASTER_IP = MASTER_IP_DEFAULT;
    // Ours: the Icecast output (icecast/icecast_settings.h); no URL, no output.
    std::string ICECAST_URL;
    std::string ICECAST_USER = "source";
    std::string ICECAST_PASSWORD;
    std::string ICECAST_PASSWORD_FILE;  // a file holding the password (for a service)
    std::string ICECAST_FORMAT = "opus";
    int ICECAST_BITRATE = 0;  // kbit/s; 0: 32 for Opus, 64 for MP3

    // --- run-time values of the main window ---
    uint32_t pace_clock = 0;      // timeGetTime value of the next due tick; 0 = not pacing
    uint32_t pace_fraction = 0;   // of the next due tick, in 1/SamplingRate ms
    int send_interval_ms = 128;
    bool timer_running = false;   // re-entrance mark of pace_tick
    bool ticks_running = false;   // re-entrance mark of send_due_ticks
    bool close_done = false;      // run-once mark of the close handler
    // The station goes on the air first and is listed once its first tick
    // has gone out: a slow directory never holds the broadcast.
    bool listing_due = false;
    std::string host_name;        // at most 64 characters
    std::string station_address;  // "%d.%d.%d.%d"
    bool no_sound_card = false;   // live broadcasting unavailable
    uint32_t stop_requested_ms = 0;  // time_ms of the live stop that is draining
    // What the panel shows of live capture: the rate open_capture last
    // recorded at (16000 until it has been opened once) and the input level.

};
