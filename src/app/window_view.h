#pragma once
// What the window shows besides the panel's numbers: the menus and the
// start/stop button as the controller leaves them, the cursor and the
// panel's blink. The controller writes it and the shell draws from it; no
// core module reads it.

#include "base/commands.h"

struct MenuView {
    Command start_item_id = Command::start;  // "&Start Broadcasting\tCtrl+S" or "&Stop ..."
    bool start_enabled = false;
    bool build_script_enabled = true;
    bool settings_enabled = true;  // Build Script, Station Info, Exit, Settings, Expert
    bool button_enabled = false;
    const char* button_text = "Start Broadcast";
};

struct WindowView {
    MenuView menus;
    int paint_ticks = 0;
    int blink_phase = 0;
    bool hourglass = false;  // the cursor while a live stop drains
};
