#pragma once
// Station-list files: the station's record in the program directory.

struct Context;

// Writes "%08lX.vsl" and "listen.vsl" for the open station.
void write_station_lists(Context& ctx);
