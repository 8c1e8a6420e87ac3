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
// it runs when that request ends.
struct PendingDirectoryRequest {
    bool add = false;
    std::string file_name;
    std::string content;
};

struct WebState : HttpClient {
    bool version_asked = false;  // the newer-version question was put this run
    std::deque<PendingDirectoryRequest> pending;
    // Re-reads the directory's settings (DIRURL, DIRURLPORT, CATEGORIES_URL,
    // HTTP_TIMEOUT) before each request (set by the program).
    void (*read_settings)(Services&) = nullptr;
};

constexpr int DIRECTORY_BUFFER_SIZE = 4096;      // escaped content, path, add/remove reply
constexpr int CATEGORIES_BUFFER_SIZE = 131072;   // the categories reply

// Adds (add true) or removes the station's record `content` under
// `file_name`. Intranet-only: the directory is not contacted; the write
// notifications of the station socket (when open) are asked for instead. A remove while the
// station is not listed does nothing. While another request runs, the
// request waits and runs when that one ends. An add that gets no reply at
// all tells the operator; any reply counts as listed.
void directory_update(Services& services, WebState& web, int station_socket,
                      const std::string& file_name, const std::string& content, bool add);
// The open station's add and remove, with its records.
void directory_add(Services& services, WebState& web, int station_socket, uint32_t local_addr_host);
void directory_remove(Services& services, WebState& web, int station_socket, uint32_t local_addr_host);
// Runs the directory requests that waited for a running request (after
// each request, through HttpClient::request_ended).
void run_pending_directory_requests(Services& services, WebState& web, int station_socket);

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
};

// Asks the categories host (CATEGORIES_URL, "HOST" for port 80 or
// "HOST:PORT") for the category list.
// A newer announced version is offered for download once per run (the
// address opened with the platform's opener on Yes). Returns 1 when the
// host answered with the list (status 200), 0 otherwise (paths then empty),
// -1 when another request was running.
int fetch_categories(Services& services, WebState& web, CategoryList& list);
// The walk over a categories reply body (modified in place). The version
// question is put through the host when a newer version is announced.
void read_categories(Services& services, WebState& web, char* body, CategoryList& list);
