#pragma once
// The wave input of a front end: it keeps the buffers the core queues, fills
// them from a CaptureSource and posts each full one back to the event loop,
// exactly as a sound card returns its recording buffers. Sources without a
// clock are paced by the monotonic clock: one buffer of N samples each
// N / rate seconds, counted from the start, so nothing drifts.
//
// A front end's Host forwards its capture_* calls here.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "shell/capture/capture_source.h"

class CaptureDevice : public QObject {
    Q_OBJECT
public:
    // `returned` runs on the event loop for each buffer that comes back:
    // (buffer id, bytes recorded). `notice` tells the operator about faults
    // of the recording device (once each) and its recovery.
    CaptureDevice(std::unique_ptr<CaptureSource> source, std::function<void(int, int)> returned,
                  std::function<void(const std::string&)> notice);
    ~CaptureDevice() override;

    CaptureAnswer query(int rate);
    CaptureAnswer open(int rate, char* error_text, int error_size);
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
    void give_back(const Buffer& buffer);
    void fill_due_buffers();
    void take_samples(const uint8_t* data, int count);
    void source_fault(const std::string& reason);
    void fill_with_silence();

    std::unique_ptr<CaptureSource> source_;
    std::function<void(int, int)> returned_;
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
    QTimer reopen_timer_;
};
