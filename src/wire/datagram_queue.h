#pragma once
// DatagramQueue: the single road out of the station. Every datagram goes
// through bsendto; a send that would block waits at the head of the queue
// until the socket reports it can write again (send_next_datagram).

#include <netinet/in.h>

#include <cstdint>
#include <functional>

#include "platform/udp_socket.h"

struct Services;

constexpr int DATAGRAM_QUEUE_SIZE = 32;
constexpr int QUEUED_DATAGRAM_MAX = 5132;  // a whole datagram: header and largest payload

struct QueuedDatagram {
    int socket = -1;
    uint8_t data[QUEUED_DATAGRAM_MAX];
    int length = 0;
    int flags = 0;
    sockaddr_in addr{};
    int addr_len = 0;
};

// Sends one datagram; returns the bytes sent or -1 with errno set, like udp_send_to.
using SendFunction = std::function<int(int socket, const void* data, int length, int flags,
                                       const sockaddr_in* addr, int addr_len)>;

struct DatagramQueue {
    QueuedDatagram entries[DATAGRAM_QUEUE_SIZE];
    int head = 0;       // next to send
    int tail = 0;       // next free
    int count = 0;      // waiting datagrams: head == tail is empty or full
    bool ready = true;  // the socket took the last datagram
    int dropped = 0;    // datagrams dropped because the queue was full
    // The send itself. Tests put a stand-in in front of udp_send_to to make
    // the socket block or a destination fail on demand.
    SendFunction send = udp_send_to;
    // Send errors already shown to the operator during this broadcast.
    int reported_errors[16] = {};
    int reported_count = 0;
};

// Queues a copy of one datagram and, when the socket is ready, sends the
// oldest waiting one. Returns `length` whether sent at once or only queued.
// With 32 datagrams waiting the new one is dropped and counted.
int bsendto(Services& services, DatagramQueue& queue, int socket, const void* data, int length, int flags,
            const sockaddr_in* addr, int addr_len);

// Sends the datagram at the head of the queue; called by bsendto and when
// the socket can be written again. A send that would block keeps the
// datagram and asks the host for a write notification; so does a send that
// leaves others waiting, so the queue drains through the notifications.
void send_next_datagram(Services& services, DatagramQueue& queue);

// Shows the send-failure message for this error (an errno value), once per
// kind of error and broadcast.
void report_send_error(Services& services, DatagramQueue& queue, int error);

// Drops every waiting datagram; the queue is ready for a new socket.
void drop_queued_datagrams(DatagramQueue& queue);

// Forgets which send errors were shown, so that a new broadcast reports
// each kind of error again once.
void reset_send_errors(DatagramQueue& queue);
