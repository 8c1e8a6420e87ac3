#include "support/service_unit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/child_process.h"

std::vector<std::string> unit_command(const std::string& root, const std::string& name,
                                      const std::string& key) {
    std::ifstream unit(std::string(VELMORA_SOURCE_DIR) +
                       "/packaging/systemd/velmora-station@.service");
    std::vector<std::string> command = {"/usr/bin/env"}, exec;
    auto fill = [&](std::string word) {
        for (auto [from, to] : {std::pair<std::string, std::string>{"%S", root + "/state"},
                                {"%t", root + "/run"},
                                {"%i", name},
                                {"/etc/velmora", root + "/etc"},
                                {"/usr/bin/velmora-station", program_path("velmora-station")},
                                {"/usr/bin/velmora-ctl", program_path("velmora-ctl")}})
            for (size_t at; (at = word.find(from)) != std::string::npos;)
                word.replace(at, from.size(), to);
        return word;
    };
    for (std::string line; std::getline(unit, line);) {
        const bool is_exec = line.rfind(key + "=", 0) == 0;
        const bool is_env = line.rfind("Environment=", 0) == 0;
        if (!is_exec && !is_env) continue;
        std::istringstream words(line.substr(line.find('=') + 1));
        for (std::string word; words >> word;) (is_exec ? exec : command).push_back(fill(word));
    }
    command.insert(command.end(), exec.begin(), exec.end());
    return command;
}

bool make_folder_of(const std::string& path, uid_t user, mode_t mode) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && chown(path.c_str(), user, user) == 0 && chmod(path.c_str(), mode) == 0;
}
