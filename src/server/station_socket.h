#pragma once
// The station's one UDP socket and its addressing modes.

#include <netinet/in.h>

#include <cstdint>

struct StationSocket {
    int socket = -1;               // -1 while none is open
    uint32_t local_addr_host = 0;  // local address, host order
    uint32_t local_addr_net = 0;   // the same in network order
    uint32_t net_mask = 0;         // local network mask, host order
    bool multicast = false;        // a multicast group was given
    sockaddr_in multicast_dest{};
    sockaddr_in master{};          // master station, port 3456
    long server_number = 0;        // NextSrvID, read when we are the master
    int64_t broadcast_start_time = 0;
};
