#include "media/sample_compression.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "codec/stream_rate.h"
#include "base/messages.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/wav_reader.h"
#include "media/script_file.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "platform/paths.h"
#include "platform/safe_files.h"
#include "platform/source_record.h"

namespace {

constexpr const char* kCannotOpen = "Cannot open file %s\nPlease check the script.";
constexpr const char* kCannotWrite = "Cannot write file %s";
constexpr const char* kCannotFilter = "Cannot resample %s through the filter: %s";
// The data size a stream writer leaves when it cannot know the length.
constexpr uint32_t kUnknownDataSize = 0xFFFFFFFF;

bool ends_with_wav(const char* name) {
    const size_t n = std::strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".WAV") == 0;
}

// The rate code of a compressed sample file, -1 when it cannot be read or
// is no sample file (the bytes of a foreign file would put any number up to
// 65535 into the script header).
int file_rate_code(const char* path) {
    FILE* f = open_regular_file(path);
    if (f == nullptr) return -1;
    SampleFileHeader header;
    const int ok = read_sample_header(f, header);
    std::fclose(f);
    return ok && header.magic_ok ? header.rate_code : -1;
}

// Whether a sample file was made at this sampling rate with this rate code.
bool header_matches(const std::string& path, int sampling_rate, int rate_code) {
    FILE* f = open_regular_file(path.c_str());
    if (f == nullptr) return false;
    SampleFileHeader header;
    const bool ok = read_sample_header(f, header) && header.magic_ok &&
                    header.sampling_rate == uint32_t(sampling_rate) && header.rate_code == rate_code;
    std::fclose(f);
    return ok;
}

bool up_to_date(const SongJob& job, const SongLine& line) {
    return song_out_of_date(line.source, line.destination, job.station_rate, job.main_rate_code,
                            job.companion_rate_code)
        .empty();
}

void abandon_song(SongJob& job) {
    job.resampler.close();
    if (job.source != nullptr) std::fclose(job.source);
    job.source = nullptr;
    abandon_output(job.destination);
    abandon_output(job.companion);
}

int finish(SongJob& job) {
    job.compressing = false;
    return SONG_JOB_FINISHED;
}

// Shows the window's message and keeps the plain cause for a command line.
int refuse_song(Services& services, SongJob& job, const char* format, const std::string& path,
                const std::string& problem) {
    show_message(services, true, Buttons::ok | Icon::error, format, path.c_str());
    SongLine& line = job.lines[size_t(job.current)];
    line.status = SONG_REFUSED;
    line.problem = problem;
    // The progress must not go on claiming the song before it, or 100 %.
    std::snprintf(job.status_text, sizeof job.status_text, "Sample %d of %d not compressed",
                  job.current + 1, int(job.lines.size()));
    job.percent = 0;
    return 0;
}

// Closes the current song, its files renamed into place when it is
// complete, and moves to the next line. The main file goes last: once it
// is in place the song is whole.
int close_song(Services& services, SongJob& job) {
    SongLine& line = job.lines[size_t(job.current)];
    if (line.status != SONG_REFUSED && job.destination.file != nullptr) {
        OutputFile* failed = nullptr;
        if (!commit_output(job.companion))
            failed = &job.companion;
        else if (!commit_output(job.destination))
            failed = &job.destination;
        if (failed != nullptr)
            refuse_song(services, job, kCannotWrite, line.destination,
                        "cannot write " + failed->path + ": " + failed->why);
    }
    abandon_song(job);
    if (line.status != SONG_REFUSED) line.status = SONG_DONE;
    ++job.current;
    return job.current < int(job.lines.size()) ? SONG_JOB_RUNNING : finish(job);
}

// What keeps a source from being compressed, or "" when it is usable.
std::string source_problem(int result, const WavInfo& info) {
    switch (result) {
    case WAV_OK: break;
    case WAV_NOT_RIFF: return "not a RIFF WAVE file";
    case WAV_TRUNCATED: return "its format chunk is cut off";
    case WAV_NOT_PCM: return wav_format_problem(info);
    default: return info.has_format ? "it has no data chunk" : "it has no format chunk before its data";
    }
    if (!info.has_format) return "its data chunk comes before its format chunk";
    if (const std::string format = wav_format_problem(info); !format.empty()) return format;
    if (info.sample_rate < SOURCE_RATE_MIN || info.sample_rate > SOURCE_RATE_MAX)
        return "sampling rate " + std::to_string(info.sample_rate) + " Hz: only " +
               std::to_string(SOURCE_RATE_MIN) + " to " + std::to_string(SOURCE_RATE_MAX) + " Hz are read";
    return "";
}

