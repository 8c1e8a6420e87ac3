#include "shell/common/qt_host.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>

#include "app/context.h"
#include "live/live_capture.h"
#include "app/controller.h"
#include "app/station_state.h"
#include "platform/clock.h"
#include "platform/shell_open.h"

Answer print_message_box(const char* text, const char* caption, BoxStyle style, bool answer_yes) {
    bool question = style.asks_yes_no();
    Answer answer = question ? (answer_yes ? Answer::yes : Answer::no) : Answer::ok;
    // One output line per message, so that logs can be read line by line.
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    printf("[%s] %s%s\n", caption, line.c_str(),
           question ? (answer == Answer::yes ? "  -> Yes" : "  -> No") : "");
    fflush(stdout);
    return answer;
}

void QtHost::post_command(Command command) {
    QTimer::singleShot(0, this, [this, command] {
        if (!ctx_ || exit_requested_) return;
        on_command(*ctx_, command);
        Q_EMIT controller_called();
    });
}

void QtHost::post_live_tick() {
    QTimer::singleShot(0, this, [this] {
        if (!ctx_ || exit_requested_) return;
        on_live_tick(*ctx_);
        Q_EMIT controller_called();
    });
}

void QtHost::post_output_event() {
    // From an output's thread: queued to this object's (the one) thread.
    QMetaObject::invokeMethod(this, [this] {
        if (!ctx_ || exit_requested_) return;
        on_output_event(*ctx_);
        Q_EMIT controller_called();
    }, Qt::QueuedConnection);
}

void QtHost::post_close() { QTimer::singleShot(0, this, [this] { Q_EMIT close_requested(); }); }

void QtHost::request_write_notification(int socket) {
    if (!write_notifier_ || write_notifier_->socket() != socket) {
        write_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
        connect(write_notifier_.get(), &QSocketNotifier::activated, this, [this] {
            write_notifier_->setEnabled(false);
            if (ctx_) on_socket_writable(*ctx_);
        });
    }
    write_notifier_->setEnabled(true);
}

void QtHost::set_read_notification(int socket, bool enabled) {
    if (!enabled) {
        // Off before the socket closes: a notifier must not outlive its socket.
        if (read_notifier_ && read_notifier_->socket() == socket) read_notifier_->setEnabled(false);
        return;
    }
    // A fresh notifier each time: the socket of a new broadcast may have
    // the number of the one closed.
    if (!read_notifier_ || !read_notifier_->isEnabled() || read_notifier_->socket() != socket) {
        read_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
        connect(read_notifier_.get(), &QSocketNotifier::activated, this, [this] {
            if (!ctx_) return;
            on_socket_readable(*ctx_);
            Q_EMIT controller_called();
        });
    }
    read_notifier_->setEnabled(true);
}

void QtHost::exit_program(int status) {
    if (exit_requested_) return;
    exit_requested_ = true;
    exit_status_ = status;
    printf("[%s] ending with exit status %d\n", PROGRAM_TITLE, status);
    fflush(stdout);
    QCoreApplication::exit(status);
}

QtHost::QtHost() {
    connect(&panel_timer_, &QTimer::timeout, this, [this] {
        if (!ctx_ || exit_requested_) return;
        panel_tick(*ctx_);
        Q_EMIT controller_called();
    });
    send_timer_.setSingleShot(true);
    send_timer_.setTimerType(Qt::PreciseTimer);
    connect(&send_timer_, &QTimer::timeout, this, [this] {
        if (!ctx_ || exit_requested_) return;
        const BroadcastState state = ctx_->sender.broadcast_state;
        send_timer_.start(send_due_ticks(*ctx_));
        if (ctx_->sender.broadcast_state != state) Q_EMIT controller_called();  // a tick may end it
    });
}

void QtHost::start_timers() {
    panel_timer_.start(PACE_TIMER_MS);
    send_timer_.start(0);
}

void QtHost::stop_timers() {
    panel_timer_.stop();
    send_timer_.stop();
}

uint32_t QtHost::time_ms() { return monotonic_ms(); }
int64_t QtHost::time_now() { return static_cast<int64_t>(::time(nullptr)); }
int QtHost::rand() { return static_cast<int>(random_() % 32768); }

OpenResult QtHost::shell_open(const char* verb, const char* file, const char* parameters,
                       const char* directory) {
    return shell_open_file(verb, file, parameters, directory);
}

void stop_for_exit(Context& ctx) {
    if (ctx.sender.broadcast_state != BroadcastState::idle) {
        if (ctx.live_ring.feed_mode == FeedMode::script) stop_broadcast(ctx);
        else finish_stop(ctx);
    }
    on_close_request(ctx);
}

namespace {
sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // The terminal closed: stop as properly as on SIGTERM (unlist, lock file).
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool watch_stop_signals(QObject* owner, std::function<void()> on_stop) {
    block_stop_signals();
    const sigset_t set = stop_signal_set();
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return false;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [fd, on_stop] {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == sizeof info) {
        }
        on_stop();
    });
    return true;
}

void QtHost::set_capture_source(std::unique_ptr<CaptureSource> source) {
    if (!source) {
        capture_.reset();
        return;
    }
    capture_ = std::make_unique<CaptureDevice>(
        std::move(source),
        [this](int id, int recorded, const ProgramAudio* program) {
            if (ctx_ && !exit_requested_) on_capture_buffer(*ctx_, id, recorded, program);
        },
        [this](const std::string& notice) { capture_notice(notice); });
}

void QtHost::capture_notice(const std::string& text) {
    printf("[%s] %s\n", PROGRAM_TITLE, text.c_str());
    fflush(stdout);
}

CaptureAnswer QtHost::capture_query(int rate) {
    return capture_ ? capture_->query(rate) : CaptureAnswer::no_device;
}

CaptureAnswer QtHost::capture_open(int rate, char* error_text, int error_size) {
    if (!capture_) return Host::capture_open(rate, error_text, error_size);
    return capture_->open(rate, error_text, error_size);
}

int QtHost::capture_program_channels() { return capture_ ? capture_->program_channels() : 0; }

const char* QtHost::capture_fault() { return capture_ ? capture_->fault() : nullptr; }

void QtHost::capture_add_buffer(int buffer_id, uint8_t* data, int length) {
    if (capture_) capture_->add_buffer(buffer_id, data, length);
}

void QtHost::capture_start() {
    if (capture_) capture_->start();
}

void QtHost::capture_reset() {
    if (capture_) capture_->reset();
}

void QtHost::capture_close() {
    if (capture_) capture_->close();
}
