#include "stream/program_archive.h"

#include <dirent.h>
#include <fcntl.h>
#include <opus/opusenc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/free_with.h"
#include "base/host.h"
#include "base/messages.h"
#include "base/station_identity.h"
#include "media/program_frames.h"

namespace {

std::string error_text(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// Days since 1970 of a civil date (the proleptic Gregorian calendar).
int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t of_era = year - era * 400;
    const int64_t of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t of_cycle = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
    return era * 146097 + of_cycle - 719468;
}

bool digits(const std::string& text, size_t from, size_t count) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// The names the archive gives its files: "1400.opus", "1400-2.opus" (a
// second broadcast in one hour), and either with ".tmp" while written.
bool archive_file_name(const std::string& name) {
    if (!digits(name, 0, 4)) return false;
    size_t at = 4;
    if (at < name.size() && name[at] == '-') {
        const size_t first = ++at;
        while (digits(name, at, 1)) ++at;
        if (at == first) return false;
    }
    const std::string rest = name.substr(at);
    return rest == ".opus" || rest == ".opus.tmp";
}

// The local hour a time falls in.
struct LocalHour {
    int64_t day = 0;  // since 1970
    int hour = 0;
    std::string day_name;  // "2026-12-08"
    int64_t key() const { return day * 24 + hour; }
};

LocalHour local_hour(int64_t time) {
    const time_t t = static_cast<time_t>(time);
    tm local{};
    localtime_r(&t, &local);
    char name[32];
    snprintf(name, sizeof name, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday);
    return {days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday), local.tm_hour,
            name};
}

using OpusEncoderHandle = std::unique_ptr<OggOpusEnc, FreeWith<ope_encoder_destroy>>;
using OpusCommentsHandle = std::unique_ptr<OggOpusComments, FreeWith<ope_comments_destroy>>;

using Shared = ProgramArchive::Shared;
using Item = ProgramArchive::Item;

// The writer's thread: one hour's file open at a time, the Opus encoder
// writing its pages straight into it.
class ArchiveWriter {
   public:
    ArchiveWriter(std::shared_ptr<Shared> shared, Host* host, std::string folder,
                  std::string station, int channels, int keep_days)
        : shared_(std::move(shared)),
          host_(host),
          folder_(std::move(folder)),
          station_(std::move(station)),
          channels_(channels),
          keep_days_(keep_days),
          resampler_(PROGRAM_OUTPUT_RATE, channels) {}

    void run(int sampling_rate) {
        std::vector<int16_t> wide;
        ProgramFrameDecoder frames;
        for (;;) {
            Item item;
            {
                std::unique_lock<std::mutex> lock(shared_->mutex);
                shared_->wake.wait(lock,
                                   [&] { return shared_->finishing || !shared_->items.empty(); });
                if (shared_->items.empty()) break;  // finishing, all written
                item = std::move(shared_->items.front());
                shared_->items.pop_front();
                shared_->queued_bytes -= item.bytes.size() + 2 * item.audio.size();
            }
            if (failed_) continue;
            if (item.kind == Item::Kind::title) {
                title_ = item.text;
            } else if (item.kind == Item::Kind::frame) {
                frames.add(item.seq, item.bytes.data(), static_cast<int>(item.bytes.size()),
                           [&](const uint8_t* samples, int count) {
                               widen_samples(samples, count, wide);
                               write({wide.data(), count, 1, sampling_rate}, item.time);
                           });
            } else {
                write({item.audio.data(), static_cast<int>(item.audio.size()) / item.channels,
                       item.channels, item.rate},
                      item.time);
            }
        }
        if (!failed_ && encoder_) finish();
    }

   private:
    // Audio that played at `time`: into the file of its hour, its stream
    // titled with the song text it played under.
    void write(const ProgramAudio& audio, int64_t time) {
        const LocalHour hour = local_hour(time);
        if (encoder_ && hour.key() != hour_key_ && !finish()) return;
        if (!encoder_ && !open(hour)) return;
        if (title_ != stream_title_) {
            OpusCommentsHandle comments = tags();
            ope_encoder_chain_current(encoder_.get(), comments.get());
            stream_title_ = title_;
            if (write_error_) {
                write_failed();
                return;
            }
        }
        pcm_.clear();
        resampler_.convert(audio, pcm_);
        ope_encoder_write(encoder_.get(), pcm_.data(), static_cast<int>(pcm_.size()) / channels_);
        if (write_error_) write_failed();
    }

