#pragma once
// StationState: the keys of section "VelmoraStation" of the settings file,
// one field per key named as the file names it. Each module's keys form that
// module's own record (the stream's rates, what the station tells about
// itself, the server's, the directory's, the pictures'); the program reads
// the file into this record and hands each module a view of its own part.
// The Icecast output's keys are its settings record, `icecast`.

#include <string>

#include "base/station_identity.h"
#include "codec/stream_rate.h"
#include "icecast/icecast_settings.h"
#include "live/live_fallback.h"
#include "media/picture_slots.h"
#include "server/server_settings.h"
#include "stream/program_archive.h"
#include "stream/web_stream.h"
#include "web/directory_settings.h"

constexpr const char* SETTINGS_SECTION = "VelmoraStation";
constexpr const char* DEFAULT_SETTINGS_FILE = "lumo.ini";

struct StationState : StreamRate,
                      StationIdentity,
                      ServerSettings,
                      DirectorySettings,
                      PictureSettings,
                      WebStreamSettings,
                      ArchiveSettings,
                      FallbackSettings {
    std::string settings_file;  // resolved path of the settings file
    IcecastSettings icecast;

    // --- the program's own keys ---
    int LOG = 1;
    int REPORT = 0;
    int AutoStart = 0;
    int MODE = 1;  // written as "Mode"; the feed chosen for the next start
    std::string StationScript;
    std::string LiveScript;  // the live list of a live feed
    std::string CONTROL_GROUP;  // may use the control socket besides the user
};
