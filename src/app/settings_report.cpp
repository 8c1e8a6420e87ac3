#include "app/settings_report.h"

#include <algorithm>
#include <cstdio>

#include "app/station_state.h"
#include "platform/profile.h"

int SettingsReport::errors() const {
    return int(std::count_if(problems.begin(), problems.end(), [](const SettingsProblem& p) { return p.error; }));
}

int SettingsReport::warnings() const { return int(problems.size()) - errors(); }

void add_problem(SettingsReport& report, const std::string& file, int line, const std::string& text,
                 bool error) {
    report.problems.push_back({file, line, text, error});
}

void add_key_problem(SettingsReport& report, const std::string& settings_file, const char* key,
                     const std::string& text, bool error) {
    add_problem(report, settings_file,
                private_profile_key_line(SETTINGS_SECTION, key, settings_file.c_str()), text, error);
}

namespace {

// A value quoted into a message may hold any byte: a NUL would end the
// message where it is printed, other controls would drive the terminal.
std::string visible(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= ' ' && c != 0x7F) {
            shown += char(c);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        shown += escaped;
    }
    return shown;
}

}  // namespace

std::string problem_text(const SettingsProblem& problem) {
    if (problem.file.empty()) return visible(problem.text);
    std::string text = visible(problem.file);
    if (problem.line > 0) text.append(":").append(std::to_string(problem.line));
    return text.append(": ").append(visible(problem.text));
}
