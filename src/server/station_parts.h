#pragma once
// The records one tick of the sender works on, each owned by its module.
// The tick and its reception step take this view; every other procedure
// takes only the records it uses. The program gathers it for each tick.

struct CodecState;
struct DatagramQueue;
struct ListenerTable;
struct LiveRing;
struct PictureSlots;
struct ProgramSinks;
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
    ProgramSinks& outputs;  // fed the same program
};
