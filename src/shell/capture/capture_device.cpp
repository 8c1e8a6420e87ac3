#include "shell/capture/capture_device.h"

#include <algorithm>
#include <cstring>

#include "base/host.h"

namespace {

// Behind the clock by more than this, a card counts as stopped.
constexpr int64_t kStalledMs = 1000;
constexpr int kReopenMs = 2000;
// A paced source late by more than this (a suspended machine) skips ahead.
constexpr int64_t kLongestCatchUpMs = 2000;
constexpr uint8_t kSilence = 128;
// The card's program stream may come in later chunks than its 8-bit one.
constexpr int kProgramCushionMs = 200;
// More than this waiting beyond the cushion (the streams started apart, or
// no buffer was queued): the oldest go.
constexpr int kProgramLeadMs = 500;

}  // namespace

CaptureDevice::CaptureDevice(std::unique_ptr<CaptureSource> source, Returned returned,
                             std::function<void(const std::string&)> notice)
    : source_(std::move(source)), returned_(std::move(returned)), notice_(std::move(notice)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { fill_due_buffers(); });
    reopen_timer_.setInterval(kReopenMs);
    connect(&reopen_timer_, &QTimer::timeout, this, [this] {
        // Opened again; its first samples end the silence (take_samples).
        source_->close();
        std::string error;
        if (source_->open(rate_, error) == CaptureAnswer::ok) follow_program_format();
    });
    source_->deliver = [this](const uint8_t* data, int count) { take_samples(data, count); };
    source_->fault = [this](const std::string& reason) { source_fault(reason); };
    source_->deliver_program = [this](const int16_t* samples, int frames) {
        take_program(samples, frames);
    };
}

CaptureDevice::~CaptureDevice() { close(); }

CaptureAnswer CaptureDevice::query(int rate) { return source_->query(rate); }

CaptureAnswer CaptureDevice::open(int rate, char* error_text, int error_size) {
    std::string error;
    CaptureAnswer answer = source_->open(rate, error);
    snprintf(error_text, static_cast<size_t>(error_size), "%s", error.c_str());
    if (answer == CaptureAnswer::ok) {
        rate_ = rate;
        program_rate_ = source_->program_rate();
        program_channels_ = program_rate_ > 0 ? std::clamp(source_->program_channels(), 0, 2) : 0;
    }
    return answer;
}

void CaptureDevice::add_buffer(int id, uint8_t* data, int length) {
    queue_.push_back({id, data, length, 0});
    if (running_ && !timer_.isActive()) timer_.start(0);
}

void CaptureDevice::start() {
    running_ = true;
    faulty_ = false;
    samples_given_ = 0;
    program_.clear();
    samples_returned_ = 0;
    program_frames_returned_ = 0;
    program_flowing_ = false;
    clock_.start();
    timer_.start(0);
}

void CaptureDevice::give_back(const Buffer& buffer, bool full) {
    std::vector<int16_t> program;
    if (full && program_channels_ > 0) program = program_for(buffer.filled);
    // Posted, as a sound card's notification: the core never runs inside our call.
    QMetaObject::invokeMethod(
        this,
        [this, buffer, program = std::move(program), channels = program_channels_,
         rate = program_rate_] {
            ProgramAudio audio{program.data(),
                               static_cast<int>(program.size()) / std::max(channels, 1), channels,
                               rate};
            returned_(buffer.id, buffer.filled, program.empty() ? nullptr : &audio);
        },
        Qt::QueuedConnection);
}

void CaptureDevice::follow_program_format() {
    const int channels = std::clamp(source_->program_channels(), 0, 2);
    const int rate = source_->program_rate();
    // Without a program now, the outputs keep the old format, in silence.
    if (program_channels_ == 0 || channels == 0 || rate <= 0) return;
    if (channels == program_channels_ && rate == program_rate_) return;
    program_channels_ = channels;
    program_rate_ = rate;
    program_.clear();
    samples_returned_ = 0;
    program_frames_returned_ = 0;
    program_flowing_ = false;
}

void CaptureDevice::take_program(const int16_t* samples, int frames) {
    if (!running_ || program_channels_ == 0 || frames <= 0) return;
    program_.insert(program_.end(), samples,
                    samples + static_cast<size_t>(frames) * program_channels_);
    const size_t most = static_cast<size_t>(program_rate_) * 2 * program_channels_;  // 2 seconds
    if (program_.size() > most)
        program_.erase(program_.begin(), program_.end() - static_cast<long>(most));
}

