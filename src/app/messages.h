#pragma once
// Operator messages, the string table, socket error words, the trace sink
// and the weekday logs.

#include <cstdio>

struct Context;

constexpr int TEXT_RING_SIZE = 4;
constexpr int TEXT_BUFFER_SIZE = 2048;

struct MessageState {
    // load_text and socket_error_text hand out these buffers in rotation: a
    // text stays valid until four further loads.
    char ring[TEXT_RING_SIZE][TEXT_BUFFER_SIZE] = {};
    int ring_next = 0;
    // Traces are discarded unless VELMORA_TRACE names a file when the
    // context is made; then they are appended there.
    FILE* trace_file = nullptr;
    // The operator has been told that log lines are being lost; told again
    // only after a line has been written in between.
    bool log_failure_told = false;
};

// Formats (at most 1024 characters) and shows a message box titled with the
// program title; returns the button pressed.
int show_message(Context& ctx, bool owned, int type, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// The same with a caption of its own.
// Formats a message like show_message and shows it later, from the event
// loop (CMD_SHOW_MESSAGES): for the sender, whose tick must not wait for
// the operator to close a box.
void post_message(Context& ctx, int type, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int show_captioned_message(Context& ctx, const char* caption, bool owned, int type,
                           const char* format, ...) __attribute__((format(printf, 5, 6)));

// The string-table text of `id` in the next ring buffer; empty when missing.
const char* load_text(Context& ctx, int id);
// The words for a socket error code (Winsock numbering) in the next ring buffer.
const char* socket_error_text(Context& ctx, int code);

void debug_trace(Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void open_trace_sink(Context& ctx);
void close_trace_sink(Context& ctx);

// Appends one formatted line to today's weekday log in the program directory
// ("vmb_sun.log" .. "vmb_sat.log", "vmb_thur.log" on Thursdays). A file last
// written more than a day ago holds last week's lines and is emptied first.
// A log that cannot be opened or written loses the line; the operator is
// told once, not once a line, until a line gets written again.
void write_daily_log(Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Opens a weekday log in the text editor; 1 on success, 0 after a message.
int view_log(Context& ctx, const char* name);