    OpusCommentsHandle tags() const {
        OpusCommentsHandle comments(ope_comments_create());
        if (!title_.empty()) ope_comments_add(comments.get(), "TITLE", title_.c_str());
        if (!station_.empty()) ope_comments_add(comments.get(), "ORGANIZATION", station_.c_str());
        return comments;
    }

    // A new file for `hour`, under its temporary name.
    bool open(const LocalHour& hour) {
        remove_old_archive_days(folder_, hour.day, keep_days_);
        const std::string day = folder_ + "/" + hour.day_name;
        struct stat info {};
        if (mkdir(day.c_str(), 0755) != 0 &&
            (errno != EEXIST || stat(day.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
            return fail("cannot make the folder " + day + ": " +
                        error_text(errno == EEXIST ? ENOTDIR : errno));
        // A second broadcast within the hour keeps the first one's file.
        for (int n = 1; path_.empty() && n < 1000; ++n) {
            char base[32];
            if (n == 1)
                snprintf(base, sizeof base, "/%02d00.opus", hour.hour);
            else
                snprintf(base, sizeof base, "/%02d00-%d.opus", hour.hour, n);
            const std::string name = day + base;
            if (lstat(name.c_str(), &info) != 0 && lstat((name + ".tmp").c_str(), &info) != 0)
                path_ = name;
        }
        if (path_.empty()) return fail("no free file name for the hour in " + day);
        const std::string temp = path_ + ".tmp";
        fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            const int error = errno;
            path_.clear();
            return fail("cannot make " + temp + ": " + error_text(error));
        }
        whole_bytes_ = 0;
        static const OpusEncCallbacks callbacks = {write_page, close_pages};
        OpusCommentsHandle comments = tags();
        int error = 0;
        encoder_.reset(ope_encoder_create_callbacks(&callbacks, this, comments.get(),
                                                    PROGRAM_OUTPUT_RATE, channels_, 0, &error));
        if (!encoder_)
            return fail(std::string("the Opus encoder cannot start: ") + ope_strerror(error));
        ope_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(ARCHIVE_BITRATE * 1000));
        stream_title_ = title_;
        hour_key_ = hour.key();
        return true;
    }

    // Writes out the open file and renames it into place.
    bool finish() {
        ope_encoder_drain(encoder_.get());
        encoder_.reset();
        if (write_error_) return write_failed();
        const std::string temp = path_ + ".tmp";
        if (fdatasync(fd_) != 0) return write_failed(errno);
        const int closed = ::close(fd_);
        fd_ = -1;
        if (closed != 0) return write_failed(errno);
        if (rename(temp.c_str(), path_.c_str()) != 0)
            return fail("cannot rename " + temp + ": " + error_text(errno));
        path_.clear();
        std::lock_guard<std::mutex> lock(shared_->mutex);
        ++shared_->files;
        return true;
    }

    // A write failed (a full disk): the file keeps its whole pages, a
    // playable recording up to there, under its own name.
    bool write_failed(int error = 0) {
        if (!error) error = write_error_;
        encoder_.reset();
        const std::string temp = path_ + ".tmp";
        std::string what = "cannot write " + temp + ": " + error_text(error);
        bool kept = whole_bytes_ > 0;
        if (fd_ >= 0) {
            kept = kept && ftruncate(fd_, whole_bytes_) == 0;
            ::close(fd_);
            fd_ = -1;
        }
        if (kept && rename(temp.c_str(), path_.c_str()) == 0)
            what += "; " + path_ + " keeps what was written before";
        else
            unlink(temp.c_str());
        path_.clear();
        return fail(what);
    }

    bool fail(const std::string& what) {
        failed_ = true;
        encoder_.reset();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->failed = true;
            shared_->last_error = what;
            shared_->message = "The archive stops: " + what + ". The broadcast goes on.";
            shared_->items.clear();
            shared_->queued_bytes = 0;
        }
        host_->post_output_event();
        return false;
    }

