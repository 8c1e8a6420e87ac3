#pragma once
// An output of the station's program besides its UDP listeners: a stream
// server, a web stream, an archive. The sender and the live pump feed every
// output of the station the same program the listeners hear; the program
// starts and stops them with the broadcast. Each output may work on a thread
// of its own: it never makes the station's thread wait, and posts its news
// through Host::post_output_event, taken back with take_news.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/program_audio.h"

struct PictureSlot;
struct Services;
struct StationIdentity;

// What every output is told of the program as a broadcast starts.
struct ProgramInfo {
    const StationIdentity& station;  // its name, description, web address
    int sampling_rate = 0;           // of the program's codec frames
    std::string settings_file;       // an output's relative file names start from its folder
    // Of the outputs' streams: 2 when the program is stereo (a stereo
    // capture, a script with a stereo source), else 1.
    int channels = 1;
};

// One value of an output's status section (the status report's JSON,
// metrics and page).
enum class OutputValueKind { Text, Gauge, Counter };
struct OutputValue {
    std::string key;  // lower_snake_case
    OutputValueKind kind = OutputValueKind::Gauge;
    int64_t number = 0;  // Gauge and Counter
    std::string text;    // Text
    std::string help;    // one line
};

class ProgramSink {
public:
    virtual ~ProgramSink() = default;

    // How the operator knows it ("Archive"); in lower case, the name of its
    // status section.
    virtual std::string name() const = 0;

    // A broadcast starts: the output reads its settings now. False when it
    // told the operator why it stays off; the broadcast goes on without it.
    virtual bool started(Services& services, const ProgramInfo& program) = 0;
    // One codec frame of the script as sent with `seq`: the program where
    // no better source exists (the output decodes it).
    virtual void program_frame(uint32_t seq, const uint8_t* frame, int length) = 0;
    // The program at its source's own rate and channels: the capture in
    // live feed, a song's source WAV in script feed.
    virtual void program_audio(const ProgramAudio& audio) = 0;
    // The song text from the next audio on, each time the listeners get it.
    virtual void title(const char* text) = 0;
    // The main picture, each time the listeners are told of it; an empty
    // slot (0 x 0) when the song has none.
    virtual void picture(const PictureSlot& picture) = 0;
    // The broadcast ends. Never waits for the output's own thread.
    virtual void stopped(Services& services) = 0;

    // The output's thread posted news: taken on the station's thread.
    virtual void take_news(Services& services) {}

    // Its state in a few words for the status lines ("recording"); empty
    // when the output is not configured, and then left out of the lines.
    virtual std::string status(const Services& services) const = 0;
    // Its section of the status report.
    virtual std::vector<OutputValue> status_values() const = 0;
};

// The station's outputs, in the order they were added; each is fed in turn.
// An output hears "stopped" once after each "started", however often the
// station is closed.
struct ProgramSinks {
    std::vector<std::unique_ptr<ProgramSink>> outputs;
    bool running = false;  // between started and stopped

    template <typename Sink>
    Sink& add(std::unique_ptr<Sink> sink) {
        Sink& added = *sink;
        outputs.push_back(std::move(sink));
        return added;
    }

    void started(Services& services, const ProgramInfo& program);
    void program_frame(uint32_t seq, const uint8_t* frame, int length);
    void program_audio(const ProgramAudio& audio);
    void title(const char* text);
    void picture(const PictureSlot& picture);
    void stopped(Services& services);
    // Every output's news (Host::post_output_event came).
    void take_news(Services& services);
};

// "Archive recording": the output's name and status; empty when its
// status is.
std::string output_status_line(const Services& services, const ProgramSink& sink);
