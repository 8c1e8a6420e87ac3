#include "shell/headless/headless_host.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <string>

#include "app/context.h"
#include "app/controller.h"
#include "app/station_state.h"
#include "platform/clock.h"
#include "platform/shell_open.h"

int HeadlessHost::message_box(const char* text, const char* caption, int type, bool owned) {
    int buttons = type & 0xF;
    bool question = buttons == MB_YESNO || buttons == MB_YESNOCANCEL;
    int answer = question ? (answer_yes_ ? IDYES : IDNO) : IDOK;
    // One output line per message, so that logs can be read line by line.
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    printf("[%s] %s%s\n", caption, line.c_str(),
           question ? (answer == IDYES ? "  -> Yes" : "  -> No") : "");
    fflush(stdout);
    return answer;
}

void HeadlessHost::post_command(int command_id) {
    QTimer::singleShot(0, this, [this, command_id] {
        if (ctx_ && !exit_requested_) on_command(*ctx_, command_id);
    });
}

void HeadlessHost::post_live_tick() {
    QTimer::singleShot(0, this, [this] {
        if (ctx_ && !exit_requested_) on_live_tick(*ctx_, LIVE_TICK_PARAM);
    });
}

void HeadlessHost::post_close() { QTimer::singleShot(0, this, [this] { Q_EMIT close_requested(); }); }

void HeadlessHost::request_write_notification(int socket) {
    if (!write_notifier_ || write_notifier_->socket() != socket) {
        write_notifier_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
        connect(write_notifier_.get(), &QSocketNotifier::activated, this, [this] {
            write_notifier_->setEnabled(false);
            if (ctx_) on_socket_writable(*ctx_);
        });
    }
    write_notifier_->setEnabled(true);
}

void HeadlessHost::set_read_notification(int socket, bool enabled) {
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
            if (ctx_) on_socket_readable(*ctx_);
        });
    }
    read_notifier_->setEnabled(true);
}

void HeadlessHost::exit_program(int status) {
    if (exit_requested_) return;
    exit_requested_ = true;
    exit_status_ = status;
    printf("[%s] ending with exit status %d\n", PROGRAM_TITLE, status);
    fflush(stdout);
    QCoreApplication::exit(status);
}

uint32_t HeadlessHost::time_ms() { return monotonic_ms(); }
int64_t HeadlessHost::time_now() { return static_cast<int64_t>(::time(nullptr)); }
int HeadlessHost::rand() { return static_cast<int>(random_() % 32768); }

int HeadlessHost::shell_open(const char* verb, const char* file, const char* parameters,
                             const char* directory) {
    return shell_open_file(verb, file, parameters, directory);
}

int HeadlessHost::proxy_dialog(bool reauthenticate) {
    printf("[%s] the %s refused the request (HTTP 401/407): store the proxy and its credentials "
           "with: velmora-station --set-proxy SERVER PORT USER (the password is read from "
           "standard input)\n",
           PROGRAM_TITLE, reauthenticate ? "proxy" : "web server");
    fflush(stdout);
    return 0;
}
