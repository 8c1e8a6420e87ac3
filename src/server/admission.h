#pragma once
// Admission limits: token buckets that cap how many requests the station
// answers per second per address, per /24 network and overall. They gate
// every request that makes the station send to the address it names (joins,
// keeper and multicast queries) and the revival of an aged-out entry, before
// anything is sent: the source of a datagram may be forged, and each such
// request starts replies (a join: "STARTSEQ", nine probes, seconds of audio)
// to whoever is named.
//
// Sizes: legitimate bursts always pass. A /24 of 256 listeners joining at
// once fits the network bucket (256) and the overall one (1024); 8192
// listeners re-joining after an outage are all back in 1024 + 200 x 36 s,
// within a minute. A forger gets at most 0.5 requests a second answered for
// one victim address, 8 for one network and 200 in all.

#include <netinet/in.h>

#include <cstdint>

struct Services;

struct BucketRule {
    int burst;             // tokens saved up at most: requests answered at once
    uint32_t interval_ms;  // one token comes back per interval
};
constexpr BucketRule ADMIT_PER_ADDRESS{4, 2000};  // 0.5 a second
constexpr BucketRule ADMIT_PER_NETWORK{256, 125};  // 8 a second for each /24
constexpr BucketRule ADMIT_OVERALL{1024, 5};       // 200 a second

// Buckets of addresses (and of /24 networks) are found by a hash; addresses
// that share a slot share its bucket, which only makes the limit stricter
// for them. A table of 16384 leaves 8192 listeners mostly a slot each.
constexpr int ADMISSION_SLOT_BITS = 14;
constexpr int ADMISSION_SLOTS = 1 << ADMISSION_SLOT_BITS;

struct AdmissionLimits {
    // Each bucket is the time (ms of `clock_ms`) when all its tokens will be
    // back; a request is answered while that lies at most (burst - 1)
    // intervals ahead, and moves it one interval on. 0 is a full bucket.
    int64_t per_address[ADMISSION_SLOTS] = {};
    int64_t per_network[ADMISSION_SLOTS] = {};
    int64_t overall = 0;
    // The host's millisecond clock wraps after 49 days; buckets count on
    // this one, which goes on from 0 at the first request.
    int64_t clock_ms = 0;
    uint32_t last_host_ms = 0;
    bool clock_started = false;
    int refused = 0;  // requests left unanswered by a bucket
};

// The slot of `key` in a table of 2^bits slots (Fibonacci hashing: keys
// that differ in a few low bits, like neighbouring addresses, land apart).
constexpr int hash_slot(uint32_t key, int bits) {
    return static_cast<int>((key * 2654435769u) >> (32 - bits));
}

// Takes a token from each of the three buckets of `from` and returns true,
// or, when any of them is empty, takes none, counts and traces the refusal
// and returns false: the request is then left without any reply.
// A listener already in the table (`known`: same address and port, heard
// within its keep-alive time) re-joining adds no entry and no new
// destination: it spends only its own address's tokens, so that the many
// listeners behind one /24 never lock each other out; the per-address
// bucket still bounds what a forger can reflect at that listener.
bool admit_request(Services& services, AdmissionLimits& limits, const sockaddr_in& from,
                   bool known = false);
