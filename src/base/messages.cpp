#include "base/messages.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/commands.h"
#include "base/string_table.h"
#include "platform/shell_open.h"

namespace {

// The socket errors the operator is told of, by the Winsock numbers the
// station's messages have always shown, with the errno values each stands
// for (none for the name look-up and start-up failures). Entry i has the
// string-table text 2000 + i. A firewall refusing a send gives EPERM.
struct SocketError {
    int number;
    int errno_values[2];
};
const SocketError kSocketErrors[] = {
    {10063, {ENAMETOOLONG}},
    {10093, {}},
    {10091, {}},
    {10092, {}},
    {10058, {ESHUTDOWN, EPIPE}},
    {10004, {EINTR}},
    {11001, {}},
    {11002, {}},
    {11003, {}},
    {11004, {}},
    {10009, {EBADF}},
    {10035, {EAGAIN, EWOULDBLOCK}},
    {10036, {EINPROGRESS}},
    {10037, {EALREADY}},
    {10014, {EFAULT}},
    {10039, {EDESTADDRREQ}},
    {10040, {EMSGSIZE}},
    {10046, {EPFNOSUPPORT}},
    {10066, {ENOTEMPTY}},
    {10067, {}},
    {10068, {EUSERS}},
    {10069, {EDQUOT}},
    {10070, {ESTALE}},
    {10022, {EINVAL}},
    {10024, {EMFILE, ENFILE}},
    {10013, {EACCES, EPERM}},
    {10062, {ELOOP}},
    {10071, {EREMOTE}},
    {10038, {ENOTSOCK}},
    {10049, {EADDRNOTAVAIL}},
    {10048, {EADDRINUSE}},
    {10047, {EAFNOSUPPORT}},
    {10044, {ESOCKTNOSUPPORT}},
    {10043, {EPROTONOSUPPORT}},
    {10055, {ENOBUFS, ENOMEM}},
    {10060, {ETIMEDOUT}},
    {10056, {EISCONN}},
    {10057, {ENOTCONN}},
    {10042, {ENOPROTOOPT}},
    {10054, {ECONNRESET}},
    {10053, {ECONNABORTED}},
    {10050, {ENETDOWN}},
    {10052, {ENETRESET}},
    {10061, {ECONNREFUSED}},
    {10064, {EHOSTDOWN}},
    {10065, {EHOSTUNREACH}},
    {10041, {EPROTOTYPE}},
    {10045, {EOPNOTSUPP}},
    {10051, {ENETUNREACH}},
    {10059, {}},
};
constexpr int kSocketErrorCount = sizeof kSocketErrors / sizeof kSocketErrors[0];

// Short weekday names of the log files, Sunday first.
const char* const kWeekdayNames[7] = {"sun", "mon", "tue", "wed", "thur", "fri", "sat"};

// Whether a weekday file last written at `modified` holds old lines and is
// started afresh: it was written on an earlier date than `today` (local
// time). That is every file written more than a day ago, and one written
// on another date less than a day ago (the clock or the time zone changed).
bool written_before_today(time_t modified, const tm& today) {
    tm midnight = today;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    return modified < mktime(&midnight);
}

// A weekday log line that could not be written: said once until a line
// gets through again, so that a full disk does not bring a box a line.
void log_line_lost(Services& ctx, const std::string& path, int error) {
    if (ctx.messages.log_failure_told) return;
    ctx.messages.log_failure_told = true;
    show_message(ctx, true, Buttons::ok | Icon::warning,
                 "Cannot write the log file %s: %s\nLog lines are lost until it can be written "
                 "again.",
                 path.c_str(), strerror(error));
}

char* next_ring_buffer(Services& ctx) {
    MessageState& m = ctx.messages;
    char* buffer = m.ring[m.ring_next];
    m.ring_next = (m.ring_next + 1) % TEXT_RING_SIZE;
    return buffer;
}

}  // namespace

Answer show_message(Services& ctx, bool owned, BoxStyle style, const char* format, ...) {
    char text[1025];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return ctx.host->message_box(text, PROGRAM_TITLE, style, owned);
}

void post_message(Services& ctx, BoxStyle style, const char* format, ...) {
    char text[1025];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    auto& posted = ctx.messages.posted;
    if (posted.empty()) ctx.host->post_command(Command::show_messages);
    posted.emplace_back(style, text);
}

Answer show_captioned_message(Services& ctx, const char* caption, bool owned, BoxStyle style,
                              const char* format, ...) {
    char text[1025];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return ctx.host->message_box(text, caption, style, owned);
}

const char* load_text(Services& ctx, int id) {
    char* buffer = next_ring_buffer(ctx);
    const char* text = string_table_text(id);
    snprintf(buffer, TEXT_BUFFER_SIZE, "%s", text ? text : "");
    return buffer;
}

