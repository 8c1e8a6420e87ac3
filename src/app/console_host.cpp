#include "app/console_host.h"

#include <chrono>
#include <cstdio>

#include "web/http_client.h"

Answer ConsoleHost::message_box(const char* text, const char*, BoxStyle style, bool) {
    if (window_texts_shown) std::fprintf(stderr, "%s\n", text);
    return style.asks_yes_no() ? Answer::yes : Answer::ok;
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

void ConsoleHost::run_http_exchange(HttpExchange& exchange) {
    http_failed(exchange, "this front end has no network client");
}
