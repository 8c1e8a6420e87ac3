#pragma once
// Where a listener finds a station: an address typed as "HOST:PORT" (or
// "HOST PORT", or HOST alone for port 3456), or a station-list file
// (".vsl") as stations write them:
//
//   line 1   address as 192.168.001.002, a blank, the station name
//   line 2   category
//   line 3   web address
//   line 4   description
//   then, in the directory's copies, "EMAIL:..." and "LOCATION:..."
//
// Names are dotted IPv4 addresses only: a listener window must not wait
// for a name look-up.

#include <netinet/in.h>

#include <string>
#include <vector>

constexpr int kStationPort = 3456;

struct StationEntry {
    sockaddr_in address{};
    std::string name, category, web, description, location;
};

// Parses a typed address. 1, or 0 with the cause in `error`.
int parse_station_address(const std::string& text, StationEntry* out, std::string* error);
// Parses the text of a station-list file. 1, or 0 with the cause in `error`.
int parse_station_list(const std::string& text, StationEntry* out, std::string* error);
// The address as "a.b.c.d:port".
std::string station_address_text(const StationEntry& entry);

// Puts `entry` first in `recent`, without duplicates, keeping at most `most`.
void remember_station(std::vector<std::string>& recent, const std::string& entry, size_t most = 8);
