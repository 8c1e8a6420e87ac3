#pragma once
// The Host of the headless station: message boxes become log lines answered
// with a default the operator chose; the rest is the shared Qt host.

#include "shell/common/qt_host.h"

class HeadlessHost : public QtHost {
public:
    explicit HeadlessHost(bool answer_yes) : answer_yes_(answer_yes) {}

    int message_box(const char* text, const char* caption, int type, bool owned) override {
        return print_message_box(text, caption, type, answer_yes_);
    }
    void invalidate(bool) override {}

private:
    bool answer_yes_;
};
