// A song's source WAV as the outputs take it: which sources serve, the
// stretch that goes with each super-block, and the channels of a script.

#include "media/song_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "media/script_table.h"
#include "platform/source_record.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace {

// Frames 0, 1, 2 ... of `channels` samples, each sample frame * 8 + channel
// (16-bit, wrapping) or 100 + frame % 50 + channel (8-bit).
std::string ramp(int frames, int channels, int bits) {
    std::string data;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            data += bits == 16 ? wav_bytes::le16(uint32_t(i * 8 + c))
                               : std::string(1, char(100 + i % 50 + c));
    return data;
}

// `song`.VMA prepared from `song`.wav holding `wav`: the record is kept.
std::string prepare(TempDir& dir, const std::string& song, const std::string& wav) {
    write_file(dir.file(song + ".wav"), wav);
    FILE* file = fopen(dir.file(song + ".VMA").c_str(), "wb");
    EXPECT_EQ(record_source(file, dir.file(song + ".wav")), 1);
    fclose(file);
    return dir.file(song + ".VMA");
}

TEST(SongSource, each_super_block_takes_its_stretch_of_the_source_at_its_own_rate_and_channels) {
    TempDir dir;
    const struct {
        uint32_t rate;
        int channels, bits, frames, sampling_rate;
        int block_frames;  // of the first super-block's stretch: 16384 x rate / sampling rate
    } cases[] = {
        {44100, 2, 16, 80000, 11025, 65536},
        {22050, 1, 8, 40000, 22050, 16384},  // 8-bit widened
        {22050, 2, 16, 40000, 8000, 45158},  // rounded down
        {8000, 1, 16, 3000, 11025, 11888},   // the song goes on in silence past the WAV's end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.bits) + " bits");
        const std::string song =
            prepare(dir, "s",
                    wav_bytes::pcm(c.rate, c.channels, c.bits, ramp(c.frames, c.channels, c.bits)));
        SongSource source;
        ASSERT_TRUE(source.open(song, c.sampling_rate));
        EXPECT_EQ(source.name(), dir.file("s.wav"));
        ProgramAudio audio;
        std::string why;
        // Two super-blocks, the second after a repeat started the source again.
        for (int n = 0; n < 16; ++n) {
            if (n == 8) {
                ASSERT_TRUE(source.rewind());
            }
            ASSERT_TRUE(source.next(audio, why)) << why;
            if (n % 8 != 7) {
                EXPECT_EQ(audio.frames, 0) << n;  // the super-block is not out yet
                continue;
            }
            EXPECT_EQ(audio.frames, c.block_frames);
            EXPECT_EQ(audio.channels, c.channels);
            EXPECT_EQ(audio.rate, int(c.rate));
            for (int i = 0; i < audio.frames * audio.channels; i += 997) {
                const int frame = i / c.channels, channel = i % c.channels;
                const int expected = frame >= c.frames ? 0
                                     : c.bits == 16    ? int16_t(frame * 8 + channel)
                                                       : (100 + frame % 50 + channel - 128) * 256;
                ASSERT_EQ(audio.samples[i], expected) << "frame " << frame;
            }
        }
    }
}

TEST(SongSource, only_a_source_unchanged_since_the_song_was_prepared_serves) {
    TempDir dir;
    const std::string stereo = wav_bytes::pcm(44100, 2, 16, ramp(1000, 2, 16));
    const std::string song = prepare(dir, "s", stereo);
    SongSource source;
    EXPECT_TRUE(source.open(song, 11025));

    const struct {
        const char* change;
        std::string wav;  // written, then given the recorded time again
        int seconds_on;   // added to the recorded time
        bool serves;
    } cases[] = {
        {"as prepared", stereo, 0, true},
        {"touched", stereo, 1, false},
        {"replaced by another length", wav_bytes::pcm(44100, 2, 16, ramp(999, 2, 16)), 0, false},
        {"four channels", wav_bytes::pcm(44100, 4, 16, ramp(500, 4, 16)), 0, false},
        {"not a WAV", std::string(stereo.size(), 'x'), 0, false},
    };
    struct stat recorded;
    ASSERT_EQ(stat(dir.file("s.wav").c_str(), &recorded), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        write_file(dir.file("s.wav"), c.wav);
        timespec times[2] = {recorded.st_atim, recorded.st_mtim};
        times[1].tv_sec += c.seconds_on;
        ASSERT_EQ(utimensat(AT_FDCWD, dir.file("s.wav").c_str(), times, 0), 0);
        EXPECT_EQ(source.open(song, 11025), c.serves);
        EXPECT_EQ(source.is_open(), c.serves);
    }
    // A song without a record (copied without its attributes), or without a WAV.
    write_file(dir.file("copy.VMA"), "");
    write_file(dir.file("copy.wav"), stereo);
    EXPECT_FALSE(source.open(dir.file("copy.VMA"), 11025));
    unlink(dir.file("s.wav").c_str());
    EXPECT_FALSE(source.open(song, 11025));
}

TEST(SongSource, a_script_is_stereo_when_a_song_has_a_usable_stereo_source) {
    TempDir dir;
    const std::string mono = prepare(dir, "mono", wav_bytes::pcm(22050, 1, 16, ramp(3000, 1, 16)));
    const std::string stereo =
        prepare(dir, "stereo", wav_bytes::pcm(44100, 2, 16, ramp(3000, 2, 16)));
    ASSERT_EQ(truncate(dir.file("stereo.wav").c_str(), 44 + 4 * 1000), 0);
    ScriptTable script;
    script.loaded = true;
    script.entries.resize(2);
    snprintf(script.entries[0].song, SCRIPT_NAME_SIZE, "%s", mono.c_str());
    snprintf(script.entries[1].song, SCRIPT_NAME_SIZE, "%s", stereo.c_str());
    script.script_entries = 1;
    EXPECT_EQ(script_source_channels(script), 1);
    script.script_entries = 2;
    EXPECT_EQ(script_source_channels(script), 1);  // the stereo WAV changed since
    prepare(dir, "stereo", wav_bytes::pcm(44100, 2, 16, ramp(30000, 2, 16)));
    EXPECT_EQ(script_source_channels(script), 2);
}

}  // namespace
