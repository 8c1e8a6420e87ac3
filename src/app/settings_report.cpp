#include "app/settings_report.h"

#include <algorithm>

#include "base/station_state.h"
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

std::string problem_text(const SettingsProblem& problem) {
    if (problem.file.empty()) return problem.text;
    std::string text = problem.file;
    if (problem.line > 0) text.append(":").append(std::to_string(problem.line));
    return text.append(": ").append(problem.text);
}
