// The station directory: station-list records and files, the add and remove
// requests with their escaping and the listed flag, and the categories walk.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "server/station_list_files.h"
#include "wire/station_list.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "web/directory.h"
#include "web/http_client.h"

namespace {

struct DirectoryTest : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.path()};
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    const int station_socket = 7;  // the number only: notifications are asked for it

    void SetUp() override {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nDIRURL=127.0.0.3\nDIRURLPORT=8081\nCATEGORIES_URL=127.0.0.4\n");
        StationState& s = ctx->state;
        s.settings_file = dir.file("station.ini");
        ctx->program_dir = dir.path();
        s.StationName = "Night FM";
        s.StationCategory = "Music";
        s.WWW_URL = "http://x";
        s.WWW_DESC = "";
        s.StationEMAIL = "a@b";
        s.StationLocation = "Here";
        ctx->station.local_addr_host = 0xC0A80102;  // 192.168.1.2
    }
    void answer(const std::string& reply) {
        host.http_server = [reply](HttpExchange& e) {
            http_lookup_done(e, true, 1);
            http_connected(e);
            http_received(e, reply.data(), static_cast<int>(reply.size()));
            http_closed(e);
        };
    }
    void never_answer() {
        host.http_server = [](HttpExchange& e) { http_lookup_done(e, false, 0); };
    }
    std::string sent_path(size_t i) {
        std::string request = host.http_exchanges.at(i).request;
        return request.substr(4, request.find(" HTTP/1.0") - 4);
    }
};

TEST_F(DirectoryTest, records_and_files_carry_the_padded_address_and_the_account_tag) {
    EXPECT_EQ(station_list_file_name(ctx->station.local_addr_host), "0201A8C0.vsl");
    EXPECT_EQ(station_list_record(ctx->state, ctx->station.local_addr_host), "192.168.001.002 Night FM\nMusic\nhttp://x\n\n");
    EXPECT_EQ(directory_add_record(ctx->state, ctx->station.local_addr_host),
              "192.168.001.002 VelmoraPro Night FM\nMusic\nhttp://x\n\nEMAIL:a@b\nLOCATION:Here\n");
    EXPECT_EQ(directory_remove_record(ctx->state, ctx->station.local_addr_host), "192.168.001.002 VelmoraPro\nMusic\n");
    write_file(dir.file("listen.vsl"), "an older station\n");
    EXPECT_EQ(write_station_lists(*ctx, ctx->station), 1);
    EXPECT_EQ(read_file(dir.file("0201A8C0.vsl")), station_list_record(ctx->state, ctx->station.local_addr_host));
    EXPECT_EQ(read_file(dir.file("listen.vsl")), station_list_record(ctx->state, ctx->station.local_addr_host));

    ctx->program_dir = dir.file("missing");
    EXPECT_EQ(write_station_lists(*ctx, ctx->station), 0);
    ASSERT_EQ(host.messages.size(), 2u);  // one for each file, naming it and the cause
    EXPECT_NE(host.messages[0].text.find(dir.file("missing/0201A8C0.vsl") + ": No such file"),
              std::string::npos);
}

TEST_F(DirectoryTest, content_is_escaped_byte_by_byte_and_cut_only_at_a_whole_escape) {
    EXPECT_EQ(escape_content("Ab9", 100), "Ab9");
    EXPECT_EQ(escape_content("a b\n\xE9:", 100), "a%20b%0A%E9%3A");
    EXPECT_EQ(escape_content("ab c", 4), "ab");  // "%20" would not fit
    std::string long_content(3000, ' ');
    std::string path = directory_path(true, "0201A8C0.vsl", long_content);
    EXPECT_LE(path.size(), 4095u);
    EXPECT_EQ(path.size() % 3, std::string("/cgi-local/ul_vsl.prl?vslFile=0201A8C0.vsl&vslContent=").size() % 3);
    EXPECT_EQ(path.substr(path.size() - 3), "%20");
}

