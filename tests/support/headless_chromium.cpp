#include "support/headless_chromium.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "support/private_pulseaudio.h"

namespace {

using Clock = std::chrono::steady_clock;

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Reads from `fd` until `done` says the bytes are whole or `timeout_ms` passes.
template <typename Done>
bool read_until(int fd, std::string* bytes, int timeout_ms, Done done) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (!done(*bytes)) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return done(*bytes);
        bytes->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

// The body of a GET on the debugging port ("" when it failed).
std::string devtools_get(int port, const std::string& path) {
    int fd = connect_loopback(port);
    if (fd < 0) return "";
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    read_until(fd, &reply, 5000, [](const std::string&) { return false; });
    ::close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

}  // namespace

HeadlessChromium::~HeadlessChromium() {
    close();
}

std::string HeadlessChromium::program() {
    for (const char* name : {"chromium", "chromium-browser"})
        if (std::string path = which(name); !path.empty()) return path;
    return "";
}

bool HeadlessChromium::open(const std::string& url, const std::string& profile_dir,
                            const std::string& output_file, const EnvironmentList& env,
                            std::string* why) {
    const std::string chromium = program();
    if (chromium.empty()) return *why = "chromium is not installed", false;
    if (mkdir(profile_dir.c_str(), 0700) != 0 && errno != EEXIST)
        return *why = "cannot make " + profile_dir + ": " + strerror(errno), false;
    // The flags that keep it off every network but loopback and out of
    // first-run screens; a new profile; sound may start without a click.
    if (!browser_.start(
            {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--autoplay-policy=no-user-gesture-required",
             "--user-data-dir=" + profile_dir, "--remote-debugging-port=0", url},
            output_file, profile_dir, env))
        return *why = "cannot start " + chromium, false;
    // Chromium names the port it took in the profile once it listens.
    const auto end = Clock::now() + std::chrono::seconds(30);
    int port = 0;
    while (port == 0) {
        std::ifstream active(profile_dir + "/DevToolsActivePort");
        if (!(active >> port)) port = 0;
        if (port != 0) break;
        if (browser_.wait(0) != -2) return *why = "chromium ended before it listened", false;
        if (Clock::now() > end) return *why = "chromium named no debugging port within 30 s", false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return connect_page(port, why);
}

bool HeadlessChromium::connect_page(int port, std::string* why) {
    // The page target, once Chromium lists it.
    std::string path;
    for (int tries = 0; path.empty() && tries < 200; ++tries) {
        const nlohmann::json targets =
            nlohmann::json::parse(devtools_get(port, "/json/list"), nullptr, false);
        if (targets.is_array())
            for (const auto& target : targets)
                if (target.value("type", "") == "page") {
                    const std::string ws = target.value("webSocketDebuggerUrl", "");
                    const size_t at = ws.find("/devtools/");
                    if (at != std::string::npos) path = ws.substr(at);
                }
        if (path.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (path.empty()) return *why = "chromium listed no page", false;
    socket_ = connect_loopback(port);
    if (socket_ < 0) return *why = "cannot connect to chromium's debugging port", false;
    const std::string upgrade =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dmVsbW9yYS1wYWdlLXRlc3Q=\r\nSec-WebSocket-Version: 13\r\n\r\n";
    send(socket_, upgrade.data(), upgrade.size(), MSG_NOSIGNAL);
    std::string reply;
    read_until(socket_, &reply, 5000, [](const std::string& bytes) {
        return bytes.find("\r\n\r\n") != std::string::npos;
    });
    const size_t head_end = reply.find("\r\n\r\n");
    if (head_end == std::string::npos || reply.find(" 101 ") == std::string::npos)
        return *why = "chromium refused the DevTools connection: " + reply.substr(0, 200), false;
    received_ = reply.substr(head_end + 4);
    return true;
}

// One masked text frame, as a client sends it.
bool HeadlessChromium::send_text(const std::string& text) {
    std::string frame(1, static_cast<char>(0x81));
    const uint64_t size = text.size();
    if (size < 126) {
        frame += static_cast<char>(0x80 | size);
    } else if (size < 65536) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(size >> 8);
        frame += static_cast<char>(size & 0xff);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((size >> shift) & 0xff);
    }
    static std::minstd_rand random(12345);
    const uint8_t mask[4] = {uint8_t(random()), uint8_t(random()), uint8_t(random()),
                             uint8_t(random())};
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < text.size(); ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
    return send(socket_, frame.data(), frame.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(frame.size());
}

// One whole message (the frames of a fragmented one joined).
bool HeadlessChromium::receive_message(std::string* message, int timeout_ms) {
    message->clear();
    for (;;) {
        uint64_t size = 0;
        size_t header = 0;
        auto whole = [&](const std::string& bytes) {
            if (bytes.size() < 2) return false;
            size = static_cast<uint8_t>(bytes[1]) & 0x7f;
            header = 2;
            if (size == 126 || size == 127) {
                const size_t count = size == 126 ? 2 : 8;
                if (bytes.size() < 2 + count) return false;
                size = 0;
                for (size_t i = 0; i < count; ++i)
                    size = size << 8 | static_cast<uint8_t>(bytes[2 + i]);
                header += count;
            }
            return bytes.size() >= header + size;
        };
        if (!read_until(socket_, &received_, timeout_ms, whole)) return false;
        const uint8_t first = static_cast<uint8_t>(received_[0]);
        const uint8_t opcode = first & 0x0f;
        if (opcode == 0 || opcode == 1) message->append(received_, header, size);
        received_.erase(0, header + size);
        if (opcode == 8) return false;                                    // closed
        if ((opcode == 0 || opcode == 1) && (first & 0x80)) return true;  // the last frame
    }
}

nlohmann::json HeadlessChromium::evaluate(const std::string& expression, bool user_gesture,
                                          std::string* error) {
    const int id = next_id_++;
    const nlohmann::json call = {{"id", id},
                                 {"method", "Runtime.evaluate"},
                                 {"params",
                                  {{"expression", expression},
                                   {"returnByValue", true},
                                   {"awaitPromise", true},
                                   {"userGesture", user_gesture}}}};
    if (socket_ < 0 || !send_text(call.dump())) {
        if (error) *error = "no connection to the page";
        return nullptr;
    }
    std::string message;
    while (receive_message(&message, 10000)) {
        const nlohmann::json reply = nlohmann::json::parse(message, nullptr, false);
        if (!reply.is_object() || reply.value("id", 0) != id) continue;  // an event
        if (reply.contains("exceptionDetails") || reply["result"].contains("exceptionDetails")) {
            if (error) *error = reply.dump();
            return nullptr;
        }
        if (error) error->clear();
        return reply["result"]["result"].value("value", nlohmann::json());
    }
    if (error) *error = "the page did not answer within 10 s";
    return nullptr;
}

void HeadlessChromium::close() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    if (!browser_.running()) return;
    // Its own children (renderer, zygote) end with it.
    browser_.signal(SIGTERM);
    if (browser_.wait(10000) == -2) browser_.kill_now();
}
