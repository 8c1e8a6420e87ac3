// Preloaded into a real program (LD_PRELOAD) by the journeys that need its
// wall clock elsewhere: time() runs VELMORA_CLOCK_SHIFT seconds ahead, so an
// hour's end comes within seconds. Its steady clocks are left alone.

#include <cstdlib>
#include <ctime>

extern "C" time_t time(time_t* out) {
    static const long shift = [] {
        const char* text = std::getenv("VELMORA_CLOCK_SHIFT");
        return text ? std::atol(text) : 0L;
    }();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t shifted = now.tv_sec + shift;
    if (out) *out = shifted;
    return shifted;
}
