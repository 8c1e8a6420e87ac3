#pragma once
// The sending half of a tick: the tick's datagrams (built in the sender's
// wire buffers) to the multicast group and to every active listener.

struct DatagramQueue;
struct ListenerTable;
struct SenderState;
struct Services;
struct StationSocket;
struct TickNews;

// One copy of the tick's datagrams to the multicast group, when multicast
// is on: song text and picture notice as `news` says, then the audio.
void send_multicast(Services& services, const SenderState& sender, const StationSocket& station,
                    DatagramQueue& queue, const TickNews& news);
// Starts the tick's fan-out to every active listener (what the last tick
// could not send is dropped) and sends what the socket takes now. Each
// listener taken ages by one tick; the audio goes into the resend store.
void start_fan_out(Services& services, SenderState& sender, ListenerTable& listeners,
                   const StationSocket& station, DatagramQueue& queue, const TickNews& news);
// Sends what is left of the tick's fan-out, once the socket can be written.
void continue_fan_out(Services& services, SenderState& sender, ListenerTable& listeners,
                      const StationSocket& station, DatagramQueue& queue);
