#include "stream/web_pages.h"

#include <cstdio>

namespace {

const char* reason_of(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 431: return "Request Header Fields Too Large";
        default: return "Error";
    }
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

WebRequest parse_web_request(const std::string& head) {
    WebRequest request;
    const size_t line_end = head.find_first_of("\r\n");
    const std::string line = head.substr(0, line_end);
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0) {
        request.status = 400;
        return request;
    }
    const std::string method = line.substr(0, first);
    std::string target = line.substr(first + 1, second - first - 1);
    if (method != "GET" && method != "HEAD") {
        request.status = 405;
        return request;
    }
    if (target.empty() || target[0] != '/') {
        request.status = 400;
        return request;
    }
    request.head_only = method == "HEAD";
    request.path = target.substr(0, target.find('?'));
    return request;
}

std::string now_json(const NowPlaying& now, int web_listeners) {
    std::string picture = now.picture_rgb ? json_text("/picture.png?v=" + std::to_string(now.picture_version))
                                          : "null";
    return "{\"station\": " + json_text(now.station) + ", \"description\": " +
           json_text(now.description) + ", \"web_address\": " + json_text(now.web_address) +
           ", \"title\": " + json_text(now.title) + ", \"picture\": " + picture +
           ", \"listeners\": {\"udp\": " + std::to_string(now.udp_listeners) +
           ", \"web\": " + std::to_string(web_listeners) + "}, \"on_air\": " +
           (now.on_air ? "true" : "false") + "}";
}

std::string web_reply_head(int status, const std::string& type, long long length) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
                       "\r\nContent-Type: " + type + "\r\nCache-Control: no-store\r\n";
    if (length >= 0) head += "Content-Length: " + std::to_string(length) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

std::string web_error_reply(int status) {
    const std::string body = std::to_string(status) + " " + reason_of(status) + "\n";
    return web_reply_head(status, "text/plain; charset=utf-8", static_cast<long long>(body.size())) + body;
}

std::string listener_page() {
    return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Radio</title>
<style>
body { font-family: sans-serif; margin: 0; padding: 1em; max-width: 40em; margin-inline: auto;
       background: #10141c; color: #e8ecf2; }
h1 { font-size: 1.4em; margin: 0.2em 0; }
#description { color: #a9b4c4; }
#title { font-size: 1.2em; margin: 0.8em 0; min-height: 1.4em; }
#picture { max-width: 100%; height: auto; display: none; border-radius: 4px; }
audio { width: 100%; margin: 0.8em 0; }
a { color: #8cc4ff; }
#state { color: #a9b4c4; font-size: 0.9em; }
</style>
</head>
<body>
<h1 id="station">Radio</h1>
<div id="description"></div>
<audio id="player" controls preload="none" src="/listen.opus"></audio>
<div id="title"></div>
<img id="picture" alt="">
<p id="state"></p>
<p><a id="web" href="#" hidden></a></p>
<script>
function show(now) {
  document.getElementById("station").textContent = now.station || "Radio";
  document.title = now.station || "Radio";
  document.getElementById("description").textContent = now.description || "";
  document.getElementById("title").textContent = now.title || "";
  var picture = document.getElementById("picture");
  if (now.picture) { picture.src = now.picture; picture.style.display = "block"; }
  else { picture.removeAttribute("src"); picture.style.display = "none"; }
  var web = document.getElementById("web");
  if (now.web_address) { web.href = now.web_address; web.textContent = now.web_address; web.hidden = false; }
  document.getElementById("state").textContent = now.on_air
    ? (now.listeners.udp + now.listeners.web) + " listening" : "Off the air";
}
fetch("/now.json").then(function (r) { return r.json(); }).then(show);
var events = new EventSource("/events");
events.onmessage = function (e) { show(JSON.parse(e.data)); };
</script>
</body>
</html>
)";
}
