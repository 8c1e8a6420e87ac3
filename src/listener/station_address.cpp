#include "listener/station_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// "192.168.001.002" or "192.168.1.2": four numbers up to 255.
bool parse_dotted(const std::string& text, uint32_t* addr_host) {
    unsigned parts[4];
    char tail = 0;
    if (sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4)
        return false;
    for (unsigned p : parts)
        if (p > 255) return false;
    for (char c : text)
        if (!(isdigit(static_cast<unsigned char>(c)) || c == '.')) return false;
    *addr_host = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
    return true;
}

void set_address(StationEntry* out, uint32_t addr_host, int port) {
    out->address.sin_family = AF_INET;
    out->address.sin_addr.s_addr = htonl(addr_host);
    out->address.sin_port = htons(static_cast<uint16_t>(port));
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t start = s.find_first_not_of(" \t");
    return start == std::string::npos ? "" : s.substr(start);
}

}  // namespace

int parse_station_address(const std::string& typed, StationEntry* out, std::string* error) {
    std::string text = trimmed(typed);
    std::string host = text, port_text;
    size_t split = text.find_first_of(": ");
    if (split != std::string::npos) {
        host = text.substr(0, split);
        port_text = trimmed(text.substr(split + 1));
    }
    uint32_t addr = 0;
    if (!parse_dotted(host, &addr)) {
        *error = "\"" + text + "\" is not an address such as 127.0.0.1:3456 (names are not looked up)";
        return 0;
    }
    int port = kStationPort;
    if (!port_text.empty()) {
        char* end = nullptr;
        long p = strtol(port_text.c_str(), &end, 10);
        if (*end || p <= 0 || p > 65535) {
            *error = "\"" + port_text + "\" is not a port (1 to 65535)";
            return 0;
        }
        port = static_cast<int>(p);
    }
    *out = StationEntry{};
    set_address(out, addr, port);
    return 1;
}

int parse_station_list(const std::string& text, StationEntry* out, std::string* error) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= text.size() && lines.size() < 64) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(trimmed(text.substr(at, end - at)));
        at = end + 1;
    }
    const std::string& first = lines.empty() ? std::string() : lines[0];
    size_t blank = first.find(' ');
    uint32_t addr = 0;
    if (!parse_dotted(first.substr(0, blank), &addr)) {
        *error = "the first line does not begin with a station address";
        return 0;
    }
    *out = StationEntry{};
    set_address(out, addr, kStationPort);
    out->name = blank == std::string::npos ? "" : trimmed(first.substr(blank + 1));
    std::string* fields[] = {&out->category, &out->web, &out->description};
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].rfind("LOCATION:", 0) == 0) out->location = lines[i].substr(9);
        else if (i <= 3 && lines[i].rfind("EMAIL:", 0) != 0) *fields[i - 1] = lines[i];
    }
    return 1;
}

std::string station_address_text(const StationEntry& entry) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &entry.address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(entry.address.sin_port));
}

void remember_station(std::vector<std::string>& recent, const std::string& entry, size_t most) {
    recent.erase(std::remove(recent.begin(), recent.end(), entry), recent.end());
    recent.insert(recent.begin(), entry);
    if (recent.size() > most) recent.resize(most);
}
