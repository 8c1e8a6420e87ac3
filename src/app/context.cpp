#include "app/context.h"

// Each module reads its own part of the settings.
Context::Context() {
    listeners.settings = &state;
    listeners.rate = &state;
    listeners.identity = &state;
    station.settings = &state;
    station.identity = &state;
    sender.rate = &state;
    web.settings = &state;
    web.identity = &state;
    capture.stream = &state;
    capture.fallback = &fallback;
    pictures.settings = &state;
}

StationParts station_parts(Context& ctx) {
    return StationParts{ctx,        ctx.station,  ctx.sender,    ctx.listeners, ctx.queue,
                        ctx.script, ctx.pictures, ctx.live_ring, ctx.codec,     ctx.outputs};
}
