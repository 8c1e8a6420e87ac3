#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "media/wave_conversion.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}

std::vector<uint8_t> le16_samples(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(uint8_t(v & 0xFF));
        out.push_back(uint8_t((v >> 8) & 0xFF));
    }
    return out;
}

TEST(PcmConversion, layouts_follow_bits_and_channels_exactly) {
    EXPECT_EQ(pcm_layout(2, 16).frame_bytes, 4);
    EXPECT_EQ(pcm_layout(1, 16).frame_bytes, 2);
    EXPECT_EQ(pcm_layout(2, 8).frame_bytes, 2);
    EXPECT_EQ(pcm_layout(1, 8).frame_bytes, 1);
    // Deeper samples and more channels keep their size: they used to be
    // read as 8-bit and mono, which turned songs into noise.
    EXPECT_EQ(pcm_layout(2, 24).frame_bytes, 6);
    EXPECT_EQ(pcm_layout(6, 16).frame_bytes, 12);
    EXPECT_EQ(pcm_layout(2, 32, true).frame_bytes, 8);
}

TEST(PcmConversion, deeper_and_float_samples_read_as_their_top_sixteen_bits) {
    // -255 and 32767 at 16 bits as 24-bit, 32-bit and float samples.
    const PcmLayout s24 = pcm_layout(1, 24), s32 = pcm_layout(1, 32), f32 = pcm_layout(1, 32, true);
    EXPECT_EQ(pcm_frame_to_sample(bytes({0x00, 0x01, 0xFF}).data(), s24), 128);  // -255 * 256
    EXPECT_EQ(pcm_frame_to_sample(bytes({0x00, 0x00, 0xFF}).data(), s24), 127);  // -256 * 256
    EXPECT_EQ(pcm_frame_to_sample(bytes({0xFF, 0x00, 0xFF}).data(), s24), 128);  // -255.996 toward zero
    EXPECT_EQ(pcm_frame_to_sample(bytes({0xFF, 0xFF, 0x7F}).data(), s24), 255);
    EXPECT_EQ(pcm_frame_to_sample(bytes({0x00, 0x00, 0x00, 0x80}).data(), s32), 0);
    EXPECT_EQ(pcm_frame_to_sample(bytes({0x00, 0x00, 0x01, 0xFF}).data(), s32), 128);
    auto as_float = [](float v) {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    EXPECT_EQ(pcm_frame_to_sample(as_float(-255.0f / 32768).data(), f32), 128);
    EXPECT_EQ(pcm_frame_to_sample(as_float(-256.0f / 32768).data(), f32), 127);
    EXPECT_EQ(pcm_frame_to_sample(as_float(1.0f).data(), f32), 255);
    EXPECT_EQ(pcm_frame_to_sample(as_float(2.5f).data(), f32), 255);  // beyond full scale: clipped
    EXPECT_EQ(pcm_frame_to_sample(as_float(-2.5f).data(), f32), 0);
    EXPECT_EQ(pcm_frame_to_sample(as_float(std::nanf("")).data(), f32), 128);
}

TEST(PcmConversion, every_channel_counts_in_the_mix) {
    // (1000 / 4 + -2000 / 4 + 3000 / 4 + 4000 / 4) / 256 + 128 = 1500 / 256 + 128
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({1000, -2000, 3000, 4000}).data(), pcm_layout(4, 16)), 133);
    // Six channels of which only the last is loud.
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({0, 0, 0, 0, 0, 30720}).data(), pcm_layout(6, 16)), 128 + 20);
    // 8-bit: (-32768 / 3 + 0 + 32512 / 3) / 256 + 128
    EXPECT_EQ(pcm_frame_to_sample(bytes({0, 128, 255}).data(), pcm_layout(3, 8)), 128);
    EXPECT_EQ(pcm_frame_to_sample(bytes({255, 255, 255}).data(), pcm_layout(3, 8)), 254);
}

TEST(PcmConversion, sixteen_bit_samples_divide_toward_zero) {
    const PcmLayout mono = pcm_layout(1, 16), stereo = pcm_layout(2, 16);
    // -255 / 256 truncates to 0 (a floor would give 127).
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({-255}).data(), mono), 128);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({-256}).data(), mono), 127);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({32767}).data(), mono), 255);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({-32768}).data(), mono), 0);
    // (left / 2 + right / 2) / 256 + 128
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({-3, -3}).data(), stereo), 128);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({-32768, -32768}).data(), stereo), 0);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({32767, 32767}).data(), stereo), 255);
    EXPECT_EQ(pcm_frame_to_sample(le16_samples({25600, -12800}).data(), stereo), 128 + 25);
}

