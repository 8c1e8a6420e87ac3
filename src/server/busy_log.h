#pragma once
// The weekday log's lines about listeners refused as busy, limited: every
// join refused while the station is full would otherwise write a line, and
// a flood of forged joins fills the disk (gigabytes a day). At most one line
// per address a minute and at most BUSY_LOG_LINES_PER_MINUTE lines in all;
// the lines left out are counted, and once their minute is over one line
// tells how many there were.

#include <netinet/in.h>

#include <cstdint>

struct Services;

constexpr int BUSY_LOG_MINUTE = 60;  // seconds
// A forger naming a new address each time is held by this one.
constexpr int BUSY_LOG_LINES_PER_MINUTE = 120;
constexpr int BUSY_LOG_SLOT_BITS = 12;

struct BusyLog {
    // When each address last had its line, in a slot found by a hash of the
    // address; a newer address takes the slot over.
    struct LastLine {
        uint32_t addr = 0;
        int64_t written_at = 0;
    } last_lines[1 << BUSY_LOG_SLOT_BITS];
    int64_t minute_start = 0;  // seconds since 1970
    int written = 0;           // lines written in the minute
    int left_out = 0;          // lines left out in the minute
};

// One weekday log line for a listener:
// "%03d.%03d.%03d.%03d <joined date/time> <now date/time> mode count marker reserved\n".
// Returns the characters written (cut to `size`).
int format_listener_log_line(char* out, int size, const sockaddr_in& addr, int64_t joined,
                             int64_t now, int mode, int count, int marker, int reserved);

// The log line of a busy refusal (address, now twice, mode, active
// listeners, marker 1), unless the limits leave it out.
void log_busy_refusal(Services& services, BusyLog& log, const sockaddr_in& from, int mode,
                      int active);
// Once the minute is over: the line that counts the lines left out in it,
// and a new minute. The sender calls it every tick.
void close_busy_log_minute(Services& services, BusyLog& log);
