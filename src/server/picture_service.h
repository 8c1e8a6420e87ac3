#pragma once
// The picture service: the two picture slots, picture loading and the
// answers to listeners' picture requests.

#include <netinet/in.h>

#include <cstdint>

#include "server/picture_slots.h"

struct Context;

// Loads the picture file at `path` into `slot` (PICTURE_MAIN or PICTURE_LOGO).
// Returns 1 when the slot holds the picture, 0 when it stays empty. A picture
// that cannot be held in memory ends the program (status 9) after
// close_station; callers see the station socket closed and stop.
int load_picture(Context& ctx, const char* path, int slot);

// Frees the slot; freeing the logo slot also forgets the shown picture name.
void free_picture(Context& ctx, int slot);

// Answers one picture request (PF_TEXT + PF_PICTURE) from `from`.
void handle_picture_request(Context& ctx, const sockaddr_in& from, int addr_len, const char* text,
                            uint32_t session);
