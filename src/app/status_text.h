#pragma once
// The texts of the status panel, shared by the window and the headless
// station's status line. Pure functions of the station's state.

#include <cstdint>
#include <string>

struct Context;

// "IDLE", "STARTING", "BROADCASTING" or "STOPPING".
const char* broadcast_state_word(const Context& ctx);
// What the feed plays: "script", "live", or "fallback" while the fallback
// script plays in place of the capture or of a script that cannot play.
const char* feed_word(const Context& ctx);
// "%d.%dkbps (%s)": the transfer rate in kbit/s and its connection class.
std::string rate_line(int transfer_rate);
// "59m 59s", "1h 0m 0s", "1d 1h 1m 1s".
std::string elapsed_text(int64_t seconds);
// "3 - 166%", or "11(R) - 20%" while a repeater is among the listeners.
std::string listeners_line(Context& ctx);
// What is playing: the current entry's song (script feed) or "Live", "Stopped".
std::string now_playing(const Context& ctx);
// "Music" or "Voice", with "*" when the sound card records at another rate.
std::string audio_type(const Context& ctx, int capture_rate);
// Each output of the program with its status ("Icecast on the air"), in
// their order and parted by " | "; empty when none has one to show.
std::string outputs_line(const Context& ctx);
