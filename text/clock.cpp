// Seconds as a clock text.
#include "text/clock.h"

#include <cmath>
#include <cstdio>

std::string ClockText(double seconds, ClockHours hours, ClockSeconds part) {
    long s = 0;
    if (part == ClockSeconds::Cut)
        s = static_cast<long>(seconds);
    else if (seconds > 0 && seconds < 1e7)
        s = std::lround(seconds);
    char text[32];
    if (hours == ClockHours::Always || s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}
