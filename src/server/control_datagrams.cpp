#include "server/control_datagrams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "media/script_table.h"
#include "platform/udp_socket.h"
#include "server/listener_table.h"
#include "server/picture_service.h"
#include "server/server_settings.h"
#include "server/sender_state.h"
#include "server/station_parts.h"
#include "server/station_socket.h"

namespace {

constexpr char kQuitText[] = "QuitNow!";
// A tick reads at most this many control datagrams; the rest wait for the
// next tick. Without a bound a flood (or a buggy listener) faster than the
// handlers would hold the tick, and every listener's audio, for as long as
// it lasts. One request per listener and tick stays well inside it.
constexpr int kMaxControlDatagramsPerTick = LISTENER_TABLE_SIZE;

const uint8_t* address_bytes(const sockaddr_in& addr) {
    return reinterpret_cast<const uint8_t*>(&addr.sin_addr.s_addr);
}

// Answers to the address and port of the listener's entry, never to the
// request's port: a forged request cannot aim the audio elsewhere.
void resend_from_store(SenderState& sender, const StationSocket& station,
                       const ListenerEntry& listener, uint32_t seq, uint32_t session) {
    for (ResendSlot& slot : sender.resend) {
        PacketHeader stored = get_packet_header(slot.bytes);
        if (!(stored.flags & PF_AUDIO) || stored.seq != seq) continue;
        put_wire_session(slot.bytes, session);
        // Straight out, not through the queue: a resend is worth nothing late.
        udp_send_to(station.socket.fd(), slot.bytes, stored.length + PACKET_HEADER_SIZE, 0,
                    &listener.addr, listener.addr_len);
        ++sender.counters.resends_sent;
        return;
    }
}

// PF_KEEPALIVE: a keep-alive (length > 0) or a resend request (length 0).
// A listener with an active entry is refreshed and served; an entry that
// has aged out is revived only as a join would be admitted (and only when
// its listener had been heard before): a stranger could otherwise have
// audio sent to any address it names as its own.
void handle_keepalive(Services& services, SenderState& sender, ListenerTable& listeners,
                      const StationSocket& station, const sockaddr_in& from,
                      const ReceivedDatagram& datagram) {
    int index = hear_listener(listeners, from);
    if (index < 0) index = revive_listener(services, listeners, station, from);
    if (index >= 0) listeners.entries[index].age = 0;

    const uint8_t* a = address_bytes(from);
    if (datagram.header.length != 0) {
        char line[128];
        int used = snprintf(line, sizeof line, "%d.%d.%d.%d ", a[0], a[1], a[2], a[3]);
        for (int pair = 0; pair < 8 && 2 * pair < datagram.header.length; ++pair)
            used += snprintf(line + used, sizeof line - used, "%d", datagram.payload[2 * pair]);
        debug_trace(services, "%s\n", line);
        return;
    }
    debug_trace(services, "%d.%d.%d.%d Recover %d", a[0], a[1], a[2], a[3],
                static_cast<int>(datagram.header.seq));
    if (index < 0) {
        debug_trace(services, "Recover refused: %d.%d.%d.%d is not listening\n", a[0], a[1], a[2],
                    a[3]);
        return;
    }
    ++sender.counters.resend_requests;
    resend_from_store(sender, station, listeners.entries[index], datagram.header.seq,
                      datagram.header.session);
}

void read_load_report(Services& services, SenderState& sender, const ReceivedDatagram& datagram) {
    int listeners = sender.load_report[0];
    int second = sender.load_report[1];
    sscanf(reinterpret_cast<const char*>(datagram.payload), "%d/%d", &listeners, &second);
    sender.load_report[0] = listeners;
    sender.load_report[1] = second;
    sender.load_report_time = services.host->time_now();
}

// Runs the handlers of one datagram in their fixed order; several may run.
ControlResult dispatch(const StationParts& ctx, const sockaddr_in& from, int from_len,
                       const ReceivedDatagram& datagram) {
    uint16_t flags = datagram.header.flags;
    const char* text = reinterpret_cast<const char*>(datagram.payload);
    debug_trace(ctx.services, "[%04X]", flags);
    const uint8_t* a = address_bytes(from);
    // Only a forger sends from the station's own address and port, to have
    // it answer itself for ever; a listener on the station's machine has a
    // port of its own.
    if (from.sin_addr.s_addr == ctx.station.local_addr_net &&
        ntohs(from.sin_port) == ctx.station.settings->STATION_PORT) {
        debug_trace(ctx.services, "from the station's own port, ignored\n");
        return CONTROL_DONE;
    }
    if (is_station_reply(flags, datagram.payload, datagram.header.length)) {
        debug_trace(ctx.services, "a station's datagram from %d.%d.%d.%d ignored\n", a[0], a[1],
                    a[2], a[3]);
        return CONTROL_DONE;
    }
    // Joins and queries are answered to whatever address they carry: the
    // admission limits decide before anything is sent.
    bool join = (flags & PF_TEXT) && !(flags & PF_PICTURE);
    bool answered = !(join || (flags & PF_MULTICAST_QUERY)) ||
                    admit_request(ctx.services, ctx.listeners.admission, from,
                                  join && is_heard_listener(ctx.listeners, from));

    if (flags & PF_LOAD_REPORT) read_load_report(ctx.services, ctx.sender, datagram);
    if ((flags & PF_LEAVE) && !(flags & PF_PICTURE))
        handle_leave(ctx.services, ctx.listeners, from);
    if (flags & PF_TEXT) {
        if (join) {
            if (answered)
                handle_join(ctx.services, ctx.listeners, ctx.station, ctx.queue,
                            on_air(ctx.sender, ctx.script), from, from_len, flags & PF_COMPANION,
                            text);
        } else if (hear_listener(ctx.listeners, from) >= 0) {
            // A tile reply is some 5 kB for a 14-byte request: only a
            // listener in the table gets one, or a forger could aim them
            // at anybody.
            handle_picture_request(ctx.services, ctx.pictures, ctx.codec, ctx.station, ctx.queue,
                                   ctx.sender.packet_counter, from, from_len, text,
                                   datagram.header.session);
        } else {
            debug_trace(ctx.services, "picture request from %d.%d.%d.%d ignored: not listening\n",
                        a[0], a[1], a[2], a[3]);
        }
        if (!ctx.station.socket.is_open()) return CONTROL_CLOSED;
    }
    if ((flags & PF_MULTICAST_QUERY) && answered)
        handle_multicast_query(ctx.services, ctx.listeners, ctx.station, ctx.queue, on_air(ctx.sender, ctx.script),
                               from, from_len);
    if (flags & PF_UPGRADE) {
        hear_listener(ctx.listeners, from);
        if (ctx.station.settings->Stream2X) handle_upgrade(ctx.services, ctx.listeners, from, text);
    }
    if (flags & PF_KEEPALIVE)
        handle_keepalive(ctx.services, ctx.sender, ctx.listeners, ctx.station, from, datagram);
    if (!ctx.station.socket.is_open()) return CONTROL_CLOSED;

    if (strcmp(text, kQuitText) == 0) {
        if (quit_allowed_from(ctx.station, from)) return CONTROL_QUIT;
        debug_trace(ctx.services, "QuitNow! from %d.%d.%d.%d ignored\n", a[0], a[1], a[2], a[3]);
    }
    return CONTROL_DONE;
}

}  // namespace

