#include "server/picture_service.h"

#include "app/context.h"

// Pictures are not served yet: no picture is ever loaded, so every slot stays
// empty and the sender announces no pictures.
int load_picture(Context& ctx, const char* path, int slot) { return 0; }

void free_picture(Context& ctx, int slot) {
    ctx.pictures.slots[slot] = PictureSlot{};
    if (slot == PICTURE_LOGO) ctx.pictures.shown_name.clear();
}

void handle_picture_request(Context& ctx, const sockaddr_in& from, int addr_len, const char* text,
                            uint32_t session) {
    debug_trace(ctx, "<%s>\n", text);
}
