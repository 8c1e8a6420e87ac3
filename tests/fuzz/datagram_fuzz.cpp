// Fuzz target: control datagrams as the station receives them, forged at
// will, through handle_control_datagram, the one entry point of reception:
// joins, keeper queries, user ids, leaves, keep-alives and resend requests,
// upgrades, multicast queries, load reports, picture requests and "QuitNow!".
//
// Each input meets a fresh broadcasting station: a new Context, its socket
// bound to 127.0.0.1 on an ephemeral port, a script of three entries, a main
// picture of 3 x 2 tiles and a logo of 2 x 2, and 80 audio datagrams in the
// resend store. An input is a sequence of datagrams from a few loopback
// senders, so the listener table fills up, refuses and empties again.
//
// Input layout:
//   byte 0   the station: bits 0-1 room for 1, 2, 4 or any number of
//            listeners; bit 2 intranet only (mask 255.255.255.0, so 127.0.1.5
//            is outside); bit 3 companion upgrades (Stream2X); bit 4 a user
//            list admitting "alice" and "bob"; bit 5 a multicast group;
//            bit 6 no logo; bit 7 no main picture
//   records  [sender][length: 2 bytes, big-endian][length bytes: a datagram]
//            sender bits 0-2 pick one of the eight senders below, bits 3-5
//            move the clock on by 0, 1, 2, 4, 11, 16, 60 or 86400 seconds
//            first. A datagram is cut to the 5132 bytes one read takes.
//   Senders: 0-2 listeners on 127.0.0.2, .3 and .4 (the master station); 3 a listener on
//   127.0.1.5; 4 a second port on 127.0.0.2; 5 a tool on the station's own
//   address; 6 the station's own address and port (a forged reflection);
//   7 127.0.0.6, where nobody listens.
//
// Checked beside the sanitizers: every datagram the station sends is whole
// and goes to a sender of this input (never off loopback); no address holds
// two entries and every entry is a sender; nothing ends the station except
// a "QuitNow!" from its own address.

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "app/context.h"
#include "app/station.h"
#include "fuzz/fuzz_support.h"
#include "platform/udp_socket.h"
#include "server/control_datagrams.h"
#include "wire/packet.h"
#include "server/picture_service.h"
#include "server/sender.h"
#include "support/fake_host.h"
#include "support/udp_loopback.h"

