#include "app/context.h"

StationParts station_parts(Context& ctx) {
    return StationParts{ctx,        ctx.station,  ctx.sender,    ctx.listeners, ctx.queue,
                        ctx.script, ctx.pictures, ctx.live_ring, ctx.codec,     ctx.outputs};
}