ControlResult receive_control_datagrams(const StationParts& ctx) {
    if (!read_station_socket(ctx.services, ctx.station, ctx.sender.intake)) return CONTROL_CLOSED;
    ReceiveIntake& intake = ctx.sender.intake;
    for (int handled = 0; intake.count > 0; ++handled) {
        if (handled == kMaxControlDatagramsPerTick) {
            debug_trace(ctx.services, "%d control datagrams read, the rest wait\n", handled);
            break;
        }
        // The slot is free once taken: the datagram is parsed before any
        // handler can run a message loop that reads the socket again.
        const UdpReceived& slot = intake.slots[intake.head];
        sockaddr_in from = slot.from;
        intake.head = (intake.head + 1) % INTAKE_SLOTS;
        --intake.count;
        ControlResult result =
            handle_control_datagram(ctx, from, slot.from_len, slot.bytes, slot.size);
        if (result != CONTROL_DONE) return result;
    }
    if (intake.paused) {
        intake.paused = false;
        ctx.services.host->set_read_notification(ctx.station.socket.fd(), true);
    }
    return CONTROL_DONE;
}

int read_station_socket(Services& services, const StationSocket& station, ReceiveIntake& intake) {
    for (;;) {
        if (!station.socket.is_open()) return 0;
        int socket = station.socket.fd();
        if (intake.count == INTAKE_SLOTS) {
            // Full: the rest stays in the kernel until a tick has made room.
            if (!intake.paused) services.host->set_read_notification(socket, false);
            intake.paused = true;
            return 1;
        }
        int tail = (intake.head + intake.count) % INTAKE_SLOTS;
        int room = std::min(INTAKE_SLOTS - intake.count, INTAKE_SLOTS - tail);
        for (int i = tail; i < tail + room; ++i) {
            intake.slots[i].bytes = intake.storage[i];
            intake.slots[i].capacity = INTAKE_DATAGRAM_BYTES;
        }
        int got = udp_receive_many(socket, &intake.slots[tail], room);
        if (got == 0) return 1;
        if (got > 0) {
            intake.count += got;
            continue;
        }
        int error = errno;
        // An ICMP message about a listener that went away comes back as a
        // refused or reset "connection"; it says nothing about us.
        if (error == ECONNREFUSED || error == ECONNRESET) {
            debug_trace(services, "recvfrom: a listener has gone (%d)\n",
                        socket_error_number(error));
            continue;
        }
        if (error == EINTR) continue;
        if (socket_would_block(error)) return 1;
        station_fatal(services, "recvfrom", error, EXIT_SOCKET_FAILED);
        return 0;
    }
}

ControlResult handle_control_datagram(const StationParts& ctx, const sockaddr_in& from,
                                      int from_len, const uint8_t* bytes, int size) {
    ReceivedDatagram& datagram = ctx.sender.received;
    if (!parse_datagram(bytes, size, datagram)) {
        debug_trace(ctx.services, "Datagram of %d bytes ignored\n", size);
        return CONTROL_DONE;
    }
    return dispatch(ctx, from, from_len, datagram);
}

bool quit_allowed_from(const StationSocket& station, const sockaddr_in& from) {
    uint32_t addr = from.sin_addr.s_addr;
    if (addr == station.local_addr_net) return true;
    return station.master_known && addr == station.master.sin_addr.s_addr;
}

OnAir on_air(const SenderState& sender, const ScriptTable& script) {
    return OnAir{sender.packet_counter, script_entry_text(script, sender.entry_index)};
}
