#pragma once
// The listener table: 8192 entries held for the life of the process.
// An `age` of 125 marks a free entry; 0..124 is an active listener.

#include <netinet/in.h>

#include <cstdint>

#include "server/admission.h"
#include "server/busy_log.h"
#include "server/user_list.h"

struct ServerSettings;
struct StationIdentity;
struct StreamRate;

constexpr int LISTENER_TABLE_SIZE = 8192;
constexpr int AGE_FREE = 125;
// A join may be forged: a listener must show itself (a keep-alive, a resend
// request, anything) within this time of its join or lose its entry.
constexpr uint32_t FIRST_SIGN_OF_LIFE_MS = 4000;

struct ListenerEntry {
    int32_t age = AGE_FREE;
    int32_t mode = 0;  // bit 0: companion stream; bit 1: repeater
    int32_t addr_len = 0;
    uint32_t joined = 0;  // admission time, sent as `session`
    int32_t count_at_join = 0;
    int32_t reserved = 0;
    sockaddr_in addr{};
    // Beyond the fields above, which the weekday log and the status panel
    // know: a join alone proves nothing (its source may be forged), so an
    // entry is kept past its first 4 seconds only when the listener was
    // heard from after its join, and only such an entry may be revived.
    bool heard = false;
    uint32_t joined_ms = 0;  // the host's millisecond clock at the join (or revival)
};

// Where an address was last found in the table, by a hash of the address.
// A table holds each address at most once (a join takes the entry that has
// it), so a hint that still names an entry with the address is the answer;
// any other hint is stale and the table is searched. Keep-alives of a full
// table would otherwise search 8192 entries each, a thousand times a tick.
constexpr int LISTENER_HINT_SLOTS = 16384;

struct ListenerTable {
    ListenerEntry entries[LISTENER_TABLE_SIZE];
    mutable int16_t hints[LISTENER_HINT_SLOTS] = {};
    int busy_rejections = 0;        // shown by the status panel
    int keeper_watchdog = 0;        // 0..1500 ticks since the last keeper query
    bool repeater_present = false;  // set by listener_load
    AdmissionLimits admission;
    BusyLog busy_log;
    UserList user_list;
    // The station's settings the table follows; the program points these
    // at its settings record.
    const ServerSettings* settings = nullptr;
    const StreamRate* rate = nullptr;
    const StationIdentity* identity = nullptr;
};

struct DatagramQueue;
struct Services;
struct StationSocket;

// What a reply to a listener tells of the broadcast: the sender's count
// (the reply's `seq`) and the text of the song on air.
struct OnAir {
    uint32_t seq = 0;
    const char* song_text = "";
};

// Replies go to `from` through the datagram queue and the station socket,
// whose address and mask also decide the intranet rule.

// Join request (PF_TEXT without PF_PICTURE). The first rule that fires
// decides: keeper query, intranet, user list, slot, capacity, admission.
// Returns 1 when the sender was admitted.
int handle_join(Services& services, ListenerTable& table, const StationSocket& station,
                DatagramQueue& queue, const OnAir& on_air, const sockaddr_in& from, int addr_len,
                int companion, const char* text);
// Multicast query: replies with the group (or "0.0.0.0"), station name and song text.
void handle_multicast_query(Services& services, const ListenerTable& table, const StationSocket& station, DatagramQueue& queue,
                            const OnAir& on_air, const sockaddr_in& from, int addr_len);
// Leave (PF_LEAVE without PF_PICTURE): frees the sender's entry; it can
// come back only with a join.
void handle_leave(Services& services, ListenerTable& table, const sockaddr_in& from);
// A datagram from the listener after its join: its active entry is marked
// heard. Returns the entry's index, or -1 when the address has none.
int hear_listener(ListenerTable& table, const sockaddr_in& from);
// Whether `from` (address and port) is an active entry of the table that
// has been heard from since its join: a listener re-joining, not a newcomer.
bool is_heard_listener(const ListenerTable& table, const sockaddr_in& from);
// A keep-alive or resend request from an address whose entry is free:
// revives the entry when it had been heard before it aged out and a join
// from the address would be admitted now (intranet rule, capacity, the
// admission limits). The entry keeps its `joined` stamp and must be heard
// again within 4 seconds. Nothing is sent. Returns its index, or -1.
int revive_listener(Services& services, ListenerTable& table, const StationSocket& station,
                    const sockaddr_in& from);
// Once a tick, before the fan-out: frees every entry not heard within 4
// seconds of its join (without a log line) and closes the minute of the
// busy log when it is over.
void tend_listener_table(Services& services, ListenerTable& table);
// Companion-stream upgrade of an active listener (PF_UPGRADE, while Stream2X is on).
void handle_upgrade(const Services& services, ListenerTable& table, const sockaddr_in& from,
                    const char* text);
// Frees the whole table and admits the repeater of RepeaterIP, when one is set.
void add_receiver(Services& services, ListenerTable& table, const StationSocket& station,
                  DatagramQueue& queue, const OnAir& on_air);
// The number of active listeners; stores 8 x the load (bits per second) in
// *load_bps when given (0 while the station is off the air), and sets the
// repeater-present flag.
int listener_load(const Services& services, ListenerTable& table, bool on_air, int* load_bps);

// The first entry holding this IPv4 address (the port is not compared), or -1.
int find_listener(const ListenerTable& table, const sockaddr_in& addr);
// Every entry free, as when the station socket is set up.
void reset_listener_table(ListenerTable& table);
// Whether `addr` (host order) is outside the station's network: its address
// under `net_mask` differs from the station's own address under the mask.
bool outside_intranet(uint32_t addr_host, uint32_t station_host, uint32_t net_mask);
