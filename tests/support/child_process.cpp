#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/temp_dir.h"

bool ChildProcess::start(const std::vector<std::string>& args, const std::string& output_file,
                         const std::string& cwd, const EnvironmentList& env) {
    kill_now();
    // Everything the child needs is made before the fork.
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || (!cwd.empty() && chdir(cwd.c_str()) != 0)) _exit(126);
        dup2(out, 1);
        dup2(out, 2);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid_ > 0;
}

int ChildProcess::wait(int timeout_ms) {
    if (pid_ <= 0) return -2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ChildProcess::signal(int signal_number) {
    if (pid_ > 0) ::kill(pid_, signal_number);
}

void ChildProcess::kill_now() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                          const EnvironmentList& env, int timeout_ms) {
    TempDir scratch;
    ChildProcess child;
    ProgramResult result;
    if (!child.start(args, scratch.file("output"), cwd, env)) return result;
    result.status = child.wait(timeout_ms);
    child.kill_now();
    result.output = read_file(scratch.file("output"));
    return result;
}

std::string program_path(const std::string& name) {
    return std::string(VELMORA_BIN_DIR) + "/" + name;
}
