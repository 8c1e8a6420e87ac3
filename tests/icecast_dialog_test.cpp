// The Icecast dialog's decisions without a window.

#include "app/icecast_dialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/context.h"
#include "app/program.h"
#include "support/fake_host.h"
#include "support/settings_fixture.h"

namespace {

struct IcecastDialog : SettingsFixture<FakeHost> {
    void SetUp() override {
        write_file(ctx->state.settings_file, "[VelmoraStation]\nStationName=x\n");
        chmod(ctx->state.settings_file.c_str(), 0600);
    }
};

TEST_F(IcecastDialog, shows_the_stored_keys_with_an_empty_rate_for_the_default) {
    IcecastView view = icecast_view(ctx->state);
    EXPECT_EQ(view.user, "source");
    EXPECT_EQ(view.format, 0);
    EXPECT_EQ(view.bitrate, "");
    ctx->state.icecast.format = "MP3";
    ctx->state.icecast.bitrate = 128;
    view = icecast_view(ctx->state);
    EXPECT_EQ(view.format, 1);
    EXPECT_EQ(view.bitrate, "128");
    EXPECT_EQ(icecast_bitrate_hint(1), "empty: 128 kbit/s");
}

TEST_F(IcecastDialog, ok_refuses_a_wrong_value_and_writes_nothing) {
    struct Case {
        IcecastView entered;
        const char* told;
    } cases[] = {
        {{"http://127.0.0.1/x", "source", "", 0, "12k"},
         "Bit rate must be a number of kbit/s, not 12k"},
        {{"http://127.0.0.1/x", "source", "", 0, "0"}, "Bit rate must be 8 to 320"},
        {{"http://127.0.0.1/x", "source", "", 1, "500"}, "Bit rate must be 8 to 320"},
        {{"http://127.0.0.1/x", "", "", 0, ""}, "User must be 1 to 127 characters"},
        {{"127.0.0.1/x", "source", "", 0, ""}, "Server and mount must begin with http://"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.told);
        host.messages.clear();
        EXPECT_EQ(icecast_ok(*ctx, c.entered), 0);
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_NE(host.last_message().find(c.told), std::string::npos) << host.last_message();
        // The operator is told the fields by their labels, not the settings keys.
        EXPECT_EQ(host.last_message().find("ICECAST_"), std::string::npos) << host.last_message();
    }
    EXPECT_EQ(read_file(ctx->state.settings_file).find("ICECAST"), std::string::npos);
    EXPECT_EQ(ctx->state.icecast.url, "");
}

TEST_F(IcecastDialog, ok_stores_every_key_and_warns_of_a_password_others_can_read) {
    chmod(ctx->state.settings_file.c_str(), 0644);
    EXPECT_EQ(icecast_ok(*ctx, {"http://127.0.0.1:8000/a.ogg", "dj", "s3cret", 0, ""}), 1);
    std::string stored = read_file(ctx->state.settings_file);
    for (const char* line : {"ICECAST_URL=http://127.0.0.1:8000/a.ogg\n", "ICECAST_USER=dj\n",
                             "ICECAST_PASSWORD=s3cret\n", "ICECAST_FORMAT=opus\n", "ICECAST_BITRATE=\n"})
        EXPECT_NE(stored.find(line), std::string::npos) << line;
    EXPECT_EQ(ctx->state.icecast.password, "s3cret");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find("now holds the Icecast password and other users can read it"),
              std::string::npos);
    // An empty URL turns the output off; it is stored like any other value.
    host.messages.clear();
    chmod(ctx->state.settings_file.c_str(), 0600);
    EXPECT_EQ(icecast_ok(*ctx, {"", "source", "", 1, "64"}), 1);
    EXPECT_EQ(ctx->state.icecast.url, "");
    EXPECT_EQ(ctx->state.icecast.format, "mp3");
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
