#pragma once
// The Host of the benchmarks: nothing to show or post; messages and exit
// requests go to stderr so a benchmark that goes wrong says so.

#include <cstdio>

#include "base/host.h"
#include "web/http_client.h"

class BenchHost : public Host {
public:
    Answer message_box(const char* text, const char*, BoxStyle, bool) override {
        fprintf(stderr, "message: %s\n", text);
        return Answer::ok;
    }
    void post_command(Command) override {}
    void post_live_tick() override {}
    void invalidate(bool) override {}
    void request_write_notification(int) override {}
    void exit_program(int status) override { fprintf(stderr, "exit %d\n", status); }
    uint32_t time_ms() override { return 0; }
    int64_t time_now() override { return 1'700'000'000; }
    int rand() override { return 0; }
    OpenResult shell_open(const char*, const char*, const char*, const char*) override {
        return OpenResult::started;
    }
    void run_http_exchange(HttpExchange& exchange) override {
        http_failed(exchange, "this front end has no network client");
    }
};
