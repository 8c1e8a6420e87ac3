#pragma once
// Where a live station's sound comes from: the sound card, a WAV file, the
// standard input or a test tone. Every source gives 8-bit mono samples
// (128 = silence) at the capture rate the core asks for.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/host.h"

class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // The format question: CaptureAnswer::ok when the source records at `rate`.
    virtual CaptureAnswer query(int rate);
    // Gets ready to deliver at `rate`. CaptureAnswer::ok, or a refusal with the
    // reason in `error`.
    virtual CaptureAnswer open(int rate, std::string& error) = 0;
    virtual void close() {}
    // Sources without a clock of their own (file, pipe, tone) are read when
    // the playing time of `count` samples has come.
    virtual bool paced() const { return true; }
    virtual void read(uint8_t* out, int count) = 0;
    // A source with a clock of its own (the sound card) hands its samples
    // to `deliver` as they arrive, and reports a fault through `fault`.
    std::function<void(const uint8_t* data, int count)> deliver;
    std::function<void(const std::string& reason)> fault;
};

// The source a --capture argument names: "default" (the sound card), "-"
// (standard input), "tone:HZ" or the path of a WAV file. Null with the
// reason in `error` when it cannot be used.
std::unique_ptr<CaptureSource> make_capture_source(const std::string& name, std::string& error);

// Whether `name` is written as a source can be ("tone:HZ" with a frequency
// above 0 and under 100000); false with the reason in `error`. A file is
// tried only when it is opened.
bool capture_name_well_formed(const std::string& name, std::string& error);
// Whether the machine has a recording device.
bool sound_card_present();
