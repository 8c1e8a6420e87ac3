#include "app/console_host.h"

#include <chrono>
#include <cstdio>

int ConsoleHost::message_box(const char* text, const char*, int type, bool) {
    if (window_texts_shown) std::fprintf(stderr, "%s\n", text);
    int buttons = type & 0xF;
    return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
}

uint32_t ConsoleHost::time_ms() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t ConsoleHost::time_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
