#pragma once
// Compressed sample files (".VMA") and their companions (".V40"), which hold
// the same frames coded at a doubled transfer rate. Integers are
// little-endian except the frame length, which is big-endian like the wire.
//
// | Offset | Size | Field                                                  |
// |--------|------|--------------------------------------------------------|
// | 0      | 4    | magic "VMA "                                           |
// | 4      | 4    | sampling rate in Hz, the station's at compression time |
// | 8      | 2    | rate code: the rate_percent the frames were coded with |
// | 10     | 6    | zero                                                   |
// | 16     | ...  | frames: 2-byte big-endian length, then the frame bytes |
//
// No frame count and no index: readers walk the lengths. Frames come in
// super-block order, so a file holds a multiple of 16384 samples.

#include <cstdint>
#include <cstdio>

constexpr int kSampleHeaderBytes = 16;

// check_sample_file results.
enum SampleCheck {
    SAMPLE_USABLE = 0,          // usable without conversion
    SAMPLE_NEEDS_WORK = 1,      // WAV at another rate or without data; or frames that do not add up
    SAMPLE_CANNOT_OPEN = 2,
    SAMPLE_UNKNOWN_FORMAT = 11, // WAV of samples that cannot be read, or a ".VMA" without the magic
    SAMPLE_RATE_MISMATCH = 12,  // ".VMA" compressed at another sampling rate
};

// read_sample_frame results beside a frame length.
constexpr int SAMPLE_FRAME_END = -1;  // no further frame: the file ends cleanly
constexpr int SAMPLE_FRAME_BAD = -2;  // a cut-off frame, or one longer than the room given

struct SampleFileHeader {
    bool magic_ok = false;
    uint32_t sampling_rate = 0;
    int rate_code = 0;
};

void make_sample_header(uint8_t out[kSampleHeaderBytes], uint32_t sampling_rate, int rate_code);

// Each returns 1 when everything was written, 0 otherwise.
int write_sample_header(FILE* f, uint32_t sampling_rate, int rate_code);
int write_sample_frame(FILE* f, const uint8_t* frame, int length);

// Reads the 16-byte header at the current position. Returns 1, or 0 when the
// file is shorter than a header.
int read_sample_header(FILE* f, SampleFileHeader& header);

// Reads the next frame into `frame` (room for `capacity` bytes). Returns its
// length, SAMPLE_FRAME_END or SAMPLE_FRAME_BAD.
int read_sample_frame(FILE* f, uint8_t* frame, int capacity);

// Checks a song file before use at the station's sampling rate. A name whose
// last four characters are ".VMA" in any case is taken as compressed (its
// frame lengths must use up the file exactly); any other name as WAV.
int check_sample_file(const char* path, int sampling_rate);
