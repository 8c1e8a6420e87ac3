#pragma once
// The version the programs show, and the build they came from.

#include <string>

constexpr const char* VELMORA_VERSION = "2.18";

// The git commit the program was built from, or its build date when the
// sources were no git checkout.
const char* velmora_build_id();

// The answer of every tool to --version: "<program> 2.18 (build <id>)".
std::string version_text(const char* program);
