#pragma once
// The commands the menus, the accelerator and the start/stop button give,
// and the ones the core posts to the front end's event loop
// (Host::post_command). How a front end shows them (menu items, keys) is
// its own business.

enum class Command {
    start,  // Station > Start Broadcasting, Ctrl+S
    stop,   // the same item while broadcasting
    exit,
    online_help,
    build_script,
    settings,
    station_info,
    expert_settings,
    check_connection,
    view_sunday_log,  // the seven weekday logs in order, Sunday first
    view_monday_log,
    view_tuesday_log,
    view_wednesday_log,
    view_thursday_log,
    view_friday_log,
    view_saturday_log,
    start_stop,  // the start/stop button; other code posts it to stop
    about,
    // Station > Next Song and Reload Script while on the air: the same as
    // velmora-ctl's next and reload.
    next_song,
    reload_script,
    // Posted by the controller itself: lists the station in the directory
    // once its first tick is out (from the event loop, so that the
    // request's nested loop keeps serving ticks and listeners).
    list_station,
    // Shows the messages a tick left (post_message), from the event loop,
    // so that no box holds the ticks while it waits for the operator.
    show_messages,
};

// The command of the weekday log viewer: Sunday 0 .. Saturday 6.
constexpr Command view_log_command(int weekday) {
    return static_cast<Command>(static_cast<int>(Command::view_sunday_log) + weekday);
}
