#pragma once
// The problems found in a station's settings and in what they name, as the
// settings loader and the checks (app/settings_check.h) report them.

#include <string>
#include <vector>

struct SettingsProblem {
    std::string file;   // the file the problem is in; "" when none
    int line = 0;       // its line, from 1; 0 when no line holds it
    std::string text;   // "IP_ADDR=300.1.2.3 is not a dotted IPv4 address"
    bool error = true;  // false: a value was replaced or clamped and the station runs on
};

struct SettingsReport {
    std::vector<SettingsProblem> problems;
    int errors() const;
    int warnings() const;
};

void add_problem(SettingsReport& report, const std::string& file, int line, const std::string& text,
                 bool error);
// A problem of a key of the settings file, at the key's line.
void add_key_problem(SettingsReport& report, const std::string& settings_file, const char* key,
                     const std::string& text, bool error);

// "FILE:LINE: TEXT" ("FILE: TEXT" without a line, "TEXT" without a file).
std::string problem_text(const SettingsProblem& problem);