TEST(PcmConversion, eight_bit_stereo_is_mixed_around_128) {
    const PcmLayout stereo = pcm_layout(2, 8), mono = pcm_layout(1, 8);
    EXPECT_EQ(pcm_frame_to_sample(bytes({0, 0}).data(), stereo), 0);
    EXPECT_EQ(pcm_frame_to_sample(bytes({0, 1}).data(), stereo), 1);  // -255 / 2 = -127
    EXPECT_EQ(pcm_frame_to_sample(bytes({255, 255}).data(), stereo), 255);
    EXPECT_EQ(pcm_frame_to_sample(bytes({200, 100}).data(), stereo), 150);
    EXPECT_EQ(pcm_frame_to_sample(bytes({77}).data(), mono), 77);
}

TEST(PcmConversion, downsampling_44100_stereo_to_11025_keeps_every_fourth_frame) {
    // 16 frames of 16-bit stereo whose left channel counts 0, 256, 512, ...
    std::vector<uint8_t> in;
    for (int i = 0; i < 16; ++i) {
        auto frame = le16_samples({i * 512, i * 512});
        in.insert(in.end(), frame.begin(), frame.end());
    }
    uint8_t out[4];
    ASSERT_EQ(convert_pcm(in.data(), int(in.size()), pcm_layout(2, 16), 44100, 11025, out, 4, false), 4);
    EXPECT_EQ(out[0], 128 + 0);
    EXPECT_EQ(out[1], 128 + 8);   // frame 4: (1024 + 1024) / 256
    EXPECT_EQ(out[2], 128 + 16);  // frame 8
    EXPECT_EQ(out[3], 128 + 24);  // frame 12
}

TEST(PcmConversion, upsampling_8000_to_11025_repeats_by_picking) {
    std::vector<uint8_t> in(800);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i);
    std::vector<uint8_t> out(2000, 0xEE);
    const int made = convert_pcm(in.data(), 800, pcm_layout(1, 8), 8000, 11025, out.data(), 2000, true);
    EXPECT_EQ(made, 1102);  // q below 800 * 11025 / 8000 = 1102 in integers
    for (int q = 0; q < made; ++q) ASSERT_EQ(out[size_t(q)], uint8_t(q * 8000 / 11025)) << q;
    EXPECT_EQ(out[1102], 0xEE);  // nothing written beyond
    // About 11 output samples for every 8 input samples.
    EXPECT_EQ(made * 8 / 800, 11);
}

TEST(PcmConversion, the_last_short_pass_stops_below_bytes_read_times_station_over_source_rate) {
    // 16-bit stereo, 8000 -> 11025, three frames (12 bytes) read: positions
    // q = 0, 4, 8, 12 lie below 12 * 11025 / 8000 = 16 (16.5 exactly; q = 16
    // would be one sample too many). They take the frames starting at
    // q * 8000 / 11025 rounded down to a multiple of 4: bytes 0, 0, 4, 8.
    std::vector<uint8_t> in;
    for (int frame : {10, 20, 30}) {
        auto bytes = le16_samples({frame * 256, frame * 256});
        in.insert(in.end(), bytes.begin(), bytes.end());
    }
    uint8_t out[8] = {};
    ASSERT_EQ(convert_pcm(in.data(), 12, pcm_layout(2, 16), 8000, 11025, out, 8, true), 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), bytes({138, 138, 148, 158}));
    // 16-bit mono, 11025 -> 16000, one frame read: 2 * 16000 / 11025 = 2,
    // so only q = 0.
    EXPECT_EQ(convert_pcm(in.data(), 2, pcm_layout(1, 16), 11025, 16000, out, 8, true), 1);
    // 8-bit mono, 8000 -> 11025, one byte read: 11025 / 8000 = 1, only q = 0.
    EXPECT_EQ(convert_pcm(in.data(), 1, pcm_layout(1, 8), 8000, 11025, out, 8, true), 1);
    // A full pass is not cut.
    EXPECT_EQ(convert_pcm(in.data(), 12, pcm_layout(2, 16), 8000, 11025, out, 8, false), 8);
}