int refuse_filtering(Services& services, SongJob& job, const char* reason) {
    SongLine& line = job.lines[size_t(job.current)];
    show_message(services, true, Buttons::ok | Icon::error, kCannotFilter, line.source.c_str(),
                 reason);
    line.status = SONG_REFUSED;
    line.problem = "cannot resample " + line.source + " through the filter: " + reason;
    return 0;
}

// Opens the current line's source, reads it up to its samples, and only
// when it is usable creates the temporary outputs. Returns 1, or 0 after
// refusing the line.
int open_song(Services& services, SongJob& job) {
    const SongLine& line = job.lines[size_t(job.current)];
    const std::string companion = companion_name(line.destination);

    std::string why;
    job.source = open_regular_file(line.source.c_str(), &why);
    if (job.source == nullptr)
        return refuse_song(services, job, kCannotOpen, line.source, "cannot open " + line.source + ": " + why);

    WavInfo info;
    std::string problem = source_problem(read_wav_header(job.source, info), info);
    job.layout = pcm_layout(info.channels, info.bits_per_sample, info.sample_format == WAV_FORMAT_FLOAT);
    // A data chunk that is empty, or that the file cuts off before its
    // first sample frame, would make a song of nothing.
    struct stat st;
    if (problem.empty() && (fstat(fileno(job.source), &st) != 0 ||
                            std::min<int64_t>(info.data_size, st.st_size - info.data_offset) <
                                job.layout.frame_bytes))
        problem = "it holds no samples";
    if (!problem.empty()) {
        // The cause itself: a text named ".wav" is no RIFF file, not a question of rates.
        const std::string message = "Cannot compress " + line.source + ": " + problem + ".";
        return refuse_song(services, job, "%s", message, line.source + ": " + problem);
    }

    for (const std::string& output : {line.destination, companion}) {
        if (same_file(output, line.source))
            return refuse_song(services, job, kCannotWrite, output, output + " is the song's source itself");
        if (!job.script_path.empty() && same_file(output, job.script_path))
            return refuse_song(services, job, kCannotWrite, output, output + " is the script itself");
    }

    if (job.filter && info.sample_rate != uint32_t(job.station_rate)) {
        if (const char* reason = job.resampler.open(info.sample_rate, uint32_t(job.station_rate)))
            return refuse_filtering(services, job, reason);
    }

    for (OutputFile* output : {&job.destination, &job.companion}) {
        const std::string& path = output == &job.destination ? line.destination : companion;
        if (!begin_output(*output, path))
            return refuse_song(services, job, kCannotOpen, path, "cannot create " + path + ": " + output->why);
    }
    // Kept with each file and renamed into place with it: a crash can never
    // pair new files with an old record.
    record_source(job.destination.file, line.source);
    record_source(job.companion.file, line.source);
    if (!write_sample_header(job.destination.file, uint32_t(job.station_rate), job.main_rate_code) ||
        !write_sample_header(job.companion.file, uint32_t(job.station_rate), job.companion_rate_code))
        return refuse_song(services, job, kCannotWrite, line.destination,
                           "cannot write " + line.destination + ": " + std::strerror(errno));

    // A header promising more samples than the file holds is a copy cut
    // off: the song would end early, so it is said, and the progress counts
    // what is there. A size of FFFFFFFF is a stream's "unknown length".
    const int64_t present = st.st_size - info.data_offset;
    job.data_size = info.data_size;
    if (int64_t(info.data_size) > present) {
        job.data_size = uint32_t(present);
        if (info.data_size != kUnknownDataSize) {
            job.lines[size_t(job.current)].note =
                line.source + ": cut off: its header promises " + std::to_string(info.data_size) +
                " bytes of samples, the file holds " + std::to_string(present) + "; the song ends there";
            show_message(services, true, Buttons::ok | Icon::warning, "%s",
                         job.lines[size_t(job.current)].note.c_str());
        }
    }
    job.source_rate = info.sample_rate;
    job.bytes_left = job.data_size;
    job.end_of_data = false;
    // A super-block is built in f passes for f = 1, 2 or 4 bytes per sample
    // frame (8 or 16-bit, mono or stereo), as other stations build it; for
    // larger frames in as many as the next power of two, so that a pass
    // never reads much more than 16384 x source rate / station rate bytes.
    // A pass reads the source frames of its output samples whole, so that
    // the next pass starts on a frame.
    const int f = job.layout.frame_bytes;
    job.pass_samples = kSuperBlockSamples / int(std::bit_ceil(unsigned(f)));
    const int64_t frames = int64_t(job.source_rate) * job.pass_samples / job.station_rate;
    job.pass_bytes = int(std::max<int64_t>(frames, 1) * f);
    job.input.resize(size_t(job.pass_bytes));
    return 1;
}

