// velmora-ctl: controls a running station through its control socket.
//
//   velmora-ctl [--station NAME | --socket PATH] COMMAND [ARGUMENT]
//
// Sends one request line and prints the station's reply line (JSON). Exit
// status 0 when the station did it, 1 when it refused or cannot be
// reached, 2 for a wrong command line.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/control_commands.h"
#include "base/version.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "velmora-ctl controls a running station through its control socket: one request,\n"
            "one reply (a line of JSON, printed).\n"
            "\n"
            "usage:\n"
            "  velmora-ctl [--station NAME | --socket PATH] COMMAND [ARGUMENT]\n"
            "  velmora-ctl --help | --version\n"
            "\n"
            "  status        the station's status report\n"
            "  start, stop   starts or stops the broadcast (the station keeps running)\n"
            "  next          ends the song (at the next boundary of its audio blocks,\n"
            "                within 2 seconds) and goes on with the script's next entry;\n"
            "                live: shows the live list's next entry\n"
            "  text TEXT     sends TEXT as the song text now (until the next entry's own)\n"
            "  picture FILE  shows the picture FILE now (prepared as the script's are)\n"
            "  reload        re-reads the script or live list, the station's details and\n"
            "                the directory's keys; listeners keep their places; other keys\n"
            "                that changed are named as waiting for a restart\n"
            "  listeners     each listener's address, join time and mode\n"
            "\n"
            "  --station NAME  the station of settings file NAME.ini (without it: the only\n"
            "                  station running for this user); a service's socket\n"
            "                  (/run/velmora/NAME) is found as well\n"
            "  --socket PATH   the control socket itself\n");
}

constexpr int kReplyWaitMs = 10000;

int refuse(const std::string& problem) {
    fprintf(stderr, "velmora-ctl: %s (see velmora-ctl --help)\n", problem.c_str());
    return 2;
}

// The one station whose socket is in the control folder, when there is one.
std::string only_station(std::string* problem) {
    std::vector<std::string> found;
    std::error_code error;
    const std::string folder = control_socket_folder();
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".sock") found.push_back(entry.path().string());
    if (found.size() == 1) return found.front();
    if (found.empty()) *problem = "no station runs here (no control socket in " + folder + ")";
    else *problem = std::to_string(found.size()) + " stations run here: name one with --station";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-ctl", usage)) return 0;
    std::string socket_path, station;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--station" || a == "--socket") && i + 1 < argc) {
            (a == "--station" ? station : socket_path) = argv[++i];
        } else if (a.rfind("--", 0) == 0 && words.empty()) {
            return refuse("unknown option " + a);
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) return refuse("no command");
    if (!station.empty() && !socket_path.empty()) return refuse("--station and --socket name the same thing: give one");
    const std::string& command = words[0];
    nlohmann::json request = {{"command", command}};
    const bool takes_argument = command == "text" || command == "picture";
    if (takes_argument && words.size() != 2) return refuse(command + " takes one argument");
    if (!takes_argument && words.size() != 1) return refuse(command + " takes no argument");
    if (command == "text") request["text"] = words[1];
    if (command == "picture") {
        // The station may run in another folder: the file's full path goes.
        std::error_code error;
        request["file"] = std::filesystem::absolute(words[1], error).string();
    }
    std::string problem;
    if (socket_path.empty() && !station.empty()) {
        // The user's own station, else the service of that name.
        socket_path = control_socket_path(station);
        const std::string service = "/run/velmora/" + station + "/velmora/" + station + ".sock";
        if (!std::filesystem::exists(socket_path) && std::filesystem::exists(service)) socket_path = service;
    }
    if (socket_path.empty()) socket_path = only_station(&problem);
    if (socket_path.empty()) return fprintf(stderr, "velmora-ctl: %s\n", problem.c_str()), 1;

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof to.sun_path) return refuse("the socket path is too long");
    memcpy(to.sun_path, socket_path.c_str(), socket_path.size());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        fprintf(stderr, "velmora-ctl: no station answers at %s: %s\n", socket_path.c_str(), strerror(errno));
        return 1;
    }
    const std::string line = request.dump() + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
        fprintf(stderr, "velmora-ctl: cannot send to %s: %s\n", socket_path.c_str(), strerror(errno));
        return 1;
    }
    std::string reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    while (reply.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) {
            fprintf(stderr, "velmora-ctl: the station at %s did not answer within %d seconds\n", socket_path.c_str(),
                    kReplyWaitMs / 1000);
            return 1;
        }
        char buffer[65536];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, size_t(got));
    }
    close(fd);
    reply = reply.substr(0, reply.find('\n'));
    const nlohmann::json answer = nlohmann::json::parse(reply, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        fprintf(stderr, "velmora-ctl: the station at %s gave no reply\n", socket_path.c_str());
        return 1;
    }
    printf("%s\n", reply.c_str());
    if (answer.value("ok", false)) return 0;
    fprintf(stderr, "velmora-ctl: %s\n", answer.value("error", std::string("refused")).c_str());
    return 1;
}
