#include "app/context.h"

std::unique_ptr<Context> make_context(Host& host) {
    auto ctx = std::make_unique<Context>();
    ctx->host = &host;
    open_trace_sink(*ctx);
    return ctx;
}
