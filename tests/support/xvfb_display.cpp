#include "support/xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kXdotool = "/usr/bin/xdotool";

// Reads the display number Xvfb writes to `fd` once it accepts clients.
std::string read_display_number(int fd, int timeout_ms) {
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return number;
        number.push_back(c);
    }
    return "";
}

}  // namespace

XvfbDisplay::XvfbDisplay() {
    if (access(kXvfb, X_OK) != 0 || access(kXdotool, X_OK) != 0) {
        why_ = "Xvfb or xdotool is not installed (apt install xvfb xdotool)";
        return;
    }
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        why_ = "pipe failed";
        return;
    }
    // -displayfd picks a free display number and writes it once the server
    // listens, so nothing waits a fixed time and parallel tests never collide.
    // The write end is inherited by the server; ChildProcess keeps fds open.
    const std::string fd = std::to_string(pipe_fds[1]);
    bool started = server_.start(
        {kXvfb, "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
        "/dev/null");
    close(pipe_fds[1]);
    std::string number = started ? read_display_number(pipe_fds[0], 20000) : "";
    close(pipe_fds[0]);
    if (number.empty()) {
        why_ = "Xvfb did not start";
        server_.kill_now();
        return;
    }
    name_ = ":" + number;
}

XvfbDisplay::~XvfbDisplay() {
    server_.signal(SIGTERM);
    if (server_.wait(5000) == -2) server_.kill_now();
}

EnvironmentList XvfbDisplay::environment() const {
    return {{"DISPLAY", name_}, {"QT_QPA_PLATFORM", "xcb"}};
}

ProgramResult XvfbDisplay::xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> command = {kXdotool};
    command.insert(command.end(), args.begin(), args.end());
    return run_program(command, "", {{"DISPLAY", name_}}, 10000);
}

std::vector<std::string> XvfbDisplay::windows(const std::string& title) const {
    ProgramResult found = xdotool({"search", "--onlyvisible", "--name", title});
    std::vector<std::string> ids;
    std::istringstream lines(found.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            ids.push_back(line);
    return ids;
}

std::string XvfbDisplay::wait_for_window(const std::string& title, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::vector<std::string> ids = windows(title);
        if (!ids.empty()) return ids.front();
        if (std::chrono::steady_clock::now() >= deadline) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool XvfbDisplay::gone(const std::string& window, const std::string& title, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::vector<std::string> shown = windows(title);
        if (std::find(shown.begin(), shown.end(), window) == shown.end()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool XvfbDisplay::answer(const std::string& title, const std::string& key) const {
    std::string box = wait_for_window(title, 10000);
    return !box.empty() && press(box, {key}) && gone(box, title, 10000);
}

std::string XvfbDisplay::title(const std::string& window) const {
    std::string name = xdotool({"getwindowname", window}).output;
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

std::string XvfbDisplay::describe() const {
    ProgramResult tree =
        run_program({"/usr/bin/xwininfo", "-root", "-tree"}, "", {{"DISPLAY", name_}});
    std::string named;
    std::istringstream lines(tree.output);
    for (std::string line; std::getline(lines, line);)
        if (line.find('"') != std::string::npos) named += line + "\n";
    return "windows on " + name_ + ":\n" + named;
}

bool XvfbDisplay::press(const std::string& window, const std::vector<std::string>& keys) const {
    if (xdotool({"windowfocus", "--sync", window}).status != 0) return false;
    std::vector<std::string> args = {"key", "--delay", "60"};
    args.insert(args.end(), keys.begin(), keys.end());
    return xdotool(args).status == 0;
}

bool XvfbDisplay::type(const std::string& window, const std::string& text) const {
    if (xdotool({"windowfocus", "--sync", window}).status != 0) return false;
    return xdotool({"type", "--delay", "30", text}).status == 0;
}
