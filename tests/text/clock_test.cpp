// The clock text: each form at the boundaries of its fields, and the times
// that are no clock's, as the rescue's damage lines (hours always, cut) and
// the pictures and the page (m:ss under an hour, rounded) have them.
#include "text/clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct Clock {
    double seconds;
    ClockHours hours;
    ClockSeconds part;
    const char* text;
};

constexpr ClockHours kAlways = ClockHours::Always;
constexpr ClockHours kFromAnHour = ClockHours::FromAnHour;
constexpr ClockSeconds kCut = ClockSeconds::Cut;
constexpr ClockSeconds kRounded = ClockSeconds::Rounded;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(ClockText, EachFormAtItsBoundaries) {
    const Clock clocks[] = {
        // Hours always, the part of a second cut off.
        {0, kAlways, kCut, "0:00:00"},
        {59.5, kAlways, kCut, "0:00:59"},
        {59.999, kAlways, kCut, "0:00:59"},
        {60, kAlways, kCut, "0:01:00"},
        {3599.6, kAlways, kCut, "0:59:59"},
        {3600, kAlways, kCut, "1:00:00"},
        {86399.9, kAlways, kCut, "23:59:59"},
        {360000, kAlways, kCut, "100:00:00"},
        {1e7, kAlways, kCut, "2777:46:40"},
        {1e9, kAlways, kCut, "277777:46:40"},
        // Toward zero, and negative fields below it.
        {-0.5, kAlways, kCut, "0:00:00"},
        {-5.5, kAlways, kCut, "0:00:-5"},
        {-3661, kAlways, kCut, "-1:-1:-1"},
        // A time left that a read of a few bytes a second gives: held, not
        // undefined (long is 32 bits on Windows); no number is 0.
        {1e12, kAlways, kCut, "277777777:46:40"},
        {kInfinity, kAlways, kCut, "2555555555555555:33:20"},
        {std::nan(""), kAlways, kCut, "0:00:00"},
        // m:ss under an hour, rounded.
        {0, kFromAnHour, kRounded, "0:00"},
        {0.49, kFromAnHour, kRounded, "0:00"},
        {0.5, kFromAnHour, kRounded, "0:01"},
        {59.4, kFromAnHour, kRounded, "0:59"},
        {59.5, kFromAnHour, kRounded, "1:00"},
        {3599.4, kFromAnHour, kRounded, "59:59"},
        {3599.5, kFromAnHour, kRounded, "1:00:00"},
        {3599.6, kFromAnHour, kRounded, "1:00:00"},
        {3661, kFromAnHour, kRounded, "1:01:01"},
        {9999999.4, kFromAnHour, kRounded, "2777:46:39"},
        // Not above 0, from 1e7 s on, or not a number: 0.
        {-0.4, kFromAnHour, kRounded, "0:00"},
        {-5.5, kFromAnHour, kRounded, "0:00"},
        {1e7, kFromAnHour, kRounded, "0:00"},
        {1e300, kFromAnHour, kRounded, "0:00"},
        {kInfinity, kFromAnHour, kRounded, "0:00"},
        {std::nan(""), kFromAnHour, kRounded, "0:00"},
        // The two other forms.
        {59.5, kAlways, kRounded, "0:01:00"},
        {1e7, kAlways, kRounded, "0:00:00"},
        {59.5, kFromAnHour, kCut, "0:59"},
        {3599.6, kFromAnHour, kCut, "59:59"},
        {3600, kFromAnHour, kCut, "1:00:00"},
    };
    for (const Clock& clock : clocks)
        EXPECT_EQ(ClockText(clock.seconds, clock.hours, clock.part), clock.text)
            << clock.seconds << " s, hours " << static_cast<int>(clock.hours) << ", part "
            << static_cast<int>(clock.part);
}

} // namespace
