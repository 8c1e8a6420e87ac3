#pragma once
// The listener table: 8192 entries held for the life of the process.
// An `age` of 125 marks a free entry; 0..124 is an active listener.

#include <netinet/in.h>

#include <cstdint>

constexpr int LISTENER_TABLE_SIZE = 8192;
constexpr int AGE_FREE = 125;

struct ListenerEntry {
    int32_t age = AGE_FREE;
    int32_t mode = 0;  // bit 0: companion stream; bit 1: repeater
    int32_t addr_len = 0;
    uint32_t joined = 0;  // admission time, sent as `session`
    int32_t count_at_join = 0;
    int32_t reserved = 0;
    sockaddr_in addr{};
};

struct ListenerTable {
    ListenerEntry entries[LISTENER_TABLE_SIZE];
    int busy_rejections = 0;       // shown by the status panel
    bool repeater_present = false; // set by listener_load
};
