#include "app/messages.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "app/context.h"
#include "app/string_table.h"

namespace {

// Socket error codes in table order: code i has the string-table text 2000 + i.
const int kSocketErrorCodes[50] = {
    10063, 10093, 10091, 10092, 10058, 10004, 11001, 11002, 11003, 11004,
    10009, 10035, 10036, 10037, 10014, 10039, 10040, 10046, 10066, 10067,
    10068, 10069, 10070, 10022, 10024, 10013, 10062, 10071, 10038, 10049,
    10048, 10047, 10044, 10043, 10055, 10060, 10056, 10057, 10042, 10054,
    10053, 10050, 10052, 10061, 10064, 10065, 10041, 10045, 10051, 10059
};

char* next_ring_buffer(Context& ctx) {
    MessageState& m = ctx.messages;
    char* buffer = m.ring[m.ring_next];
    m.ring_next = (m.ring_next + 1) % TEXT_RING_SIZE;
    return buffer;
}

}  // namespace

int show_message(Context& ctx, bool owned, int type, const char* format, ...) {
    char text[1025];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return ctx.host->message_box(text, type, owned);
}

const char* load_text(Context& ctx, int id) {
    char* buffer = next_ring_buffer(ctx);
    const char* text = string_table_text(id);
    snprintf(buffer, TEXT_BUFFER_SIZE, "%s", text ? text : "");
    return buffer;
}

const char* socket_error_text(Context& ctx, int code) {
    int id = 2099;
    for (int i = 0; i < 50; ++i) {
        if (kSocketErrorCodes[i] == code) {
            id = 2000 + i;
            break;
        }
    }
    return load_text(ctx, id);
}

void open_trace_sink(Context& ctx) {
    const char* path = getenv("VELMORA_TRACE");
    if (path && *path && !ctx.messages.trace_file) ctx.messages.trace_file = fopen(path, "a");
}

void close_trace_sink(Context& ctx) {
    if (ctx.messages.trace_file) fclose(ctx.messages.trace_file);
    ctx.messages.trace_file = nullptr;
}

void debug_trace(Context& ctx, const char* format, ...) {
    if (!ctx.messages.trace_file) return;
    va_list args;
    va_start(args, format);
    vfprintf(ctx.messages.trace_file, format, args);
    va_end(args);
    fflush(ctx.messages.trace_file);
}