TEST(PcmConversion, a_cut_off_frame_at_the_end_is_not_read) {
    // Three bytes of 16-bit mono: one whole frame and half of another.
    const auto in = bytes({0x00, 0x40, 0x7F});
    uint8_t out[4] = {1, 2, 3, 4};
    EXPECT_EQ(convert_pcm(in.data(), 3, pcm_layout(1, 16), 22050, 22050, out, 4, true), 1);
    EXPECT_EQ(out[0], 128 + 64);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(convert_pcm(in.data(), 1, pcm_layout(1, 16), 22050, 22050, out, 4, true), 0);
}

TEST(PcmConversion, a_full_pass_fills_every_wanted_sample_within_what_was_read) {
    // 11025 -> 8000 in 8-bit mono: picks never point past the bytes read.
    std::vector<uint8_t> in(22579, 7);
    in.back() = 99;
    std::vector<uint8_t> out(16384, 0);
    EXPECT_EQ(convert_pcm(in.data(), int(in.size()), pcm_layout(1, 8), 11025, 8000, out.data(), 16384,
                          false),
              16384);
    for (uint8_t s : out) ASSERT_TRUE(s == 7 || s == 99);
}

TEST(WaveDestination, replaces_the_extension_or_appends_one) {
    EXPECT_EQ(wave_destination_name("C:\\music\\song.wav"), "C:\\music\\song.VMA");
    EXPECT_EQ(wave_destination_name("/music/song.WAV"), "/music/song.VMA");
    EXPECT_EQ(wave_destination_name("C:\\my.songs\\song"), "C:\\my.songs\\song.VMA");
    EXPECT_EQ(wave_destination_name("/my.songs/song"), "/my.songs/song.VMA");
    EXPECT_EQ(wave_destination_name("D:song"), "D:song.VMA");
    EXPECT_EQ(wave_destination_name("a.b.c"), "a.b.VMA");
    EXPECT_EQ(wave_destination_name("plain"), "plain.VMA");
    EXPECT_EQ(companion_name("x/song.VMA"), "x/song.V40");
    EXPECT_EQ(companion_name("ab"), "ab.V40");
}

TEST(WaveSource, refuses_missing_foreign_and_mismatched_files_with_their_messages) {
    FakeHost host;
    auto ctx = make_context(host);
    ctx->state.SamplingRate = 11025;
    TempDir dir;

    EXPECT_EQ(accept_wave_source(*ctx, ctx->state, dir.file("none.wav").c_str()), 0);
    EXPECT_EQ(host.last_message(), dir.file("none.wav") + ": File Not Found!\n");

    for (const std::string& format : {wav_bytes::format(2, 1, 11025, 4), wav_bytes::format(1, 1, 11025, 12),
                                      wav_bytes::format(3, 1, 11025, 64)}) {
        write_file(dir.file("odd.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", format) +
                                                        wav_bytes::chunk("data", std::string(64, '\0'))));
        EXPECT_EQ(accept_wave_source(*ctx, ctx->state, dir.file("odd.wav").c_str()), 0);
        EXPECT_EQ(host.last_message(),
                  dir.file("odd.wav") + ": unknown file format!\nOnly PCM wave files are supported.");
    }

    write_file(dir.file("old.VMA"), std::string("VMA \x22\x56\0\0\x20\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(accept_wave_source(*ctx, ctx->state, dir.file("old.VMA").c_str()), 0);
    EXPECT_EQ(host.last_message(),
              dir.file("old.VMA") +
                  ": sampling rate not matched.\nUse the original .wav file to recompress.");

    // A WAV at another rate is taken silently: it will be resampled; so are
    // float samples.
    const size_t shown = host.messages.size();
    write_file(dir.file("cd.wav"), compression_media::wav(44100, 2, 16, std::string(400, '\0')));
    EXPECT_EQ(accept_wave_source(*ctx, ctx->state, dir.file("cd.wav").c_str()), 1);
    write_file(dir.file("float.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(3, 1, 11025, 32)) +
                                                      wav_bytes::chunk("data", std::string(64, '\0'))));
    EXPECT_EQ(accept_wave_source(*ctx, ctx->state, dir.file("float.wav").c_str()), 1);
    EXPECT_EQ(host.messages.size(), shown);
}

}  // namespace
