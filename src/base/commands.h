#pragma once
// The command ids the menus, the accelerator and the start/stop button
// send, and the ones the core posts to the front end's event loop
// (Host::post_command).

enum Command {
    CMD_START = 105,          // Station > Start Broadcasting, Ctrl+S
    CMD_STOP = 146,           // the same item while broadcasting
    CMD_EXIT = 147,
    CMD_ONLINE_HELP = 148,
    CMD_BUILD_SCRIPT = 158,
    CMD_SETTINGS = 163,
    CMD_STATION_INFO = 164,
    CMD_EXPERT_SETTINGS = 165,
    CMD_CHECK_CONNECTION = 166,
    CMD_VIEW_SUNDAY_LOG = 168,  // ... 174 View Saturday Log
    CMD_VIEW_SATURDAY_LOG = 174,
    CMD_START_STOP = 1910,      // the start/stop button; other code posts it to stop
    CMD_ABOUT = 2200,
    // Ours, posted by the controller itself: lists the station in the
    // directory once its first tick is out (from the event loop, so that
    // the request's nested loop keeps serving ticks and listeners).
    CMD_LIST_STATION = 9001,
    // Ours: shows the messages a tick left (post_message), from the event
    // loop, so that no box holds the ticks while it waits for the operator.
    CMD_SHOW_MESSAGES = 9002,
};
