#include "server/busy_log.h"

#include <ctime>

#include "base/messages.h"
#include "server/admission.h"

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

int format_listener_log_line(char* out, int size, const sockaddr_in& addr, int64_t joined,
                             int64_t now, int mode, int count, int marker, int reserved) {
    const auto* ip = reinterpret_cast<const uint8_t*>(&addr.sin_addr.s_addr);  // network order
    time_t joined_time = static_cast<time_t>(joined);
    time_t now_time = static_cast<time_t>(now);
    tm j{};
    tm n{};
    localtime_r(&joined_time, &j);
    localtime_r(&now_time, &n);
    char dates[96];
    snprintf(dates, sizeof dates, "%02d/%02d/%04d %02d:%02d:%02d %02d/%02d/%04d %02d:%02d:%02d",
             j.tm_mday, j.tm_mon + 1, j.tm_year + 1900, j.tm_hour, j.tm_min, j.tm_sec, n.tm_mday,
             n.tm_mon + 1, n.tm_year + 1900, n.tm_hour, n.tm_min, n.tm_sec);
    int written = snprintf(out, static_cast<size_t>(size), "%03d.%03d.%03d.%03d %s %d %d %d %d\n",
                           ip[0], ip[1], ip[2], ip[3], dates, mode, count, marker, reserved);
    return written < size ? written : size - 1;
}

void close_busy_log_minute(Services& services, BusyLog& log) {
    const int64_t now = services.host->time_now();
    // A clock set back starts a new minute too.
    if (now - log.minute_start < BUSY_LOG_MINUTE && now >= log.minute_start) return;
    if (log.left_out > 0) {
        char from[64], to[64];
        format_time(from, sizeof from, log.minute_start);
        format_time(to, sizeof to, now);
        write_daily_log(services, "%d busy lines left out between %s and %s\n", log.left_out, from, to);
    }
    log.minute_start = now;
    log.written = 0;
    log.left_out = 0;
}

void log_busy_refusal(Services& services, BusyLog& log, const sockaddr_in& from, int mode, int active) {
    close_busy_log_minute(services, log);
    const int64_t now = services.host->time_now();
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
    write_daily_log(services, "%s", line);
}
