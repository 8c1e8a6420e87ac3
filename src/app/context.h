#pragma once
// The process-wide records, owned once by the program and created fresh by
// each test. Each module's procedures take the records they work on (and
// the Services the Context extends), never the Context itself.

#include "base/host.h"
#include "base/messages.h"
#include "app/window_view.h"
#include "app/controller_state.h"
#include "app/station_state.h"
#include "codec/codec_state.h"
#include "icecast/icecast_output.h"
#include "wire/datagram_queue.h"
#include "live/live_capture.h"
#include "live/live_ring.h"
#include "media/program_sink.h"
#include "media/script_table.h"
#include "server/listener_table.h"
#include "media/picture_slots.h"
#include "server/sender_state.h"
#include "server/station_parts.h"
#include "server/station_socket.h"
#include "web/directory.h"

struct Context : Services {
    Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // The settings file's keys; each module below reads its own part.
    StationState state;
    // The keys as the file held them when last read: a reload tells which
    // of them changed since (the program changes some in `state` itself).
    StationState settings_as_read;
    ControllerState controller;
    WindowView window;
    CodecState codec;
    ListenerTable listeners;
    ScriptTable script;
    PictureSlots pictures;
    LiveRing live_ring;
    LiveCapture capture;
    LiveFallback fallback;
    DatagramQueue queue;
    StationSocket station;
    SenderState sender;
    WebState web;
    // The outputs of the program besides the UDP listeners; each joins its
    // own threads as it ends (within its bound).
    ProgramSinks outputs;
    // Always among them: it starts with each broadcast when ICECAST_URL is
    // set then, and its status section says "off" while it is not.
    IcecastOutput& icecast = outputs.add(std::make_unique<IcecastOutput>(state.icecast));
    // The listeners' web stream; on when WEB_LISTEN is set.
    WebStream& web_stream = outputs.add(std::make_unique<WebStream>(state));
    // The archive of the program; on when ARCHIVE_DIR is set.
    ProgramArchive& archive = outputs.add(std::make_unique<ProgramArchive>(state));

};

// The records a tick of the sender works on.
StationParts station_parts(Context& ctx);
