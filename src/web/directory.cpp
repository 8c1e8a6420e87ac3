#include "web/directory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/messages.h"
#include "base/station_identity.h"
#include "base/version.h"
#include "wire/station_list.h"
#include "web/directory_settings.h"
#include "web/text_routines.h"

namespace {

constexpr const char* kAddPath = "/cgi-local/ul_vsl.prl?vslFile=";
constexpr const char* kRemovePath = "/cgi-local/del_vsl.prl?vslFile=";
constexpr const char* kContentField = "&vslContent=";
constexpr const char* kCategoriesPath = "/cgi-local/vmb_list_categories.prl?ID=id";

bool is_letter_or_digit(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void ask_about_new_version(Services& services, WebState& web, const char* line, CategoryList& list) {
    const char* version = line + strlen("VMBversion:");
    const char* colon = strchr(version, ':');
    if (!colon || colon == version) return;
    list.announced_version.assign(version, static_cast<size_t>(colon - version));
    list.download_address = colon + 1;
    // Only the first (length - 1) characters count: 2.19 is no newer than 2.18.
    size_t compared = list.announced_version.size() - 1;
    if (strncmp(list.announced_version.c_str(), PROGRAM_VERSION, compared) == 0 ||
        web.version_asked)
        return;
    web.version_asked = true;
    Answer answer = show_captioned_message(
        services, "New version", true, Buttons::yes_no | Icon::question,
        "A newer version is available for download, do you want to download it now?\n\n"
        "Current version: %s\nNew version: %s\n",
        PROGRAM_VERSION, list.announced_version.c_str());
    if (answer == Answer::yes)
        services.host->shell_open("open", list.download_address.c_str(), nullptr, nullptr);
}

}  // namespace

std::string escape_content(const std::string& content, size_t limit) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : content) {
        size_t size = is_letter_or_digit(c) ? 1 : 3;
        if (escaped.size() + size > limit) break;  // cut at a whole escape
        if (size == 1) {
            escaped.push_back(static_cast<char>(c));
        } else {
            escaped.push_back('%');
            escaped.push_back(kDigits[c >> 4]);
            escaped.push_back(kDigits[c & 15]);
        }
    }
    return escaped;
}

std::string directory_path(bool add, const std::string& file_name, const std::string& content) {
    std::string path = std::string(add ? kAddPath : kRemovePath) + file_name + kContentField;
    // Both the escaped content and the whole path fit a 4096-byte buffer with its NUL.
    size_t room = DIRECTORY_BUFFER_SIZE - 1 > path.size() ? DIRECTORY_BUFFER_SIZE - 1 - path.size() : 0;
    if (room > DIRECTORY_BUFFER_SIZE - 1) room = DIRECTORY_BUFFER_SIZE - 1;
    return path + escape_content(content, room);
}

namespace {

// What ended a request without an answer: the time-out, the look-up,
// connect or receive error, or a reply that broke off.
std::string request_failure_cause(const HttpExchange& exchange) {
    if (exchange.timed_out)
        return "no answer within " + std::to_string(exchange.timeout_ms / 1000) + " seconds";
    const std::string marker = "Failed: ";
    size_t at = exchange.log.rfind(marker);
    if (at != std::string::npos) {
        at += marker.size();
        return exchange.log.substr(at, exchange.log.find('\n', at) - at);
    }
    return exchange.complete ? "no reply" : "the reply broke off";
}

// Notes a failed directory request beside its message: the host, the port
// and the cause, in the weekday log and for the status line.
void note_directory_failure(Services& services, WebState& web, const char* what) {
    const DirectorySettings& s = *web.settings;
    web.directory_problem = s.DIRURL + " port " + std::to_string(s.DIRURLPORT) + ": " +
                            request_failure_cause(web.exchange);
    write_daily_log(services, "Directory %s failed: %s\n", what, web.directory_problem.c_str());
}

}  // namespace

std::string directory_state_text(bool listed, const WebState& web) {
    if (listed) return "listed";
    return web.directory_problem.empty() ? "unlisted" : "unlisted (" + web.directory_problem + ")";
}

