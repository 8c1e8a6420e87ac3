#include "icecast/icecast_settings.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "base/station_state.h"
#include "platform/paths.h"
#include "platform/safe_files.h"

int parse_icecast_url(const std::string& url, IcecastTarget* target, std::string* problem) {
    const std::string scheme = "http://";
    if (url.size() < scheme.size() || strncasecmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
        *problem = "ICECAST_URL must begin with http:// (" + url + ")";
        return 0;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 == rest.size()) {
        *problem = "ICECAST_URL names no mount point (http://HOST:PORT/MOUNT): " + url;
        return 0;
    }
    std::string authority = rest.substr(0, slash);
    IcecastTarget t;
    t.mount = rest.substr(slash);
    // The mount goes into the request line: no blanks, no controls.
    for (char c : t.mount)
        if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#') {
            *problem = "ICECAST_URL's mount point holds a blank, '?' or '#': " + url;
            return 0;
        }
    if (authority.find('@') != std::string::npos) {
        *problem = "ICECAST_URL carries no user or password; use ICECAST_USER and ICECAST_PASSWORD";
        return 0;
    }
    size_t colon = authority.rfind(':');
    t.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        std::string port = authority.substr(colon + 1);
        char* end = nullptr;
        long value = strtol(port.c_str(), &end, 10);
        if (port.empty() || *end || value < 1 || value > 65535) {
            *problem = "ICECAST_URL's port must be 1 to 65535: " + url;
            return 0;
        }
        t.port = static_cast<int>(value);
    }
    if (t.host.empty()) {
        *problem = "ICECAST_URL names no server: " + url;
        return 0;
    }
    *target = t;
    return 1;
}

int parse_icecast_format(const std::string& text) {
    if (strcasecmp(text.c_str(), "opus") == 0) return ICECAST_OPUS;
    if (strcasecmp(text.c_str(), "mp3") == 0) return ICECAST_MP3;
    return -1;
}

const char* icecast_format_name(int format) { return format == ICECAST_MP3 ? "mp3" : "opus"; }

int icecast_default_bitrate(int format) {
    return format == ICECAST_MP3 ? ICECAST_MP3_BITRATE_DEFAULT : ICECAST_OPUS_BITRATE_DEFAULT;
}

IcecastSettings icecast_settings_of(const StationState& s) {
    IcecastSettings settings;
    settings.url = s.ICECAST_URL;
    settings.user = s.ICECAST_USER;
    settings.password = s.ICECAST_PASSWORD;
    settings.password_file = s.ICECAST_PASSWORD_FILE;
    settings.format = s.ICECAST_FORMAT;
    settings.bitrate = s.ICECAST_BITRATE;
    return settings;
}

void store_icecast_settings(StationState& s, const IcecastSettings& settings) {
    s.ICECAST_URL = settings.url;
    s.ICECAST_USER = settings.user;
    s.ICECAST_PASSWORD = settings.password;
    s.ICECAST_PASSWORD_FILE = settings.password_file;
    s.ICECAST_FORMAT = settings.format;
    s.ICECAST_BITRATE = settings.bitrate;
}

int check_icecast_settings(const IcecastSettings& s, std::string* problem) {
    if (s.url.empty()) return 1;
    IcecastTarget target;
    if (s.url.size() > ICECAST_URL_MAX) {
        *problem = "ICECAST_URL is longer than 255 characters";
        return 0;
    }
    if (!parse_icecast_url(s.url, &target, problem)) return 0;
    if (s.user.empty() || s.user.size() > ICECAST_FIELD_MAX || s.password.size() > ICECAST_FIELD_MAX) {
        *problem = "ICECAST_USER must be 1 to 127 characters and ICECAST_PASSWORD at most 127";
        return 0;
    }
    if (parse_icecast_format(s.format) < 0) {
        *problem = "ICECAST_FORMAT must be opus or mp3, not " + s.format;
        return 0;
    }
    if (s.bitrate != 0 && (s.bitrate < ICECAST_BITRATE_MIN || s.bitrate > ICECAST_BITRATE_MAX)) {
        *problem = "ICECAST_BITRATE must be 8 to 320 kbit/s (or empty for the format's default), not " +
                   std::to_string(s.bitrate);
        return 0;
    }
    return 1;
}

int read_icecast_password(const IcecastSettings& settings, const std::string& settings_file,
                          IcecastPassword* password, std::string* problem) {
    *password = IcecastPassword{settings.password, "", "ICECAST_PASSWORD"};
    if (!settings.password_file.empty()) {
        password->file = resolve_beside(settings_file, settings.password_file);
        password->key = "ICECAST_PASSWORD_FILE";
    } else {
        password->file = service_credential_path(ICECAST_PASSWORD_CREDENTIAL);
        password->key = std::string("the service credential ") + ICECAST_PASSWORD_CREDENTIAL;
    }
    if (password->file.empty()) {
        password->key = "ICECAST_PASSWORD";
        return 1;
    }
    password->from_credential = settings.password_file.empty();
    std::string why;
    FILE* file = open_regular_file(password->file.c_str(), &why);
    if (!file) {
        *problem = password->key + ": cannot read " + password->file + ": " + why;
        return 0;
    }
    // The first line; a password file may end with a newline or not.
    char line[ICECAST_FIELD_MAX + 3] = {};
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    std::string text = read ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty() || text.size() > ICECAST_FIELD_MAX) {
        *problem = password->key + ": " + password->file +
                   (text.empty() ? " holds no password on its first line"
                                 : " holds a password longer than 127 characters");
        return 0;
    }
    password->password = text;
    return 1;
}
