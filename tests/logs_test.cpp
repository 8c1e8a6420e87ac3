#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <filesystem>

#include "app/context.h"
#include "app/program.h"
#include "base/messages.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

// 2023-11-16 12:00:00 UTC, a Thursday.
constexpr int64_t kThursdayNoon = 1'700'136'000;
constexpr int64_t kDay = 86400;

struct LogsTest : ::testing::Test {
    TempDir dir;
    ScopedEnv zone{"TZ", "UTC"};
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void SetUp() override {
        tzset();
        ctx->program_dir = dir.path();
        host.now = kThursdayNoon;
    }
    void TearDown() override { tzset(); }

    void set_mtime(const std::string& path, int64_t when) {
        utimbuf times{static_cast<time_t>(when), static_cast<time_t>(when)};
        ASSERT_EQ(utime(path.c_str(), &times), 0);
    }
};

TEST_F(LogsTest, each_weekday_has_its_own_file_with_thur_for_thursday) {
    const char* names[7] = {"thur", "fri", "sat", "sun", "mon", "tue", "wed"};
    for (int day = 0; day < 7; ++day) {
        host.now = kThursdayNoon + day * kDay;
        write_daily_log(*ctx, "day %d\n", day);
        EXPECT_EQ(read_file(dir.file(std::string("vmb_") + names[day] + ".log")),
                  "day " + std::to_string(day) + "\n")
            << names[day];
    }
}

TEST_F(LogsTest, lines_of_the_same_day_are_appended) {
    write_daily_log(*ctx, "%03d.%03d.%03d.%03d %s %d %d %d %d\n", 127, 0, 0, 1, "IN", 1, 2, 3, 4);
    host.now += 3600;
    write_daily_log(*ctx, "second\n");
    EXPECT_EQ(read_file(dir.file("vmb_thur.log")), "127.000.000.001 IN 1 2 3 4\nsecond\n");
}

TEST_F(LogsTest, last_weeks_file_is_emptied_before_the_first_line) {
    std::string path = dir.file("vmb_thur.log");
    write_file(path, "a line of last week\n");
    set_mtime(path, kThursdayNoon - 8 * kDay);
    write_daily_log(*ctx, "today\n");
    EXPECT_EQ(read_file(path), "today\n");

    write_file(path, "earlier today\n");
    set_mtime(path, kThursdayNoon - 12 * 3600 + 1);  // 00:00:01
    write_daily_log(*ctx, "later\n");
    EXPECT_EQ(read_file(path), "earlier today\nlater\n");

    // Less than a day ago, but on another date.
    write_file(path, "yesterday\n");
    set_mtime(path, kThursdayNoon - kDay + 60);
    write_daily_log(*ctx, "today\n");
    EXPECT_EQ(read_file(path), "today\n");
}

// Lines written every hour for eight days (the file stamped as the file
// system would): each weekday file is started afresh on its day and ends
// holding that day's lines only.
TEST_F(LogsTest, weekday_files_are_renewed_while_they_keep_being_written) {
    const int64_t start = kThursdayNoon - 12 * 3600;  // Thursday 00:00
    for (int64_t hour = 0; hour < 8 * 24; ++hour) {
        host.now = start + hour * 3600 + 1800;
        write_daily_log(*ctx, "hour %lld\n", static_cast<long long>(hour));
        const char* names[7] = {"thur", "fri", "sat", "sun", "mon", "tue", "wed"};
        set_mtime(dir.file(std::string("vmb_") + names[(hour / 24) % 7] + ".log"), host.now);
    }
    std::string thursday;  // the second Thursday
    for (int hour = 7 * 24; hour < 8 * 24; ++hour) thursday += "hour " + std::to_string(hour) + "\n";
    EXPECT_EQ(read_file(dir.file("vmb_thur.log")), thursday);
    std::string wednesday;
    for (int hour = 6 * 24; hour < 7 * 24; ++hour) wednesday += "hour " + std::to_string(hour) + "\n";
    EXPECT_EQ(read_file(dir.file("vmb_wed.log")), wednesday);
}

TEST_F(LogsTest, a_percent_sign_in_the_line_is_stored_unchanged) {
    write_daily_log(*ctx, "%s\n", "load 100% of %d %s");
    write_daily_log(*ctx, "%d%%\n", 50);
    EXPECT_EQ(read_file(dir.file("vmb_thur.log")), "load 100% of %d %s\n50%\n");
}

TEST_F(LogsTest, a_log_that_cannot_be_written_is_told_once_not_once_a_line) {
    // A folder that is not there, a full disk (/dev/full takes no byte) and a
    // folder the station may not write: each loses its lines and says so
    // once, naming the file and the cause, until a line gets through again.
    std::filesystem::create_directory(dir.file("full"));
    std::filesystem::create_symlink("/dev/full", dir.file("full/vmb_thur.log"));
    std::filesystem::create_directory(dir.file("locked"));
    chmod(dir.file("locked").c_str(), 0500);
    const bool root = geteuid() == 0;  // root writes anywhere: no read-only folder then
    struct Case {
        std::string folder, cause;
    } cases[] = {{dir.file("missing"), "No such file or directory"},
                 {dir.file("full"), "No space left on device"},
                 {dir.file("locked"), "Permission denied"}};
    for (const Case& c : cases) {
        if (root && c.folder == dir.file("locked")) continue;
        ctx->program_dir = dir.path();
        write_daily_log(*ctx, "kept\n");
        host.messages.clear();
        ctx->program_dir = c.folder;
        for (int i = 0; i < 5; ++i) write_daily_log(*ctx, "lost %d\n", i);
        ASSERT_EQ(host.messages.size(), 1u) << c.folder;
        EXPECT_EQ(host.messages[0].text, "Cannot write the log file " + c.folder + "/vmb_thur.log: " +
                                             c.cause + "\nLog lines are lost until it can be written again.");
        EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::warning);

        ctx->program_dir = dir.path();  // a line gets through: the next loss is told again
        write_daily_log(*ctx, "kept\n");
        ctx->program_dir = c.folder;
        write_daily_log(*ctx, "lost again\n");
        EXPECT_EQ(host.messages.size(), 2u) << c.folder;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    chmod(dir.file("locked").c_str(), 0700);

    host.messages.clear();
    ctx->program_dir.clear();  // paths never set up: nothing is written anywhere, quietly
    write_daily_log(*ctx, "lost\n");
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
