#include "base/messages.h"

#include <gtest/gtest.h>

#include "app/context.h"
#include "app/program.h"
#include "base/messages.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

struct MessagesTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
};

TEST_F(MessagesTest, socket_error_words_come_from_the_table_or_unknown) {
    EXPECT_STREQ(socket_error_text(*ctx, 10035), "Cannot make connection");
    EXPECT_STREQ(socket_error_text(*ctx, 10059), "Too many references");
    EXPECT_STREQ(socket_error_text(*ctx, 10000), "Unknown error code");
}

TEST_F(MessagesTest, look_up_failures_keep_the_words_of_their_old_socket_numbers) {
    const struct {
        LookupError error;
        int old_number;
        const char* words;
    } cases[] = {
        {LookupError::not_found, 11001, "Host not found"},
        {LookupError::try_again, 11002, "Try again"},
        {LookupError::no_recovery, 11003, "Non-recoverable error"},
        {LookupError::no_data, 11004, "Winsock not connected to the net"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(lookup_error_text(*ctx, c.error), c.words) << c.old_number;
        EXPECT_STREQ(lookup_error_text(*ctx, c.error), socket_error_text(*ctx, c.old_number));
    }
}

TEST_F(MessagesTest, the_fifth_load_overwrites_the_first_text) {
    const char* first = load_text(*ctx, 1015);
    load_text(*ctx, 2000);
    load_text(*ctx, 2001);
    load_text(*ctx, 2002);
    EXPECT_STREQ(first, "Cannot create timeout timer");
    load_text(*ctx, 2003);
    EXPECT_STREQ(first, "Version is not supported");
}

TEST_F(MessagesTest, missing_string_id_gives_empty_text) {
    EXPECT_STREQ(load_text(*ctx, 4711), "");
}

TEST_F(MessagesTest, show_message_formats_and_returns_the_button) {
    host.answers.push_back(Answer::no);
    Answer answer = show_message(*ctx, true, Buttons::yes_no, "%s: %s", "bind", "Address already in use");
    EXPECT_EQ(answer, Answer::no);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "bind: Address already in use");
    EXPECT_TRUE(host.messages[0].owned);
}

TEST_F(MessagesTest, string_table_holds_the_key_names_and_capture_texts) {
    EXPECT_STREQ(load_text(*ctx, 1861), "AlwaysBindSocket");
    EXPECT_STREQ(load_text(*ctx, 1862), "NetNoConnect");
    EXPECT_STREQ(load_text(*ctx, 1866), "AudioSample11025");
    EXPECT_STREQ(load_text(*ctx, 3001), "Can't allocate wave input format table.");
    EXPECT_STREQ(load_text(*ctx, 3002),
                 "The audio waveform device can't record in the required format.");
    EXPECT_STREQ(load_text(*ctx, 3003), "Error Opening Wave Audio Input");
    EXPECT_STREQ(load_text(*ctx, 3020), "Exit and restart program to implement this change.");
}

struct ViewLogTest : MessagesTest {
    TempDir dir;
    void SetUp() override {
        ctx->program_dir = dir.path();
        write_file(dir.file("vmb_mon.log"), "127.000.000.001 joined\n");
    }
};

TEST_F(ViewLogTest, a_missing_log_is_reported_with_a_blank_after_the_colon) {
    EXPECT_EQ(view_log(*ctx, "vmb_sun.log"), 0);
    EXPECT_EQ(host.last_message(), dir.path() + "/vmb_sun.log: Log file not found!");
    EXPECT_TRUE(host.shell_opened.empty());
}

TEST_F(ViewLogTest, an_existing_log_is_opened_in_the_text_viewer) {
    EXPECT_EQ(view_log(*ctx, "vmb_mon.log"), 1);
    ASSERT_EQ(host.shell_opened.size(), 1u);
    EXPECT_EQ(host.shell_opened[0], "open " + dir.file("vmb_mon.log") + " ");
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(ViewLogTest, viewer_failures_are_told_apart) {
    host.shell_open_result = OpenResult::file_not_found;
    EXPECT_EQ(view_log(*ctx, "vmb_mon.log"), 0);
    EXPECT_EQ(host.last_message(), dir.path() + "/vmb_mon.log:Log file not found!");
    host.shell_open_result = OpenResult::path_not_found;
    EXPECT_EQ(view_log(*ctx, "vmb_mon.log"), 0);
    EXPECT_EQ(host.last_message(), dir.path() + "/vmb_mon.log:Log file not found!");
    host.shell_open_result = OpenResult::no_handler;
    {
        // No opener: the file, the opener that is missing and how to name another.
        ScopedEnv opener("VELMORA_OPENER", "no-such-viewer");
        EXPECT_EQ(view_log(*ctx, "vmb_mon.log"), 0);
        for (const std::string& part : {dir.file("vmb_mon.log"), std::string("\"no-such-viewer\""),
                                        std::string("VELMORA_OPENER"), std::string("xdg-open")})
            EXPECT_NE(host.last_message().find(part), std::string::npos) << part << "\n"
                                                                         << host.last_message();
    }
    host.shell_open_result = OpenResult::no_handler;
    EXPECT_EQ(view_log(*ctx, "vmb_mon.log"), 0);
    EXPECT_EQ(host.messages.size(), 4u);
}

}  // namespace
