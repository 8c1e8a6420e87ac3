#include <gtest/gtest.h>

#include "app/context.h"
#include "app/messages.h"
#include "support/fake_host.h"

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
    host.answers.push_back(IDNO);
    int answer = show_message(*ctx, true, MB_YESNO, "%s: %s", "bind", "Address already in use");
    EXPECT_EQ(answer, IDNO);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "bind: Address already in use");
    EXPECT_TRUE(host.messages[0].owned);
}

}  // namespace
