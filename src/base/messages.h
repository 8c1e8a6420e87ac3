#pragma once
// The services every layer uses: the host seam, operator messages, the
// string table, socket error words, the trace sink, the weekday logs and the
// station's settings record.

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/host.h"
#include "platform/safe_files.h"

constexpr int TEXT_RING_SIZE = 4;
constexpr int TEXT_BUFFER_SIZE = 2048;

constexpr const char* PROGRAM_TITLE = "Radio Velmora Broadcaster (tm)";

struct MessageState {
    // load_text and socket_error_text hand out these buffers in rotation: a
    // text stays valid until four further loads.
    char ring[TEXT_RING_SIZE][TEXT_BUFFER_SIZE] = {};
    int ring_next = 0;
    // Traces are discarded unless VELMORA_TRACE names a file when the
    // context is made; then they are appended there.
    OwnedFile trace_file;
    // The operator has been told that log lines are being lost; told again
    // only after a line has been written in between.
    bool log_failure_told = false;
    // Messages left by a tick for Command::show_messages: box type and text.
    std::vector<std::pair<BoxStyle, std::string>> posted;
};

// Exit statuses of the station's fatal paths.
constexpr int EXIT_OVERLOAD = 1;       // sender overload, or "QuitNow!"
constexpr int EXIT_NO_SOCKET = 2;
constexpr int EXIT_HOST_OR_BIND = 3;   // no host name, failed look-up or bind
constexpr int EXIT_SOCKET_FAILED = 9;  // later socket failures, pictures out of memory

// The program's context extends this record; a module takes it next to the
// state it owns.
struct Services {
    Host* host = nullptr;
    // Where the logs, station-list files and userlist.txt live.
    std::string program_dir;
    MessageState messages;
    // What a fatal failure does before the program ends: the application
    // closes the station socket (the listeners are told, the sender stops).
    void (*before_fatal_exit)(Services&) = nullptr;
};

// What a fatal failure does first (before_fatal_exit, when set).
void prepare_fatal_exit(Services& services);
// Ends the program after a fatal failure of any layer with this exit
// status: prepare_fatal_exit, then the host ends the program. The caller
// returns right after.
void end_program(Services& services, int status);

// Formats (at most 1024 characters) and shows a message box titled with the
// program title; returns the button pressed.
Answer show_message(Services& ctx, bool owned, BoxStyle style, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Formats a message like show_message and shows it later, from the event
// loop (Command::show_messages): for the sender, whose tick must not wait for
// the operator to close a box.
void post_message(Services& ctx, BoxStyle style, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The same with a caption of its own.
Answer show_captioned_message(Services& ctx, const char* caption, bool owned, BoxStyle style,
                              const char* format, ...) __attribute__((format(printf, 5, 6)));

// The string-table text of `id` in the next ring buffer; empty when missing.
const char* load_text(Services& ctx, int id);
// The number the operator knows a socket error by (an errno value): its
// Winsock number; an error without one keeps its errno value.
int socket_error_number(int error);
// The words for a socket error (an errno value, or the number
// socket_error_number gave) in the next ring buffer.
const char* socket_error_text(Services& ctx, int error);

// Why a host name could not be looked up.
enum class LookupError {
    none,
    not_found,    // no such host
    try_again,    // no answer yet from the name server
    no_recovery,  // the name server failed
    no_data,      // the name has no IPv4 address
};
// The operator's words for a look-up failure in the next ring buffer.
const char* lookup_error_text(Services& ctx, LookupError error);

void debug_trace(Services& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void open_trace_sink(Services& ctx);

// Appends one formatted line to today's weekday log in the program directory
// ("vmb_sun.log" .. "vmb_sat.log", "vmb_thur.log" on Thursdays). A file last
// written more than a day ago holds last week's lines and is emptied first.
// A log that cannot be opened or written loses the line; the operator is
// told once, not once a line, until a line gets written again.
void write_daily_log(Services& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Opens a weekday log in the text editor; 1 on success, 0 after a message.
int view_log(Services& ctx, const char* name);
// Opens `file` (a web address, or a path relative to `directory` when one
// is given) with the desktop's opener. 1 when the opener was started; 0
// after a message naming the file and why: it is missing, or the opener is.
int open_for_operator(Services& ctx, const char* file, const char* directory);
