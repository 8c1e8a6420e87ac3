#pragma once
// velmora-broadcaster's command line, and the script it names.

#include <QStringList>
#include <string>

#include "shell/common/command_line.h"

struct Context;

struct BroadcasterOptions {
    std::string settings_name;  // empty: the default settings file
    std::string script;         // empty: the script the settings name
    bool start_minimised = false;
    bool unattended = false;    // also set by --screenshot
    std::string skin_dir;
    std::string screenshot;
    double after = 1.0;  // seconds before the screenshot
};

// Parses velmora-broadcaster's arguments (its name first, Qt's own options
// taken out) into `options`. An argument ending in ".VSK" (any case) is the
// script; another one is the settings file.
ParseOutcome parse_broadcaster_options(const QStringList& arguments, BroadcasterOptions& options);

// The script named on the command line, selected as the Options dialog
// selects one: a script feed playing `path` (made absolute). Kept in memory
// for this run only: the settings file keeps its own StationScript until
// the operator confirms the choice with OK in Options. "" when it is taken,
// else why not (too long a path; a file that cannot be opened).
std::string select_script(Context& ctx, const std::string& path);
