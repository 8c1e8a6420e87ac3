#include "app/station.h"

#include <cstdio>
#include <cstring>

#include "app/context.h"
#include "wire/datagram_queue.h"
#include "media/picture_slots.h"
#include "media/script_table.h"
#include "server/listener_table.h"
#include "server/script_source.h"
#include "server/sender.h"
#include "server/station_list_files.h"
#include "server/station_socket.h"
#include "web/directory.h"

int open_station(Context& ctx, const char* host_name, const char* multicast_group,
                 const char* logo_path, const char* station_name) {
    reset_listener_table(ctx.listeners);
    ctx.listeners.busy_rejections = 0;
    memset(ctx.sender.resend, 0, sizeof ctx.sender.resend);
    ctx.sender.resend_write = 0;
    ctx.sender.unplayable.clear();
    ctx.sender.stop_asked = false;
    // A live list starts again with the entry on show when the last broadcast stopped.
    ctx.sender.picture_countdown = -1;
    ctx.sender.live_entry_shown = false;
    if (!open_station_socket(ctx, ctx.station, host_name, multicast_group)) return 0;
    tell_master_station_opens(ctx, ctx.station, ctx.queue, station_name);

    if (logo_path && *logo_path) {
        load_picture(ctx, ctx.pictures, logo_path, PICTURE_LOGO);
        // The logo could not be held: the program ends.
        if (!ctx.station.socket.is_open()) return 0;
    }
    write_station_lists(ctx, ctx.station);
    // The directory add waits for the first tick (Command::list_station): a
    // directory that is slow to answer must not keep the station silent.
    ctx.controller.listing_due = true;
    return 1;
}

void close_station(Context& ctx) {
    ctx.outputs.stopped(ctx);
    if (!ctx.station.socket.is_open()) return;
    tell_master_station_closes(ctx, ctx.station, ctx.queue);
    ctx.controller.listing_due = false;
    close_station_socket(ctx, ctx.station);
    // Nobody listens to a closed station: the caption, the panel and the
    // status line count 0 from now on.
    reset_listener_table(ctx.listeners);
    forget_station_traffic(ctx.sender);
    // Whatever still waits in the queue was meant for the socket just closed;
    // left there it would go out on the next broadcast's socket.
    drop_queued_datagrams(ctx.queue);

    free_picture(ctx.pictures, PICTURE_MAIN);
    free_picture(ctx.pictures, PICTURE_LOGO);
    ctx.pictures.shown_name.clear();
    free_script_table(ctx, ctx.script);

    if (ctx.live_ring.feed_mode == FeedMode::script) close_song(ctx.sender);
    // Last: the audio has stopped and the socket is closed, so a slow
    // directory holds nothing but the stop itself (for a few seconds).
    directory_remove(ctx, ctx.web, ctx.station.socket.fd(), ctx.station.local_addr_host);
}
