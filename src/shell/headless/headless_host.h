#pragma once
// The Host of the headless station: message boxes become log lines answered
// with a default the operator chose; the rest is the shared Qt host.

#include <cstdio>

#include "app/station_state.h"
#include "shell/common/qt_host.h"

class HeadlessHost : public QtHost {
public:
    explicit HeadlessHost(bool answer_yes) : answer_yes_(answer_yes) {}

    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override {
        return print_message_box(text, caption, style, answer_yes_);
    }
    void invalidate(bool) override {}
    // No dialog here: the operator stores the credentials from the command line.
    int proxy_dialog(bool reauthenticate) override {
        printf("[%s] the %s refused the request (HTTP 401/407): store the proxy and its "
               "credentials with: velmora-station --set-proxy SERVER PORT USER (the password "
               "is read from standard input)\n",
               PROGRAM_TITLE, reauthenticate ? "proxy" : "web server");
        fflush(stdout);
        return 0;
    }

private:
    bool answer_yes_;
};
