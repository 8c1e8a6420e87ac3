// velmora-codec: compresses raw 8-bit mono samples into a sample file, decodes
// one back, and describes one.
//
//   velmora-codec encode IN.raw OUT.VMA --sampling-rate HZ --rate-percent P [--interp-threshold T]
//   velmora-codec decode IN.VMA OUT.raw
//   velmora-codec info FILE [--sampling-rate HZ]
//   velmora-codec --help | -h | --version
//
// An output is written under a temporary name and renamed into place when
// complete; an output that is the input (also through a link) is refused.

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/version.h"
#include "codec/codec_state.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/super_block.h"
#include "codec/wav_reader.h"
#include "platform/safe_files.h"

namespace {

constexpr const char* kProgram = "velmora-codec";
constexpr int kUsageError = 2;

void print_usage(FILE* to) {
    std::fprintf(to,
                 "usage:\n"
                 "  velmora-codec encode IN.raw OUT.VMA --sampling-rate HZ --rate-percent P"
                 " [--interp-threshold T]\n"
                 "  velmora-codec decode IN.VMA OUT.raw\n"
                 "  velmora-codec info FILE [--sampling-rate HZ]\n"
                 "  velmora-codec --help | -h | --version\n"
                 "IN.raw holds unsigned 8-bit mono samples (128 = silence).\n");
}

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "%s: %s\n", kProgram, problem);
    print_usage(stderr);
    return kUsageError;
}

// An output must never be one of the inputs: writing it would destroy them.
bool output_is_input(const char* input, const char* output) {
    if (!same_file(input, output)) return false;
    std::fprintf(stderr, "%s: %s is the same file as %s; give another output\n", kProgram, output, input);
    return true;
}

int cannot_write(const OutputFile& out) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, out.path.c_str(), out.why.c_str());
    return 1;
}

// Parses a whole decimal number within [low, high].
bool parse_number(const char* text, long low, long high, long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

struct Options {
    std::vector<const char*> paths;
    long sampling_rate = 0;
    long rate_percent = -1;
    long interp_threshold = 16;
};

// Splits the arguments after the command into paths and --options.
// Returns an error text, or nullptr.
const char* parse_options(int argc, char** argv, Options& o) {
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strncmp(a, "--", 2) != 0) {
            o.paths.push_back(a);
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        if (std::strcmp(a, "--sampling-rate") == 0) {
            if (!parse_number(value, 1, 1000000, o.sampling_rate))
                return "--sampling-rate needs a rate in Hz (1 to 1000000)";
        } else if (std::strcmp(a, "--rate-percent") == 0) {
            if (!parse_number(value, 1, 65535, o.rate_percent))
                return "--rate-percent needs a whole percentage from 1 to 65535";
        } else if (std::strcmp(a, "--interp-threshold") == 0) {
            if (!parse_number(value, 0, 1000000, o.interp_threshold))
                return "--interp-threshold needs a whole number of 32nds from 0";
        } else {
            return "unknown option";
        }
    }
    return nullptr;
}

// Inputs are regular files only: a pipe would hold the program in open()
// and /dev/zero would fill the memory.
bool read_whole_file(const char* path, std::vector<uint8_t>& bytes, std::string* why) {
    FILE* f = open_regular_file(path, why);
    if (!f) return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    bool ok = !std::ferror(f);
    if (!ok) *why = std::strerror(errno);
    std::fclose(f);
    return ok;
}

int encode_command(const Options& o) {
    if (o.paths.size() != 2) return usage("encode needs IN.raw and OUT.VMA");
    if (o.sampling_rate == 0) return usage("encode needs --sampling-rate");
    if (o.rate_percent < 0) return usage("encode needs --rate-percent");

    std::vector<uint8_t> samples;
    std::string why;
    if (!read_whole_file(o.paths[0], samples, &why)) {
        std::fprintf(stderr, "velmora-codec: cannot read %s: %s\n", o.paths[0], why.c_str());
        return 1;
    }
    // The last super-block is filled up with silence.
    size_t blocks = (samples.size() + kSuperBlockSamples - 1) / kSuperBlockSamples;
    samples.resize(blocks * kSuperBlockSamples, 128);

    if (output_is_input(o.paths[0], o.paths[1])) return 1;
    OutputFile output;
    if (!begin_output(output, o.paths[1])) return cannot_write(output);
    FILE* out = output.file;
    CodecState codec;
    codec.rate_percent = int(o.rate_percent);
    codec.interp_threshold = int(o.interp_threshold);
    bool ok = write_sample_header(out, uint32_t(o.sampling_rate), int(o.rate_percent)) == 1;
    static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t frame[kMaxFrameBytes];
    for (size_t b = 0; ok && b < blocks; ++b) {
        interleave_super_block(&samples[b * kSuperBlockSamples], frames);
        for (int n = 0; ok && n < kFramesPerSuperBlock; ++n)
            ok = write_sample_frame(out, frame, encode_frame(codec, frames[n], frame)) == 1;
    }
    if (!ok) output.why = std::strerror(errno);
    if (!ok || !commit_output(output)) return cannot_write(output);
    return 0;
}

