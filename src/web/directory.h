#pragma once
// The station's entry in the web station directory.

struct Context;

// Adds the open station to the directory (not in intranet mode).
void directory_add(Context& ctx);
// Removes the station from the directory when it was listed.
void directory_remove(Context& ctx);
