#pragma once
// What the listeners' web server answers, as plain text: the request's
// head taken apart, the page, /now.json and the reply heads. The server
// (the front end's thread) sends them; nothing here touches a socket.

#include <string>

#include "stream/web_stream.h"

constexpr int WEB_REQUEST_MAX = 2048;  // bytes of a request's head

struct WebRequest {
    int status = 0;  // 0: a GET or HEAD to answer; else the 4xx to send
    bool head_only = false;
    std::string path;  // without the query
};

// Takes the head of a request apart (up to its blank line).
WebRequest parse_web_request(const std::string& head);

// {"station": ..., "title": ..., "picture": "/picture.png?v=N" or null,
//  "listeners": {"udp": N, "web": M}, "on_air": true|false}
std::string now_json(const NowPlaying& now, int web_listeners);

// The page for listeners: the player, the station, the title and the
// picture, kept up to date from /events.
std::string listener_page();

// "HTTP/1.1 200 OK" and the headers of a reply of `length` bytes; a
// stream (length < 0) has none and ends with the connection.
std::string web_reply_head(int status, const std::string& type, long long length);
// A short reply with a text body: the 4xx and 404 answers.
std::string web_error_reply(int status);
