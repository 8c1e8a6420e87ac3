#pragma once
// What the station tells about itself: the keys StationName,
// StationLocation, StationCategory, StationEMAIL, WWW_URL and WWW_DESC, as the
// station lists, the directory and the outputs show them, and INTRANET (the
// station serves its own network only and is never listed).

#include <string>

struct StationIdentity {
    std::string StationName;
    std::string StationLocation;
    std::string StationCategory;
    std::string StationEMAIL;
    std::string WWW_URL;
    std::string WWW_DESC;
    int INTRANET = 0;
};
