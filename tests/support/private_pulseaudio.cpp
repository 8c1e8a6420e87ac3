#include "support/private_pulseaudio.h"

#include <cctype>
#include <chrono>
#include <thread>

#include "support/temp_dir.h"

std::string which(const std::string& program) {
    ProgramResult r = run_program({"/bin/sh", "-c", "command -v " + program});
    if (r.status != 0) return "";
    while (!r.output.empty() && isspace(static_cast<unsigned char>(r.output.back()))) r.output.pop_back();
    return r.output;
}

bool PrivatePulseAudio::start(const std::string& sink, const std::vector<std::string>& modules,
                              const std::string& output_file, const EnvironmentList& env,
                              std::string* why) {
    const std::string pulseaudio = which("pulseaudio"), pactl = which("pactl");
    if (pulseaudio.empty() || pactl.empty()) {
        *why = "pulseaudio or pactl is not installed (scripts/setup installs pulseaudio and pulseaudio-utils)";
        return false;
    }
    std::vector<std::string> args = {pulseaudio, "-n", "--daemonize=no", "--system=false",
                                     "--exit-idle-time=-1", "--disallow-module-loading=false",
                                     "-L", "module-native-protocol-unix",
                                     "-L", "module-null-sink sink_name=" + sink};
    for (const std::string& m : modules) args.insert(args.end(), {"-L", m});
    if (!server_.start(args, output_file, "", env)) {
        *why = "pulseaudio cannot be started";
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (run_program({pactl, "set-default-sink", sink}, "", env, 2000).status == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *why = "the sound server does not answer: " + read_file(output_file);
    return false;
}
