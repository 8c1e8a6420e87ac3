// The request state machine of http_get, driven through a scripted network
// (FakeHost::http_server), and the proxy dialog's decisions.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "web/http_client.h"
#include "web/proxy_settings.h"

namespace {

struct HttpClientTest : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.path()};  // the registry, without a proxy
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    char output[64] = "untouched";

    // A server that sends `replies` in order, one chunk each, then closes.
    void serve(std::vector<std::string> chunks) {
        host.http_server = [chunks](HttpExchange& exchange) {
            http_lookup_done(exchange, true, 0x7F000001);
            http_connected(exchange);
            for (const std::string& chunk : chunks)
                http_received(exchange, chunk.data(), static_cast<int>(chunk.size()));
            http_closed(exchange);
        };
    }
    int get(const char* host_name = "directory.test", int port = 8080, const char* path = "/x?a=1") {
        return http_get(*ctx, ctx->web, "Adding station to directory...\r\n", host_name, port, path, output,
                        sizeof output);
    }
};

TEST_F(HttpClientTest, a_direct_request_asks_for_the_path_and_returns_only_the_body_of_a_200) {
    serve({"HTTP/1.0 200 OK\r\nServer: t\r\n", "\r\nthe body"});
    EXPECT_EQ(get(), 1);
    EXPECT_STREQ(output, "the body");
    ASSERT_EQ(host.http_exchanges.size(), 1u);
    const HttpExchange& sent = host.http_exchanges[0];
    EXPECT_EQ(sent.request, "GET /x?a=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(sent.connect_host, "directory.test");
    EXPECT_EQ(sent.phase, HTTP_LOOKING_UP);  // a name is looked up
    EXPECT_EQ(sent.connect_port, 8080);
    EXPECT_EQ(sent.timeout_ms, 30000);
    EXPECT_FALSE(ctx->web.busy);

    get("127.0.0.9", 0);  // a dotted address needs no look-up; port 0 is 80
    EXPECT_EQ(host.http_exchanges[1].phase, HTTP_CONNECTING);
    EXPECT_EQ(host.http_exchanges[1].connect_addr, 0x7F000009u);
    EXPECT_EQ(host.http_exchanges[1].connect_port, 80);
}

TEST_F(HttpClientTest, a_request_while_another_runs_is_refused_without_touching_the_output) {
    char inner[16] = "kept";
    int inner_result = 0;
    host.http_server = [&](HttpExchange& exchange) {
        inner_result = http_get(*ctx, ctx->web, "again", "h", 80, "/", inner, sizeof inner);
        http_failed(exchange, "refused");
    };
    EXPECT_EQ(get(), 0);
    EXPECT_EQ(inner_result, -1);
    EXPECT_STREQ(inner, "kept");
    EXPECT_STREQ(output, "");  // nothing came back
    EXPECT_EQ(host.http_exchanges.size(), 1u);
}

TEST_F(HttpClientTest, every_failure_before_a_reply_ends_silently_with_an_empty_output) {
    // Look-up error, connect error, send or receive error, close without a word.
    std::vector<std::function<void(HttpExchange&)>> failures = {
        [](HttpExchange& e) { http_lookup_done(e, false, 0); },
        [](HttpExchange& e) { http_lookup_done(e, true, 1); http_failed(e, "connection refused"); },
        [](HttpExchange& e) { http_lookup_done(e, true, 1); http_connected(e); http_failed(e, "reset"); },
        [](HttpExchange& e) { http_lookup_done(e, true, 1); http_connected(e); http_closed(e); },
        [](HttpExchange&) {},  // a runner that gave up (the program is ending)
    };
    for (auto& failure : failures) {
        host.http_server = failure;
        strcpy(output, "old");
        EXPECT_EQ(get(), 0);
        EXPECT_STREQ(output, "");
    }
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.proxy_dialogs.empty());
    EXPECT_FALSE(ctx->web.busy);
}

TEST_F(HttpClientTest, a_chunk_that_does_not_fit_ends_the_gathering_at_the_replys_beginning) {
    // 64 bytes of room: 30 and 30 fit (4 left), 5 does not, and the 1 after it is not taken.
    std::string first = "HTTP/1.0 500 Oops\r\n\r\n" + std::string(9, 'a');
    serve({first, std::string(30, 'b'), std::string(5, 'c'), "d"});
    EXPECT_EQ(get(), 0);
    EXPECT_EQ(std::string(output), first + std::string(30, 'b'));
    EXPECT_EQ(host.http_exchanges.size(), 1u);
    // Events after the end change nothing.
    HttpExchange& exchange = ctx->web.exchange;
    EXPECT_EQ(exchange.phase, HTTP_DONE);
    http_received(exchange, "zz", 2);
    EXPECT_EQ(exchange.length, 60);
}

