#include "support/web_servers.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace {

std::string file_or_empty(const std::string& path) {
    return access(path.c_str(), F_OK) == 0 ? read_file(path) : "";
}

// Waits until `output` holds one of the words, looking every 20 ms.
bool wait_for_words(const std::string& output, const char* word, const char* other, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::string text = file_or_empty(output);
        if (text.find(word) != std::string::npos || text.find(other) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

std::string start_directory_server(ChildProcess& server, const std::string& ip, int port,
                                   const std::string& log, const std::string& mode,
                                   const std::string& output) {
    if (!server.start({"/usr/bin/python3", std::string(VELMORA_SOURCE_DIR) + "/tests/directory_server.py",
                       "--address", ip, "--port", std::to_string(port), "--log", log, "--mode", mode},
                      output))
        return "cannot start the directory server";
    if (!wait_for_words(output, "ready", "ready", 10000))
        return "the directory server did not start: " + file_or_empty(output);
    return "";
}

std::string start_test_proxy(ChildProcess& proxy, const std::string& ip, int port, bool basic_auth,
                             const std::string& config, const std::string& output) {
    if (access("/usr/bin/tinyproxy", X_OK) != 0) return "tinyproxy is missing: run scripts/setup";
    write_file(config, "Listen " + ip + "\nPort " + std::to_string(port) +
                           "\nMaxClients 8\nTimeout 10\nLogLevel Info\n" +
                           (basic_auth ? std::string("BasicAuth ") + TEST_PROXY_USER + " " +
                                             TEST_PROXY_PASSWORD + "\n"
                                       : ""));
    if (!proxy.start({"/usr/bin/tinyproxy", "-d", "-c", config}, output)) return "cannot start tinyproxy";
    // Ready once it says it listens.
    if (!wait_for_words(output, "listening", "Listening", 5000))
        return "tinyproxy did not start: " + file_or_empty(output);
    return "";
}
