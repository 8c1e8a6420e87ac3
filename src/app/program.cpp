#include "app/program.h"

#include "app/context.h"
#include "app/controller.h"
#include "app/settings.h"
#include "app/station.h"
#include "base/commands.h"
#include "web/directory.h"

namespace {

Context& context_of(Services& services) { return static_cast<Context&>(services); }

void close_station_before_exit(Services& services) { close_station(context_of(services)); }

void reread_directory_settings(Services& services) { read_directory_settings(context_of(services)); }

void start_button_ready(Services& services) { on_start_button_ready(context_of(services)); }

void live_stop_drained(Services& services) { finish_stop(context_of(services)); }

void stop_live_broadcast(Services& services) { services.host->post_command(Command::start_stop); }

}  // namespace

std::unique_ptr<Context> make_context(Host& host) {
    auto ctx = std::make_unique<Context>();
    ctx->host = &host;
    ctx->before_fatal_exit = close_station_before_exit;
    ctx->web.read_settings = reread_directory_settings;
    ctx->sender.events.start_button_ready = start_button_ready;
    ctx->sender.events.live_stop_drained = live_stop_drained;
    ctx->capture.stop_broadcast = stop_live_broadcast;
    open_trace_sink(*ctx);
    return ctx;
}
