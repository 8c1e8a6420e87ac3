#pragma once
// The receiving half of a tick: the control datagrams listeners and tools
// send to the station socket (joins, leaves, keep-alives and resend
// requests, picture requests, queries, load reports, "QuitNow!"), each
// handed to the module that answers it.

#include <netinet/in.h>

#include <cstdint>

#include "server/listener_table.h"

struct ReceiveIntake;
struct ScriptTable;
struct SenderState;
struct Services;
struct StationParts;
struct StationSocket;

enum ControlResult {
    CONTROL_DONE,    // handled (or ignored)
    CONTROL_QUIT,    // an allowed "QuitNow!": the sender refuses every later tick
    CONTROL_CLOSED,  // the station socket was closed while handling it
};

// Moves the datagrams waiting at the station socket into the intake, where
// the next tick handles them. Called by each tick and whenever the socket
// is readable. Returns 0 after a fatal socket error (the station is closed).
int read_station_socket(Services& services, const StationSocket& station, ReceiveIntake& intake);

// A tick's reception: reads the socket, then handles the waiting datagrams
// in the order they arrived (at most a table's worth; the rest wait).
ControlResult receive_control_datagrams(const StationParts& tick);

// One control datagram as it arrived from `from`: every handler it asks for
// runs, in their fixed order.
ControlResult handle_control_datagram(const StationParts& tick, const sockaddr_in& from,
                                      int from_len, const uint8_t* bytes, int size);

// Whether a "QuitNow!" from this address is obeyed: only a tool on the
// station's own machine (the station's address) or the master station may
// end the station; anybody else could otherwise switch it off from afar.
bool quit_allowed_from(const StationSocket& station, const sockaddr_in& from);

// What the replies to listeners tell of the broadcast now: the sender's
// count and the text of the entry it is at.
OnAir on_air(const SenderState& sender, const ScriptTable& script);
