#pragma once
// The version every program reports with --version: the release number and
// the build id, the git commit the build was configured from ("unknown" when
// it was built outside a git checkout).

#include <cstdio>

constexpr const char* PROGRAM_VERSION = "2.18";

// The build id compiled in (never empty).
const char* build_id();

// Prints "<program> 2.18 (build <id>)" and a line break to stdout.
void print_version(const char* program);

// Answers "--help" or "-h" (the usage, printed by `usage` to stdout) and
// "--version" wherever they stand among the arguments. 1 when one was
// answered (the program then ends with status 0), else 0.
int answer_help_or_version(int argc, char** argv, const char* program, void (*usage)(FILE* out));
