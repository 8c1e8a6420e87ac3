#include "media/song_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "codec/codec_frame.h"
#include "codec/super_block.h"
#include "codec/wav_reader.h"
#include "media/sample_compression.h"
#include "media/script_table.h"
#include "platform/source_record.h"

namespace {

// What a usable source holds: its samples' layout, where they are, how many.
struct SourceFormat {
    PcmLayout layout;
    int64_t data_offset = 0;
    int64_t data_frames = 0;
    uint32_t rate = 0;
};

// Opens `name` at its first sample when the outputs can take its samples:
// integer PCM or float the preparation reads, one or two channels.
FILE* open_source(const std::string& name, SourceFormat& format) {
    OwnedFile file(open_regular_file(name.c_str()));
    WavInfo info;
    struct stat st;
    if (!file || read_wav_header(file.get(), info) != WAV_OK || !info.has_format ||
        !wav_format_problem(info).empty() || info.channels < 1 || info.channels > 2 ||
        info.sample_rate < SOURCE_RATE_MIN || info.sample_rate > SOURCE_RATE_MAX ||
        fstat(fileno(file.get()), &st) != 0)
        return nullptr;
    format.layout =
        pcm_layout(info.channels, info.bits_per_sample, info.sample_format == WAV_FORMAT_FLOAT);
    format.data_offset = info.data_offset;
    // A cut-off copy holds less than its header says: what is there is read.
    const int64_t bytes = std::min<int64_t>(info.data_size, st.st_size - info.data_offset);
    format.data_frames = std::max<int64_t>(bytes, 0) / format.layout.frame_bytes;
    format.rate = info.sample_rate;
    return file.release();
}

}  // namespace

std::string song_source_name(const std::string& song) {
    if (song.size() < 4) return "";
    for (const char* extension : {"wav", "WAV"}) {
        const std::string source = song.substr(0, song.size() - 3) + extension;
        if (made_from(song, source)) return source;
    }
    return "";
}

int script_source_channels(const ScriptTable& script) {
    if (!script.loaded) return 1;
    const size_t entries =
        std::min(size_t(std::max(script.script_entries, 0)), script.entries.size());
    for (size_t i = 0; i < entries; ++i) {
        const std::string source = song_source_name(script.entries[i].song);
        SourceFormat format;
        OwnedFile file(source.empty() ? nullptr : open_source(source, format));
        if (file && format.layout.channels == 2) return 2;
    }
    return 1;
}

bool SongSource::open(const std::string& song, int sampling_rate) {
    close();
    name_ = song_source_name(song);
    SourceFormat format;
    if (name_.empty() || sampling_rate <= 0) return false;
    file_.reset(open_source(name_, format));
    if (!file_) return false;
    layout_ = format.layout;
    data_offset_ = format.data_offset;
    data_frames_ = format.data_frames;
    source_rate_ = format.rate;
    sampling_rate_ = sampling_rate;
    frame_index_ = position_ = 0;
    return true;
}

bool SongSource::rewind() {
    frame_index_ = position_ = 0;
    if (file_ && fseeko(file_.get(), data_offset_, SEEK_SET) != 0) close();
    return is_open();
}

bool SongSource::next(ProgramAudio& out, std::string& why) {
    out = ProgramAudio{};
    if (!file_) return false;
    if (frame_index_ % kFramesPerSuperBlock == 0) samples_.clear();
    ++frame_index_;
    const int64_t end = frame_index_ * kFrameSamples * source_rate_ / sampling_rate_;
    const int64_t present = std::clamp<int64_t>(data_frames_ - position_, 0, end - position_);
    const int channels = layout_.channels;
    const size_t from = samples_.size();
    samples_.resize(from + size_t((end - position_) * channels), 0);  // silence past the end
    position_ = end;

    bytes_.resize(size_t(present * layout_.frame_bytes));
    errno = 0;
    if (std::fread(bytes_.data(), 1, bytes_.size(), file_.get()) != bytes_.size()) {
        why = std::ferror(file_.get()) && errno != 0 ? std::strerror(errno)
                                                     : "the file was cut short";
        close();
        return false;
    }
    for (int64_t i = 0; i < present * channels; ++i)
        samples_[from + size_t(i)] =
            int16_t(pcm_sample16(&bytes_[size_t(i * layout_.sample_bytes)], layout_));
    if (frame_index_ % kFramesPerSuperBlock == 0) {
        out.samples = samples_.data();
        out.frames = int(samples_.size() / size_t(channels));
        out.channels = channels;
        out.rate = int(source_rate_);
    }
    return true;
}
