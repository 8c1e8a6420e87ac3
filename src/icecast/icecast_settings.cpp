#include "icecast/icecast_settings.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "platform/safe_files.h"

namespace {

// The mount goes into the request line and names a place on the server:
// only plain characters, and no "." or ".." step that would climb to
// another of its pages (/../admin/metadata), no empty step that a server
// may fold away (//admin/metadata), and nothing among its own pages.
std::string mount_problem(const std::string& mount) {
    for (char c : mount)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("/._-~", c))
            return "holds a blank, '?', '#' or another character than letters, digits and / . _ - ~";
    for (size_t start = 1; start <= mount.size();) {
        size_t end = mount.find('/', start);
        if (end == std::string::npos) end = mount.size();
        const std::string step = mount.substr(start, end - start);
        if (step == "." || step == "..") return "holds a \"" + step + "\" step";
        if (step.empty()) return "holds an empty step (\"//\" or a \"/\" at its end)";
        if (start == 1 && (strcasecmp(step.c_str(), "admin") == 0 ||
                           strcasecmp(step.c_str(), "admin.cgi") == 0))
            return "lies among the server's own pages (/admin)";
        start = end + 1;
    }
    return "";
}

}  // namespace

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
    if (std::string why = mount_problem(t.mount); !why.empty()) {
        *problem = "ICECAST_URL's mount point " + why + ": " + url;
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

std::string icecast_bitrate_problem(long kbits) {
    if (kbits >= ICECAST_BITRATE_MIN && kbits <= ICECAST_BITRATE_MAX) return "";
    return "ICECAST_BITRATE must be " + std::to_string(ICECAST_BITRATE_MIN) + " to " +
           std::to_string(ICECAST_BITRATE_MAX) +
           " kbit/s (or empty for the format's default), not " + std::to_string(kbits);
}

std::vector<IcecastProblem> icecast_settings_problems(const IcecastSettings& s) {
    std::vector<IcecastProblem> problems;
    if (s.url.empty()) return problems;
    IcecastTarget target;
    std::string problem;
    if (s.url.size() > ICECAST_URL_MAX)
        problems.push_back({"ICECAST_URL", "ICECAST_URL is longer than 255 characters"});
    else if (!parse_icecast_url(s.url, &target, &problem))
        problems.push_back({"ICECAST_URL", problem});
    if (s.user.empty() || s.user.size() > ICECAST_FIELD_MAX)
        problems.push_back({"ICECAST_USER", "ICECAST_USER must be 1 to 127 characters"});
    if (s.password.size() > ICECAST_FIELD_MAX)
        problems.push_back({"ICECAST_PASSWORD", "ICECAST_PASSWORD must be at most 127 characters"});
    if (parse_icecast_format(s.format) < 0)
        problems.push_back({"ICECAST_FORMAT", "ICECAST_FORMAT must be opus or mp3, not " + s.format});
    if (std::string why = icecast_bitrate_problem(s.bitrate); s.bitrate != 0 && !why.empty())
        problems.push_back({"ICECAST_BITRATE", why});
    return problems;
}

int check_icecast_settings(const IcecastSettings& s, std::string* problem) {
    const std::vector<IcecastProblem> problems = icecast_settings_problems(s);
    if (problems.empty()) return 1;
    *problem = problems.front().text;
    return 0;
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
