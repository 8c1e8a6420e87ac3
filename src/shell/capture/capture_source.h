#pragma once
// Where a live station's sound comes from: the sound card, a WAV file, the
// standard input or a test tone. Every source gives 8-bit mono samples
// (128 = silence) at the capture rate the core asks for: the listeners'
// codec takes them. The card and a WAV file also give the program for the
// outputs: 16-bit samples at their own channels and rate.

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

    // The program for the outputs, once open: 1 or 2 channels at
    // program_rate(), or 0 channels when the source has none (the outputs
    // then take the 8-bit samples). Its samples go to `deliver_program`,
    // interleaved: a paced source's inside read, for the same stretch of
    // time; the card's as they arrive.
    virtual int program_channels() const { return 0; }
    virtual int program_rate() const { return 0; }
    std::function<void(const int16_t* samples, int frames)> deliver_program;
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
