#pragma once
// The records a broadcast works on, each owned by its module (the station
// socket, the sender, the listener table, the datagram queue ...). The
// program gathers them from its context for each call; the server's
// procedures take this view, never the program's context.

struct CodecState;
struct DatagramQueue;
struct IcecastOutput;
struct ListenerTable;
struct LiveRing;
struct PictureSlots;
struct ScriptTable;
struct SenderState;
struct Services;
struct StationSocket;

struct StationParts {
    Services& services;
    StationSocket& station;
    SenderState& sender;
    ListenerTable& listeners;
    DatagramQueue& queue;
    ScriptTable& script;
    PictureSlots& pictures;
    LiveRing& live_ring;
    CodecState& codec;
    IcecastOutput& icecast;  // fed the same program
};
