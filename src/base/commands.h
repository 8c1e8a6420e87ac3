#pragma once
// The command ids the menus, the accelerator and the start/stop button
// send, and the ones the core posts to the front end's event loop
// (Host::post_command). The values are the menu ids the window has always
// used; the window converts its menu data to a Command in one place.

enum class Command : int {
    start = 105,  // Station > Start Broadcasting, Ctrl+S
    stop = 146,   // the same item while broadcasting
    exit = 147,
    online_help = 148,
    build_script = 158,
    settings = 163,
    station_info = 164,
    expert_settings = 165,
    check_connection = 166,
    view_sunday_log = 168,  // ... 174 View Saturday Log
    view_saturday_log = 174,
    start_stop = 1910,  // the start/stop button; other code posts it to stop
    about = 2200,
    // Ours, posted by the controller itself: lists the station in the
    // directory once its first tick is out (from the event loop, so that
    // the request's nested loop keeps serving ticks and listeners).
    list_station = 9001,
    // Ours: shows the messages a tick left (post_message), from the event
    // loop, so that no box holds the ticks while it waits for the operator.
    show_messages = 9002,
};

// The command of the weekday log viewer: Sunday 0 .. Saturday 6.
constexpr Command view_log_command(int weekday) {
    return static_cast<Command>(static_cast<int>(Command::view_sunday_log) + weekday);
}
