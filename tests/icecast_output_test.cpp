// The Icecast output's decisions: its settings, the bounded queue between
// the station and the worker, the operator's messages for the worker's
// events, and that the station never waits for a worker that hangs.

#include "icecast/icecast_output.h"

#include <arpa/inet.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(IcecastSettings, urls_are_taken_apart_or_refused_with_the_reason) {
    struct Case {
        const char* url;
        const char* host;  // null: refused
        int port;
        const char* mount;
        const char* problem;
    } cases[] = {
        {"http://127.0.0.1:8000/live.ogg", "127.0.0.1", 8000, "/live.ogg", ""},
        {"HTTP://radio.example:80/a/b", "radio.example", 80, "/a/b", ""},
        {"http://127.0.0.1/velmora", "127.0.0.1", 8000, "/velmora", ""},
        {"https://127.0.0.1/x", nullptr, 0, nullptr, "must begin with http://"},
        {"127.0.0.1:8000/x", nullptr, 0, nullptr, "must begin with http://"},
        {"http://127.0.0.1:8000", nullptr, 0, nullptr, "names no mount point"},
        {"http://127.0.0.1:8000/", nullptr, 0, nullptr, "names no mount point"},
        {"http://127.0.0.1:0/x", nullptr, 0, nullptr, "port must be 1 to 65535"},
        {"http://127.0.0.1:65536/x", nullptr, 0, nullptr, "port must be 1 to 65535"},
        {"http://127.0.0.1:80a/x", nullptr, 0, nullptr, "port must be 1 to 65535"},
        {"http://:8000/x", nullptr, 0, nullptr, "names no server"},
        {"http://source:pw@127.0.0.1/x", nullptr, 0, nullptr, "use ICECAST_USER and ICECAST_PASSWORD"},
        {"http://127.0.0.1/a b", nullptr, 0, nullptr, "holds a blank"},
        {"http://127.0.0.1/a?x=1", nullptr, 0, nullptr, "holds a blank, '?', '#'"},
        {"http://127.0.0.1/../../admin/metadata", nullptr, 0, nullptr, "holds a \"..\" step"},
        {"http://127.0.0.1/live/./x", nullptr, 0, nullptr, "holds a \".\" step"},
        {"http://127.0.0.1/a%2e%2e", nullptr, 0, nullptr, "another character than letters"},
        {"http://127.0.0.1//admin/metadata", nullptr, 0, nullptr, "holds an empty step"},
        {"http://127.0.0.1/live/", nullptr, 0, nullptr, "holds an empty step"},
        {"http://127.0.0.1/admin/metadata", nullptr, 0, nullptr, "among the server's own pages"},
        {"http://127.0.0.1/Admin.cgi", nullptr, 0, nullptr, "among the server's own pages"},
        {"http://127.0.0.1/administration", "127.0.0.1", 8000, "/administration", ""},
        {"http://127.0.0.1/live/velmora-2.opus", "127.0.0.1", 8000, "/live/velmora-2.opus", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        IcecastTarget target;
        std::string problem;
        int ok = parse_icecast_url(c.url, &target, &problem);
        ASSERT_EQ(ok, c.host ? 1 : 0) << problem;
        if (c.host) {
            EXPECT_EQ(target.host, c.host);
            EXPECT_EQ(target.port, c.port);
            EXPECT_EQ(target.mount, c.mount);
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
    }
}

TEST(IcecastSettings, every_key_is_checked_and_an_empty_url_means_no_output) {
    struct Case {
        IcecastSettings settings;
        const char* problem;  // "" passes
    } cases[] = {
        {{"", "", "", "flac", 9999, ""}, ""},  // no output: nothing else matters
        {{"http://127.0.0.1/x", "source", "pw", "opus", 0, ""}, ""},
        {{"http://127.0.0.1/x", "source", "pw", "MP3", 320, ""}, ""},
        {{"http://127.0.0.1/x", "source", "pw", "opus", 8, ""}, ""},
        {{"http://127.0.0.1/x", "source", "pw", "vorbis", 0, ""}, "ICECAST_FORMAT must be opus or mp3"},
        {{"http://127.0.0.1/x", "source", "pw", "opus", 7, ""}, "ICECAST_BITRATE must be 8 to 320"},
        {{"http://127.0.0.1/x", "source", "pw", "mp3", 321, ""}, "ICECAST_BITRATE must be 8 to 320"},
        {{"http://127.0.0.1/x", "", "pw", "opus", 0, ""}, "ICECAST_USER must be 1 to 127"},
        {{"http://127.0.0.1/x", "source", std::string(128, 'p'), "opus", 0, ""},
         "ICECAST_PASSWORD must be at most 127"},
        {{"http://127.0.0.1/" + std::string(250, 'm'), "source", "", "opus", 0, ""}, "longer than 255"},
        {{"ftp://127.0.0.1/x", "source", "", "opus", 0, ""}, "must begin with http://"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings.url + " " + c.settings.format);
        std::string problem;
        EXPECT_EQ(check_icecast_settings(c.settings, &problem), *c.problem ? 0 : 1) << problem;
        if (*c.problem) {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
    }
    EXPECT_EQ(icecast_default_bitrate(ICECAST_OPUS), 96);
    EXPECT_EQ(icecast_default_bitrate(ICECAST_MP3), 128);
}

struct IcecastStation : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    ScopedEnv home{"VELMORA_HOME", dir.path()};
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void SetUp() override { ctx->state.settings_file = dir.file("lumo.ini"); }
    void load(const std::string& lines, mode_t mode = 0600) {
        write_file(ctx->state.settings_file, "[VelmoraStation]\n" + lines);
        chmod(ctx->state.settings_file.c_str(), mode);
        ASSERT_EQ(load_settings(*ctx, false), 1);
    }
    // What a broadcast's start tells the outputs.
    ProgramInfo program() const {
        return ProgramInfo{ctx->state, ctx->state.SamplingRate, ctx->state.settings_file};
    }
    // The worker's events as if it had reported them.
    void worker_reports(std::initializer_list<IcecastEvent> events) {
        std::lock_guard<std::mutex> lock(ctx->icecast.link.shared->mutex);
        for (const IcecastEvent& e : events) ctx->icecast.link.shared->events.push_back(e);
    }
    void wait_for_worker_event() {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (host.output_events_posted == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GT(host.output_events_posted, 0);
    }
};

TEST_F(IcecastStation, the_keys_are_read_at_start_with_their_defaults) {
    load("");
    EXPECT_EQ(ctx->state.icecast.url, "");
    EXPECT_EQ(ctx->state.icecast.user, "source");
    EXPECT_EQ(ctx->state.icecast.format, "opus");
    EXPECT_EQ(ctx->state.icecast.bitrate, 0);
    EXPECT_EQ(icecast_status_text(*ctx, ctx->icecast), "");  // nothing configured, nothing shown
    load("ICECAST_URL=http://127.0.0.1:8001/a.mp3\nICECAST_USER=dj\nICECAST_PASSWORD=pw\n"
         "ICECAST_FORMAT=mp3\nICECAST_BITRATE=128\n");
    EXPECT_EQ(ctx->state.icecast.url, "http://127.0.0.1:8001/a.mp3");
    EXPECT_EQ(ctx->state.icecast.user, "dj");
    EXPECT_EQ(ctx->state.icecast.password, "pw");
    EXPECT_EQ(ctx->state.icecast.format, "mp3");
    EXPECT_EQ(ctx->state.icecast.bitrate, 128);
    EXPECT_EQ(icecast_status_text(*ctx, ctx->icecast), "Icecast off");
}

TEST_F(IcecastStation, a_wrong_key_is_told_and_leaves_the_output_off) {
    load("ICECAST_URL=http://127.0.0.1:8001/x\nICECAST_FORMAT=wav\n");
    EXPECT_EQ(icecast_start(*ctx, ctx->icecast, program()), 0);
    EXPECT_FALSE(icecast_link_running(ctx->icecast.link));
    EXPECT_NE(host.last_message().find("The Icecast output is off: ICECAST_FORMAT must be opus or mp3, not wav"),
              std::string::npos) << host.last_message();
    EXPECT_NE(host.last_message().find(ctx->state.settings_file), std::string::npos);
    EXPECT_STREQ(icecast_state_word(ctx->icecast), "off");
}

TEST_F(IcecastStation, the_settings_check_names_a_wrong_key_at_its_line_as_a_warning) {
    load("StationName=x\nICECAST_URL=http://127.0.0.1:8001/x\nICECAST_BITRATE=999\n");
    SettingsReport report;
    check_network_settings(*ctx, report);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_FALSE(report.problems[0].error);  // the broadcast starts; only the output stays off
    EXPECT_EQ(report.problems[0].line, 4);
    EXPECT_NE(report.problems[0].text.find("ICECAST_BITRATE must be 8 to 320"), std::string::npos)
        << report.problems[0].text;
}

TEST_F(IcecastStation, a_password_in_a_file_others_can_read_is_warned_of_once) {
    struct Case {
        mode_t mode;
        const char* password;
        size_t warnings;
    } cases[] = {{0600, "pw", 0}, {0644, "", 0}, {0640, "pw", 1}, {0604, "pw", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ctx = make_context(host);
        ctx->state.settings_file = dir.file("lumo.ini");
        host.messages.clear();
        load("ICECAST_URL=http://127.0.0.1:9/x\nICECAST_PASSWORD=" + std::string(c.password) + "\n", c.mode);
        ASSERT_EQ(icecast_start(*ctx, ctx->icecast, program()), 1);
        ASSERT_EQ(icecast_start(*ctx, ctx->icecast, program()), 1);  // the next broadcast: no second warning
        icecast_stop(*ctx, ctx->icecast);
        ASSERT_EQ(host.messages.size(), c.warnings);
        if (c.warnings) {
            EXPECT_NE(host.last_message().find("holds the Icecast password and other users can read it"),
                      std::string::npos) << host.last_message();
        }
    }
}

// The worker's part is played by the test: the events arrive as a worker
// would leave them.
TEST_F(IcecastStation, the_operator_hears_once_of_a_loss_and_once_of_the_return) {
    ctx->state.icecast.url = ctx->icecast.url = "http://127.0.0.1:9/velmora";
    ctx->icecast.user = "source";
    ctx->icecast.mount = "/velmora";
    ctx->icecast.state = ICECAST_CONNECTING;
    ctx->icecast.link.shared = std::make_shared<IcecastShared>();
    EXPECT_STREQ(icecast_state_word(ctx->icecast), "connecting");
    struct Step {
        IcecastEvent event;
        const char* message;  // "" none
        const char* state;
    } steps[] = {
        {{ICECAST_EVENT_ON_AIR, ""}, "The Icecast output is on the air at http://127.0.0.1:9/velmora", "on the air"},
        {{ICECAST_EVENT_LOST, "Socket error"},
         "The Icecast output to http://127.0.0.1:9/velmora is lost (Socket error); reconnecting", "reconnecting"},
        {{ICECAST_EVENT_LOST, "Couldn't connect"}, "", "reconnecting"},
        {{ICECAST_EVENT_ON_AIR, ""}, "The Icecast output is back on the air at http://127.0.0.1:9/velmora", "on the air"},
        {{ICECAST_EVENT_REFUSED, "Login failed"},
         "The Icecast server at http://127.0.0.1:9/velmora refused the password (HTTP 401) of user source; "
         "trying again every 30 seconds", "reconnecting"},
        {{ICECAST_EVENT_ON_AIR, ""}, "The Icecast output is back on the air", "on the air"},
        {{ICECAST_EVENT_IN_USE, "Login failed"},
         "The Icecast mount /velmora at http://127.0.0.1:9/velmora is in use: another source "
         "feeds it (HTTP 403)",
         "reconnecting"},
        {{ICECAST_EVENT_ON_AIR, ""}, "The Icecast output is back on the air", "on the air"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.event.reason + " -> " + step.state);
        host.messages.clear();
        worker_reports({step.event});
        on_icecast_event(*ctx, ctx->icecast);
        EXPECT_STREQ(icecast_state_word(ctx->icecast), step.state);
        if (*step.message) {
            ASSERT_EQ(host.messages.size(), 1u);
            EXPECT_EQ(host.messages[0].text.rfind(step.message, 0), 0u) << host.messages[0].text;
        } else {
            EXPECT_TRUE(host.messages.empty()) << host.last_message();
        }
    }
    EXPECT_EQ(icecast_status_text(*ctx, ctx->icecast), "Icecast on the air");
    icecast_stop(*ctx, ctx->icecast);
    EXPECT_EQ(icecast_status_text(*ctx, ctx->icecast), "Icecast off");
}

TEST_F(IcecastStation, a_full_queue_drops_the_oldest_audio_and_counts_it_but_keeps_the_title) {
    IcecastLink link;
    link.shared = std::make_shared<IcecastShared>();  // no worker takes anything
    uint8_t frame[PROGRAM_ITEM_BYTES + 100] = {1, 2, 3};
    queue_program_item(link, ITEM_TITLE, 0, reinterpret_cast<const uint8_t*>("First song"), 10);
    for (uint32_t seq = 0; seq < PROGRAM_QUEUE_ITEMS + 2; ++seq)
        queue_program_item(link, ITEM_FRAME, seq, frame, sizeof frame);
    IcecastShared& s = *link.shared;
    EXPECT_EQ(s.count, PROGRAM_QUEUE_ITEMS);
    EXPECT_EQ(dropped_program_items(link), 2);  // the title went out first, uncounted
    EXPECT_TRUE(s.dropped_title_waiting);
    EXPECT_EQ(s.dropped_title, "First song");
    const ProgramItem& oldest = s.items[s.head];
    EXPECT_EQ(oldest.seq, 2u);
    EXPECT_EQ(oldest.length, PROGRAM_ITEM_BYTES);  // cut to what an item holds
}

// The worker reports from its own thread through the host; a server that
// refuses the first connection was never reached: nothing was lost or broke.
TEST_F(IcecastStation, a_server_that_is_not_there_is_reported_through_the_host) {
    load("ICECAST_URL=http://127.0.0.1:9/velmora\n");
    ASSERT_EQ(icecast_start(*ctx, ctx->icecast, program()), 1);
    wait_for_worker_event();
    on_icecast_event(*ctx, ctx->icecast);
    EXPECT_STREQ(icecast_state_word(ctx->icecast), "reconnecting");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.last_message(), "The Icecast output cannot reach http://127.0.0.1:9/velmora "
                                   "(cannot connect: Connection refused); trying again");
}

// A listening TCP socket on 127.0.0.1 and an ephemeral port; its accepted
// connections get a receive buffer of `receive_buffer` bytes when given.
// A captured block as the live pump hands it to the outputs.
ProgramAudio wide(const uint8_t (&block)[2048]) {
    static std::vector<int16_t> samples;
    widen_samples(block, 2048, samples);
    return {samples.data(), 2048, 1, 16000};
}

int tcp_server_on_loopback(int* port, int receive_buffer = 0) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) setsockopt(server, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t length = sizeof addr;
    if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(server, 4) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        close(server);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return server;
}

// The next connection to `server`, or -1 when none comes within `timeout_ms`.
int accept_within(int server, int timeout_ms) {
    pollfd p{server, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 ? accept(server, nullptr, nullptr) : -1;
}

// Reads from `connection` until an HTTP request's head has ended; false
// when it has not within `timeout_ms`.
bool read_request_head(int connection, int timeout_ms) {
    std::string head;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (head.find("\r\n\r\n") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{connection, POLLIN, 0};
        char bytes[512];
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
        ssize_t got = read(connection, bytes, sizeof bytes);
        if (got <= 0) return false;
        head.append(bytes, static_cast<size_t>(got));
    }
    return true;
}

// A server that accepts the connection and never answers: neither the
// station's calls nor the stop wait for the worker stuck in it.
TEST_F(IcecastStation, a_hanging_server_never_holds_up_the_station) {
    int port = 0;
    int server = tcp_server_on_loopback(&port);
    ASSERT_GE(server, 0);
    load("ICECAST_URL=http://127.0.0.1:" + std::to_string(port) + "/velmora\n");
    ASSERT_EQ(icecast_start(*ctx, ctx->icecast, program()), 1);
    // The worker is in its request once the server has the whole head of it.
    int connection = accept_within(server, 5000);
    ASSERT_GE(connection, 0) << "the worker never connected";
    ASSERT_TRUE(read_request_head(connection, 5000)) << "the worker sent no request";
    uint8_t block[2048] = {};
    auto start = Clock::now();
    for (int i = 0; i < 500; ++i) ctx->icecast.program_audio(wide(block));
    icecast_program_title(*ctx, ctx->icecast, "A song");
    icecast_stop(*ctx, ctx->icecast);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_STREQ(icecast_state_word(ctx->icecast), "off");
    close(connection);
    close(server);
}

// A server that says yes to each request (the client asks for TLS, then
// tries without and with its password) and, once the stream is on its way,
// reads nothing more, its receive buffer kept small so that the kernel's
// buffers fill within a second: the worker tells the station the output is
// lost after 8 s without progress (or 10 s, when its status request is
// left unanswered first), and the station's calls never wait.
TEST_F(IcecastStation, a_server_that_stops_reading_is_told_as_lost) {
    int port = 0;
    int server = tcp_server_on_loopback(&port, 4096);
    ASSERT_GE(server, 0);
    std::thread stalling([server] {
        std::vector<int> connections;
        for (bool streaming = false; !streaming;) {
            int c = accept(server, nullptr, nullptr);
            if (c < 0) return;
            connections.push_back(c);
            std::string head;
            char byte;
            while (head.find("\r\n\r\n") == std::string::npos && read(c, &byte, 1) == 1) head += byte;
            const std::string yes = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            EXPECT_EQ(write(c, yes.data(), yes.size()), ssize_t(yes.size()));
            streaming = head.find("Authorization:") != std::string::npos;
        }
        // Reads nothing more until the test shuts the listening socket; a
        // status request on a new connection is taken and never answered.
        for (pollfd p{server, POLLIN, 0}; poll(&p, 1, 30000) > 0;) {
            int c = accept(server, nullptr, nullptr);
            if (c < 0) break;
            connections.push_back(c);
        }
        for (int c : connections) close(c);
    });
    load("ICECAST_URL=http://127.0.0.1:" + std::to_string(port) +
         "/velmora\nICECAST_FORMAT=mp3\nICECAST_BITRATE=320\n");
    ASSERT_EQ(icecast_start(*ctx, ctx->icecast, program()), 1);
    uint8_t block[2048];
    for (int i = 0; i < 2048; ++i) block[i] = static_cast<uint8_t>(128 + 60 * ((i / 16) % 2 ? 1 : -1));
    std::vector<std::string> states;
    auto longest_call = Clock::duration::zero();
    auto deadline = Clock::now() + std::chrono::seconds(25);
    while (Clock::now() < deadline && (states.empty() || states.back() != "reconnecting")) {
        auto before = Clock::now();
        ctx->icecast.program_audio(wide(block));
        longest_call = std::max(longest_call, Clock::now() - before);
        if (host.output_events_posted.exchange(0) > 0) {
            on_icecast_event(*ctx, ctx->icecast);
            states.push_back(icecast_state_word(ctx->icecast));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    icecast_stop(*ctx, ctx->icecast);
    shutdown(server, SHUT_RDWR);
    close(server);
    stalling.join();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), "on the air");
    EXPECT_EQ(states.back(), "reconnecting");
    // Whichever shows it first: no progress for 8 s, or the unanswered status request.
    EXPECT_NE(host.last_message().find("is lost (the server stopped "), std::string::npos)
        << host.last_message();
    EXPECT_LT(longest_call, std::chrono::milliseconds(100));
}

}  // namespace
