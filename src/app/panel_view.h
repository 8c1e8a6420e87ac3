#pragma once
// What the window's status panel shows, decided without drawing: each text,
// the lamp frame, the meter width and the button face. The window only
// places these on the skin.

#include <cstdint>
#include <string>

struct Context;

// "Sun Sep 16 01:03:52 1973": the local time of `t` as asctime writes it,
// with English names whatever the environment's locale.
std::string clock_text(int64_t t);
// The start time: month, day and time of `t` ("Sep 16 01:03:52"), or
// "----" when no broadcast runs.
std::string start_time_text(const Context& ctx);
// The time on the air ("1h 0m 0s"), or "----" when no broadcast runs.
std::string elapsed_line(const Context& ctx);

// "BROADCASTING" shows in the blink phase 1 while a broadcast is not idle.
bool broadcasting_visible(const Context& ctx);

// The three now-playing lines: the first ("Stopped", "Live", "Fallback: SONG" or the song
// file), the picture name and the song text (wrapped by the panel). Empty
// lines are drawn as nothing.
struct NowPlayingLines {
    std::string first;
    std::string picture;
    std::string text;
};
NowPlayingLines now_playing_lines(const Context& ctx);

// The caption with the listener count: "%s %s [3 - 166%]" of the program
// title and the station address.
std::string caption_text(Context& ctx);

// The lamp frame, counted from the top: 0 not listed in the directory, 1
// listed and asked for within 1400 ticks, else 0 on odd and 2 on even counts
// (it blinks when the directory has not asked for about three minutes).
int lamp_frame(bool directory_listed, int keeper_watchdog);

// Width of the level meter's visible part: 3 pixels a level step, at most
// the meter's width; 0 draws nothing.
int meter_width(int peak_level, int meter_pixels);

// The start/stop button's face, counted from the top of its picture: 2
// disabled, 1 idle, 4 broadcasting, one face higher while pressed.
int button_face(bool enabled, bool broadcasting, bool pressed);