TEST_F(HttpClientTest, the_status_line_is_classified_in_order_and_needs_the_end_of_the_header) {
    EXPECT_EQ(http_verdict("HTTP/1.0 406 401\r\n\r\n"), HTTP_FAILURE);
    EXPECT_EQ(http_verdict("HTTP/1.0 401 404\r\n\r\n"), HTTP_AUTHENTICATE);
    EXPECT_EQ(http_verdict("HTTP/1.0 407 200\r\n\r\n"), HTTP_AUTHENTICATE);
    EXPECT_EQ(http_verdict("HTTP/1.0 403 200\r\n\r\n"), HTTP_FAILURE);
    EXPECT_EQ(http_verdict("HTTP/1.0 200 OK\r\n\r\n"), HTTP_SUCCESS);
    EXPECT_EQ(http_verdict("HTTP/1.0 500 Error\r\nX: 200\r\n\r\n"), HTTP_FAILURE);  // header lines don't count
    EXPECT_EQ(http_verdict("HTTP/1.0 200 OK\r\nno end of header"), HTTP_FAILURE);
    EXPECT_EQ(http_verdict("HTTP/1.0 200 OK\n\n"), HTTP_FAILURE);

    serve({"HTTP/1.0 404 Not Found\r\n\r\nnothing here"});
    EXPECT_EQ(get(), 0);
    EXPECT_STREQ(output, "HTTP/1.0 404 Not Found\r\n\r\nnothing here");  // the raw reply stays
}

TEST_F(HttpClientTest, a_direct_401_opens_the_open_dialog_and_the_retry_goes_through_the_proxy_it_saved) {
    int attempt = 0;
    host.http_server = [&](HttpExchange& e) {
        http_lookup_done(e, true, 1);
        http_connected(e);
        const char* reply = ++attempt == 1 ? "HTTP/1.0 401 Unauthorized\r\n\r\n"
                                           : "HTTP/1.0 200 OK\r\n\r\nlisted";
        http_received(e, reply, static_cast<int>(strlen(reply)));
        http_closed(e);
    };
    host.proxy_dialog_action = [](bool) {
        return save_proxy_settings({"127.0.0.5", 0, "", ""});  // a proxy, no port, no credentials
    };
    EXPECT_EQ(get("directory.test", 0), 1);
    EXPECT_STREQ(output, "listed");
    ASSERT_EQ(host.proxy_dialogs, std::vector<bool>{false});  // the direct attempt: all fields open
    ASSERT_EQ(host.http_exchanges.size(), 2u);
    const HttpExchange& retry = host.http_exchanges[1];
    EXPECT_TRUE(retry.via_proxy);
    EXPECT_EQ(retry.connect_host, "127.0.0.5");
    EXPECT_EQ(retry.connect_port, 80);  // no proxy port: the target's, and 0 means 80
    // The target port as the caller passed it, and the line even for empty credentials.
    EXPECT_EQ(retry.request,
              "GET http://directory.test:0/x?a=1 HTTP/1.0\r\nProxy-authorization: Basic Og==\r\n\r\n");
}

TEST_F(HttpClientTest, a_407_from_the_proxy_asks_again_locked_until_the_dialog_is_closed) {
    save_proxy_settings({"proxy.test", 3128, "op", "wrong"});
    serve({"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"});
    int dialogs = 0;
    host.proxy_dialog_action = [&](bool) {
        if (++dialogs == 3) return 0;  // the user closes it
        return save_proxy_settings({"proxy.test", 3128, "op", "try" + std::to_string(dialogs)});
    };
    EXPECT_EQ(get(), 0);
    EXPECT_EQ(host.proxy_dialogs, (std::vector<bool>{true, true, true}));  // server and port locked
    ASSERT_EQ(host.http_exchanges.size(), 3u);
    EXPECT_EQ(host.http_exchanges[0].connect_port, 3128);
    EXPECT_NE(host.http_exchanges[0].request.find("Proxy-authorization: Basic b3A6d3Jvbmc=\r\n"),
              std::string::npos);  // "op:wrong"
    EXPECT_NE(host.http_exchanges[2].request.find("Basic b3A6dHJ5Mg==\r\n"), std::string::npos);
    EXPECT_STREQ(output, "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n");
    EXPECT_FALSE(ctx->web.busy);

    // Without a dialog (the headless station) there is exactly one attempt.
    host.proxy_dialog_action = nullptr;
    host.http_exchanges.clear();
    EXPECT_EQ(get(), 0);
    EXPECT_EQ(host.http_exchanges.size(), 1u);
}

TEST_F(HttpClientTest, a_time_out_shows_one_box_and_judges_what_came_so_far) {
    ctx->state.HTTP_TIMEOUT = 2;
    host.http_server = [](HttpExchange& e) {
        http_lookup_done(e, true, 1);
        http_connected(e);
        http_timed_out(e);
        http_timed_out(e);  // a second tick of the timer shows nothing more
    };
    EXPECT_EQ(get(), 0);
    EXPECT_EQ(host.http_exchanges[0].timeout_ms, 2000);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Failed to contact the web server.  Try again later");
    EXPECT_EQ(host.messages[0].caption, "Adding station to directory...");
    EXPECT_STREQ(output, "");

    host.messages.clear();
    host.http_server = [](HttpExchange& e) {
        http_lookup_done(e, true, 1);
        http_connected(e);
        const char part[] = "HTTP/1.0 200 OK\r\n\r\npart";
        http_received(e, part, sizeof part - 1);
        http_timed_out(e);
    };
    // What came before the time-out is no answer, whatever its status line:
    // the request fails and the output keeps the raw beginning.
    EXPECT_EQ(get(), 0);
    EXPECT_STREQ(output, "HTTP/1.0 200 OK\r\n\r\npart");
    EXPECT_EQ(host.messages.size(), 1u);

    host.messages.clear();
    host.http_server = [](HttpExchange& e) {  // broken off by an error: fails silently
        http_lookup_done(e, true, 1);
        http_connected(e);
        const char part[] = "HTTP/1.0 200 OK\r\n\r\npart";
        http_received(e, part, sizeof part - 1);
        http_failed(e, "Connection reset by peer");
    };
    EXPECT_EQ(get(), 0);
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
