#include "app/version.h"

#include "build_id.h"

const char* velmora_build_id() { return VELMORA_BUILD_ID; }

std::string version_text(const char* program) {
    return std::string(program) + " " + VELMORA_VERSION + " (build " + VELMORA_BUILD_ID + ")";
}
