#include "server/admission.h"

#include <arpa/inet.h>

#include <algorithm>

#include "base/messages.h"

namespace {

bool has_token(int64_t full_at, const BucketRule& rule, int64_t now) {
    return std::max(full_at, now) - now <= int64_t{rule.burst - 1} * rule.interval_ms;
}

void take_token(int64_t& full_at, const BucketRule& rule, int64_t now) {
    full_at = std::max(full_at, now) + rule.interval_ms;
}

int64_t advance_clock(AdmissionLimits& limits, uint32_t host_ms) {
    if (limits.clock_started) limits.clock_ms += static_cast<uint32_t>(host_ms - limits.last_host_ms);
    limits.clock_started = true;
    limits.last_host_ms = host_ms;
    return limits.clock_ms;
}

}  // namespace

bool admit_request(Services& services, AdmissionLimits& limits, const sockaddr_in& from, bool known) {
    const int64_t now = advance_clock(limits, services.host->time_ms());
    const uint32_t addr = ntohl(from.sin_addr.s_addr);
    int64_t& address = limits.per_address[hash_slot(addr, ADMISSION_SLOT_BITS)];
    int64_t& network = limits.per_network[hash_slot(addr >> 8, ADMISSION_SLOT_BITS)];
    if (!has_token(address, ADMIT_PER_ADDRESS, now) ||
        (!known && (!has_token(network, ADMIT_PER_NETWORK, now) ||
                    !has_token(limits.overall, ADMIT_OVERALL, now)))) {
        ++limits.refused;
        const auto* a = reinterpret_cast<const uint8_t*>(&from.sin_addr.s_addr);
        debug_trace(services, "%d.%d.%d.%d over the admission limits, not answered (%d)\n", a[0], a[1],
                    a[2], a[3], limits.refused);
        return false;
    }
    take_token(address, ADMIT_PER_ADDRESS, now);
    if (known) return true;
    take_token(network, ADMIT_PER_NETWORK, now);
    take_token(limits.overall, ADMIT_OVERALL, now);
    return true;
}
