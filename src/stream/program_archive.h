#pragma once
// The archive of the program: ARCHIVE_DIR receives what the station plays
// as Ogg Opus files, one an hour of local time (YYYY-MM-DD/HH00.opus), each
// song text a chained stream with the text in its tags. A file is written
// under a temporary name (HH00.opus.tmp) and renamed when complete: at the
// hour's end and when the broadcast stops. The encoder and the files live
// on a thread of their own; the station's thread only queues the program
// for it (bounded) and never waits. A folder that cannot be written, or a
// full disk, stops the archive with one message; never the broadcast.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/program_sink.h"

class Host;

constexpr int ARCHIVE_DAYS_DEFAULT = 7;
constexpr int ARCHIVE_DAYS_MAX = 36500;
constexpr int ARCHIVE_DIR_MAX = 255;
// Some 29 MB an hour in stereo: close to the source, a week fits a small disk.
constexpr int ARCHIVE_BITRATE = 64;  // kbit/s
// The program waiting for the writer, at most: some 80 s of 48 kHz stereo.
// A full queue lets the oldest go (a disk that stalls that long).
constexpr size_t ARCHIVE_QUEUE_BYTES = 16u << 20;

// The archive's keys.
struct ArchiveSettings {
    std::string ARCHIVE_DIR;                  // empty: no archive
    int ARCHIVE_DAYS = ARCHIVE_DAYS_DEFAULT;  // day folders kept; 0 keeps them all
};

// The folder ARCHIVE_DIR names; a relative name starts from the settings
// file's folder.
std::string archive_folder(const std::string& archive_dir, const std::string& settings_file);
// Why the archive cannot write into `folder`, or "". With `make` the folder
// is made with its parents; without, the nearest existing one must be a
// folder this user may write into (the station would make the rest).
std::string archive_folder_problem(const std::string& folder, bool make);
// Removes the archive's day folders of `folder` dated `keep_days` or more
// days before `today` (days since 1970): in each folder named like a date
// only the files the archive names (HH00.opus, HH00-2.opus and their .tmp),
// then the folder when that left it empty. Returns the files removed.
int remove_old_archive_days(const std::string& folder, int64_t today, int keep_days);

// The archive as an output of the station.
class ProgramArchive final : public ProgramSink {
   public:
    explicit ProgramArchive(const ArchiveSettings& settings);
    ~ProgramArchive() override;
    ProgramArchive(const ProgramArchive&) = delete;
    ProgramArchive& operator=(const ProgramArchive&) = delete;

    std::string name() const override { return "Archive"; }
    bool started(Services& services, const ProgramInfo& program) override;
    void program_frame(uint32_t seq, const uint8_t* frame, int length) override;
    void program_audio(const ProgramAudio& audio) override;
    void title(const char* text) override;
    void picture(const PictureSlot&) override {}  // audio files without pictures
    void stopped(Services& services) override;
    void take_news(Services& services) override;
    std::string status(const Services& services) const override;
    std::vector<OutputValue> status_values() const override;

    // What the writer's thread works on (program_archive.cpp).
    struct Item {
        enum class Kind { frame, audio, title } kind = Kind::audio;
        int64_t time = 0;  // the station's wall clock when it played
        uint32_t seq = 0;
        std::vector<uint8_t> bytes;  // a frame
        std::vector<int16_t> audio;  // interleaved
        int channels = 1, rate = 0;
        std::string text;  // a title
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Item> items;
        size_t queued_bytes = 0;
        bool finishing = false;  // the broadcast stopped: write out what is queued, then end
        bool failed = false;     // the archive stopped: nothing is queued any more
        // The status, written by the writer.
        int64_t files = 0, bytes = 0, dropped = 0;
        std::string last_error;
        std::string message;  // for the operator, taken on the station's thread
    };

   private:
    void queue(Item item);
    void join_finished();

    const ArchiveSettings& settings_;
    Host* host_ = nullptr;
    std::shared_ptr<Shared> shared_;  // the running writer's, or the last one's
    bool running_ = false;
    bool off_told_ = false;  // the folder cannot be written: told at this start
    std::thread writer_;
    std::vector<std::thread> finishing_;  // writers still writing out a stopped broadcast
    std::string title_;
};
