#pragma once
// The controller's run-time values: the pacing of the ticks, the marks that
// keep its handlers from running twice, and what it found at start-up.

#include <cstdint>
#include <string>

struct ControllerState {
    uint32_t pace_clock = 0;     // time_ms of the next due tick; 0 = not pacing
    uint32_t pace_fraction = 0;  // of the next due tick, in 1/SamplingRate ms
    int send_interval_ms = 128;
    bool timer_running = false;  // re-entrance mark of pace_tick
    bool ticks_running = false;  // re-entrance mark of send_due_ticks
    bool close_done = false;     // run-once mark of the close handler
    // The station goes on the air first and is listed once its first tick
    // has gone out: a slow directory never holds the broadcast.
    bool listing_due = false;
    std::string host_name;        // at most 64 characters
    std::string station_address;  // "%d.%d.%d.%d"
    bool no_sound_card = false;   // live broadcasting unavailable
    uint32_t stop_requested_ms = 0;  // time_ms of the live stop that is draining
};
