#include "server/listener_table.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/messages.h"
#include "base/station_identity.h"
#include "codec/stream_rate.h"
#include "server/server_settings.h"
#include "wire/datagram_queue.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "server/station_socket.h"

namespace {

constexpr const char* kKeeperQuery = "Radio Velmora's Keeper";
constexpr int kProbeCount = 9;
constexpr int kLogMarkerLeft = 0;

struct Load {
    int active = 0;
    int64_t bytes_per_second = 0;
    bool repeater = false;
};

// One pass over the table: active listeners, the bytes per second they
// cost (R for the audio stream, C for the companion stream), and whether
// a repeater is among them.
Load measure_load(const ListenerTable& table) {
    const int64_t r = table.rate->TransferRate;
    const int64_t c = companion_rate(table.rate->TransferRate);
    Load load;
    for (const ListenerEntry& entry : table.entries) {
        if (entry.age >= AGE_FREE) continue;
        ++load.active;
        switch (entry.mode & 3) {
            case 0:
                load.bytes_per_second += r;
                break;
            case 1:
                load.bytes_per_second += c;
                break;
            case 2:
                load.bytes_per_second += r;
                break;
            case 3:
                load.bytes_per_second += r + c;
                break;
        }
        if (entry.mode & 2) load.repeater = true;
    }
    return load;
}

// Where the replies to one request go.
struct Replies {
    Services& services;
    const StationSocket& station;
    DatagramQueue& queue;
    const sockaddr_in& to;
    int addr_len;

    void send(const uint8_t* datagram, int size) const {
        int length = addr_len <= 0 || addr_len > static_cast<int>(sizeof to) ? sizeof to : addr_len;
        bsendto(services, queue, station.socket.fd(), datagram, size, 0, &to, length);
    }
};

// The weekday log line of a listener that left.
void log_departure(Services& services, const ListenerEntry& entry) {
    char line[160];
    format_listener_log_line(line, sizeof line, entry.addr, entry.joined, services.host->time_now(),
                             entry.mode, entry.count_at_join, kLogMarkerLeft, entry.reserved);
    write_daily_log(services, "%s", line);
}

// A newcomer is counted at R whatever it asked for; an old entry of the
// same address still counts in the load.
bool room_for_newcomer(const ListenerTable& table, const Load& load) {
    return 8 * load.bytes_per_second <= table.settings->BANDWIDTH - 8 * int64_t{table.rate->TransferRate};
}

bool outside_station_intranet(const ListenerTable& table, const StationSocket& station,
                              const sockaddr_in& from) {
    return table.identity->INTRANET &&
           outside_intranet(ntohl(from.sin_addr.s_addr), station.local_addr_host, station.net_mask);
}

}  // namespace

void reset_listener_table(ListenerTable& table) {
    // Addresses go too: a join takes the entry that holds its address before
    // any free one, and the repeater must land in slot 0 of a fresh table
    // even when it listened from another slot before.
    for (ListenerEntry& entry : table.entries) entry = ListenerEntry{};
}

int find_listener(const ListenerTable& table, const sockaddr_in& addr) {
    const uint32_t wanted = addr.sin_addr.s_addr;
    // Fibonacci hashing: the top 14 bits of the product.
    const uint32_t bucket = (wanted * 2654435769u) >> (32 - 14);
    static_assert(LISTENER_HINT_SLOTS == 1 << 14);
    const int hint = table.hints[bucket];
    if (hint >= 0 && hint < LISTENER_TABLE_SIZE && table.entries[hint].addr.sin_addr.s_addr == wanted)
        return hint;
    for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) {
        if (table.entries[i].addr.sin_addr.s_addr == wanted) {
            table.hints[bucket] = static_cast<int16_t>(i);
            return i;
        }
    }
    return -1;
}

bool outside_intranet(uint32_t addr_host, uint32_t station_host, uint32_t net_mask) {
    return (addr_host & net_mask) != (station_host & net_mask);
}