// Fills job.block through the filter: feeds it passes of source bytes until
// it has a whole super-block ready or the song has ended; the rest of the
// last block is silence. Returns the number of samples taken from the song,
// or -1 after refusing it.
int build_filtered_super_block(Services& services, SongJob& job) {
    int taken = job.resampler.take(job.block, kSuperBlockSamples);
    while (taken < kSuperBlockSamples && !job.resampler.drained()) {
        const uint32_t want = std::min<uint32_t>(uint32_t(job.pass_bytes), job.bytes_left);
        const size_t got = std::fread(job.input.data(), 1, want, job.source);
        job.bytes_left -= uint32_t(got);
        const bool last = got < size_t(job.pass_bytes) || job.bytes_left == 0;
        if (const char* reason = job.resampler.feed(job.input.data(), int(got), job.layout, last)) {
            refuse_filtering(services, job, reason);
            return -1;
        }
        taken += job.resampler.take(job.block + taken, kSuperBlockSamples - taken);
    }
    if (taken < kSuperBlockSamples) {
        job.end_of_data = true;
        std::memset(job.block + taken, 128, size_t(kSuperBlockSamples - taken));
    }
    return taken;
}

// Fills job.block from the source in passes of job.pass_samples, pass l
// making samples l * job.pass_samples onward. When the data runs out the
// rest of the block is silence. Returns the number of samples taken from
// the source.
int build_super_block(SongJob& job) {
    const int per_pass = job.pass_samples;
    for (int l = 0; l < kSuperBlockSamples / per_pass; ++l) {
        const uint32_t want = std::min<uint32_t>(uint32_t(job.pass_bytes), job.bytes_left);
        const size_t got = std::fread(job.input.data(), 1, want, job.source);
        job.bytes_left -= uint32_t(got);
        const bool short_read = got < size_t(job.pass_bytes);
        uint8_t* out = job.block + l * per_pass;
        const int made = convert_pcm(job.input.data(), int(got), job.layout, job.source_rate,
                                     uint32_t(job.station_rate), out, per_pass, short_read);
        if (short_read) {
            job.end_of_data = true;
            const int taken = l * per_pass + made;
            std::memset(job.block + taken, 128, size_t(kSuperBlockSamples - taken));
            return taken;
        }
    }
    return kSuperBlockSamples;
}

// Codes the eight frames of job.block into both files. Returns 1, or 0 when
// a write fails.
int write_super_block(Services& services, CodecState& codec, SongJob& job) {
    interleave_super_block(job.block, job.frames);
    for (int n = 0; n < kFramesPerSuperBlock; ++n) {
        set_rate(codec, job.station_rate, job.transfer_rate);
        int length = encode_frame(codec, job.frames[n], job.encoded);
        if (!write_sample_frame(job.destination.file, job.encoded, length)) return 0;
        set_rate(codec, job.station_rate, job.companion_transfer_rate);
        length = encode_frame(codec, job.frames[n], job.encoded);
        if (!write_sample_frame(job.companion.file, job.encoded, length)) return 0;
    }
    set_rate(codec, job.station_rate, job.transfer_rate);
    return 1;
}

