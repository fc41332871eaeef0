// The video's time stamps continued across wraps of the 33-bit counter,
// jumps back and the recording's clock jumps ahead.
#include "rip/rescue_parts.h"

CStampContinuer::Stamps CStampContinuer::Continue(std::uint64_t chainByte, std::int64_t pts,
                                                  std::int64_t dts, bool first, bool jumpedBack,
                                                  bool clockJumped) {
    if (first) {
        // The line begins with the recording's own time stamps.
    } else if (jumpedBack) {
        // A wrap of the 33-bit counter continues exactly; another jump
        // back continues one picture interval after the last picture.
        if (pts - LastPts < -static_cast<std::int64_t>(kPtsModulus / 2))
            Shift += static_cast<std::int64_t>(kPtsModulus);
        else
            Shift += LastDts + Step - dts;
    } else if (clockJumped) {
        Shift += LastDts + Step - dts; // the clock jumped ahead
    } else if (dts > LastDts) {
        Step = dts - LastDts;
    }
    LastPts = pts;
    LastDts = dts;
    Line.Add(chainByte, dts + Shift);
    return {pts + Shift, dts + Shift};
}
