#pragma once
// The datagram every station and listener exchanges: a 12-byte header and a
// payload of up to 5120 bytes. All header fields travel big-endian; the
// station converts them right after reception and right before sending and
// keeps them in host order in between.
//
//   offset  width  field
//   0       4      seq      packet counter (audio) or a value relative to it
//   4       4      session  the listener's admission time, seconds since 1970
//   8       2      flags    PF_ bits below
//   10      2      length   payload bytes that follow the header
//   12      length payload

#include <cstdint>

constexpr int PACKET_HEADER_SIZE = 12;
constexpr int MAX_PAYLOAD = 5120;
constexpr int MAX_DATAGRAM = PACKET_HEADER_SIZE + MAX_PAYLOAD;  // 5132: also the receive buffer
constexpr int MAX_FILE_FRAME = 5000;  // audio payload read from a sample file
constexpr int MAX_LIVE_FRAME = 2112;  // audio payload of a live packet

constexpr uint16_t PF_COMPANION = 0x0001;
constexpr uint16_t PF_MULTICAST_QUERY = 0x0002;
constexpr uint16_t PF_TEXT = 0x0004;
constexpr uint16_t PF_KEEPALIVE = 0x0008;
constexpr uint16_t PF_LEAVE = 0x0010;
constexpr uint16_t PF_LOAD_REPORT = 0x0020;
constexpr uint16_t PF_PICTURE = 0x0080;
constexpr uint16_t PF_RATE_22050 = 0x0100;
constexpr uint16_t PF_RATE_44100 = 0x0200;
constexpr uint16_t PF_RATE_EXACT = 0x0400;
constexpr uint16_t PF_UPGRADE = 0x0800;
constexpr uint16_t PF_AUDIO = 0x8000;

struct PacketHeader {
    uint32_t seq = 0;
    uint32_t session = 0;
    uint16_t flags = 0;
    uint16_t length = 0;
};

// A whole datagram in host order: header plus payload buffer.
struct Datagram {
    PacketHeader header;
    uint8_t payload[MAX_PAYLOAD];
};
