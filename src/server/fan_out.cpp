#include "server/fan_out.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/messages.h"
#include "wire/datagram_queue.h"
#include "platform/udp_socket.h"
#include "server/listener_table.h"
#include "server/server_settings.h"
#include "server/sender_state.h"
#include "server/station_socket.h"

namespace {

bool repeater_set(const ServerSettings& settings) {
    return !settings.RepeaterIP.empty() && settings.RepeaterIP[0] != ' ';
}

// A stop taken in the message loop of a send error box closes the station
// in the middle of the fan-out: what is left of the tick is not sent.
void send_datagram(Services& services, const StationSocket& station, DatagramQueue& queue,
                   const WireDatagram& datagram, const sockaddr_in& to, int to_len) {
    if (!station.socket.is_open()) return;
    bsendto(services, queue, station.socket.fd(), datagram.bytes, datagram.size, 0, &to, to_len);
}

// Every active listener's datagrams are stamped with its admission time;
// then everybody ages by one tick. The tick's datagrams are batched, a
// listener's in the order song text, picture notice, companion audio, audio.
void add_to_batch(FanOut& fan_out, const WireDatagram& datagram, const ListenerEntry& listener) {
    int k = fan_out.count++;
    memcpy(fan_out.heads[k], datagram.bytes, PACKET_HEADER_SIZE);
    put_wire_session(fan_out.heads[k], listener.joined);
    fan_out.addrs[k] = listener.addr;
    int addr_len = listener.addr_len;
    if (addr_len <= 0 || addr_len > static_cast<int>(sizeof listener.addr))
        addr_len = sizeof listener.addr;
    fan_out.messages[k] = UdpMessage{&fan_out.addrs[k],
                                     addr_len,
                                     fan_out.heads[k],
                                     PACKET_HEADER_SIZE,
                                     datagram.bytes + PACKET_HEADER_SIZE,
                                     datagram.size - PACKET_HEADER_SIZE};
    // What any IPv4 path carries whole: 576 bytes with the IP and UDP headers.
    constexpr int kUnfragmentedMost = 576 - 28;
    if (datagram.size > kUnfragmentedMost) fan_out.batch_small = false;
}

// Fills the next batch from the table, ageing each listener taken.
void fill_batch(SenderState& sender, ListenerTable& listeners) {
    FanOut& f = sender.fan_out;
    f.count = f.sent = 0;
    f.batch_small = true;
    constexpr int kMostPerListener = 4;
    while (f.next_listener < LISTENER_TABLE_SIZE && f.count + kMostPerListener <= FAN_OUT_BATCH) {
        int i = f.next_listener++;
        ListenerEntry& listener = listeners.entries[i];
        if (listener.age >= AGE_FREE) continue;
        if (f.song_text) add_to_batch(f, sender.song_text, listener);
        if (f.picture_notice) add_to_batch(f, sender.picture_notice, listener);
        if ((listener.mode & 1) && f.companion_flowing) add_to_batch(f, sender.companion, listener);
        if ((listener.mode & 2) || listener.mode == 0) {
            add_to_batch(f, sender.audio, listener);
            if (!f.stored) {
                memcpy(sender.resend[sender.resend_write].bytes, sender.audio.bytes,
                       static_cast<size_t>(sender.audio.size));
                sender.resend_write = (sender.resend_write + 1) % RESEND_SLOTS;
                f.stored = true;
            }
        }
        if (!(i == 0 && f.slot0_kept)) ++listener.age;
    }
}

// Sends batches until the tick's fan-out is done or the socket is full
// (0), or a datagram fails (its error code; that datagram is passed over).
int send_batches(Services& services, SenderState& sender, ListenerTable& listeners,
                 const StationSocket& station) {
    FanOut& f = sender.fan_out;
    const int socket = station.socket.fd();
    // A batch of datagrams small enough for any path goes out with "don't
    // fragment": the system then skips choosing a fragment id for each, a
    // fifth of its cost per datagram. Larger ones (and the replies sent
    // between two fan-outs) go as before.
    bool dont_fragment = false;
    int error = 0;
    while (f.active && !error) {
        if (!station.socket.is_open()) {
            f.active = false;
            return 0;  // the socket is gone
        }
        if (f.sent == f.count) {
            fill_batch(sender, listeners);
            if (f.count == 0) {
                f.active = false;
                break;
            }
        }
        if (f.batch_small != dont_fragment && udp_set_dont_fragment(socket, f.batch_small) == 0)
            dont_fragment = f.batch_small;
        errno = 0;
        int gone = f.send(socket, f.messages + f.sent, f.count - f.sent);
        f.sent += std::max(gone, 0);
        sender.counters.fan_out_sent += std::max(gone, 0);
        if (f.sent == f.count) continue;
        int code = errno;
        if (socket_would_block(code)) {
            f.waiting = true;
            services.host->request_write_notification(socket);
            break;
        }
        if (code == EINTR) continue;
        ++f.sent;
        error = code;
    }
    if (dont_fragment) udp_set_dont_fragment(socket, false);
    return error;
}

}  // namespace

void continue_fan_out(Services& services, SenderState& sender, ListenerTable& listeners,
                      const StationSocket& station, DatagramQueue& queue) {
    FanOut& f = sender.fan_out;
    f.waiting = false;
    while (f.active && !f.waiting) {
        int error = send_batches(services, sender, listeners, station);
        // Any failure but a full socket concerns one datagram (its
        // destination, mostly): it is lost, the other listeners' go on. The
        // operator hears of each kind of failure once.
        if (error) report_send_error(services, queue, error);
    }
}

void send_multicast(Services& services, const SenderState& sender, const StationSocket& station,
                    DatagramQueue& queue, const TickNews& news) {
    if (!station.settings->MBONE || !station.multicast) return;
    const sockaddr_in& group = station.multicast_dest;
    if (news.song_text)
        send_datagram(services, station, queue, sender.song_text, group, sizeof group);
    if (news.picture_notice)
        send_datagram(services, station, queue, sender.picture_notice, group, sizeof group);
    send_datagram(services, station, queue, sender.audio, group, sizeof group);
}

void start_fan_out(Services& services, SenderState& sender, ListenerTable& listeners,
                   const StationSocket& station, DatagramQueue& queue, const TickNews& news) {
    FanOut& f = sender.fan_out;
    if (f.active) {
        // The socket could not take the last tick in time: what it still
        // holds back is late now and goes no more.
        continue_fan_out(services, sender, listeners, station, queue);
        if (f.active) {
            ++f.cut_short;
            debug_trace(services, "Fan-out cut short at listener %d (%d)\n", f.next_listener,
                        f.cut_short);
        }
    }
    f.active = true;
    f.waiting = false;
    f.count = f.sent = 0;
    f.next_listener = 0;
    f.song_text = news.song_text;
    f.picture_notice = news.picture_notice;
    f.companion_flowing = news.companion_flowing;
    // The repeater of RepeaterIP holds slot 0 for good.
    f.slot0_kept = repeater_set(*station.settings);
    f.stored = false;
    continue_fan_out(services, sender, listeners, station, queue);
}
