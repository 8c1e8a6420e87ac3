#include "server/busy_log.h"

#include <ctime>

#include "app/context.h"
#include "app/messages.h"
#include "server/admission.h"
#include "server/listener_table.h"

namespace {

constexpr int kBusyMarker = 1;

// "dd/mm/yyyy hh:mm:ss" in local time, as in the listener lines.
void format_time(char* out, size_t size, int64_t when) {
    time_t t = static_cast<time_t>(when);
    tm local{};
    localtime_r(&t, &local);
    snprintf(out, size, "%02d/%02d/%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
             local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

void close_busy_log_minute(Context& ctx) {
    BusyLog& log = ctx.listeners.busy_log;
    const int64_t now = ctx.host->time_now();
    // A clock set back starts a new minute too.
    if (now - log.minute_start < BUSY_LOG_MINUTE && now >= log.minute_start) return;
    if (log.left_out > 0) {
        char from[64], to[64];
        format_time(from, sizeof from, log.minute_start);
        format_time(to, sizeof to, now);
        write_daily_log(ctx, "%d busy lines left out between %s and %s\n", log.left_out, from, to);
    }
    log.minute_start = now;
    log.written = 0;
    log.left_out = 0;
}

void log_busy_refusal(Context& ctx, const sockaddr_in& from, int mode, int active) {
    close_busy_log_minute(ctx);
    BusyLog& log = ctx.listeners.busy_log;
    const int64_t now = ctx.host->time_now();
    const uint32_t addr = from.sin_addr.s_addr;
    BusyLog::LastLine& last = log.last_lines[hash_slot(addr, BUSY_LOG_SLOT_BITS)];
    bool recent = last.addr == addr && now - last.written_at < BUSY_LOG_MINUTE && now >= last.written_at;
    if (recent || log.written >= BUSY_LOG_LINES_PER_MINUTE) {
        ++log.left_out;
        return;
    }
    last.addr = addr;
    last.written_at = now;
    ++log.written;
    char line[160];
    format_listener_log_line(line, sizeof line, from, now, now, mode, active, kBusyMarker, 0);
    write_daily_log(ctx, "%s", line);
}
