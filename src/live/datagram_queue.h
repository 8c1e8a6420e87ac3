#pragma once
// DatagramQueue: the single road out of the station. Every datagram goes
// through bsendto; a send that would block waits at the head of the queue
// until the socket reports it can write again (send_next_datagram).

#include <netinet/in.h>

#include <cstdint>

constexpr int DATAGRAM_QUEUE_SIZE = 32;

struct QueuedDatagram {
    int socket = -1;
    uint8_t data[5132];
    int length = 0;
    int flags = 0;
    sockaddr_in addr{};
    int addr_len = 0;
};

struct DatagramQueue {
    QueuedDatagram entries[DATAGRAM_QUEUE_SIZE];
    int head = 0;  // next to send
    int tail = 0;  // next free
    bool ready = true;
    int dropped = 0;  // datagrams dropped because the queue was full
};
