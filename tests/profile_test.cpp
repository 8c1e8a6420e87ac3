#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

struct ProfileTest : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    std::string ini = dir.file("station.ini");

    int number(const char* key, int def = -99) {
        return get_private_profile_int("VelmoraStation", key, def, ini.c_str());
    }
    std::string text(const char* key, const char* def = "dflt", int size = 256) {
        std::string out(static_cast<size_t>(size), 'x');
        int length = get_private_profile_string("VelmoraStation", key, def, out.data(), size,
                                                ini.c_str());
        EXPECT_EQ(length, static_cast<int>(strlen(out.c_str())));
        return out.c_str();
    }
};

TEST_F(ProfileTest, sections_and_keys_are_found_without_regard_to_case) {
    write_file(ini, "[other]\nSamplingRate=8000\n[VELMORASTATION]\n  samplingrate = 22050  \n");
    EXPECT_EQ(number("SamplingRate"), 22050);
    EXPECT_EQ(get_private_profile_int("Other", "SAMPLINGRATE", 0, ini.c_str()), 8000);
}

TEST_F(ProfileTest, integer_reader_takes_sign_and_leading_digits) {
    write_file(ini,
               "[VelmoraStation]\nA=12abc\nB=abc\nC=-5\nD=+7\nE=\nF=  42  \nG=- 3\n"
               "H=99999999999\n");
    EXPECT_EQ(number("A"), 12);
    EXPECT_EQ(number("B"), 0);
    EXPECT_EQ(number("C"), -5);
    EXPECT_EQ(number("D"), 7);
    EXPECT_EQ(number("E"), -99);  // empty value: the default
    EXPECT_EQ(number("F"), 42);
    EXPECT_EQ(number("G"), 0);
    EXPECT_EQ(number("H"), static_cast<int>(99999999999ull % 4294967296ull));  // wraps, no crash
}

TEST_F(ProfileTest, missing_file_section_or_key_gives_the_default) {
    EXPECT_EQ(number("SamplingRate", 16000), 16000);
    EXPECT_EQ(text("WWW_URL"), "dflt");
    write_file(ini, "[Elsewhere]\nSamplingRate=8000\n; SamplingRate=1\n[VelmoraStation]\nLOG=0\n");
    EXPECT_EQ(number("SamplingRate", 16000), 16000);
    EXPECT_EQ(text("SamplingRate", nullptr), "");
}

TEST_F(ProfileTest, string_read_is_trimmed_unquoted_and_cut_to_the_buffer) {
    write_file(ini, "[VelmoraStation]\nName =  Radio One  \nQuoted=\" padded \"\nEq=a=b\n");
    EXPECT_EQ(text("Name"), "Radio One");
    EXPECT_EQ(text("Quoted"), " padded ");
    EXPECT_EQ(text("Eq"), "a=b");
    EXPECT_EQ(text("Name", "", 4), "Rad");
    EXPECT_EQ(text("Name", "", 1), "");
}

TEST_F(ProfileTest, writing_creates_file_and_section_in_the_user_config_directory) {
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "Mode", "0", "fresh.ini"), 1);
    std::string path = dir.file("config/velmora/fresh.ini");
    EXPECT_EQ(resolve_profile_path("fresh.ini"), path);
    EXPECT_EQ(read_file(path), "[VelmoraStation]\nMode=0\n");
    EXPECT_EQ(get_private_profile_int("VelmoraStation", "MODE", 1, "fresh.ini"), 0);
}

TEST_F(ProfileTest, writing_keeps_the_rest_of_the_file_as_it_was) {
    write_file(ini,
               "; station settings\n[First]\nx=1\n\n[VelmoraStation]\nLOG=1\n"
               "# keep me\nmode=1\n\n[Last]\ny=2\n");
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "Mode", "0", ini.c_str()), 1);
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "StationName", "Velmora FM",
                                           ini.c_str()),
              1);
    ASSERT_EQ(write_private_profile_string("New", "k", "v", ini.c_str()), 1);
    EXPECT_EQ(read_file(ini),
              "; station settings\n[First]\nx=1\n\n[VelmoraStation]\nLOG=1\n"
              "# keep me\nMode=0\nStationName=Velmora FM\n\n[Last]\ny=2\n\n[New]\nk=v\n");
}

TEST_F(ProfileTest, writing_keeps_crlf_line_ends_and_deletes_a_key_given_no_value) {
    write_file(ini, "[VelmoraStation]\r\nLOG=1\r\nREPORT=0\r\n");
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "log", nullptr, ini.c_str()), 1);
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "MBONE", "1", ini.c_str()), 1);
    EXPECT_EQ(read_file(ini), "[VelmoraStation]\r\nREPORT=0\r\nMBONE=1\r\n");
}

