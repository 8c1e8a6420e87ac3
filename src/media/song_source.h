#pragma once
// A compressed song's source WAV, read for the outputs in step with the
// song's frames: the outputs' listeners hear the source at its own rate,
// channels and resolution where the UDP listeners get the codec's frames.
//
// The source of "dir/song.VMA" is "dir/song.wav" (or ".WAV"), the file
// velmora-compress prepared it from. It is used only while it is unchanged
// since: the song file holds the record of the source's size and
// modification time that velmora-compress kept (platform/source_record.h),
// and both still match. A touched, replaced or missing source, a song
// prepared elsewhere or copied without its record, or a source of more than
// two channels leaves the outputs on the decoded frames.

#include <cstdint>
#include <string>
#include <vector>

#include "media/program_audio.h"
#include "media/wave_conversion.h"
#include "platform/safe_files.h"

struct ScriptTable;

// The source WAV `song` was prepared from when it is there and unchanged
// since; "" otherwise.
std::string song_source_name(const std::string& song);

// The outputs' channels for a script: 2 when a song of it has a usable
// stereo source, else 1.
int script_source_channels(const ScriptTable& script);

class SongSource {
public:
    // Opens the source of `song`, played at `sampling_rate`, at its first
    // sample. False (and closed) when there is no usable source.
    bool open(const std::string& song, int sampling_rate);
    void close() { file_.reset(); }
    bool is_open() const { return file_ != nullptr; }
    // The song starts again (a repeat): back to the first sample.
    bool rewind();
    // The song's next frame goes out. Its stretch of the source is read
    // (frame n: source frames n x 2048 x source rate / sampling rate up to
    // those of frame n + 1; past the end of the samples, silence) and kept
    // until the super-block's eighth frame: then `out` holds the whole
    // super-block's stretch, as the listeners decode the super-block then,
    // and else no frames. False after a read that failed, with the cause in
    // `why` (the source is then closed).
    bool next(ProgramAudio& out, std::string& why);

    const std::string& name() const { return name_; }

private:
    OwnedFile file_;
    std::string name_;
    PcmLayout layout_;
    int64_t data_offset_ = 0;
    int64_t data_frames_ = 0;  // whole sample frames of the data chunk the file holds
    int64_t source_rate_ = 0;
    int64_t sampling_rate_ = 0;
    int64_t frame_index_ = 0;  // of the song's next frame
    int64_t position_ = 0;     // source frames read
    std::vector<uint8_t> bytes_;
    std::vector<int16_t> samples_;  // of the super-block so far
};
