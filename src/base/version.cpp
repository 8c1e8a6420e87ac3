#include "base/version.h"

#include <cstring>

// Set for this file alone by the build (src/CMakeLists.txt), so a new
// commit recompiles nothing else.
#ifndef VELMORA_BUILD_ID
#define VELMORA_BUILD_ID "unknown"
#endif

const char* build_id() { return VELMORA_BUILD_ID[0] ? VELMORA_BUILD_ID : "unknown"; }

void print_version(const char* program) {
    printf("%s %s (build %s)\n", program, PROGRAM_VERSION, build_id());
}

int answer_help_or_version(int argc, char** argv, const char* program, void (*usage)(FILE* out)) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 1;
        }
        if (strcmp(argv[i], "--version") == 0) {
            print_version(program);
            return 1;
        }
    }
    return 0;
}
