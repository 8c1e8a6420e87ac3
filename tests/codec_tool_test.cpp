// The velmora-codec program end to end: encode, info, decode, usage errors.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "codec/sample_file.h"
#include "codec/super_block.h"
#include "support/synthetic_audio.h"
#include "support/temp_dir.h"

namespace {

struct CodecToolTest : ::testing::Test {
    TempDir dir;
    std::string output;

    // Runs the tool with `arguments`, keeping stdout and stderr; returns the exit status.
    int run(const std::string& arguments) { return run_prefixed("", arguments); }
    // The same, killed after `seconds` (status 137) when it has not ended by then.
    int run_within_seconds(int seconds, const std::string& arguments) {
        return run_prefixed("timeout -s KILL " + std::to_string(seconds) + " ", arguments);
    }
    int run_prefixed(const std::string& prefix, const std::string& arguments) {
        std::string log = dir.file("log.txt");
        std::string command = prefix + std::string(VELMORA_BIN_DIR) + "/velmora-codec " +
                              arguments + " >" + log + " 2>&1";
        int status = std::system(command.c_str());
        output = read_file(log);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(CodecToolTest, encode_info_decode_round_trip) {
    // A song and a half: the last super-block is filled up with silence.
    std::vector<uint8_t> music = synthetic::music_like(kSuperBlockSamples * 3 / 2);
    write_file(dir.file("song.raw"), std::string(music.begin(), music.end()));
    std::string raw = dir.file("song.raw"), vma = dir.file("song.VMA"), back = dir.file("back.raw");

    ASSERT_EQ(run("encode " + raw + " " + vma + " --sampling-rate 22050 --rate-percent 32"), 0) << output;
    EXPECT_EQ(check_sample_file(vma.c_str(), 22050), SAMPLE_USABLE);
    std::string file = read_file(vma);
    EXPECT_EQ(file.substr(0, 10), std::string("VMA \x22\x56\0\0\x20\0", 10));

    ASSERT_EQ(run("info " + vma), 0) << output;
    EXPECT_NE(output.find("check: 0"), std::string::npos) << output;
    EXPECT_NE(output.find("rate code: 32"), std::string::npos) << output;
    EXPECT_NE(output.find("frames: 16 (2 super-blocks)"), std::string::npos) << output;
    EXPECT_NE(output.find("frame length: min"), std::string::npos) << output;

    ASSERT_EQ(run("decode " + vma + " " + back), 0) << output;
    std::string decoded = read_file(back);
    ASSERT_EQ(decoded.size(), size_t(2 * kSuperBlockSamples));
    std::vector<uint8_t> head(decoded.begin(), decoded.begin() + long(music.size()));
    EXPECT_GT(synthetic::snr_db(music, head), 10.0);
    for (size_t i = music.size() + 600; i < decoded.size(); ++i) ASSERT_NEAR(uint8_t(decoded[i]), 128, 1) << i;
}

TEST_F(CodecToolTest, bad_use_and_bad_files_fail_clearly) {
    write_file(dir.file("in.raw"), std::string(100, '\x80'));
    std::string in = dir.file("in.raw");
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("squash " + in), 2);
    EXPECT_EQ(run("encode " + in + " " + dir.file("o.VMA") + " --rate-percent 32"), 2);
    EXPECT_NE(output.find("--sampling-rate"), std::string::npos) << output;
    EXPECT_EQ(run("encode " + in + " " + dir.file("o.VMA") + " --sampling-rate 8000 --rate-percent x"), 2);
    EXPECT_EQ(run("encode " + in + " " + dir.file("o.VMA") + " --sampling-rate 8000 --rate-percent 32 --loud 1"), 2);
    EXPECT_EQ(run("encode " + dir.file("none.raw") + " " + dir.file("o.VMA") + " --sampling-rate 8000 --rate-percent 32"), 1);
    EXPECT_NE(output.find("cannot read"), std::string::npos) << output;

    // A file that is not a sample file, and one whose last frame is cut off.
    EXPECT_EQ(run("decode " + in + " " + dir.file("o.raw")), 1);
    ASSERT_EQ(run("encode " + in + " " + dir.file("o.VMA") + " --sampling-rate 8000 --rate-percent 32"), 0);
    std::string vma = read_file(dir.file("o.VMA"));
    write_file(dir.file("cut.VMA"), vma.substr(0, vma.size() - 1));
    EXPECT_EQ(run("decode " + dir.file("cut.VMA") + " " + dir.file("o.raw")), 1);
    EXPECT_NE(output.find("cut off"), std::string::npos) << output;
    EXPECT_EQ(run("info " + dir.file("cut.VMA")), 0);
    EXPECT_NE(output.find("check: 1"), std::string::npos) << output;
    EXPECT_EQ(run("info " + dir.file("missing.VMA")), 1);
}

// A pipe would hold every command in open() and /dev/zero would fill the
// memory: each is refused at once as no regular file (137: the timeout killed it).
TEST_F(CodecToolTest, a_pipe_or_a_device_as_input_is_refused_at_once) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& input : {fifo, std::string("/dev/zero")}) {
        for (const std::string& command :
             {"encode " + input + " " + dir.file("o.VMA") +
                  " --sampling-rate 8000 --rate-percent 32",
              "decode " + input + " " + dir.file("o.raw"), "info " + input}) {
            SCOPED_TRACE(command);
            EXPECT_EQ(run_within_seconds(10, command), 1) << output;
            EXPECT_NE(output.find("cannot "), std::string::npos) << output;
            EXPECT_NE(output.find("it is not a regular file"), std::string::npos) << output;
        }
    }
}

}  // namespace

namespace {

// "velmora-codec decode s.VMA s.VMA" used to destroy its input.
TEST_F(CodecToolTest, an_output_that_is_the_input_is_refused_and_the_input_kept) {
    write_file(dir.file("in.raw"), std::string(5000, '\x90'));
    const std::string raw = dir.file("in.raw"), vma = dir.file("s.VMA");
    ASSERT_EQ(run("encode " + raw + " " + vma + " --sampling-rate 8000 --rate-percent 32"), 0) << output;
    const std::string compressed = read_file(vma);

    EXPECT_EQ(run("decode " + vma + " " + vma), 1);
    EXPECT_NE(output.find("s.VMA is the same file as"), std::string::npos) << output;
    EXPECT_EQ(read_file(vma), compressed);

    std::filesystem::create_symlink(raw, dir.file("link.VMA"));
    EXPECT_EQ(run("encode " + raw + " " + dir.file("link.VMA") + " --sampling-rate 8000 --rate-percent 32"), 1);
    EXPECT_EQ(read_file(raw), std::string(5000, '\x90'));

    // A missing folder is named; no file is left half-written anywhere.
    EXPECT_EQ(run("decode " + vma + " " + dir.file("nowhere/out.raw")), 1);
    EXPECT_NE(output.find("cannot write " + dir.file("nowhere/out.raw") + ": the folder " + dir.file("nowhere") +
                          " does not exist"),
              std::string::npos)
        << output;
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"in.raw", "link.VMA", "log.txt", "s.VMA"}));
}

TEST_F(CodecToolTest, help_anywhere_and_version_answer_with_status_zero) {
    EXPECT_EQ(run("--help"), 0);
    EXPECT_NE(output.find("usage:"), std::string::npos) << output;
    EXPECT_EQ(run("encode -h"), 0);
    EXPECT_NE(output.find("usage:"), std::string::npos) << output;
    EXPECT_EQ(run("--version"), 0);
    EXPECT_EQ(output.rfind("velmora-codec 2.18 (build ", 0), 0u) << output;
}

}  // namespace
