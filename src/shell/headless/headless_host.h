#pragma once
// The Host of the headless station: message boxes become log lines answered
// with a default the operator chose, posted commands run from Qt's event
// loop, write notifications come from a QSocketNotifier.

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <random>

#include "app/host.h"
#include "shell/headless/http_runner.h"

struct Context;

class HeadlessHost : public QObject, public Host {
    Q_OBJECT
public:
    explicit HeadlessHost(bool answer_yes) : answer_yes_(answer_yes) {}
    void attach(Context* ctx) { ctx_ = ctx; }

    int message_box(const char* text, const char* caption, int type, bool owned) override;
    void post_command(int command_id) override;
    void post_live_tick() override;
    void invalidate(bool) override {}
    void request_write_notification(int socket) override;
    void set_read_notification(int socket, bool enabled) override;
    void exit_program(int status) override;
    uint32_t time_ms() override;
    int64_t time_now() override;
    int rand() override;
    int shell_open(const char* verb, const char* file, const char* parameters,
                   const char* directory) override;
    void post_close() override;
    void run_http_exchange(HttpExchange& exchange) override { http_.run(exchange); }
    // There is no dialog to ask: the operator is told how to store
    // credentials, and the request fails (no retry without new ones).
    int proxy_dialog(bool reauthenticate) override;

    HttpRunner& http() { return http_; }

    bool exit_requested() const { return exit_requested_; }
    int exit_status() const { return exit_status_; }

Q_SIGNALS:
    void close_requested();

private:
    Context* ctx_ = nullptr;
    bool answer_yes_;
    bool exit_requested_ = false;
    int exit_status_ = 0;
    std::unique_ptr<QSocketNotifier> write_notifier_;
    std::unique_ptr<QSocketNotifier> read_notifier_;
    HttpRunner http_;
    std::minstd_rand random_{std::random_device{}()};
};
