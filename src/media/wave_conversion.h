#pragma once
// Turning the PCM of a WAV song into the codec's samples (unsigned 8-bit
// mono at the station's sampling rate), and the choices of the "Wave" dialog
// that picks one source and its destination.

#include <cstdint>
#include <string>

struct Services;
struct StreamRate;

// How the source stores one sample frame: `channels` samples of
// `sample_bytes` each, little-endian, unsigned at 8 bits and signed above,
// or 32-bit floats of full scale 1.0.
struct PcmLayout {
    int frame_bytes = 1;   // channels x sample_bytes
    int channels = 1;
    int sample_bytes = 1;  // 1, 2, 3 or 4
    bool floating = false;
};

// The layout of a "fmt " chunk the WAV reader found convertible (see
// wav_format_problem).
PcmLayout pcm_layout(int channels, int bits_per_sample, bool floating = false);

// One sample of a channel, at `sample`, in the 16-bit scale: 8-bit
// (v - 128) x 256, 24 and 32-bit the top 16 bits, float v x 32768 within the
// 16-bit range (NaN is silence).
int pcm_sample16(const uint8_t* sample, const PcmLayout& layout);

// One unsigned 8-bit sample (128 = silence) from the sample frame at
// `frame`. Each sample is taken to the 16-bit scale (pcm_sample16), the
// channels are mixed as the sum of each divided by the channel count, and
// the mix divided by 256 plus 128. Divisions truncate toward zero, as
// listeners of older stations heard it: mono is value / 256 + 128, 16-bit
// stereo (left / 2 + right / 2) / 256 + 128, 8-bit stereo
// (left + right - 256) / 2 + 128.
uint8_t pcm_frame_to_sample(const uint8_t* frame, const PcmLayout& layout);

// Resamples by picking and converts. `in` holds `in_bytes` bytes of PCM at
// `source_rate`; output sample i takes the source frame that starts at
// i * frame_bytes * source_rate / station_rate, rounded down to a whole
// frame (no filtering). Produces `wanted` samples, or, when `short_read`,
// only those whose byte position i * frame_bytes lies below (whole bytes
// read) * station_rate / source_rate in integer division (a source frame
// past the whole frames read is replaced by the last whole one). Returns
// the number of samples written to `out`.
int convert_pcm(const uint8_t* in, int in_bytes, const PcmLayout& layout, uint32_t source_rate,
                uint32_t station_rate, uint8_t* out, int wanted, bool short_read);

// The destination the "Wave" dialog proposes for a source: from the end of
// the path find the last ".", ":", "\" or "/"; a "." has the rest replaced by
// ".VMA", anything else gets ".VMA" appended.
std::string wave_destination_name(const std::string& source);

// The destination a song is compressed to: a name that ends in ".VMA" (any
// case) as it is, any other with ".VMA" appended, so that the companion
// name made from it stays beside it.
std::string song_destination_name(const std::string& requested);

// The companion file of a compressed sample file: its name with the last
// four characters (".VMA") replaced by ".V40"; a shorter name gets ".V40"
// appended.
std::string companion_name(const std::string& destination);

// The check the "Wave" dialog runs on a picked source (check_sample_file at
// the station's sampling rate). A file that cannot be opened, is not PCM, or
// is compressed at another rate is reported in a message box and refused
// (0); a usable file or one that will be resampled is taken (1).
// A file named ".wav" that is no RIFF/WAVE file (a text renamed) is
// refused too, with that reason.
int accept_wave_source(Services& services, const StreamRate& rate, const char* path);

// Whether `path` is named ".wav" but is no RIFF/WAVE file at all: then the
// operator is told so (1). The sample check leaves such a file to the
// preparation, which could only refuse it later. 0 for any other file.
int refuse_wav_that_is_not_riff(Services& services, const char* path);