int run_step(Services& services, CodecState& codec, SongJob& job) {
    const int total = int(job.lines.size());
    if (job.source == nullptr) {
        std::snprintf(job.status_text, sizeof job.status_text, "Compressing sample %d of %d (0%%)",
                      job.current + 1, total);
        job.percent = 0;
        for (; job.current < total; ++job.current) {
            SongLine& line = job.lines[size_t(job.current)];
            if (line.status == SONG_DONE || line.status == SONG_REFUSED) continue;
            if (!job.force && up_to_date(job, line)) {
                line.status = SONG_DONE;
                continue;
            }
            break;
        }
        if (job.current >= total) return finish(job);
        if (!open_song(services, job)) return close_song(services, job);
    }

    // The filter may still hold the song's last samples when all was read.
    if (job.end_of_data || (job.bytes_left == 0 && !job.resampler.is_open()))
        return close_song(services, job);

    SongLine& line = job.lines[size_t(job.current)];
    line.status = line.status == SONG_BUSY ? SONG_WAITING : SONG_BUSY;

    // A source that ends before its data chunk says gives no samples at the
    // end; a super-block of pure silence would only lengthen the song.
    const int made =
        job.resampler.is_open() ? build_filtered_super_block(services, job) : build_super_block(job);
    if (made < 0) return close_song(services, job);
    if (made > 0 && !write_super_block(services, codec, job)) {
        refuse_song(services, job, kCannotWrite, line.destination,
                    "cannot write " + line.destination + ": " + std::strerror(errno));
        return close_song(services, job);
    }

    const int64_t done = int64_t(job.data_size) - job.bytes_left;
    job.percent = job.data_size ? int(std::min<int64_t>(done * 100 / job.data_size, 100)) : 100;
    std::snprintf(job.status_text, sizeof job.status_text, "Compressing sample %d of %d (%d%%)",
                  job.current + 1, total, job.percent);
    return SONG_JOB_RUNNING;
}

void reset_job(Services& services, CodecState& codec, SongJob& job) {
    abandon_song(job);
    job.lines.clear();
    job.current = 0;
    job.script_path.clear();
    job.problem.clear();
    job.script_problems.clear();
    job.script_entries = 0;
    job.kept_rate_percent = 0;
    job.saved_rate_percent = codec.rate_percent;
    job.compressing = false;
    job.in_step = false;
    job.percent = 0;
    std::snprintf(job.status_text, sizeof job.status_text, "Compressing samples for broadcasting...");
}

}  // namespace

SongJob::~SongJob() { abandon_song(*this); }

std::string played_song_name(const std::string& song) {
    return song.size() >= 3 ? song.substr(0, song.size() - 3) + "VMA" : song;
}

std::string compressed_song_problem(const std::string& path, int sampling_rate) {
    std::string why;
    FILE* f = open_regular_file(path.c_str(), &why);
    if (f == nullptr) return path + ": " + why;
    SampleFileHeader header;
    const bool read = read_sample_header(f, header) == 1;
    std::fclose(f);
    if (!read || !header.magic_ok) return path + ": not a compressed sample file";
    if (header.sampling_rate != uint32_t(sampling_rate))
        return path + ": compressed at " + std::to_string(header.sampling_rate) + " Hz, the station runs at " +
               std::to_string(sampling_rate) + " Hz";
    if (check_sample_file(path.c_str(), sampling_rate) != SAMPLE_USABLE)
        return path + ": its frames do not add up (the file is cut off or damaged)";
    return "";
}

void song_rate_codes(int sampling_rate, int transfer_rate, int* main_code, int* companion_code) {
    CodecState probe;
    set_rate(probe, sampling_rate, transfer_rate);
    *main_code = probe.rate_percent;
    *companion_code = transfer_rate > 0 ? int(int64_t(std::min(2 * transfer_rate, COMPANION_RATE_CAP)) *
                                              probe.rate_percent / transfer_rate)
                                        : 0;
}

// Rate codes alone would pass over a song that was changed, or another
// song compressed to the same name: the files must also not be older than
// the source and carry the record of having been made from it.
std::string song_out_of_date(const std::string& source, const std::string& destination,
                             int sampling_rate, int main_code, int companion_code) {
    const int64_t source_time = modified_ns(source);
    for (const std::string& output : {destination, companion_name(destination)}) {
        const int code = output == destination ? main_code : companion_code;
        if (access(output.c_str(), F_OK) != 0) return output + " is missing";
        if (!header_matches(output, sampling_rate, code))
            return output + " was not made at " + std::to_string(sampling_rate) + " Hz with rate code " +
                   std::to_string(code);
        if (source_time < 0 || modified_ns(output) < source_time)
            return output + " is older than " + source;
        if (!made_from(output, source)) return output + " was not made from " + source;
    }
    return "";
}