int decode_command(const Options& o) {
    if (o.paths.size() != 2) return usage("decode needs IN.VMA and OUT.raw");
    std::string why;
    FILE* in = open_regular_file(o.paths[0], &why);
    if (!in) {
        std::fprintf(stderr, "velmora-codec: cannot open %s: %s\n", o.paths[0], why.c_str());
        return 1;
    }
    SampleFileHeader header;
    if (!read_sample_header(in, header) || !header.magic_ok) {
        std::fprintf(stderr, "velmora-codec: %s is not a compressed sample file\n", o.paths[0]);
        std::fclose(in);
        return 1;
    }
    OutputFile output;
    if (output_is_input(o.paths[0], o.paths[1]) || !begin_output(output, o.paths[1])) {
        std::fclose(in);
        return output.why.empty() ? 1 : cannot_write(output);
    }
    FILE* out = output.file;

    static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t block[kSuperBlockSamples];
    uint8_t frame[kMaxFrameBytes];
    int index = 0, bad = 0;
    bool ended = false, written = true;
    while (!ended && written) {
        // Frames missing from the last super-block stay silent.
        std::memset(frames, 128, sizeof frames);
        int n = 0;
        for (; n < kFramesPerSuperBlock; ++n, ++index) {
            int length = read_sample_frame(in, frame, kMaxFrameBytes);
            if (length == SAMPLE_FRAME_END) break;
            if (length == SAMPLE_FRAME_BAD) {
                std::fprintf(stderr, "velmora-codec: frame %d is cut off or too long\n", index);
                ++bad;
                break;
            }
            if (!decode_frame(frame, length, frames[n])) {
                std::fprintf(stderr, "velmora-codec: frame %d is malformed; decoded as silence\n", index);
                ++bad;
            }
        }
        ended = n < kFramesPerSuperBlock;
        if (n == 0) break;
        if (ended) std::fprintf(stderr, "velmora-codec: the last super-block has only %d frames\n", n);
        deinterleave_super_block(frames, block);
        written = std::fwrite(block, 1, sizeof block, out) == sizeof block;
    }
    std::fclose(in);
    // What could be decoded is kept for inspection; bad frames still fail the run.
    if (!written) output.why = std::strerror(errno);
    if (!written || !commit_output(output)) return cannot_write(output);
    return bad ? 1 : 0;
}

const char* check_meaning(int code) {
    switch (code) {
        case SAMPLE_USABLE: return "usable without conversion";
        case SAMPLE_NEEDS_WORK: return "needs conversion, or the frame lengths do not add up";
        case SAMPLE_CANNOT_OPEN: return "cannot be opened";
        case SAMPLE_UNKNOWN_FORMAT: return "unknown format";
        case SAMPLE_RATE_MISMATCH: return "compressed at another sampling rate";
        default: return "?";
    }
}

int info_command(const Options& o) {
    if (o.paths.size() != 1) return usage("info needs one FILE");
    const char* path = o.paths[0];
    std::string why;
    FILE* f = open_regular_file(path, &why);
    if (!f) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", kProgram, path, why.c_str());
        std::printf("check: %d (%s)\n", SAMPLE_CANNOT_OPEN, check_meaning(SAMPLE_CANNOT_OPEN));
        return 1;
    }
    size_t n = std::strlen(path);
    bool compressed = n >= 4 && strcasecmp(path + n - 4, ".VMA") == 0;
    SampleFileHeader header;
    WavInfo wav;
    int wav_result = WAV_NO_DATA;
    bool has_header = false;
    if (compressed) {
        has_header = read_sample_header(f, header) == 1;
    } else {
        wav_result = read_wav_header(f, wav);
    }
    // Without a station rate given, check against the file's own rate.
    long rate = o.sampling_rate;
    if (rate == 0) rate = compressed ? long(header.sampling_rate) : long(wav.sample_rate);
    int code = check_sample_file(path, int(rate));
    std::printf("check: %d (%s) at %ld Hz\n", code, check_meaning(code), rate);

    if (!compressed) {
        std::printf("parsed as WAV: %s\n", wav_result == WAV_OK ? "data chunk found" : "no usable data chunk");
        if (wav.has_format)
            std::printf("format tag %d, %d channels, %u Hz, %d bits, %u data bytes\n", wav.format_tag,
                        wav.channels, wav.sample_rate, wav.bits_per_sample, wav.data_size);
        std::fclose(f);
        return code == SAMPLE_CANNOT_OPEN ? 1 : 0;
    }
    if (!has_header) {
        std::printf("shorter than its %d-byte header\n", kSampleHeaderBytes);
        std::fclose(f);
        return 0;
    }
    std::printf("magic: %s\n", header.magic_ok ? "\"VMA \"" : "wrong");
    std::printf("sampling rate: %u Hz\n", header.sampling_rate);
    std::printf("rate code: %d\n", header.rate_code);

    uint8_t frame[0x10000];
    long frames = 0, total = 0, run_length = 0;
    int shortest = 0, longest = 0, length = 0;
    while ((length = read_sample_frame(f, frame, sizeof frame)) >= 0) {
        if (frames == 0 || length < shortest) shortest = length;
        if (length > longest) longest = length;
        if (length > 0 && (frame[0] & 0x80)) ++run_length;
        total += length;
        ++frames;
    }
    std::fclose(f);
    std::printf("frames: %ld (%ld super-blocks%s)\n", frames, frames / kFramesPerSuperBlock,
                frames % kFramesPerSuperBlock ? " and a partial one" : "");
    if (length == SAMPLE_FRAME_BAD) std::printf("then a cut-off frame\n");
    if (frames > 0)
        std::printf("frame length: min %d, mean %.1f, max %d bytes; %ld run-length, %ld plain\n",
                    shortest, double(total) / double(frames), longest, run_length, frames - run_length);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, kProgram, print_usage)) return 0;
    if (argc < 2) return usage(nullptr);
    std::string command = argv[1];
    Options o;
    if (const char* problem = parse_options(argc - 2, argv + 2, o)) return usage(problem);
    if (command == "encode") return encode_command(o);
    if (command == "decode") return decode_command(o);
    if (command == "info") return info_command(o);
    if (command == "help") {
        print_usage(stdout);
        return 0;
    }
    return usage("unknown command");
}
