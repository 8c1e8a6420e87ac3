#pragma once
// State of the scheduled sender, one instance for the process.

#include <cstdint>
#include <cstdio>
#include <string>

#include "server/packet.h"

constexpr int RESEND_SLOTS = 80;

struct ResendSlot {
    uint8_t bytes[MAX_DATAGRAM];  // a whole audio datagram exactly as sent (network order)
};

struct SenderState {
    int pending_ticks = 0;       // re-entrance guard
    uint32_t packet_counter = 0; // the `seq` of the audio datagrams
    Datagram audio;              // doubles as the receive buffer
    Datagram companion;
    Datagram song_text;
    Datagram picture_notice;
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
