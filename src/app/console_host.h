#pragma once
// A Host for the command-line tools: there is no window, so a message box
// becomes a line on stderr and a question is answered Yes.

#include <random>

#include "base/host.h"

class ConsoleHost : public Host {
public:
    int exit_status = 0;  // what exit_program asked for; 0 when it was not called
    // Off while core work runs that keeps the plain cause of each refusal
    // for the tool to print: its boxes carry the window's texts, which point
    // at dialogs a command line does not have. Questions are still answered.
    bool window_texts_shown = true;

    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override;
    void post_command(Command) override {}
    void post_live_tick() override {}
    void invalidate(bool) override {}
    void request_write_notification(int) override {}
    void exit_program(int status) override { exit_status = status; }
    uint32_t time_ms() override;
    int64_t time_now() override;
    int rand() override { return static_cast<int>(generator_() % 32768); }
    OpenResult shell_open(const char*, const char*, const char*, const char*) override {
        return OpenResult::no_handler;
    }
    void run_http_exchange(HttpExchange& exchange) override;

private:
    std::minstd_rand generator_{1};
};
