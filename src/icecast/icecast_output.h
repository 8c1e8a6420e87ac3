#pragma once
// The station's Icecast output, seen from the station's thread: started
// with a broadcast when ICECAST_URL is set, fed the program the UDP
// listeners hear (the script's frames, or the captured samples in live
// feed) and its song texts, and told of the worker's state changes through
// the host (Host::post_output_event, then on_icecast_event here). It is a
// program sink: the station feeds it through that interface alone.

#include <cstdint>
#include <string>
#include <vector>

#include "icecast/icecast_link.h"
#include "icecast/icecast_settings.h"
#include "media/program_sink.h"

struct Services;

enum IcecastState { ICECAST_OFF, ICECAST_CONNECTING, ICECAST_ON_AIR, ICECAST_RECONNECTING };

struct IcecastOutput final : ProgramSink {
    explicit IcecastOutput(const IcecastSettings& keys) : settings(keys) {}
    const IcecastSettings& settings;  // the station's ICECAST_* keys
    IcecastLink link;
    int state = ICECAST_OFF;
    std::string url;        // as the operator wrote it, for the messages
    std::string mount;
    std::string user;
    bool lost_told = false;  // the operator heard it is gone: "back" is due
    bool was_on_air = false;  // since this start: only then is it "back"
    std::string title_sent;  // the last song text queued
    int64_t dropped_items = 0;
    bool permission_warned = false;  // once per run of the program

    std::string name() const override { return "Icecast"; }
    bool started(Services& services, const ProgramInfo& program) override;
    void program_frame(uint32_t seq, const uint8_t* frame, int length) override;
    void program_audio(const ProgramAudio& audio) override;
    void title(const char* text) override;
    void picture(const PictureSlot&) override {}  // a stream without pictures
    void stopped(Services& services) override;
    void take_news(Services& services) override;
    std::string status(const Services& services) const override;
    std::vector<OutputValue> status_values() const override;
};

// Reads the ICECAST_* keys of the settings and starts the output; nothing when
// ICECAST_URL is empty. A key that is wrong is told and leaves the output
// off (the UDP station goes on). Returns 1 when the output runs or is not
// wanted, 0 after such a message.
int icecast_start(Services& services, IcecastOutput& icecast, const ProgramInfo& program);
// Ends the output without waiting for its worker.
void icecast_stop(Services& services, IcecastOutput& icecast);

// A codec frame of the script as sent with `seq` (decoded by the worker).
void icecast_program_frame(Services& services, IcecastOutput& icecast, uint32_t seq,
                           const uint8_t* frame, int length);
// The song text from the next audio on; a text equal to the last is ignored.
void icecast_program_title(Services& services, IcecastOutput& icecast, const char* text);

// The worker has news: state changes and the operator's messages.
void on_icecast_event(Services& services, IcecastOutput& icecast);

// "on the air", "connecting", "reconnecting" or "off".
const char* icecast_state_word(const IcecastOutput& icecast);
// The status line's part: "Icecast on the air", "Icecast reconnecting
// (120 blocks dropped)"; empty when no output is configured.
std::string icecast_status_text(const Services& services, const IcecastOutput& icecast);

// Advice for a file holding the password that other users can read, ""
// when none can; `what` names the file and begins the sentence.
std::string password_advice(const std::string& path, const std::string& what);
