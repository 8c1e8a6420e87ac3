#pragma once
// The real web parts of the directory tests, each on a loopback address of
// the test: the directory (tests/directory_server.py) and a proxy
// (tinyproxy). Both are killed with their ChildProcess.

#include <string>

#include "support/child_process.h"

// The credentials the proxy wants when started with Basic authentication.
constexpr const char* TEST_PROXY_USER = "operator";
constexpr const char* TEST_PROXY_PASSWORD = "s3cret";

// Starts the directory on ip:port in `mode` ("answer", "silent", "401" or
// "close"); it logs each request line to `log`, its output goes to
// `output`. Returns "" once it listens, otherwise what went wrong.
std::string start_directory_server(ChildProcess& server, const std::string& ip, int port,
                                   const std::string& log, const std::string& mode,
                                   const std::string& output);
// Starts tinyproxy on ip:port from the configuration file `config` (written
// here), asking for TEST_PROXY_USER and TEST_PROXY_PASSWORD when
// `basic_auth`. Returns "" once it listens, otherwise what went wrong.
std::string start_test_proxy(ChildProcess& proxy, const std::string& ip, int port, bool basic_auth,
                             const std::string& config, const std::string& output);
