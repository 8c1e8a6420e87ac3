#pragma once
// The station's entry in the web station directory, and the directory's
// list of station categories.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "web/http_client.h"

struct Services;

// A directory add or remove refused because another request was running;
// it runs when that request ends, on the station socket it was asked with.
struct PendingDirectoryRequest {
    bool add = false;
    int station_socket = -1;
    std::string file_name;
    std::string content;
};

struct StationIdentity;

struct WebState : HttpClient {
    bool version_asked = false;  // the newer-version question was put this run
    // An add went out and no remove since: the directory may list the
    // station even when its reply never came (a stop broke it off).
    bool add_sent = false;
    std::deque<PendingDirectoryRequest> pending;
    // Why the last add or remove failed ("127.0.0.3 port 8081: Connection
    // refused"); "" after one that worked.
    std::string directory_problem;
    // Re-reads the directory's settings (DIRURL, DIRURLPORT, CATEGORIES_URL,
    // HTTP_TIMEOUT) before each request (set by the program).
    void (*read_settings)(Services&) = nullptr;
    // The directory lists the station: the add was answered, no remove since.
    bool directory_listed = false;
    // What the station tells the directory, pointed at by the program.
    const StationIdentity* identity = nullptr;
};

// "listed", "unlisted", or "unlisted (HOST port N: cause)" after a failed
// add: the status line's word for the directory.
std::string directory_state_text(bool listed, const WebState& web);

constexpr int DIRECTORY_BUFFER_SIZE = 4096;      // escaped content, path, add/remove reply
constexpr int CATEGORIES_BUFFER_SIZE = 131072;   // the categories reply
// A stop waits for the directory's answer no longer than this, whatever
// HTTP_TIMEOUT says: a service manager waits only seconds for a stop.
constexpr int REMOVE_TIMEOUT_MS = 3000;

// Adds (add true) or removes the station's record `content` under
// `file_name`. Intranet-only: the directory is not contacted; the write
// notifications of the station socket (when open) are asked for instead. A remove while the
// station is not listed and no add was sent does nothing. While another request runs, the
// request waits and runs when that one ends. A remove goes out once an add
// was sent, whether or not its reply came. Any whole reply counts as
// listed; an add without one (nothing, a time-out, a reply broken off)
// leaves the station unlisted and tells the operator once. The remove waits
// a few seconds at most (REMOVE_TIMEOUT_MS).
void directory_update(Services& services, WebState& web, int station_socket,
                      const std::string& file_name, const std::string& content, bool add);
// The station's add and remove, with its records.
void directory_add(Services& services, WebState& web, int station_socket, uint32_t local_addr_host);
void directory_remove(Services& services, WebState& web, int station_socket, uint32_t local_addr_host);
// Runs the directory requests that waited for a running request (called
// when a request of this file has ended and its outcome is recorded).
void run_pending_directory_requests(Services& services, WebState& web);

// Escapes the content for the query: letters and digits stay, every other
// byte becomes "%XX". Cut at a whole escape so that the result stays within
// `limit` characters.
std::string escape_content(const std::string& content, size_t limit);
// The add or remove path; a content too long for the path buffer is cut at
// a whole escape.
std::string directory_path(bool add, const std::string& file_name, const std::string& content);

struct CategoryList {
    std::vector<std::string> paths;  // "\Music", "\Music\Rock", ... in the server's order
    std::string announced_version;   // from a "VMBversion:" line; empty when none
    std::string download_address;
    bool cut = false;  // the reply was longer than CATEGORIES_BUFFER_SIZE: the list is its beginning
};

// Asks the categories host (CATEGORIES_URL, "HOST" for port 80 or
// "HOST:PORT") for the category list.
// A newer announced version is offered for download once per run (the
// address opened with the platform's opener on Yes). Returns 1 when the
// host answered with the whole list (status 200; `cut` says when it was
// longer than the buffer), 0 otherwise, a time-out or a reply broken off
// included (paths then empty), -1 when another request was running.
int fetch_categories(Services& services, WebState& web, CategoryList& list);
// The walk over a categories reply body (modified in place). The version
// question is put through the host when a newer version is announced.
void read_categories(Services& services, WebState& web, char* body, CategoryList& list);