    static int write_page(void* user, const unsigned char* page, opus_int32 length) {
        auto* writer = static_cast<ArchiveWriter*>(user);
        if (writer->write_error_) return 1;
        for (opus_int32 done = 0; done < length;) {
            const ssize_t wrote =
                ::write(writer->fd_, page + done, static_cast<size_t>(length - done));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                writer->write_error_ = wrote < 0 ? errno : ENOSPC;
                return 1;
            }
            done += static_cast<opus_int32>(wrote);
        }
        writer->whole_bytes_ += length;
        std::lock_guard<std::mutex> lock(writer->shared_->mutex);
        writer->shared_->bytes += length;
        return 0;
    }
    static int close_pages(void*) { return 0; }

    std::shared_ptr<Shared> shared_;
    Host* host_;
    const std::string folder_, station_;
    const int channels_, keep_days_;
    ProgramResampler resampler_;
    std::vector<int16_t> pcm_;
    OpusEncoderHandle encoder_;  // while a file is open
    int fd_ = -1;
    std::string path_;  // the open file's name when complete
    int64_t hour_key_ = -1;
    off_t whole_bytes_ = 0;  // of the open file, in whole pages
    int write_error_ = 0;
    bool failed_ = false;
    std::string title_, stream_title_;
};

}  // namespace

// ---- the folder --------------------------------------------------------------

std::string archive_folder(const std::string& archive_dir, const std::string& settings_file) {
    if (archive_dir.empty() || archive_dir[0] == '/') return archive_dir;
    const size_t slash = settings_file.rfind('/');
    return slash == std::string::npos ? archive_dir
                                      : settings_file.substr(0, slash + 1) + archive_dir;
}

std::string archive_folder_problem(const std::string& folder, bool make) {
    struct stat info {};
    std::string existing = folder;
    if (make) {
        for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
            const std::string part = folder.substr(0, at);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return "cannot make the folder " + folder + ": " + error_text(errno);
            if (at == std::string::npos) break;
        }
    } else {
        while (stat(existing.c_str(), &info) != 0 && existing.size() > 1) {
            const size_t slash = existing.find_last_of('/', existing.size() - 2);
            existing = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : existing.substr(0, slash);
        }
    }
    if (stat(existing.c_str(), &info) != 0)
        return "cannot use the folder " + folder + ": " + error_text(errno);
    if (!S_ISDIR(info.st_mode))
        return "cannot make the folder " + folder + ": " + existing + " is not a folder";
    if (access(existing.c_str(), W_OK | X_OK) != 0)
        return "cannot write into the folder " + existing + ": " + error_text(errno);
    return "";
}

// Days since 1970 of a day folder's name ("2026-12-08"); false for any other name.
static bool archive_day_number(const std::string& name, int64_t* days) {
    if (name.size() != 10 || !digits(name, 0, 4) || name[4] != '-' || !digits(name, 5, 2) ||
        name[7] != '-' || !digits(name, 8, 2))
        return false;
    const int year = std::stoi(name.substr(0, 4)), month = std::stoi(name.substr(5, 2)),
              day = std::stoi(name.substr(8, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    *days = days_from_civil(year, month, day);
    return true;
}

int remove_old_archive_days(const std::string& folder, int64_t today, int keep_days) {
    if (keep_days <= 0) return 0;
    DIR* top = opendir(folder.c_str());
    if (!top) return 0;
    std::vector<std::string> old_days;
    while (dirent* entry = readdir(top)) {
        int64_t day = 0;
        if (archive_day_number(entry->d_name, &day) && today - day >= keep_days)
            old_days.push_back(folder + "/" + entry->d_name);
    }
    closedir(top);
    int removed = 0;
    for (const std::string& day : old_days) {
        struct stat info {};
        if (lstat(day.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
        DIR* files = opendir(day.c_str());
        if (!files) continue;
        std::vector<std::string> ours;
        while (dirent* entry = readdir(files))
            if (archive_file_name(entry->d_name)) ours.push_back(day + "/" + entry->d_name);
        closedir(files);
        for (const std::string& file : ours)
            if (lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                unlink(file.c_str()) == 0)
                ++removed;
        rmdir(day.c_str());  // stays while anything else is in it
    }
    return removed;
}

// ---- the output ----------------------------------------------------------------

ProgramArchive::ProgramArchive(const ArchiveSettings& settings) : settings_(settings) {}

ProgramArchive::~ProgramArchive() {
    if (running_) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->finishing = true;
    }
    if (shared_) shared_->wake.notify_one();
    if (writer_.joinable()) writer_.join();
    join_finished();
}

void ProgramArchive::join_finished() {
    for (std::thread& writer : finishing_) writer.join();
    finishing_.clear();
}

bool ProgramArchive::started(Services& services, const ProgramInfo& program) {
    // The last broadcast's file is complete before this one's opens.
    join_finished();
    title_.clear();
    if (settings_.ARCHIVE_DIR.empty()) return true;
    host_ = services.host;
    // The counts go on from the last broadcast's.
    auto shared = std::make_shared<Shared>();
    if (shared_) {
        shared->files = shared_->files;
        shared->bytes = shared_->bytes;
        shared->dropped = shared_->dropped;
    }
    shared_ = std::move(shared);
    const std::string folder = archive_folder(settings_.ARCHIVE_DIR, program.settings_file);
    const std::string problem = archive_folder_problem(folder, true);
    if (!problem.empty()) {
        shared_->failed = true;
        shared_->last_error = problem;
        services.host->notice(
            ("The archive stays off (ARCHIVE_DIR): " + problem + ". The broadcast goes on.")
                .c_str());
        return false;
    }
    running_ = true;
    writer_ =
        std::thread([shared = shared_, host = host_, folder, station = program.station.StationName,
                     channels = program.channels == 2 ? 2 : 1, days = settings_.ARCHIVE_DAYS,
                     rate = program.sampling_rate] {
            ArchiveWriter(shared, host, folder, station, channels, days).run(rate);
        });
    return true;
}

void ProgramArchive::stopped(Services&) {
    if (!running_) return;
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->finishing = true;
    }
    shared_->wake.notify_one();
    // It writes out what is queued and renames the file on its own.
    finishing_.push_back(std::move(writer_));
}

void ProgramArchive::queue(Item item) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->failed) return;
        shared_->queued_bytes += item.bytes.size() + 2 * item.audio.size();
        shared_->items.push_back(std::move(item));
        // The oldest audio goes first; a song text stays.
        for (auto at = shared_->items.begin();
             shared_->queued_bytes > ARCHIVE_QUEUE_BYTES && at != shared_->items.end();) {
            if (at->kind == Item::Kind::title) {
                ++at;
                continue;
            }
            shared_->queued_bytes -= at->bytes.size() + 2 * at->audio.size();
            at = shared_->items.erase(at);
            ++shared_->dropped;
        }
    }
    shared_->wake.notify_one();
}

