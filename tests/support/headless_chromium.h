#pragma once
// Debian's Chromium without a screen, driven as a person's browser is but
// by a test: it opens a page, and the test runs script in that page over the
// browser's DevTools protocol (a WebSocket to the debugging port Chromium
// picks on 127.0.0.1), with a user's gesture when asked, as a click on
// play gives one.

#include <nlohmann/json.hpp>
#include <string>

#include "support/child_process.h"

class HeadlessChromium {
public:
    HeadlessChromium() = default;
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // The browser's path, "" when Debian's chromium is not installed.
    static std::string program();

    // Starts Chromium on `url` with a new profile in `profile_dir`, its
    // output going to `output_file`, and connects to the page. False with
    // the cause in *why.
    bool open(const std::string& url, const std::string& profile_dir,
              const std::string& output_file, const EnvironmentList& env, std::string* why);
    // Runs `expression` in the page and returns its value (awaited when it
    // is a promise); a JSON null with the exception text in *error when it threw.
    nlohmann::json evaluate(const std::string& expression, bool user_gesture = false,
                            std::string* error = nullptr);
    void close();

private:
    bool connect_page(int port, std::string* why);
    bool send_text(const std::string& text);
    bool receive_message(std::string* message, int timeout_ms);

    ChildProcess browser_;
    int socket_ = -1;
    int next_id_ = 1;
    std::string received_;  // bytes read past the last whole frame
};
