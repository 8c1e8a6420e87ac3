#pragma once
// A private PulseAudio sound server for one test: its own runtime folder
// (from `env`: XDG_RUNTIME_DIR and HOME), a null sink, and whatever modules
// the test adds. Tests skip when pulseaudio or its tools are not installed.

#include <string>
#include <vector>

#include "support/child_process.h"

// The full path of a program on PATH, or "" when it is not installed.
std::string which(const std::string& program);

class PrivatePulseAudio {
public:
    // Starts the server with a null sink called `sink` made the default
    // sink, and `modules` ("-L" arguments) beside it; waits until it answers.
    // False with the cause in `why`.
    bool start(const std::string& sink, const std::vector<std::string>& modules,
               const std::string& output_file, const EnvironmentList& env, std::string* why);
    void kill_now() { server_.kill_now(); }

private:
    ChildProcess server_;
};
