#pragma once
// The scheduled sender: one call is one tick of broadcasting (2048 samples).
// The tick's halves live beside it: control_datagrams (reception),
// script_source (the script's frames), fan_out (sending).

struct SenderState;
struct StationParts;

// Drains the control datagrams waiting at the station socket, takes the next
// frame pair from the script's sample files or the live ring, and sends
// audio, song text and picture notice to the multicast group and every
// active listener. Returns 1 after a tick that ran to its end, 0 when the
// tick was refused or cut short (also after a fatal error; the exit status
// then went to the host).
int broadcast_tick(const StationParts& tick);

// The socket is closing: nothing waiting in or out belongs to the next one.
void forget_station_traffic(SenderState& sender);
