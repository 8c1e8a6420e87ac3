#pragma once
// The directory's keys: where the station is listed, where the categories
// come from, and how long a request may take.

#include <string>

constexpr const char* DIRURL_DEFAULT = "127.0.0.1";
// Ours: the host that lists the directory's categories (always port 80).
constexpr const char* CATEGORIES_URL_DEFAULT = "127.0.0.1";
constexpr int HTTP_TIMEOUT_DEFAULT = 30;  // seconds a directory request may take

struct DirectorySettings {
    std::string DIRURL = DIRURL_DEFAULT;
    int DIRURLPORT = 80;
    std::string CATEGORIES_URL = CATEGORIES_URL_DEFAULT;  // ours
    int HTTP_TIMEOUT = HTTP_TIMEOUT_DEFAULT;  // ours: seconds from the connection attempt, 1..3600
};
