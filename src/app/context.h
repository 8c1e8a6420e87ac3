#pragma once
// The process-wide records, owned once by the program and created fresh by
// each test. Every core procedure takes the Context it works on.

#include <memory>

#include "app/host.h"
#include "app/messages.h"
#include "app/station_state.h"
#include "codec/codec_state.h"
#include "icecast/icecast_output.h"
#include "live/datagram_queue.h"
#include "live/live_capture.h"
#include "live/live_ring.h"
#include "media/script_table.h"
#include "server/listener_table.h"
#include "server/picture_slots.h"
#include "server/sender_state.h"
#include "server/station_socket.h"
#include "web/http_client.h"

struct Context {
    Host* host = nullptr;
    StationState state;
    CodecState codec;
    MessageState messages;
    ListenerTable listeners;
    ScriptTable script;
    PictureSlots pictures;
    LiveRing live_ring;
    LiveCapture capture;
    DatagramQueue queue;
    StationSocket station;
    SenderState sender;
    WebState web;
    IcecastOutput icecast;

    ~Context() {
        stop_icecast_link(icecast.link);
        wait_for_retired_link(icecast.link, 500);
        close_trace_sink(*this);
    }
};

// The records are large (the listener table, the resend store, the queue):
// a Context lives on the heap.
std::unique_ptr<Context> make_context(Host& host);