int open_song_job(Services& services, CodecState& codec, const StreamRate& rate, SongJob& job,
                  const char* script_path) {
    reset_job(services, codec, job);
    job.script_path = script_path ? script_path : "";

    ScriptText text;
    std::string why = "no script is named";
    if (job.script_path.empty() || !read_script_text(job.script_path.c_str(), text, &why)) {
        show_message(services, true, Buttons::ok | Icon::error, kCannotOpen,
                     job.script_path.c_str());
        job.problem = "cannot read " + job.script_path + ": " + why;
        return -1;
    }

    int position = 0;
    int declared = 0;
    char word[SCRIPT_TEXT_SIZE];
    parse_script_line(services, text.bytes.data(), &position, &declared, nullptr, nullptr, word);
    // The header is rewritten below; a file that is not a script (a live
    // list, a song named by mistake) must be left as it is.
    if (std::strcmp(word, "SCRIPT") != 0) {
        show_refusal(services, "Invalid Script!");
        job.problem = job.script_path + " is not a script: its first line does not end in \"SCRIPT\"";
        return -1;
    }
    const int wanted = std::clamp(declared, 0, SCRIPT_MAX_ENTRIES);
    if (declared < 1) job.script_problems.push_back({1, "the header announces " + std::to_string(declared) + " songs"});

    int waiting = 0;
    int line_number = 1;
    char song[SCRIPT_NAME_SIZE], picture[SCRIPT_NAME_SIZE], rest[SCRIPT_TEXT_SIZE];
    while (position < text.length) {
        const int line_start = position;
        ++line_number;
        int count = 0;
        if (!parse_script_line(services, text.bytes.data(), &position, &count, song, picture, rest))
            continue;
        if (job.script_entries >= wanted) {
            job.script_problems.push_back(
                {line_number, "beyond the " + std::to_string(wanted) + " songs the header announces"});
            continue;
        }
        ++job.script_entries;
        SongLine line;
        line.script_line = line_number;
        line.source = resolve_beside(job.script_path, song);  // as the station finds it
        int song_length = 0, picture_length = 0;
        script_name_lengths(text.bytes.data(), line_start, &song_length, &picture_length);
        if (picture_length >= SCRIPT_NAME_SIZE)
            job.script_problems.push_back({line_number, "the picture name is longer than " +
                                                            std::to_string(SCRIPT_NAME_SIZE - 1) + " characters"});
        if (song_length >= SCRIPT_NAME_SIZE) {
            line.status = SONG_REFUSED;
            line.problem = "the song name is longer than " + std::to_string(SCRIPT_NAME_SIZE - 1) + " characters";
        } else if (song[0] == '\0') {
            line.status = SONG_REFUSED;
            line.problem = "no song is named";
        } else if (ends_with_wav(song)) {
            line.destination = line.source.substr(0, line.source.size() - 4) + ".VMA";
            ++waiting;
        } else {
            line.destination = played_song_name(line.source);
            line.problem = compressed_song_problem(line.destination, rate.SamplingRate);
            line.status = line.problem.empty() ? SONG_DONE : SONG_REFUSED;
            if (line.status == SONG_DONE)
                job.kept_rate_percent = std::max(job.kept_rate_percent, file_rate_code(line.destination.c_str()));
        }
        job.lines.push_back(std::move(line));
    }

    // With no compressed song to tell a percentage, "000" would make a
    // script that no loader takes (a broadcast of it needs a bit rate); the
    // songs will be compressed at the station's own.
    const int percent =
        job.kept_rate_percent > 0 ? job.kept_rate_percent : stream_rate_percent(rate);
    if (!rewrite_script_header(job.script_path.c_str(), declared, rate.SamplingRate, percent)) {
        show_message(services, true, Buttons::ok | Icon::error, kCannotWrite,
                     job.script_path.c_str());
        job.script_problems.push_back({1, "the header could not be rewritten with the station's rates"});
    }
    return waiting;
}

