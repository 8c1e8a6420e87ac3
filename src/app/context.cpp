#include "app/context.h"

#include "app/controller.h"

std::unique_ptr<Context> make_context(Host& host) {
    auto ctx = std::make_unique<Context>();
    ctx->host = &host;
    ctx->sender.events.start_button_ready = on_start_button_ready;
    ctx->sender.events.live_stop_drained = finish_stop;
    open_trace_sink(*ctx);
    return ctx;
}
