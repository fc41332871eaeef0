// The time line of a chain: a time stamp every half a second of it, with the
// chain byte of its packet.
#include "rip/rescue_parts.h"

#include <algorithm>
#include <iterator>

void CTimeLine::Add(std::uint64_t chainByte, std::int64_t stamp) {
    if (!Samples.empty() && stamp < Samples.back().stamp + kPtsPerSecond / 2)
        return;
    Samples.push_back({chainByte, stamp});
}

std::int64_t CTimeLine::At(std::uint64_t chainByte) const {
    if (Samples.empty())
        return -1;
    auto after = std::upper_bound(
        Samples.begin(), Samples.end(), chainByte,
        [](std::uint64_t byte, const Sample& sample) { return byte < sample.chainByte; });
    return after == Samples.begin() ? Samples.front().stamp : std::prev(after)->stamp;
}
