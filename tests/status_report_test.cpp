// The status endpoint's texts: JSON, Prometheus metrics, the page and the
// HTTP replies, built from a station context without any network.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

#include "app/context.h"
#include "app/program.h"
#include "app/status_report.h"
#include "support/fake_host.h"

namespace {

class StatusReportTest : public ::testing::Test {
protected:
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void SetUp() override {
        ctx->state.StationName = "Radio \"Quote\" <b>\xE9t\xE9</b>";  // Latin-1 accents
        ctx->state.StationLocation = "Loopback\nline two";
        ctx->state.BANDWIDTH = 64000;
    }

    // A broadcast of the second script entry to `listeners` listeners.
    void broadcast(int listeners) {
        ScriptEntry one, two;
        strcpy(two.song, "two.VMA");
        strcpy(two.picture, "two.bmp");
        strcpy(two.text, "Second \xC3\xA9 song");  // UTF-8 already
        ctx->script.entries = {one, two};
        ctx->sender.entry_index = 1;
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->live_ring.feed_mode = FeedMode::script;
        ctx->station.broadcast_start_time = host.now - 65;
        for (int i = 0; i < listeners; ++i) ctx->listeners.entries[i].age = 0;
        ctx->listeners.busy_rejections = 3;
        ctx->sender.packet_counter = 120;
        ctx->sender.counters = {1000, 7, 5};
    }
};

TEST_F(StatusReportTest, json_names_the_station_its_listeners_song_and_counters) {
    broadcast(2);
    nlohmann::json status = nlohmann::json::parse(status_json(collect_status(*ctx)));
    EXPECT_EQ(status["station"]["name"], "Radio \"Quote\" <b>\u00e9t\u00e9</b>");
    EXPECT_EQ(status["station"]["location"], "Loopback\nline two");
    EXPECT_EQ(status["station"]["state"], "BROADCASTING");
    EXPECT_EQ(status["station"]["feed"], "script");
    EXPECT_EQ(status["station"]["on_air_seconds"], 65);
    EXPECT_EQ(status["listeners"]["active"], 2);
    EXPECT_EQ(status["listeners"]["bandwidth_bps"], 64000);
    EXPECT_EQ(status["listeners"]["busy_refusals"], 3);
    int load = status["listeners"]["load_bps"];
    EXPECT_GT(load, 0);
    EXPECT_EQ(status["listeners"]["bandwidth_share_percent"], load * 100 / 64000);
    EXPECT_EQ(status["song"]["file"], "two.VMA");
    EXPECT_EQ(status["song"]["picture"], "two.bmp");
    EXPECT_EQ(status["song"]["text"], "Second \u00e9 song");
    EXPECT_EQ(status["datagrams"]["audio_ticks"], 120);
    EXPECT_EQ(status["datagrams"]["sent"], 1000);
    EXPECT_EQ(status["datagrams"]["resend_requests"], 7);
    EXPECT_EQ(status["datagrams"]["resends_sent"], 5);
    EXPECT_EQ(status["datagrams"]["resends_missed"], 2);
}

TEST_F(StatusReportTest, an_idle_station_reports_no_song_and_no_load) {
    broadcast(2);
    ctx->sender.broadcast_state = BroadcastState::idle;
    nlohmann::json status = nlohmann::json::parse(status_json(collect_status(*ctx)));
    EXPECT_EQ(status["station"]["state"], "IDLE");
    EXPECT_EQ(status["station"]["on_air_seconds"], 0);
    EXPECT_EQ(status["listeners"]["load_bps"], 0);
    EXPECT_EQ(status["song"]["file"], "");
    EXPECT_EQ(status["icecast"]["state"], "off");
    EXPECT_EQ(status["icecast"]["on_air"], 0);
}

TEST_F(StatusReportTest, the_icecast_output_reports_its_state_and_dropped_audio) {
    broadcast(1);
    ctx->icecast.state = ICECAST_RECONNECTING;
    ctx->icecast.url = "http://127.0.0.1:8000/live.opus";
    ctx->icecast.dropped_items = 12;
    nlohmann::json status = nlohmann::json::parse(status_json(collect_status(*ctx)));
    EXPECT_EQ(status["icecast"]["state"], "reconnecting");
    EXPECT_EQ(status["icecast"]["url"], "http://127.0.0.1:8000/live.opus");
    EXPECT_EQ(status["icecast"]["dropped_blocks"], 12);
    std::string metrics = status_metrics(collect_status(*ctx));
    EXPECT_NE(metrics.find("velmora_icecast_dropped_blocks_total 12\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("velmora_icecast_on_air 0\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("state=\"reconnecting\""), std::string::npos) << metrics;
}

TEST_F(StatusReportTest, metrics_are_prometheus_text_with_texts_as_escaped_labels) {
    broadcast(1);
    std::string metrics = status_metrics(collect_status(*ctx));
    for (const char* line : {"# TYPE velmora_listeners_active gauge\nvelmora_listeners_active 1\n",
                             "# TYPE velmora_listeners_busy_refusals_total counter\n"
                             "velmora_listeners_busy_refusals_total 3\n",
                             "velmora_datagrams_sent_total 1000\n",
                             "velmora_station_sampling_rate_hz ",
                             "location=\"Loopback\\nline two\"",
                             "name=\"Radio \\\"Quote\\\" <b>\xC3\xA9t\xC3\xA9</b>\"",
                             "state=\"BROADCASTING\"",
                             "velmora_song_info{file=\"two.VMA\",picture=\"two.bmp\",text=\"Second"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    // Every sample line is a metric name, optional labels and an integer.
    size_t start = 0;
    while (start < metrics.size()) {
        size_t end = metrics.find('\n', start);
        std::string line = metrics.substr(start, end - start);
        start = end + 1;
        if (line[0] == '#') continue;
        EXPECT_EQ(line.rfind("velmora_", 0), 0u) << line;
        std::string value = line.substr(line.rfind(' ') + 1);
        EXPECT_EQ(value.find_first_not_of("0123456789-"), std::string::npos) << line;
    }
}

TEST_F(StatusReportTest, the_page_escapes_texts_and_refreshes_itself) {
    broadcast(1);
    std::string page = status_page(collect_status(*ctx), 5);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
    EXPECT_NE(page.find("<title>Radio &quot;Quote&quot; &lt;b&gt;\xC3\xA9t\xC3\xA9&lt;/b&gt;</title>"),
              std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("Second \xC3\xA9 song"), std::string::npos);
}

TEST_F(StatusReportTest, requests_get_their_reply_or_a_clear_refusal) {
    struct Case {
        const char* request;
        const char* status_line;
        const char* content_type;
        bool body;
    } cases[] = {
        {"GET /status.json HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", "application/json", true},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "text/plain; version=0.0.4", true},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "text/html", true},
        {"HEAD /status.json HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "application/json", false},
        {"GET /metrics HTTP/1.0\n\n", "HTTP/1.1 200 OK", "text/plain; version=0.0.4", true},
        {"GET /etc/passwd HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "text/plain", true},
        {"POST / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "text/plain", true},
        {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request", "text/plain", true},
        {"GET /\r\n\r\n", "HTTP/1.1 400 Bad Request", "text/plain", true},
        {"", "HTTP/1.1 400 Bad Request", "text/plain", true},
    };
    for (const Case& c : cases) {
        std::string reply = status_http_reply(collect_status(*ctx), c.request);
        SCOPED_TRACE(c.request);
        EXPECT_EQ(reply.rfind(std::string(c.status_line) + "\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find(std::string("\r\nContent-Type: ") + c.content_type), std::string::npos);
        EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
        size_t body = reply.find("\r\n\r\n") + 4;
        size_t length = std::stoul(reply.substr(reply.find("Content-Length: ") + 16));
        EXPECT_EQ(reply.size() - body, c.body ? length : 0u);
        if (c.body) {
            EXPECT_GT(length, 0u);
        }
    }
    std::string refused = status_http_reply(collect_status(*ctx), "DELETE / HTTP/1.1\r\n\r\n");
    EXPECT_NE(refused.find("\r\nAllow: GET, HEAD\r\n"),
              std::string::npos);
    EXPECT_EQ(status_too_large_reply().rfind("HTTP/1.1 431 ", 0), 0u);
}

}  // namespace