int socket_error_number(int error) {
    if (error <= 0) return error;
    for (const SocketError& e : kSocketErrors)
        for (int value : e.errno_values)
            if (value == error) return e.number;
    return error;
}

const char* socket_error_text(Services& ctx, int error) {
    const int number = socket_error_number(error);
    int id = 2099;
    for (int i = 0; i < kSocketErrorCount; ++i) {
        if (kSocketErrors[i].number == number) {
            id = 2000 + i;
            break;
        }
    }
    return load_text(ctx, id);
}

const char* lookup_error_text(Services& ctx, LookupError error) {
    // The string table keeps the look-up failures in this order after 2005.
    return error == LookupError::none ? load_text(ctx, 2099)
                                      : load_text(ctx, 2005 + static_cast<int>(error));
}

void prepare_fatal_exit(Services& ctx) {
    if (ctx.before_fatal_exit) ctx.before_fatal_exit(ctx);
}

void end_program(Services& ctx, int status) {
    prepare_fatal_exit(ctx);
    ctx.host->exit_program(status);
}

void open_trace_sink(Services& ctx) {
    const char* path = getenv("VELMORA_TRACE");
    if (path && *path && !ctx.messages.trace_file) ctx.messages.trace_file.reset(fopen(path, "a"));
}

void debug_trace(Services& ctx, const char* format, ...) {
    if (!ctx.messages.trace_file) return;
    va_list args;
    va_start(args, format);
    vfprintf(ctx.messages.trace_file.get(), format, args);
    va_end(args);
    fflush(ctx.messages.trace_file.get());
}

void write_daily_log(Services& ctx, const char* format, ...) {
    char line[1025];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);

    // A context whose paths were never set up has no log (and must not
    // write into the root directory).
    if (ctx.program_dir.empty()) return;
    time_t now = static_cast<time_t>(ctx.host->time_now());
    tm local{};
    if (!localtime_r(&now, &local)) return;
    std::string path = ctx.program_dir + "/vmb_" + kWeekdayNames[local.tm_wday] + ".log";

    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return log_line_lost(ctx, path, errno);
    // Other writers wait until the line is complete.
    flock(fd, LOCK_EX);
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && written_before_today(info.st_mtime, local) &&
        ftruncate(fd, 0) != 0) {
        int error = errno;
        close(fd);
        return log_line_lost(ctx, path, error);
    }
    // The line is written as it is: a '%' in it is not formatted again.
    size_t length = strlen(line), done = 0;
    int error = 0;
    while (done < length) {
        ssize_t written = write(fd, line + done, length - done);
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(written);
    }
    // A full disk may take the line only when the file is closed.
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) return log_line_lost(ctx, path, error);
    ctx.messages.log_failure_told = false;
}

namespace {

// The opener could not be started: the file (`kind` says what it is), the
// opener and how to name another.
void tell_no_opener(Services& ctx, const char* kind, const std::string& path) {
    show_message(ctx, true, Buttons::ok,
                 "Cannot open %s%s%s: the opener \"%s\" could not be started (is it "
                 "installed?).\nInstall xdg-open (package xdg-utils) or name another viewer in "
                 "VELMORA_OPENER.",
                 kind, *kind ? " " : "", path.c_str(), shell_opener());
}

}  // namespace

int view_log(Services& ctx, const char* name) {
    if (!name) name = "";
    const char* dir = ctx.program_dir.c_str();
    std::string path = ctx.program_dir + "/" + name;
    FILE* file = fopen(path.c_str(), "r");
    if (!file) {
        show_message(ctx, true, Buttons::ok, "%s/%s: Log file not found!", dir, name);
        return 0;
    }
    fclose(file);
    const OpenResult result = ctx.host->shell_open("open", path.c_str(), nullptr, nullptr);
    if (result == OpenResult::started) return 1;
    if (result == OpenResult::file_not_found || result == OpenResult::path_not_found)
        show_message(ctx, true, Buttons::ok, "%s/%s:Log file not found!", dir, name);
    else
        tell_no_opener(ctx, "log file", path);
    return 0;
}

int open_for_operator(Services& ctx, const char* file, const char* directory) {
    const OpenResult result = ctx.host->shell_open("open", file, nullptr, directory);
    if (result == OpenResult::started) return 1;
    std::string path = file;
    if (directory && *directory && file[0] != '/' && !strstr(file, "://"))
        path = std::string(directory) + "/" + file;
    if (result == OpenResult::file_not_found)
        show_message(ctx, true, Buttons::ok | Icon::error, "Cannot open %s: there is no such file.",
                     path.c_str());
    else if (result == OpenResult::path_not_found)
        show_message(ctx, true, Buttons::ok | Icon::error, "Cannot open %s: there is no such folder.",
                     path.c_str());
    else
        tell_no_opener(ctx, "", path);
    return 0;
}
