#pragma once
// The version every program reports with --version: the release number and
// the build id, the git commit the build was configured from ("unknown" when
// it was built outside a git checkout).

constexpr const char* PROGRAM_VERSION = "2.18";

// The build id compiled in (never empty).
const char* build_id();

// Prints "<program> 2.18 (build <id>)" and a line break to stdout.
void print_version(const char* program);