void open_conversion_job(Services& services, CodecState& codec, SongJob& job, const std::string& source,
                         const std::string& destination) {
    reset_job(services, codec, job);
    add_song_line(job, source, destination);
}

void add_song_line(SongJob& job, const std::string& source, const std::string& destination) {
    job.lines.push_back(SongLine{SONG_WAITING, source, song_destination_name(destination), "", "", 0});
}

std::string song_line_text(const SongLine& line) {
    std::string text = std::string(1, line.status) + " " + line.source;
    if (text.size() < size_t(SONG_LINE_DESTINATION_COLUMN))
        text.resize(size_t(SONG_LINE_DESTINATION_COLUMN), ' ');
    return text + line.destination;
}

int start_song_job(Services& services, CodecState& codec, const StreamRate& rate, SongJob& job) {
    if (job.lines.empty()) return 0;
    job.station_rate = rate.SamplingRate;
    job.transfer_rate = rate.TransferRate;
    job.companion_transfer_rate = job.transfer_rate < COMPANION_RATE_CAP
                                      ? std::min(2 * job.transfer_rate, COMPANION_RATE_CAP)
                                      : job.transfer_rate;
    set_rate(codec, job.station_rate, job.transfer_rate);
    song_rate_codes(job.station_rate, job.transfer_rate, &job.main_rate_code, &job.companion_rate_code);
    job.kept_rate_percent = std::max(job.kept_rate_percent, job.main_rate_code);
    job.current = 0;
    job.compressing = true;
    if (!job.script_path.empty() &&
        !rewrite_script_header(job.script_path.c_str(), int(job.lines.size()), job.station_rate,
                               job.kept_rate_percent))
        show_message(services, true, Buttons::ok | Icon::error, kCannotWrite,
                     job.script_path.c_str());
    return 1;
}

int song_job_step(Services& services, CodecState& codec, SongJob& job) {
    if (job.in_step || !job.compressing) return SONG_JOB_IDLE;
    job.in_step = true;
    const int result = run_step(services, codec, job);
    job.in_step = false;
    return result;
}

int cancel_song_job(Services& services, CodecState& codec, SongJob& job) {
    if (job.compressing) {
        if (show_message(services, false, Buttons::yes_no | Icon::error, "%s", CANCEL_QUESTION) !=
            Answer::yes)
            return 0;
        job.compressing = false;
    }
    end_song_job(services, codec, job);
    return 1;
}

void end_song_job(Services& services, CodecState& codec, SongJob& job) {
    abandon_song(job);
    job.compressing = false;
    codec.rate_percent = job.saved_rate_percent;
}

int refused_songs(const SongJob& job) {
    return int(std::count_if(job.lines.begin(), job.lines.end(),
                             [](const SongLine& line) { return line.status == SONG_REFUSED; }));
}

int rewrite_script_header(const char* path, int count, int sampling_rate, int percent) {
    const std::string header_line = script_header(count, sampling_rate, percent);
    const char* header = header_line.c_str();
    const int header_length = int(header_line.size());

    FILE* f = open_regular_file(path);
    if (f == nullptr) return 0;
    std::vector<char> old;
    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) old.insert(old.end(), buffer, buffer + got);
    const bool read_failed = std::ferror(f) != 0;
    std::fclose(f);
    if (read_failed) return 0;

    const auto zero = std::find(old.begin(), old.end(), '\0');
    if (zero - old.begin() == header_length) {
        // Same length: the old line's zero byte stays where it is.
        f = std::fopen(path, "r+b");
        if (f == nullptr) return 0;
        bool ok = std::fwrite(header, 1, size_t(header_length), f) == size_t(header_length);
        if (std::fclose(f) != 0) ok = false;
        return ok ? 1 : 0;
    }

    // Another length: the whole file anew, swapped in by a rename so that a
    // failure half-way never leaves a broken script behind.
    OutputFile out;
    if (!begin_output(out, path)) return 0;
    bool ok = std::fwrite(header, 1, size_t(header_length) + 1, out.file) == size_t(header_length) + 1;
    if (zero != old.end()) {
        const size_t rest = size_t(old.end() - zero - 1);
        ok = ok && std::fwrite(&*zero + 1, 1, rest, out.file) == rest;
    }
    return ok && commit_output(out) ? 1 : 0;
}
