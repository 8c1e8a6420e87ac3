#pragma once
// What the window and the headless station share of the Host: posted
// commands and live ticks run from Qt's event loop, socket notifications
// from QSocketNotifier, the exit status, the clocks, the opener and live
// capture, and the two timers that pace the station. Only message boxes,
// dialogs and repaints differ between them.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <random>

#include "base/host.h"
#include "shell/capture/capture_device.h"
#include "shell/common/http_runner.h"

struct Context;

class QtHost : public QObject, public Host {
    Q_OBJECT
public:
    QtHost();
    void attach(Context* ctx) { ctx_ = ctx; }

    void post_command(Command command) override;
    void post_live_tick() override;
    void request_write_notification(int socket) override;
    void set_read_notification(int socket, bool enabled) override;
    void exit_program(int status) override;
    uint32_t time_ms() override;
    int64_t time_now() override;
    int rand() override;
    OpenResult shell_open(const char* verb, const char* file, const char* parameters,
                   const char* directory) override;
    void post_close() override;

    // Live capture goes to `source` (null: no recording device).
    void set_capture_source(std::unique_ptr<CaptureSource> source);
    CaptureAnswer capture_query(int rate) override;
    CaptureAnswer capture_open(int rate, char* error_text, int error_size) override;
    int capture_program_channels() override;
    const char* capture_fault() override;
    void capture_add_buffer(int buffer_id, uint8_t* data, int length) override;
    void capture_start() override;
    void capture_reset() override;
    void capture_close() override;
    // A capture fault or its recovery, told without a modal box.
    virtual void capture_notice(const std::string& text);
    void notice(const char* text) override { capture_notice(text); }
    void post_output_event() override;

    // The directory's HTTP requests, in a nested event loop.
    void run_http_exchange(HttpExchange& exchange) override { http_.run(exchange); }
    HttpRunner& http() { return http_; }

    // The panel's 128 ms rhythm and the ticks' own precise timer, re-armed
    // for the moment the next tick is due, so that ticks go out one at a
    // time on schedule whatever the sampling rate. Each panel tick, and a
    // send that changed the broadcast's state, counts as a controller call.
    void start_timers();
    void stop_timers();

    bool exit_requested() const { return exit_requested_; }
    int exit_status() const { return exit_status_; }

Q_SIGNALS:
    void close_requested();
    // The controller ran for a posted message or a socket notification: a
    // window brings its menus and button up to date.
    void controller_called();

protected:
    Context* ctx_ = nullptr;

private:
    bool exit_requested_ = false;
    int exit_status_ = 0;
    QTimer panel_timer_;
    QTimer send_timer_;
    std::unique_ptr<QSocketNotifier> write_notifier_;
    std::unique_ptr<QSocketNotifier> read_notifier_;
    std::unique_ptr<CaptureDevice> capture_;
    HttpRunner http_;
    std::minstd_rand random_{std::random_device{}()};
};

// A message box as one line of output: the caption, the text with its line
// breaks as blanks, and the answer given. Returns the answer: OK for plain
// boxes, Yes or No (as `answer_yes` says) for questions.
Answer print_message_box(const char* text, const char* caption, BoxStyle style, bool answer_yes);

// Stops whatever broadcast runs (a live one without draining) and closes
// the station, as the end of the program needs: the close notice goes out.
void stop_for_exit(Context& ctx);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in every thread
// it starts later. Called first in main(), before Qt or the sound library
// start their threads: no signal then ever interrupts those threads (their
// sound server connection broke on it), and watch_stop_signals reads them.
void block_stop_signals();

// Runs `on_stop` from the event loop when SIGINT, SIGTERM or SIGHUP arrives
// (read from a signalfd, so block_stop_signals must have come first).
// Returns false when the signalfd cannot be made.
bool watch_stop_signals(QObject* owner, std::function<void()> on_stop);
