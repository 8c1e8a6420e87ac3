#include "server/station_list.h"

#include "app/context.h"

// The station-list files are not written yet.
void write_station_lists(Context& ctx) {}