TEST_F(DirectoryTest, add_and_remove_go_to_the_configured_directory_and_any_reply_lists) {
    answer("HTTP/1.0 500 Whatever\r\n\r\n");
    directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ASSERT_EQ(host.http_exchanges.size(), 1u);
    EXPECT_EQ(host.http_exchanges[0].connect_host, "127.0.0.3");
    EXPECT_EQ(host.http_exchanges[0].connect_port, 8081);
    EXPECT_EQ(sent_path(0),
              "/cgi-local/ul_vsl.prl?vslFile=0201A8C0.vsl&vslContent=192%2E168%2E001%2E002%20"
              "VelmoraPro%20Night%20FM%0AMusic%0Ahttp%3A%2F%2Fx%0A%0AEMAIL%3Aa%40b%0ALOCATION%3AHere%0A");
    EXPECT_TRUE(ctx->web.directory_listed);
    EXPECT_TRUE(host.messages.empty());

    never_answer();  // a failed remove still unlists
    directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ASSERT_EQ(host.http_exchanges.size(), 2u);
    EXPECT_EQ(sent_path(1), "/cgi-local/del_vsl.prl?vslFile=0201A8C0.vsl&vslContent="
                            "192%2E168%2E001%2E002%20VelmoraPro%0AMusic%0A");
    EXPECT_FALSE(ctx->web.directory_listed);
    EXPECT_TRUE(host.messages.empty());  // silent
}

TEST_F(DirectoryTest, an_unanswered_add_tells_the_operator_and_the_stop_still_sends_the_remove) {
    never_answer();
    directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    EXPECT_FALSE(ctx->web.directory_listed);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "You could not be added to the directory as the station daemon was not contacted.  "
              "Try stopping and restarting your station in a few hours.");
    EXPECT_EQ(host.messages[0].caption, "Radio Velmora Broadcaster (tm)");
    // The add went out: the directory may list the station although no answer came.
    directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ASSERT_EQ(host.http_exchanges.size(), 2u);
    EXPECT_EQ(sent_path(1).rfind("/cgi-local/del_vsl.prl?", 0), 0u) << sent_path(1);
    directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    EXPECT_EQ(host.http_exchanges.size(), 2u);  // once removed, nothing more to remove
}

