#pragma once
// A private X display for the window journeys: Xvfb on a display number of
// its own, the real programs shown on it, keys typed into their windows with
// xdotool through the XTEST extension, as a person at the keyboard types them.
// There is no window manager: a window gets the keyboard by XSetInputFocus.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/child_process.h"

class XvfbDisplay {
   public:
    XvfbDisplay();  // starts Xvfb; ready() says whether it came up
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    // False when Xvfb or xdotool is missing or the server did not start;
    // why() then says which.
    bool ready() const { return !name_.empty(); }
    const std::string& why() const { return why_; }
    const std::string& name() const { return name_; }  // ":N"
    // DISPLAY and the xcb platform, for programs started on this display.
    EnvironmentList environment() const;

    // The id of a visible window whose title matches the regular expression
    // `title`, waiting at most timeout_ms for it to appear; empty when none did.
    std::string wait_for_window(const std::string& title, int timeout_ms) const;
    // Whether `window` (one whose title matched `title`) is gone within timeout_ms.
    bool gone(const std::string& window, const std::string& title, int timeout_ms) const;
    // Waits for a window whose title matches `title` (a message box), presses
    // `key` in it as the operator does and waits until it has gone, so that
    // the next box is not taken for it. False when a step failed.
    bool answer(const std::string& title, const std::string& key = "Return") const;
    // Every visible window whose title matches `title`, now.
    std::vector<std::string> windows(const std::string& title) const;
    std::string title(const std::string& window) const;
    // The titles and sizes of every window on the display, for failure messages.
    std::string describe() const;
    // Gives `window` the keyboard and presses each key in turn (xdotool key
    // names: "ctrl+s", "Return", "Escape", "alt+o"). False when xdotool failed.
    bool press(const std::string& window, const std::vector<std::string>& keys) const;
    // Gives `window` the keyboard and types `text` character by character.
    bool type(const std::string& window, const std::string& text) const;

   private:
    ProgramResult xdotool(const std::vector<std::string>& args) const;

    ChildProcess server_;
    std::string name_;
    std::string why_;
};
