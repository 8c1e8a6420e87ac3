#include "support/fake_host.h"

Answer FakeHost::message_box(const char* text, const char* caption, BoxStyle style, bool owned) {
    messages.push_back({text, caption, style, owned});
    if (!answers.empty()) {
        Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    return style.asks_yes_no() ? Answer::yes : Answer::ok;
}

int FakeHost::rand() {
    // The classic linear congruential generator: the same sequence every run.
    rand_state = rand_state * 1103515245u + 12345u;
    return static_cast<int>((rand_state / 65536u) % 32768u);
}

OpenResult FakeHost::shell_open(const char* verb, const char* file, const char* parameters,
                         const char* directory) {
    shell_opened.push_back(std::string(verb) + " " + file + " " + (parameters ? parameters : ""));
    return shell_open_result;
}

void FakeHost::run_http_exchange(HttpExchange& exchange) {
    http_exchanges.push_back(exchange);
    if (http_server) return http_server(exchange);
    http_lookup_done(exchange, true, 0x7F000001);
    http_connected(exchange);
    const char reply[] = "HTTP/1.0 200 OK\r\n\r\n";
    http_received(exchange, reply, sizeof reply - 1);
    http_closed(exchange);
}