int handle_join(Services& services, ListenerTable& table, const StationSocket& station,
                DatagramQueue& queue, const OnAir& on_air, const sockaddr_in& from, int addr_len,
                int companion, const char* text) {
    if (!text) text = "";
    const ServerSettings& s = *table.settings;
    const StreamRate& rate = *table.rate;
    const uint32_t counter = on_air.seq;
    const Replies replies{services, station, queue, from, addr_len};
    uint8_t out[MAX_DATAGRAM];

    if (strcmp(text, kKeeperQuery) == 0) {
        table.keeper_watchdog = 0;
        int active = measure_load(table).active;
        replies.send(out, build_keeper_status(out, counter, rate.TransferRate, active, s.BANDWIDTH));
        return 0;
    }
    if (outside_station_intranet(table, station, from)) {
        replies.send(out, build_intranet_only(out, counter));
        return 0;
    }
    if (!user_list_admits(table.user_list, s.user_list_path.c_str(), text)) {
        replies.send(out, build_closed_site(out, counter));
        return 0;
    }

    int slot = find_listener(table, from);
    if (slot < 0) {
        for (int i = 0; i < LISTENER_TABLE_SIZE && slot < 0; ++i)
            if (table.entries[i].age == AGE_FREE) slot = i;
    }
    Load load = measure_load(table);
    if (slot < 0 || !room_for_newcomer(table, load)) {
        ++table.busy_rejections;
        log_busy_refusal(services, table.busy_log, from, companion & 1, load.active);
        replies.send(out, build_busy(out, counter));
        return 0;
    }

    ListenerEntry& entry = table.entries[slot];
    // A join repeated while the entry is active neither forgets that the
    // listener was heard nor gives an unheard one more time: repeated
    // forged joins buy no more audio than one.
    if (entry.age >= AGE_FREE) {
        entry.heard = false;
        entry.joined_ms = services.host->time_ms();
    }
    entry.age = 0;
    entry.addr_len = addr_len;
    entry.mode = (companion & 1) ? 1 : 0;
    if (strcmp(text, "Repeater") == 0) entry.mode |= 2;
    entry.addr = from;
    entry.joined = static_cast<uint32_t>(services.host->time_now());
    entry.reserved = 0;
    entry.count_at_join = measure_load(table).active;
    debug_trace(services, "Client %08lX %d %d added to %d\n",
                static_cast<unsigned long>(from.sin_addr.s_addr), entry.addr_len, entry.age, slot);

    replies.send(out, build_join_accepted(out, counter, entry.joined, rate.SamplingRate,
                                          table.identity->StationName.c_str(), on_air.song_text));
    for (int i = 0; i < kProbeCount; ++i)
        replies.send(out, build_bandwidth_probe(out, entry.joined, rate.TransferRate, *services.host));
    return 1;
}

void handle_multicast_query(Services& services, const ListenerTable& table, const StationSocket& station, DatagramQueue& queue,
                            const OnAir& on_air, const sockaddr_in& from, int addr_len) {
    const ServerSettings& s = *table.settings;
    const char* group = s.MBONE ? s.MBONEIP.c_str() : "0.0.0.0";
    uint8_t out[MAX_DATAGRAM];
    const Replies replies{services, station, queue, from, addr_len};
    replies.send(out, build_multicast_reply(out, on_air.seq, table.rate->SamplingRate, group,
                                            table.identity->StationName.c_str(), on_air.song_text));
}

void handle_leave(Services& services, ListenerTable& table, const sockaddr_in& from) {
    int slot = find_listener(table, from);
    if (slot < 0) return;
    ListenerEntry& entry = table.entries[slot];
    // A repeated leave finds the entry free already: it left once and is
    // logged once.
    if (entry.age >= AGE_FREE) return;
    entry.age = AGE_FREE;
    entry.heard = false;  // a keep-alive still on its way must not bring it back
    debug_trace(services, "Client %08lX removed from %d\n",
                static_cast<unsigned long>(from.sin_addr.s_addr), slot);
    if (static_cast<int64_t>(entry.joined) + 10 < services.host->time_now())
        log_departure(services, entry);
}

