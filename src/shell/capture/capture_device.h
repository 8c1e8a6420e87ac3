#pragma once
// The wave input of a front end: it keeps the buffers the core queues, fills
// them from a CaptureSource and posts each full one back to the event loop,
// exactly as a sound card returns its recording buffers. Sources without a
// clock are paced by the monotonic clock: one buffer of N samples each
// N / rate seconds, counted from the start, so nothing drifts.
//
// A source's 16-bit program for the outputs goes back with each full
// buffer: the stretch of the same playing time, at the program's own rate.
//
// A front end's Host forwards its capture_* calls here.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "media/program_audio.h"
#include "shell/capture/capture_source.h"

class CaptureDevice : public QObject {
    Q_OBJECT
public:
    // `returned` runs on the event loop for each buffer that comes back:
    // (buffer id, bytes recorded, the program of its time or null when the
    // source has none or the buffer came back unfilled). `notice` tells the
    // operator about faults of the recording device (once each) and its
    // recovery.
    using Returned = std::function<void(int, int, const ProgramAudio*)>;
    CaptureDevice(std::unique_ptr<CaptureSource> source, Returned returned,
                  std::function<void(const std::string&)> notice);
    ~CaptureDevice() override;

    CaptureAnswer query(int rate);
    CaptureAnswer open(int rate, char* error_text, int error_size);
    // Of the program that goes back with the buffers (0: none); after open.
    int program_channels() const { return program_channels_; }
    // What stopped the source while it is lost (silence goes back meanwhile); null
    // while it records.
    const char* fault() const { return faulty_ ? fault_.c_str() : nullptr; }
    void add_buffer(int id, uint8_t* data, int length);
    void start();
    void reset();
    void close();

private:
    struct Buffer {
        int id;
        uint8_t* data;
        int length;
        int filled;
    };
    void give_back(const Buffer& buffer, bool full = true);
    // A card opened again may record in another format: the program follows it.
    void follow_program_format();
    void take_program(const int16_t* samples, int frames);
    std::vector<int16_t> program_for(int samples);
    void fill_due_buffers();
    void take_samples(const uint8_t* data, int count);
    void source_fault(const std::string& reason);
    void fill_with_silence();

    std::unique_ptr<CaptureSource> source_;
    Returned returned_;
    std::function<void(const std::string&)> notice_;
    std::deque<Buffer> queue_;
    bool running_ = false;
    int rate_ = 0;
    QTimer timer_;
    QElapsedTimer clock_;
    int64_t samples_given_ = 0;  // of the paced clock, since the start
    // A card that stopped delivering: silence keeps the broadcast going and
    // the device is opened again every few seconds.
    bool faulty_ = false;
    std::string fault_;
    QTimer reopen_timer_;
    // The source's program, waiting to go back with the buffers: each full
    // buffer takes the frames of its playing time (counted from the start,
    // so nothing drifts). The card's program stream runs beside its 8-bit
    // one: it flows once a cushion waits, and a shortfall is silence that
    // fills the cushion again.
    int program_channels_ = 0;
    int program_rate_ = 0;
    std::vector<int16_t> program_;  // interleaved
    int64_t samples_returned_ = 0;  // 8-bit samples of full buffers, since the start
    int64_t program_frames_returned_ = 0;
    bool program_flowing_ = false;
};
