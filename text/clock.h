// A time as a clock shows it: h:mm:ss, or m:ss under an hour. The one place
// the program turns seconds into such a text; the forms differ in whether the
// hours are always shown and whether the seconds are cut or rounded.
#pragma once

#include <string>

// Whether the hours are shown.
enum class ClockHours {
    Always,     // h:mm:ss, "0:00:59" too
    FromAnHour, // m:ss under an hour ("0:59", "59:59"), h:mm:ss from an hour on
};

// What becomes of the part of a second.
enum class ClockSeconds {
    // Cut off, toward zero; a negative time gives negative fields
    // ("0:00:-5"). A time that is not a number is 0, one beyond some 292
    // billion years is held there.
    Cut,
    // Rounded to the nearest second, halves away from zero; a time not above
    // 0, or of 1e7 seconds (some 116 days) and more, or not a number, is 0.
    Rounded,
};

// Seconds as a clock in the form given.
std::string ClockText(double seconds, ClockHours hours, ClockSeconds part);
