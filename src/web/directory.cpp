#include "web/directory.h"

#include "app/context.h"

// The directory is not contacted yet.
void directory_add(Context& ctx) {}
void directory_remove(Context& ctx) {}
