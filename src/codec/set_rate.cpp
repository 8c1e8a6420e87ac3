#include "codec/set_rate.h"

#include <climits>
#include <cstdint>

int set_rate(CodecState& codec, int sampling_rate, int transfer_rate) {
    if (sampling_rate <= 0) return 0;
    // 64-bit so that a large transfer rate cannot overflow the product.
    int64_t quotient = static_cast<int64_t>(transfer_rate) * 100 / sampling_rate;
    if (quotient > INT_MAX) quotient = INT_MAX;
    if (quotient < INT_MIN) quotient = INT_MIN;
    codec.rate_percent = quotient > 100 ? 90 : static_cast<int>(quotient);
    return static_cast<int>(quotient);
}

int transfer_rate_for_percent(int sampling_rate, int percent) {
    const int64_t rate = (static_cast<int64_t>(sampling_rate) * percent + 99) / 100;
    return rate > INT_MAX ? INT_MAX : rate < INT_MIN ? INT_MIN : static_cast<int>(rate);
}

bool is_station_rate(int rate) {
    for (int station_rate : STATION_RATES)
        if (rate == station_rate) return true;
    return false;
}

int device_rate_of(int sampling_rate) {
    if (!is_station_rate(sampling_rate)) return 11025;
    return sampling_rate % 11025 == 0 ? sampling_rate : sampling_rate / 8000 * 11025;
}

const char* connection_class(int bytes_per_second) {
    if (bytes_per_second > 6000) return "LAN";
    if (bytes_per_second > 3200) return "ISDN";
    if (bytes_per_second > 1600) return "28.8k";
    return "14.4";
}