TEST_F(ProfileTest, unusable_names_are_refused_and_line_breaks_in_values_become_blanks) {
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "a=b", "1", ini.c_str()), 0);
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "", "1", ini.c_str()), 0);
    EXPECT_EQ(write_private_profile_string("Velmora]", "k", "1", ini.c_str()), 0);
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "k\n[x]", "1", ini.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(ini));
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "WWW_DESC", "two\nlines\r\n[x]",
                                           ini.c_str()),
              1);
    EXPECT_EQ(text("WWW_DESC"), "two lines  [x]");
    EXPECT_EQ(text("x"), "dflt");
}

TEST_F(ProfileTest, writing_replaces_the_file_whole_and_leaves_no_temporary_behind) {
    write_file(ini, "[VelmoraStation]\nLOG=1\n");
    chmod(ini.c_str(), 0640);
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "LOG", "0", ini.c_str()), 1);
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    struct stat info;
    ASSERT_EQ(stat(ini.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(ProfileTest, a_file_that_cannot_be_written_gives_failure) {
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "LOG", "0",
                                           dir.file("no/such/dir/x.ini").c_str()),
              1);  // the directories are made
    write_file(dir.file("plainfile"), "");
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "LOG", "0",
                                           dir.file("plainfile/x.ini").c_str()),
              0);
}

TEST_F(ProfileTest, a_huge_file_is_no_settings_file_and_is_left_alone) {
    // Named by mistake (a recording, a device): reading stops at a megabyte.
    std::string junk = std::string(2 << 20, 'x') + "\n[VelmoraStation]\nLOG=7\n";
    write_file(ini, junk);
    ASSERT_EQ(number("LOG", 1), 1);
    EXPECT_EQ(text("LOG"), "dflt");
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "LOG", "0", ini.c_str()), 0);
    EXPECT_EQ(std::filesystem::file_size(ini), junk.size());
    EXPECT_EQ(get_private_profile_int("VelmoraStation", "LOG", 1, "/dev/zero"), 1);
}

TEST_F(ProfileTest, an_unreadable_file_is_not_replaced) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    write_file(ini, "[VelmoraStation]\nLOG=1\nSecret=keep\n");
    chmod(ini.c_str(), 0200);
    EXPECT_EQ(write_private_profile_string("VelmoraStation", "LOG", "0", ini.c_str()), 0);
    chmod(ini.c_str(), 0600);
    EXPECT_EQ(read_file(ini), "[VelmoraStation]\nLOG=1\nSecret=keep\n");
}

TEST_F(ProfileTest, a_byte_order_mark_is_read_past_and_kept_when_writing) {
    write_file(ini, "\xEF\xBB\xBF[VelmoraStation]\r\nLOG=0\r\n");
    EXPECT_EQ(number("LOG"), 0);
    EXPECT_EQ(private_profile_key_line("VelmoraStation", "log", ini.c_str()), 2);
    ASSERT_EQ(write_private_profile_string("VelmoraStation", "REPORT", "1", ini.c_str()), 1);
    EXPECT_EQ(read_file(ini), "\xEF\xBB\xBF[VelmoraStation]\r\nLOG=0\r\nREPORT=1\r\n");
}

TEST_F(ProfileTest, the_summary_tells_what_a_reader_would_pass_over) {
    write_file(ini, "Mode=0\n; note\nLOG=1\n[Other]\nA=1\n[VelmoraStation]\nB=2\n");
    ProfileSummary summary = summarize_profile("VelmoraStation", ini.c_str());
    EXPECT_TRUE(summary.exists);
    EXPECT_TRUE(summary.has_section);
    EXPECT_EQ(summary.loose_keys, 2);
    EXPECT_EQ(summary.first_loose_key_line, 1);
    EXPECT_EQ(summary.other_section_keys, 1);
    EXPECT_EQ(private_profile_key_line("VelmoraStation", "B", ini.c_str()), 7);
    EXPECT_EQ(private_profile_key_line("VelmoraStation", "A", ini.c_str()), 0);

    write_file(ini, std::string(PROFILE_MAX_BYTES + 1, ';'));
    EXPECT_EQ(summarize_profile("VelmoraStation", ini.c_str()).read_error, EFBIG);
    EXPECT_FALSE(summarize_profile("VelmoraStation", dir.file("none.ini").c_str()).exists);
}

}  // namespace