void handle_upgrade(const Services& services, ListenerTable& table, const sockaddr_in& from,
                    const char* text) {
    const ServerSettings& s = *table.settings;
    const int64_t r = table.rate->TransferRate;
    const int64_t c = companion_rate(table.rate->TransferRate);
    const int64_t load = measure_load(table).bytes_per_second;
    if (8 * load > s.BANDWIDTH + 8 * (r - c)) return;
    int slot = find_listener(table, from);
    // Only a listener still here is upgraded: one that has left would come
    // back without the join rules, and the check above counted it at R - C,
    // not at the C it would add.
    if (slot < 0 || table.entries[slot].age >= AGE_FREE) return;
    ListenerEntry& entry = table.entries[slot];
    entry.age = 0;
    if (text && strcmp(text, "Repeater") == 0)
        entry.mode = 8 * load < s.BANDWIDTH - 8 * c ? 3 : 2;
    else
        entry.mode = 1;
}

void add_receiver(Services& services, ListenerTable& table, const StationSocket& station,
                  DatagramQueue& queue, const OnAir& on_air) {
    reset_listener_table(table);
    const std::string& setting = table.settings->RepeaterIP;
    if (setting.empty() || setting[0] == ' ') return;

    std::string host = setting;
    long port = REPEATER_PORT_DEFAULT;
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        port = atol(host.c_str() + colon + 1);
        host.erase(colon);
    }
    uint32_t addr_net = 0;
    if (!resolve_ipv4(host.c_str(), &addr_net)) {
        debug_trace(services, "Repeater %s not found\n", host.c_str());
        show_message(services, true, Buttons::ok | Icon::warning, "Repeater %s: %s", host.c_str(),
                     lookup_error_text(services, LookupError::not_found));
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = addr_net;
    // The repeater is the operator's own choice, not a stranger's request:
    // it needs no sign of life to keep its place.
    if (handle_join(services, table, station, queue, on_air, to, sizeof to, 0, "Receiver") == 1)
        table.entries[find_listener(table, to)].heard = true;
}

int hear_listener(ListenerTable& table, const sockaddr_in& from) {
    int slot = find_listener(table, from);
    if (slot < 0 || table.entries[slot].age >= AGE_FREE) return -1;
    table.entries[slot].heard = true;
    return slot;
}

bool is_heard_listener(const ListenerTable& table, const sockaddr_in& from) {
    int slot = find_listener(table, from);
    if (slot < 0) return false;
    const ListenerEntry& entry = table.entries[slot];
    return entry.age < AGE_FREE && entry.heard && entry.addr.sin_port == from.sin_port;
}

int revive_listener(Services& services, ListenerTable& table, const StationSocket& station,
                    const sockaddr_in& from) {
    int slot = find_listener(table, from);
    if (slot < 0) return -1;
    ListenerEntry& entry = table.entries[slot];
    if (entry.age < AGE_FREE || !entry.heard) return -1;
    if (outside_station_intranet(table, station, from) ||
        !room_for_newcomer(table, measure_load(table)) ||
        !admit_request(services, table.admission, from))
        return -1;
    entry.age = 0;
    entry.heard = false;
    entry.joined_ms = services.host->time_ms();
    debug_trace(services, "Client %08lX revived in %d\n",
                static_cast<unsigned long>(from.sin_addr.s_addr), slot);
    return slot;
}

void tend_listener_table(Services& services, ListenerTable& table) {
    const uint32_t now = services.host->time_ms();
    for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) {
        ListenerEntry& entry = table.entries[i];
        if (entry.age >= AGE_FREE || entry.heard || now - entry.joined_ms < FIRST_SIGN_OF_LIFE_MS)
            continue;
        debug_trace(services, "Client %08lX not heard since its join, removed from %d\n",
                    static_cast<unsigned long>(entry.addr.sin_addr.s_addr), i);
        // Cleared, address and all: a keep-alive forged later cannot revive it.
        entry = ListenerEntry{};
    }
    close_busy_log_minute(services, table.busy_log);
}

int listener_load(const Services& services, ListenerTable& table, bool on_air, int* load_bps) {
    Load load = measure_load(table);
    if (!on_air) load.bytes_per_second = 0;
    table.repeater_present = load.repeater;
    if (load_bps) {
        int64_t bits = 8 * load.bytes_per_second;
        *load_bps = bits > INT_MAX ? INT_MAX : static_cast<int>(bits);
    }
    return load.active;
}
