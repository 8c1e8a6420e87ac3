#pragma once
// The station-list files of the open station in the program directory.

struct Services;
struct StationSocket;

// Writes both files for the open station (each to a temporary file renamed
// into place). A file that cannot be written is told to the operator; the
// broadcast goes on without it. Returns 1 when both were written. On
// another port than 3456 the operator is told once that the lists cannot
// say so: their format has no port, and other listener programs read it.
int write_station_lists(Services& services, StationSocket& station);
