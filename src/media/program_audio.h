#pragma once
// The program as the outputs hear it: 16-bit samples at the source's own
// rate and channels (a song's source WAV, the card's capture), or the
// decoded 8-bit program where nothing better exists. Each output converts
// it to the one format its encoder takes with a ProgramResampler.

#include <cstdint>
#include <vector>

struct soxr;

// A stretch of the program: 16-bit samples interleaved by channel.
struct ProgramAudio {
    const int16_t* samples = nullptr;
    int frames = 0;    // samples of each channel
    int channels = 1;  // 1 or 2
    int rate = 0;      // Hz
};

// What every Opus stream runs at; the MP3 encoder takes it as well.
constexpr int PROGRAM_OUTPUT_RATE = 48000;

// 8-bit samples (128 = silence) as 16-bit ones, into `out` (resized).
void widen_samples(const uint8_t* samples, int count, std::vector<int16_t>& out);

// Converts audio of any rate and channel count to one rate and channel
// count, keeping the filter's state across calls: mono is copied to both
// channels, stereo is mixed down for a mono output, and the rate goes
// through libsoxr's high-quality filter. A change of the input's rate
// starts the filter afresh.
class ProgramResampler {
public:
    ProgramResampler(int out_rate, int out_channels) : out_rate_(out_rate), out_channels_(out_channels) {}
    ~ProgramResampler();
    ProgramResampler(const ProgramResampler&) = delete;
    ProgramResampler& operator=(const ProgramResampler&) = delete;

    int channels() const { return out_channels_; }
    // Appends the converted samples (interleaved) to `out`.
    void convert(const ProgramAudio& in, std::vector<int16_t>& out);

private:
    int out_rate_, out_channels_;
    soxr* filter_ = nullptr;
    int in_rate_ = 0;
    std::vector<float> in_, out_;
};
