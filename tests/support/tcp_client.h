#pragma once
// The client side of the tests' plain HTTP exchanges with the station's
// own servers (the status endpoint, the listeners' page): a connection to
// a loopback address, what a request brings back, a reply's body.

#include <string>

// A connected TCP socket (reads time out after `read_timeout_ms`), or -1.
// A small `receive_buffer` makes a client that reads slowly.
int connect_to(const std::string& ip, int port, int receive_buffer = 0, int read_timeout_ms = 1000);
// What the server sends to `request` within `ms` (or until it closes).
std::string exchange(const std::string& ip, int port, const std::string& request, int ms);
// The body of an HTTP reply ("" without a head).
std::string body_of(const std::string& reply);
