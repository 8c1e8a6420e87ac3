#include "wire/datagram_queue.h"

#include <cerrno>
#include <cstring>

#include "base/messages.h"

namespace {

// Errors that concern one datagram only (its destination, or a socket that
// no longer exists): retrying cannot help, and keeping the datagram at the
// head would hold back every other listener's datagrams behind it.
bool datagram_only_error(int code) {
    switch (code) {
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ECONNREFUSED:
        case EMSGSIZE:
        case EACCES:
        case EPERM:   // a firewall refusing the send
        case EINVAL:  // a destination port of 0, from a repeater entry without a port number
        case EDESTADDRREQ:
        case EAFNOSUPPORT:
        case EBADF:
        case ENOTSOCK:
            return true;
        default:
            return false;
    }
}

void pop_head(DatagramQueue& q) {
    q.head = (q.head + 1) % DATAGRAM_QUEUE_SIZE;
    --q.count;
}

}  // namespace

int bsendto(Services& services, DatagramQueue& q, int socket, const void* data, int length, int flags,
            const sockaddr_in* addr, int addr_len) {
    if (length < 0 || length > QUEUED_DATAGRAM_MAX || !addr || addr_len < 0 ||
        addr_len > static_cast<int>(sizeof(sockaddr_in))) {
        debug_trace(services, "Datagram of %d bytes not sent\n", length);
        return length;
    }
    if (q.count == DATAGRAM_QUEUE_SIZE) {
        // The socket has been blocked for 32 datagrams: the newest goes, the
        // waiting ones keep their order.
        ++q.dropped;
        debug_trace(services, "Queue full: datagram dropped (%d)\n", q.dropped);
        return length;
    }
    QueuedDatagram& entry = q.entries[q.tail];
    entry.socket = socket;
    if (length > 0) memcpy(entry.data, data, static_cast<size_t>(length));
    entry.length = length;
    entry.flags = flags;
    entry.addr = sockaddr_in{};
    memcpy(&entry.addr, addr, static_cast<size_t>(addr_len));
    entry.addr_len = addr_len;
    q.tail = (q.tail + 1) % DATAGRAM_QUEUE_SIZE;
    ++q.count;
    debug_trace(services, "--> %d %d %d\n", q.head, q.tail, q.ready ? 1 : 0);
    if (q.ready) send_next_datagram(services, q);
    return length;
}

void send_next_datagram(Services& services, DatagramQueue& q) {
    if (q.count == 0) {
        q.ready = true;
        return;
    }
    QueuedDatagram& entry = q.entries[q.head];
    errno = 0;
    int sent =
        q.send(entry.socket, entry.data, entry.length, entry.flags, &entry.addr, entry.addr_len);
    if (sent >= 0) {
        // A datagram goes whole or not at all.
        debug_trace(services, "<-- %d %d\n", q.head, q.tail);
        pop_head(q);
        q.ready = true;
        if (q.count > 0) services.host->request_write_notification(entry.socket);
        return;
    }
    int code = errno;
    if (socket_would_block(code)) {
        debug_trace(services, "-#- %d %d\n", q.head, q.tail);
        q.ready = false;
        services.host->request_write_notification(entry.socket);
        return;
    }
    debug_trace(services, "-#- %d %d %d \n", q.head, q.tail, socket_error_number(code));
    int socket = entry.socket;
    if (datagram_only_error(code)) {
        pop_head(q);
        if (q.count > 0) services.host->request_write_notification(socket);
    }
    // A datagram kept after an error is retried by the next call. Called from
    // a write notification the flag was clear: left so, later datagrams would
    // only queue behind it and no notification would ever come.
    q.ready = true;
    report_send_error(services, q, code);
}

// The code is marked before the box opens: the box runs a message loop in
// which the sender may call again.
void report_send_error(Services& services, DatagramQueue& q, int error) {
    // The operator knows the errors by their numbers (socket_error_number).
    const int code = socket_error_number(error);
    for (int i = 0; i < q.reported_count; ++i)
        if (q.reported_errors[i] == code) return;
    constexpr int kSlots = sizeof q.reported_errors / sizeof q.reported_errors[0];
    if (q.reported_count == kSlots) return;
    q.reported_errors[q.reported_count++] = code;
    show_message(services, false, Buttons::ok | Icon::error, load_text(services, 1014), code);
}

void drop_queued_datagrams(DatagramQueue& q) {
    q.head = q.tail = q.count = 0;
    q.ready = true;
}

void reset_send_errors(DatagramQueue& q) {
    q.reported_count = 0;
}
