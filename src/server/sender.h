#pragma once
// The scheduled sender: one call is one tick of broadcasting (2048 samples).

#include <netinet/in.h>

#include <cstdint>

struct StationParts;
struct StationSocket;

// Drains the control datagrams waiting at the station socket, takes the next
// frame pair from the script's sample files or the live ring, and sends
// audio, song text and picture notice to the multicast group and every
// active listener. Returns 1 after a tick that ran to its end, 0 when the
// tick was refused or cut short (also after a fatal error; the exit status
// then went to the host).
int broadcast_tick(const StationParts& ctx);

// Moves the datagrams waiting at the station socket into the intake, where
// the next tick handles them. Called by each tick and whenever the socket
// is readable. Returns 0 after a fatal socket error (the station is closed).
int read_station_socket(const StationParts& ctx);
// Sends what is left of the tick's fan-out, once the socket can be written.
void continue_fan_out(const StationParts& ctx);
// The socket is closing: nothing waiting in or out belongs to the next one.
void forget_station_traffic(const StationParts& ctx);

// One control datagram as it arrived from `from`: every handler it asks for
// runs, in their fixed order. The reception step of a tick feeds each
// datagram through here.
enum ControlResult {
    CONTROL_DONE,    // handled (or ignored)
    CONTROL_QUIT,    // an allowed "QuitNow!": the sender refuses every later tick
    CONTROL_CLOSED,  // the station socket was closed while handling it
};
int handle_control_datagram(const StationParts& ctx, const sockaddr_in& from, int from_len,
                            const uint8_t* bytes, int size);

// Whether a "QuitNow!" from this address is obeyed: only a tool on the
// station's own machine (the station's address) or the master station may
// end the station; anybody else could otherwise switch it off from afar.
bool quit_allowed_from(const StationSocket& station, const sockaddr_in& from);