void directory_update(Services& services, WebState& web, int station_socket,
                      const std::string& file_name, const std::string& content, bool add) {
    if (web.read_settings) web.read_settings(services);
    if (web.identity->INTRANET) {
        // No directory for an intranet station; its socket's write
        // readiness drives the datagram queue instead.
        if (station_socket >= 0) services.host->request_write_notification(station_socket);
        return;
    }
    if (web.busy) {
        // Another request runs (the categories, say): this one waits for it.
        // A remove cancels an add that never went out.
        if (!add && !web.pending.empty() && web.pending.back().add)
            web.pending.pop_back();
        else
            web.pending.push_back({add, station_socket, file_name, content});
        return;
    }
    if (!add && !web.directory_listed && !web.add_sent) return;

    const DirectorySettings& s = *web.settings;
    std::string path = directory_path(add, file_name, content);
    char reply[DIRECTORY_BUFFER_SIZE];
    reply[0] = '\0';
    HttpOutcome outcome;
    if (add) {
        web.add_sent = true;
        int result = http_get(services, web, "Adding station to directory...\r\n", s.DIRURL.c_str(),
                              s.DIRURLPORT, path.c_str(), reply, sizeof reply, &outcome);
        // Any whole reply counts as listed, whatever its status; a time-out
        // or a reply broken off never does.
        web.directory_listed = result == 1 || (result == 0 && outcome.complete && reply[0] != '\0');
        if (web.directory_listed) web.directory_problem.clear();
        else note_directory_failure(services, web, "add");
        // A time-out has told the operator already: one failure, one message.
        // A stop broke it off: the remove follows, and nothing failed.
        if (!web.directory_listed && !outcome.timed_out && !outcome.stopped)
            show_message(services, true, Buttons::ok | Icon::error,
                         "You could not be added to the directory as the station daemon was not "
                         "contacted.  Try stopping and restarting your station in a few hours.");
    } else {
        http_get(services, web, "Removing station from directory...\r\n", s.DIRURL.c_str(), s.DIRURLPORT,
                 path.c_str(), reply, sizeof reply, &outcome,
                 std::min(REMOVE_TIMEOUT_MS, s.HTTP_TIMEOUT * 1000));
        if (!outcome.complete || reply[0] == '\0') note_directory_failure(services, web, "remove");
        else web.directory_problem.clear();
        web.directory_listed = false;
        web.add_sent = false;
    }
    services.host->invalidate(false);  // the directory lamp
    run_pending_directory_requests(services, web);
}

void directory_add(Services& services, WebState& web, int station_socket, uint32_t local_addr_host) {
    directory_update(services, web, station_socket, station_list_file_name(local_addr_host),
                     directory_add_record(*web.identity, local_addr_host), true);
}

void directory_remove(Services& services, WebState& web, int station_socket, uint32_t local_addr_host) {
    directory_update(services, web, station_socket, station_list_file_name(local_addr_host),
                     directory_remove_record(*web.identity, local_addr_host), false);
}

void run_pending_directory_requests(Services& services, WebState& web) {
    while (!web.busy && !web.pending.empty()) {
        PendingDirectoryRequest request = web.pending.front();
        web.pending.pop_front();
        directory_update(services, web, request.station_socket, request.file_name, request.content,
                         request.add);
    }
}

void read_categories(Services& services, WebState& web, char* body, CategoryList& list) {
    std::vector<char> buffer(strlen(body) + 1, '\0');
    char* line = buffer.data();
    int position = next_line(body, 0, line);
    if (position == 0) return;  // the first line was the last one

    std::string path;
    int previous_depth = 0;
    while (strncmp(line, "end of list", 11) != 0) {
        const char* blank = strchr(line, ' ');
        // A line without a blank, or with nothing before it, names no category.
        if (blank && blank != line) {
            int depth = static_cast<int>(blank - line);
            if (depth <= previous_depth)
                for (int pop = previous_depth - depth + 1; pop > 0; --pop) {
                    size_t cut = path.rfind('\\');
                    path.erase(cut == std::string::npos ? 0 : cut);
                }
            path += "\\";
            path += blank + 1;
            list.paths.push_back(path);
            previous_depth = depth;
        }
        position = next_line(body, position, line);
        if (position == 0) return;  // a last line without a line end is not taken
    }
    // The trailer, from the "end of list" line on.
    for (;;) {
        if (strncmp(line, "end of all", 10) == 0) return;
        if (strncmp(line, "VMBversion:", 11) == 0) ask_about_new_version(services, web, line, list);
        position = next_line(body, position, line);
        if (position == 0) return;
    }
}

int fetch_categories(Services& services, WebState& web, CategoryList& list) {
    if (web.read_settings) web.read_settings(services);
    // "HOST" or "HOST:PORT" (ours, so that a test host needs no privileged port).
    std::string host = web.settings->CATEGORIES_URL;
    int port = 80;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        port = atoi(host.c_str() + colon + 1);
        host.erase(colon);
        if (port < 1 || port > 65535) port = 80;
    }
    std::vector<char> reply(CATEGORIES_BUFFER_SIZE, '\0');
    HttpOutcome outcome;
    int result = http_get(services, web, "Getting station categories...", host.c_str(), port,
                          kCategoriesPath, reply.data(), CATEGORIES_BUFFER_SIZE, &outcome);
    if (result == -1) return -1;
    list = CategoryList{};
    if (result == 1) {
        read_categories(services, web, reply.data(), list);
        list.cut = outcome.cut;
    }
    run_pending_directory_requests(services, web);
    return result == 1 ? 1 : 0;
}
