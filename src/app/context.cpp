#include "app/context.h"

#include "base/commands.h"

namespace {

void stop_live_broadcast(Services& services) { services.host->post_command(Command::start_stop); }

}  // namespace

StationParts station_parts(Context& ctx) {
    return StationParts{ctx,        ctx.station,  ctx.sender,    ctx.listeners, ctx.queue,
                        ctx.script, ctx.pictures, ctx.live_ring, ctx.codec,     ctx.icecast};
}

LiveParts live_parts(Context& ctx) {
    return LiveParts{ctx,         ctx.capture, ctx.live_ring, ctx.codec, ctx.icecast,
                     ctx.sender.packet_counter, stop_live_broadcast};
}
