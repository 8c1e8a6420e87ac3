#pragma once
// State of the scheduled sender, one instance for the process.

#include <cstdint>
#include <cstdio>
#include <string>

#include "server/packet.h"

constexpr int RESEND_SLOTS = 80;
// A load report older than this is forgotten (its numbers read 0).
constexpr int LOAD_REPORT_EXPIRY_SECONDS = 15;
// The pending-tick count at which the sender gives up (overload).
constexpr int OVERLOAD_PENDING_TICKS = 11;

struct ResendSlot {
    uint8_t bytes[MAX_DATAGRAM];  // a whole audio datagram exactly as sent (network order)
};

// The outgoing datagrams of a tick are kept in wire form (network order),
// built once per tick; only `session` is restamped for each listener.
struct WireDatagram {
    uint8_t bytes[MAX_DATAGRAM];
    int size = 0;  // header + payload bytes
};

struct Context;

// What the sender reports to whoever drives it (the controller). Set by
// make_context; a test may put its own functions here.
struct SenderEvents {
    void (*start_button_ready)(Context&) = nullptr;  // live sending began or ended: the button works
    void (*live_stop_drained)(Context&) = nullptr;   // a live stop may now finish
};

struct SenderState {
    SenderEvents events;
    int pending_ticks = 0;       // re-entrance guard
    uint32_t packet_counter = 0; // the `seq` of the audio datagrams

    // Frames of the tick in host order: the audio and companion payloads as
    // read from the sample files or taken from the live ring.
    uint8_t audio_frame[MAX_PAYLOAD];
    int audio_length = 0;
    uint8_t companion_frame[MAX_PAYLOAD];
    int companion_length = 0;  // kept when the companion file runs out first

    WireDatagram audio;
    WireDatagram companion;
    WireDatagram song_text;
    WireDatagram picture_notice;

    // Control datagrams are read here, away from the audio frame, so that a
    // listener's request can never leak into what others are sent.
    uint8_t receive_bytes[MAX_DATAGRAM];
    ReceivedDatagram received;  // the same in host order, its payload NUL-terminated

    ResendSlot resend[RESEND_SLOTS];
    int resend_write = 0;

    int entry_index = 0;
    int repeat_count = 0;
    FILE* song_file = nullptr;
    FILE* companion_file = nullptr;
    int picture_countdown = -1;
    int load_report[2] = {0, 0};
    int64_t load_report_time = 0;
};
