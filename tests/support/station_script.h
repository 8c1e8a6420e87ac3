#pragma once
// Loads a script as a Start does: the table is filled (the count in
// script_entries) and the stream takes the script's rates. The first
// leaves out the check that every song opens.

#include <string>

#include "app/context.h"
#include "app/controller.h"
#include "media/script_file.h"

inline int load_station_script(Context& ctx, const std::string& path) {
    ScriptRates rates;
    const int loaded = load_script(ctx, ctx.script, ctx.state, path.c_str(), &rates);
    if (loaded > 0) take_script_rates(ctx, rates);
    return loaded;
}

inline int open_station_script_songs(Context& ctx, const std::string& path) {
    ScriptRates rates;
    const int opened = open_script(ctx, ctx.script, ctx.state, path.c_str(), &rates);
    if (opened > 0) take_script_rates(ctx, rates);
    return opened;
}
