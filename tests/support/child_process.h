#pragma once
// The real programs run as processes in tests: started with their own
// working folder and environment, stdout and stderr collected in one file,
// killed when the test is done with them.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

using EnvironmentList = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { kill_now(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts args[0] with `args`, its output going to `output_file`, in
    // `cwd` (empty: ours) with the variables of `env` set. False when the
    // fork fails.
    bool start(const std::vector<std::string>& args, const std::string& output_file,
               const std::string& cwd = "", const EnvironmentList& env = {});
    // The exit status once the process has ended, waiting at most
    // timeout_ms: its exit code, -1 when a signal ended it, -2 while it runs on.
    int wait(int timeout_ms);
    void signal(int signal_number);
    void kill_now();
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

struct ProgramResult {
    int status = -2;     // as ChildProcess::wait
    std::string output;  // stdout and stderr
};

// The environment of one of our programs whose logs, settings, runtime
// folder (lock, control socket) and home are all `folder`.
inline EnvironmentList home_in(const std::string& folder) {
    return {{"VELMORA_HOME", folder}, {"XDG_CONFIG_HOME", folder}, {"XDG_RUNTIME_DIR", folder},
            {"HOME", folder}};
}

// Runs a program to its end (killed after timeout_ms).
ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd = "",
                          const EnvironmentList& env = {}, int timeout_ms = 30000);

// The path of one of our programs in the build.
std::string program_path(const std::string& name);
