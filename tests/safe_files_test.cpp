// Opening inputs only when they are regular files, and outputs that reach
// their destination only whole.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/safe_files.h"
#include "support/temp_dir.h"

namespace {

struct SafeFilesTest : ::testing::Test {
    TempDir dir;

    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            found.insert(entry.path().filename().string());
        return found;
    }
};

TEST_F(SafeFilesTest, an_output_replaces_its_destination_only_when_committed) {
    write_file(dir.file("out"), "old");
    chmod(dir.file("out").c_str(), 0640);
    {
        OutputFile out;
        ASSERT_EQ(begin_output(out, dir.file("out")), 1);
        fputs("half of the new", out.file);
        fflush(out.file);
        EXPECT_EQ(read_file(dir.file("out")), "old");
        // Dropped without a commit, as on a refusal or a cancel.
    }
    EXPECT_EQ(read_file(dir.file("out")), "old");
    EXPECT_EQ(names(), (std::set<std::string>{"out"}));

    OutputFile out;
    ASSERT_EQ(begin_output(out, dir.file("out")), 1);
    fputs("new", out.file);
    ASSERT_EQ(commit_output(out), 1);
    EXPECT_EQ(read_file(dir.file("out")), "new");
    EXPECT_EQ(names(), (std::set<std::string>{"out"}));
    struct stat st;
    ASSERT_EQ(stat(dir.file("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SafeFilesTest, a_link_at_the_destination_is_replaced_not_followed) {
    write_file(dir.file("target"), "someone else's file");
    std::filesystem::create_symlink(dir.file("target"), dir.file("link"));
    OutputFile out;
    ASSERT_EQ(begin_output(out, dir.file("link")), 1);
    fputs("mine", out.file);
    ASSERT_EQ(commit_output(out), 1);
    EXPECT_EQ(read_file(dir.file("target")), "someone else's file");
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("link")));
    EXPECT_EQ(read_file(dir.file("link")), "mine");
}

TEST_F(SafeFilesTest, failures_name_their_cause) {
    OutputFile out;
    EXPECT_EQ(begin_output(out, dir.file("nowhere/out")), 0);
    EXPECT_EQ(out.why, "the folder " + dir.file("nowhere") + " does not exist");
    std::filesystem::create_directory(dir.file("folder"));
    ASSERT_EQ(begin_output(out, dir.file("folder")), 1);
    EXPECT_EQ(commit_output(out), 0);  // a file cannot replace a folder
    EXPECT_EQ(out.why, "Is a directory");
    EXPECT_EQ(names(), (std::set<std::string>{"folder"}));
}

TEST_F(SafeFilesTest, only_regular_files_are_opened_for_reading) {
    write_file(dir.file("plain"), "x");
    std::string why;
    FILE* f = open_regular_file(dir.file("plain").c_str(), &why);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fgetc(f), 'x');
    fclose(f);

    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);  // no writer: a plain open would block
    EXPECT_EQ(open_regular_file(dir.file("pipe").c_str(), &why), nullptr);
    EXPECT_EQ(why, "it is not a regular file (a pipe or a device)");
    EXPECT_EQ(open_regular_file("/dev/zero", &why), nullptr);
    EXPECT_EQ(why, "it is not a regular file (a pipe or a device)");
    EXPECT_EQ(open_regular_file(dir.path().c_str(), &why), nullptr);
    EXPECT_EQ(why, "it is a folder, not a file");
    EXPECT_EQ(open_regular_file(dir.file("none").c_str(), &why), nullptr);
    EXPECT_EQ(why, "No such file or directory");
}

TEST_F(SafeFilesTest, same_file_sees_through_links) {
    write_file(dir.file("a"), "x");
    std::filesystem::create_symlink(dir.file("a"), dir.file("soft"));
    std::filesystem::create_hard_link(dir.file("a"), dir.file("hard"));
    write_file(dir.file("b"), "x");
    EXPECT_TRUE(same_file(dir.file("a"), dir.file("soft")));
    EXPECT_TRUE(same_file(dir.file("hard"), dir.file("soft")));
    EXPECT_FALSE(same_file(dir.file("a"), dir.file("b")));
    EXPECT_FALSE(same_file(dir.file("a"), dir.file("none")));
}

}  // namespace