// Without a running writer nothing is copied: these run for every frame
// and every captured block.
void ProgramArchive::program_frame(uint32_t seq, const uint8_t* frame, int length) {
    if (!running_ || length <= 0) return;
    Item item;
    item.kind = Item::Kind::frame;
    item.time = host_->time_now();
    item.seq = seq;
    item.bytes.assign(frame, frame + length);
    queue(std::move(item));
}

void ProgramArchive::program_audio(const ProgramAudio& audio) {
    if (!running_ || audio.frames <= 0 || audio.channels < 1 || audio.channels > 2) return;
    Item item;
    item.time = host_->time_now();
    item.audio.assign(audio.samples,
                      audio.samples + static_cast<size_t>(audio.frames) * audio.channels);
    item.channels = audio.channels;
    item.rate = audio.rate;
    queue(std::move(item));
}

void ProgramArchive::title(const char* text) {
    const std::string title = text ? text : "";
    if (!running_ || title == title_) return;
    title_ = title;
    Item item;
    item.kind = Item::Kind::title;
    item.text = title;
    queue(std::move(item));
}

void ProgramArchive::take_news(Services& services) {
    if (!shared_) return;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        message = std::move(shared_->message);
        shared_->message.clear();
    }
    if (!message.empty()) services.host->notice(message.c_str());
}

std::string ProgramArchive::status(const Services&) const {
    if (settings_.ARCHIVE_DIR.empty()) return "";
    if (!shared_) return "off";
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->failed ? "stopped" : running_ ? "recording" : "off";
}

std::vector<OutputValue> ProgramArchive::status_values() const {
    Shared none;
    Shared& s = shared_ ? *shared_ : none;
    std::lock_guard<std::mutex> lock(s.mutex);
    const char* state = s.failed ? "stopped" : running_ ? "recording" : "off";
    return {{"state", OutputValueKind::Text, 0, state,
             "the archive: recording, off, or stopped after a failure"},
            {"files_written", OutputValueKind::Counter, s.files, "",
             "hour files written out and renamed into place"},
            {"bytes_written", OutputValueKind::Counter, s.bytes, "",
             "bytes written into the archive's files"},
            {"dropped_blocks", OutputValueKind::Counter, s.dropped, "",
             "program blocks the writer's full queue let go"},
            {"last_error", OutputValueKind::Text, 0, s.last_error,
             "why the archive stopped; empty while it works"}};
}
