#include "app/version.h"

#include <cstdio>

// Set for this file alone by the build (src/CMakeLists.txt), so a new
// commit recompiles nothing else.
#ifndef VELMORA_BUILD_ID
#define VELMORA_BUILD_ID "unknown"
#endif

const char* build_id() { return VELMORA_BUILD_ID[0] ? VELMORA_BUILD_ID : "unknown"; }

void print_version(const char* program) {
    printf("%s %s (build %s)\n", program, PROGRAM_VERSION, build_id());
}