TEST_F(DirectoryTest, only_a_whole_reply_lists_and_each_failed_add_gives_one_message) {
    ctx->state.HTTP_TIMEOUT = 30;
    struct Case {
        const char* what;
        const char* received;  // before the ending
        void (*end)(HttpExchange&);
        bool listed;
        const char* message;
    } cases[] = {
        {"a whole reply of any status", "HTTP/1.0 404 Not Found\r\n\r\n", http_closed, true, nullptr},
        {"a 200 cut by the time-out", "HTTP/1.0 200 OK\r\n\r\nO", http_timed_out, false,
         "Failed to contact the web server.  Try again later"},
        {"silence until the time-out", "", http_timed_out, false,
         "Failed to contact the web server.  Try again later"},
        {"a reply broken off", "HTTP/1.0 200 OK\r\n", [](HttpExchange& e) { http_failed(e, "reset"); },
         false, "You could not be added to the directory as the station daemon was not contacted.  "
                "Try stopping and restarting your station in a few hours."},
    };
    for (const Case& c : cases) {
        host.messages.clear();
        ctx->web.directory_listed = false;
        host.http_server = [&c](HttpExchange& e) {
            http_lookup_done(e, true, 1);
            http_connected(e);
            http_received(e, c.received, static_cast<int>(strlen(c.received)));
            c.end(e);
        };
        directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
        EXPECT_EQ(ctx->web.directory_listed, c.listed) << c.what;
        if (!c.message) {
            EXPECT_TRUE(host.messages.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(host.messages.size(), 1u) << c.what;
        EXPECT_EQ(host.messages[0].text, c.message) << c.what;
    }

    // The remove at a stop waits seconds, not HTTP_TIMEOUT.
    ctx->web.directory_listed = true;
    host.http_exchanges.clear();
    directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ASSERT_EQ(host.http_exchanges.size(), 1u);
    EXPECT_EQ(host.http_exchanges[0].timeout_ms, REMOVE_TIMEOUT_MS);
    EXPECT_LE(REMOVE_TIMEOUT_MS, 5000);
}

// Beside the fixed texts of the boxes, the weekday log and the status line
// name the directory's host and port and what went wrong.
TEST_F(DirectoryTest, a_failed_add_names_host_port_and_cause_in_the_log_and_the_status_line) {
    ctx->state.HTTP_TIMEOUT = 30;
    struct Case {
        void (*end)(HttpExchange&);
        const char* cause;
    } cases[] = {
        {[](HttpExchange& e) { http_failed(e, "Connection refused"); }, "Connection refused"},
        {http_timed_out, "no answer within 30 seconds"},
    };
    for (const Case& c : cases) {
        host.http_server = [&c](HttpExchange& e) {
            http_lookup_done(e, true, 1);
            c.end(e);
        };
        directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
        const std::string where = std::string("127.0.0.3 port 8081: ") + c.cause;
        EXPECT_EQ(directory_state_text(ctx->web.directory_listed, ctx->web),
                  "unlisted (" + where + ")");
        std::string logs;
        for (const char* day : {"sun", "mon", "tue", "wed", "thur", "fri", "sat"})
            if (access(dir.file(std::string("vmb_") + day + ".log").c_str(), F_OK) == 0)
                logs += read_file(dir.file(std::string("vmb_") + day + ".log"));
        EXPECT_NE(logs.find("Directory add failed: " + where), std::string::npos) << logs;
    }
    answer("HTTP/1.0 200 OK\r\n\r\nOK");
    directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    EXPECT_EQ(directory_state_text(ctx->web.directory_listed, ctx->web), "listed");
}

TEST_F(DirectoryTest, a_stop_while_the_add_runs_unlists_the_station_when_the_add_is_done) {
    int calls = 0;
    host.http_server = [&](HttpExchange& e) {
        if (++calls == 1) directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);  // the operator stops during the add
        http_lookup_done(e, true, 1);
        http_connected(e);
        const char reply[] = "HTTP/1.0 200 OK\r\n\r\n";
        http_received(e, reply, sizeof reply - 1);
        http_closed(e);
    };
    directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ASSERT_EQ(host.http_exchanges.size(), 2u);
    EXPECT_EQ(sent_path(1).substr(0, 22), "/cgi-local/del_vsl.prl");
    EXPECT_FALSE(ctx->web.directory_listed);
}

TEST_F(DirectoryTest, a_categories_reply_longer_than_the_buffer_is_marked_cut) {
    std::string body = "HTTP/1.0 200 OK\r\n\r\n";
    for (int i = 0; body.size() < CATEGORIES_BUFFER_SIZE + 10000; ++i) body += "1 Category" + std::to_string(i) + "\r\n";
    host.http_server = [&](HttpExchange& e) {
        http_lookup_done(e, true, 1);
        http_connected(e);
        for (size_t at = 0; at < body.size(); at += 4000)
            http_received(e, body.data() + at, static_cast<int>(std::min<size_t>(4000, body.size() - at)));
        http_closed(e);
    };
    CategoryList list;
    EXPECT_EQ(fetch_categories(*ctx, ctx->web, list), 1);
    EXPECT_TRUE(list.cut);
    EXPECT_GT(list.paths.size(), 1000u);
    answer("HTTP/1.0 200 OK\r\n\r\n1 Music\r\nend of list\r\n");
    EXPECT_EQ(fetch_categories(*ctx, ctx->web, list), 1);
    EXPECT_FALSE(list.cut);
}

TEST_F(DirectoryTest, an_intranet_station_asks_for_write_notices_and_contacts_nobody) {
    write_file(dir.file("station.ini"), "[VelmoraStation]\nINTRANET=1\n");
    ctx->state.INTRANET = 1;
    directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    ctx->web.directory_listed = true;
    directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
    EXPECT_TRUE(host.http_exchanges.empty());
    EXPECT_EQ(host.write_notification_requests, (std::vector<int>{7, 7}));
    EXPECT_TRUE(ctx->web.directory_listed);  // not changed
}

TEST_F(DirectoryTest, an_add_refused_by_a_running_request_runs_when_that_one_ends) {
    int calls = 0;
    host.http_server = [&](HttpExchange& e) {
        // The first request is the categories fetch; the broadcast starts during it.
        if (++calls == 1) directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
        EXPECT_TRUE(ctx->web.pending.size() <= 1u);
        http_lookup_done(e, true, 1);
        http_connected(e);
        const char reply[] = "HTTP/1.0 200 OK\r\n\r\n";
        http_received(e, reply, sizeof reply - 1);
        http_closed(e);
    };
    CategoryList list;
    EXPECT_EQ(fetch_categories(*ctx, ctx->web, list), 1);
    ASSERT_EQ(host.http_exchanges.size(), 2u);
    EXPECT_EQ(host.http_exchanges[0].connect_host, "127.0.0.4");
    EXPECT_EQ(host.http_exchanges[0].connect_port, 80);
    EXPECT_EQ(sent_path(0), "/cgi-local/vmb_list_categories.prl?ID=id");
    EXPECT_EQ(sent_path(1).substr(0, 22), "/cgi-local/ul_vsl.prl?");
    EXPECT_TRUE(ctx->web.directory_listed);

    // Started and stopped while the other request ran: nothing goes out.
    calls = 0;
    ctx->web.directory_listed = false;
    host.http_exchanges.clear();
    host.http_server = [&](HttpExchange& e) {
        if (++calls == 1) {
            directory_add(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
            directory_remove(*ctx, ctx->web, station_socket, ctx->station.local_addr_host);
        }
        http_failed(e, "none");
    };
    fetch_categories(*ctx, ctx->web, list);
    EXPECT_EQ(host.http_exchanges.size(), 1u);
    EXPECT_TRUE(ctx->web.pending.empty());
    EXPECT_FALSE(ctx->web.directory_listed);
}

std::vector<std::string> walk(Context& ctx, std::string body, CategoryList* out = nullptr) {
    CategoryList list;
    read_categories(ctx, ctx.web, body.data(), list);
    if (out) *out = list;
    return list.paths;
}

TEST_F(DirectoryTest, the_category_walk_follows_the_depths_and_stops_where_the_lines_end) {
    using Paths = std::vector<std::string>;
    EXPECT_EQ(walk(*ctx, "1 Music\r\n12 Rock\r\n.. Jazz\r\n1 Talk\r\nend of list\r\nend of all\r\n"),
              (Paths{"\\Music", "\\Music\\Rock", "\\Music\\Jazz", "\\Talk"}));
    // From depth 3 straight back to 1: three components go.
    EXPECT_EQ(walk(*ctx, "a A\nbb B\nccc C\nd D\nend of list\n"),
              (Paths{"\\A", "\\A\\B", "\\A\\B\\C", "\\D"}));
    // No "end of list": every terminated line is a category; the last one, unterminated, is not.
    EXPECT_EQ(walk(*ctx, "a A\rb B\rend of all\rc C"), (Paths{"\\A", "\\B", "\\B\\of all"}));
    // Lines without a marker name nothing.
    EXPECT_EQ(walk(*ctx, "a A\nnoblank\n B\nend of list\n"), (Paths{"\\A"}));
    EXPECT_TRUE(walk(*ctx, "a A").empty());  // a single line is the last one
}

TEST_F(DirectoryTest, a_newer_version_is_offered_once_and_only_when_its_first_characters_differ) {
    CategoryList list;
    walk(*ctx, "a A\nend of list\nVMBversion:2.19:http://get/it\nend of all\n", &list);
    walk(*ctx, "a A\nend of list\nVMBversion:2.18:http://get/it\nend of all\n");
    walk(*ctx, "a A\nend of list\nVMBversion:3.00\nend of all\n");  // no address: ignored
    EXPECT_EQ(list.announced_version, "2.19");
    EXPECT_TRUE(host.messages.empty());

    host.answers = {Answer::yes};
    walk(*ctx, "a A\nend of list\nVMBversion:2.20:http://get/it\nend of all\n", &list);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].caption, "New version");
    EXPECT_EQ(host.messages[0].text,
              "A newer version is available for download, do you want to download it now?\n\n"
              "Current version: 2.18\nNew version: 2.20\n");
    EXPECT_EQ(host.shell_opened, std::vector<std::string>{"open http://get/it "});
    EXPECT_EQ(list.download_address, "http://get/it");

    walk(*ctx, "a A\nend of list\nVMBversion:3.00:http://x\nend of all\n", &list);
    EXPECT_EQ(host.messages.size(), 1u);  // asked once a run
    EXPECT_EQ(list.announced_version, "3.00");
}

}  // namespace