// The program's frames for `samples` more 8-bit samples of playing time.
std::vector<int16_t> CaptureDevice::program_for(int samples) {
    samples_returned_ += samples;
    const int64_t due = samples_returned_ * program_rate_ / rate_;
    const int64_t frames = due - program_frames_returned_;
    program_frames_returned_ = due;
    const int64_t channels = program_channels_;
    const int64_t cushion =
        source_->paced() ? 0 : int64_t{program_rate_} * kProgramCushionMs / 1000;
    std::vector<int16_t> out(static_cast<size_t>(frames * channels), 0);
    int64_t waiting = static_cast<int64_t>(program_.size()) / channels;
    if (!program_flowing_) program_flowing_ = waiting >= cushion + frames;
    if (program_flowing_) {
        const int64_t n = std::min(frames, waiting);
        std::copy(program_.begin(), program_.begin() + n * channels, out.begin());
        program_.erase(program_.begin(), program_.begin() + n * channels);
        waiting -= n;
        if (n < frames) program_flowing_ = false;  // silence until the cushion is back
    }
    const int64_t most = cushion + int64_t{program_rate_} * kProgramLeadMs / 1000;
    if (waiting > most)
        program_.erase(program_.begin(), program_.begin() + (waiting - cushion) * channels);
    return out;
}

void CaptureDevice::fill_due_buffers() {
    if (!running_) return;
    int64_t due = clock_.nsecsElapsed() / 1000 * rate_ / 1000000;  // samples of playing time
    if (!source_->paced() && !faulty_) {
        // The card's own clock fills the buffers; ours only watches it.
        if (due - samples_given_ > kStalledMs * rate_ / 1000)
            source_fault("the recording device stopped delivering");
        else
            timer_.start(static_cast<int>(kStalledMs / 2));
        return;
    }
    // A stall of the machine is skipped, not made up in a burst.
    if (due - samples_given_ > kLongestCatchUpMs * rate_ / 1000) samples_given_ = due;
    while (!queue_.empty() && samples_given_ + queue_.front().length <= due) {
        Buffer buffer = queue_.front();
        queue_.pop_front();
        if (faulty_) memset(buffer.data, kSilence, static_cast<size_t>(buffer.length));
        else source_->read(buffer.data, buffer.length);
        buffer.filled = buffer.length;
        samples_given_ += buffer.length;
        give_back(buffer);
    }
    if (queue_.empty()) return;  // add_buffer starts the timer again
    int64_t next = (samples_given_ + queue_.front().length) * 1000000 / rate_;  // microseconds
    int64_t wait_ms = (next - clock_.nsecsElapsed() / 1000 + 999) / 1000;
    timer_.start(static_cast<int>(std::max<int64_t>(wait_ms, 0)));
}

void CaptureDevice::take_samples(const uint8_t* data, int count) {
    if (!running_) return;
    if (faulty_) {
        faulty_ = false;
        reopen_timer_.stop();
        if (notice_) notice_("live capture: the recording device delivers again");
        for (Buffer& buffer : queue_) buffer.filled = 0;
        samples_given_ = clock_.nsecsElapsed() / 1000 * rate_ / 1000000;
        timer_.start(static_cast<int>(kStalledMs / 2));  // back to watching the card
    }
    while (count > 0 && !queue_.empty()) {
        Buffer& buffer = queue_.front();
        int n = std::min(count, buffer.length - buffer.filled);
        memcpy(buffer.data + buffer.filled, data, static_cast<size_t>(n));
        buffer.filled += n;
        data += n;
        count -= n;
        samples_given_ += n;
        if (buffer.filled == buffer.length) {
            give_back(buffer);
            queue_.pop_front();
        }
    }
    // Samples with no buffer to take them are lost, as on a card.
}

void CaptureDevice::source_fault(const std::string& reason) {
    if (faulty_ || !running_) return;
    faulty_ = true;
    fault_ = reason;
    source_->close();
    if (notice_)
        notice_("live capture: " + reason + "; sending silence and opening it again every " +
                std::to_string(kReopenMs / 1000) + " seconds");
    // Silence from the clock, from now on.
    samples_given_ = clock_.nsecsElapsed() / 1000 * rate_ / 1000000;
    for (Buffer& buffer : queue_) buffer.filled = 0;
    reopen_timer_.start();
    timer_.start(0);  // the clock fills them now
}

void CaptureDevice::reset() {
    running_ = false;
    timer_.stop();
    reopen_timer_.stop();
    for (const Buffer& buffer : queue_) give_back(buffer, false);
    queue_.clear();
}

void CaptureDevice::close() {
    reset();
    source_->close();
}