namespace {

constexpr int kSenders = 8;
constexpr int kSelf = 6;
constexpr int kTransferRate = 2756;
constexpr uint32_t kFirstSeq = 1000;
constexpr int kClockSteps[8] = {0, 1, 2, 4, 11, 16, 60, 86400};

// Listener sockets that live as long as the process; what the station sends
// them is never read (a full buffer drops the rest, as a slow listener would).
struct Listeners {
    LoopbackSocket a{"127.0.0.2"}, b{"127.0.0.3"}, c{"127.0.0.4"}, outside{"127.0.1.5"},
        second_port{"127.0.0.2"}, tool{"127.0.0.1"};
};
Listeners* listeners = nullptr;

// The senders of the current input; the only addresses the station may send to.
std::array<sockaddr_in, kSenders> senders;

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool is_sender(const sockaddr_in& addr) {
    return std::any_of(senders.begin(), senders.end(),
                       [&](const sockaddr_in& s) { return same_endpoint(s, addr); });
}

// Every send passes here on its way to the real socket.
int checked_send(int socket, const void* data, int length, int flags, const sockaddr_in* addr,
                 int addr_len) {
    FUZZ_CHECK(addr_len == static_cast<int>(sizeof(sockaddr_in)));
    FUZZ_CHECK((ntohl(addr->sin_addr.s_addr) >> 24) == 127);
    FUZZ_CHECK(is_sender(*addr));
    FUZZ_CHECK(length >= PACKET_HEADER_SIZE && length <= MAX_DATAGRAM);
    PacketHeader header = get_packet_header(static_cast<const uint8_t*>(data));
    FUZZ_CHECK(header.length == length - PACKET_HEADER_SIZE);
    return udp_send_to(socket, data, length, flags, addr, addr_len);
}

void set_up_senders(const Context& ctx) {
    const LoopbackSocket* bound[] = {&listeners->a,       &listeners->b,
                                     &listeners->c,       &listeners->outside,
                                     &listeners->second_port, &listeners->tool};
    for (int i = 0; i < 6; ++i) senders[i] = bound[i]->addr();
    senders[kSelf] = station_socket_address(ctx);
    senders[7] = senders[0];
    senders[7].sin_addr.s_addr = htonl(0x7F000006);
}

void set_up_station(Context& ctx, uint8_t options) {
    StationState& s = ctx.state;
    ctx.sender.broadcast_state = BroadcastState::broadcasting;
    ctx.live_ring.feed_mode = FeedMode::script;
    s.SamplingRate = 22050;
    s.TransferRate = kTransferRate;
    static const int kRoom[] = {1, 2, 4};
    int room = options & 3;
    s.BANDWIDTH = room == 3 ? 100'000'000 : 8 * kTransferRate * kRoom[room] + 4 * kTransferRate;
    s.INTRANET = (options & 4) ? 1 : 0;
    s.Stream2X = (options & 8) ? 1 : 0;
    s.user_list_path = fuzz_path((options & 16) ? "userlist.txt" : "no-userlist.txt");
    s.MBONE = (options & 32) ? 1 : 0;
    s.MBONEIP = "239.1.2.3";
    s.StationName = std::string(127, 'N');  // the longest name a settings file gives
    ctx.program_dir = fuzz_path("home");

    open_loopback_station(ctx);
    ctx.queue.send = checked_send;
    if (options & 4) ctx.station.net_mask = 0xFFFFFF00;
    // The master station is the listener on 127.0.0.4: its "QuitNow!" is
    // obeyed, and the close notice goes to a socket of ours.
    ctx.station.master = listeners->c.addr();
    ctx.station.master_known = true;

    ctx.script.entries.assign(3, ScriptEntry{});
    ctx.script.entries[0].count = 1;
    strcpy(ctx.script.entries[0].text, "Morning song");
    ctx.script.entries[1].count = 2;
    memset(ctx.script.entries[1].text, 'T', SCRIPT_TEXT_SIZE - 1);  // the longest text
    ctx.script.loaded = true;
    ctx.script.script_entries = 3;
    ctx.sender.entry_index = 1;

    if (!(options & 128)) load_picture(ctx, ctx.pictures, fuzz_path("main.bmp").c_str(), PICTURE_MAIN);
    if (!(options & 64)) load_picture(ctx, ctx.pictures, fuzz_path("logo.bmp").c_str(), PICTURE_LOGO);

    // What the last 80 ticks sent, ready for resend requests.
    ctx.sender.packet_counter = kFirstSeq;
    uint8_t frame[200];
    for (int i = 0; i < RESEND_SLOTS; ++i) {
        memset(frame, i, sizeof frame);
        uint32_t seq = kFirstSeq - RESEND_SLOTS + static_cast<uint32_t>(i);
        build_audio(ctx.sender.resend[i].bytes, seq, 0, frame, sizeof frame, false);
    }
}

// Once an input: a pass over the 8192 entries after every datagram would
// take most of the run.
void check_table(const Context& ctx) {
    std::vector<uint32_t> held;
    for (const ListenerEntry& entry : ctx.listeners.entries) {
        FUZZ_CHECK(entry.age >= 0 && entry.age <= AGE_FREE);
        if (entry.age == AGE_FREE) continue;
        FUZZ_CHECK(is_sender(entry.addr));
        FUZZ_CHECK(std::find(held.begin(), held.end(), entry.addr.sin_addr.s_addr) == held.end());
        held.push_back(entry.addr.sin_addr.s_addr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    listeners = new Listeners;
    write_fuzz_file("main.bmp", gradient_bmp(96, 64));
    write_fuzz_file("logo.bmp", gradient_bmp(64, 64));
    write_fuzz_file("userlist.txt", "alice\n  bob, x\n\"carol d\"\n");
    mkdir(fuzz_path("home").c_str(), 0755);  // the weekday logs of one input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FakeHost host;
    static std::unique_ptr<Context> fresh;
    Context& ctx = renew_context(fresh, host);
    set_up_station(ctx, data[0]);
    set_up_senders(ctx);

    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t sender = data[at];
        size_t length = std::min<size_t>(static_cast<size_t>(data[at + 1] << 8 | data[at + 2]), size - at - 3);
        at += 3;
        // An exact-size copy, so that AddressSanitizer sees any read past it.
        std::vector<uint8_t> datagram(data + at, data + at + std::min<size_t>(length, MAX_DATAGRAM));
        at += length;

        const int step = kClockSteps[(sender >> 3) & 7];
        host.now += step;
        host.clock_ms += static_cast<uint32_t>(step) * 1000u;
        const sockaddr_in& from = senders[sender & 7];
        int result = handle_control_datagram(station_parts(ctx), from, sizeof from, datagram.data(),
                                             static_cast<int>(datagram.size()));
        FUZZ_CHECK(ctx.queue.count >= 0 && ctx.queue.count <= DATAGRAM_QUEUE_SIZE);
        FUZZ_CHECK(host.exit_statuses.empty());
        if (result == CONTROL_QUIT) {
            FUZZ_CHECK(from.sin_addr.s_addr == ctx.station.local_addr_net ||
                       from.sin_addr.s_addr == ctx.station.master.sin_addr.s_addr);
            break;  // the sender refuses every later tick
        }
        FUZZ_CHECK(result == CONTROL_DONE);
    }
    check_table(ctx);
    close_station(ctx);
    empty_fuzz_subdir("home");
    return 0;
}
