#pragma once
// A Host for tests: scripted message-box answers, recorded messages and posts,
// a clock the test moves by hand, and a predictable rand().

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/host.h"
#include "web/http_client.h"

struct RecordedMessage {
    std::string text;
    std::string caption;
    BoxStyle style;
    bool owned;
};

class FakeHost : public Host {
public:
    std::vector<RecordedMessage> messages;
    std::deque<Answer> answers;  // answers for the next boxes; ok or yes when empty
    std::vector<Command> posted_commands;
    int live_ticks_posted = 0;
    int invalidations = 0;
    std::vector<int> write_notification_requests;
    std::vector<std::pair<int, bool>> read_notifications;  // (socket, enabled) in order
    std::vector<int> exit_statuses;
    uint32_t clock_ms = 1000;
    int64_t now = 1'700'000'000;  // a Tuesday, 2023-11-14 22:13:20 UTC
    unsigned rand_state = 1;
    OpenResult shell_open_result = OpenResult::started;
    std::vector<std::string> shell_opened;
    std::vector<Dialog> dialogs_run;  // the dialogs asked for, in order; each answers 0

    // The directory's exchanges as the runner got them (request text, the
    // host and port contacted). `http_server` plays the network: by default
    // a directory that answers every request "200 OK" with an empty body.
    std::vector<HttpExchange> http_exchanges;
    std::function<void(HttpExchange&)> http_server;
    // Proxy dialogs shown (their re-authentication mode) and what they do:
    // `proxy_dialog_action` runs as the user's input (it may save settings)
    // and returns the dialog's result; without one the dialog is closed (0).
    std::vector<bool> proxy_dialogs;
    std::function<int(bool)> proxy_dialog_action;

    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override;
    void post_command(Command command) override { posted_commands.push_back(command); }
    void post_live_tick() override { ++live_ticks_posted; }
    // From an output's own thread.
    std::atomic<int> output_events_posted{0};
    void post_output_event() override { ++output_events_posted; }
    void invalidate(bool) override { ++invalidations; }
    void request_write_notification(int socket) override {
        write_notification_requests.push_back(socket);
    }
    void set_read_notification(int socket, bool enabled) override {
        read_notifications.push_back({socket, enabled});
    }
    void exit_program(int status) override { exit_statuses.push_back(status); }
    uint32_t time_ms() override { return clock_ms; }
    int64_t time_now() override { return now; }
    int rand() override;
    OpenResult shell_open(const char* verb, const char* file, const char* parameters,
                   const char* directory) override;

    int run_dialog(Dialog dialog) override {
        dialogs_run.push_back(dialog);
        return 0;
    }
    void run_http_exchange(HttpExchange& exchange) override;
    int proxy_dialog(bool reauthenticate) override {
        proxy_dialogs.push_back(reauthenticate);
        return proxy_dialog_action ? proxy_dialog_action(reauthenticate) : 0;
    }

    // The text of the last message box, or "" when none was shown.
    std::string last_message() const { return messages.empty() ? "" : messages.back().text; }
};
