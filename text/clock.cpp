// Seconds as a clock text.
#include "text/clock.h"

#include <cmath>
#include <cstdio>

namespace {

// Seconds cut toward zero, held within what a long long holds; a time that
// is not a number is 0.
long long CutSeconds(double seconds) {
    constexpr double kMost = 9.2e18;
    if (std::isnan(seconds))
        return 0;
    if (seconds >= kMost)
        return static_cast<long long>(kMost);
    if (seconds <= -kMost)
        return -static_cast<long long>(kMost);
    return static_cast<long long>(seconds);
}

} // namespace

std::string ClockText(double seconds, ClockHours hours, ClockSeconds part) {
    long long s = 0;
    if (part == ClockSeconds::Cut)
        s = CutSeconds(seconds);
    else if (seconds > 0 && seconds < 1e7)
        s = std::llround(seconds);
    char text[48];
    if (hours == ClockHours::Always || s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}
