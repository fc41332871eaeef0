// The runs of zeros that the recording went on across, left out of the
// video that goes into the file: they hold no picture, and a program stream
// whose clock follows its bytes would fall behind its time stamps.
#include "rip/rescue_parts.h"

#include <algorithm>

std::optional<std::uint64_t> CZeroRunEditor::Watch(const std::uint8_t* bytes, std::size_t count,
                                                   std::uint64_t received) {
    const std::uint64_t unreadable = Unreadable.Bytes();
    std::size_t zeros = 0;
    while (zeros < count && bytes[count - 1 - zeros] == 0)
        ++zeros;
    if (zeros < count && ZerosPassed) {
        // The run looked past ends at the first byte that is not zero.
        std::size_t lead = 0;
        while (bytes[lead] == 0)
            ++lead;
        Passed.back().to = std::max(Passed.back().from, received - count + lead - 2);
        Runs.back().bytes = Passed.back().to - Passed.back().from;
        ZerosPassed = false;
    }
    TrailingZeros = zeros == count ? TrailingZeros + count : zeros;
    if (unreadable != UnreadableSeen)
        TrailingZeros = 0;
    UnreadableSeen = unreadable;
    if (TrailingZeros < CRecordingEnd::kZeroRunBytes || ZerosPassed)
        return std::nullopt;
    return received - TrailingZeros;
}

void CZeroRunEditor::LookPast(std::uint64_t from, std::uint64_t chainByte) {
    ZerosPassed = true;
    Passed.push_back({from, ~std::uint64_t{0}});
    Runs.push_back({chainByte, TrailingZeros});
}

void CZeroRunEditor::EndRun(std::uint64_t received) {
    if (!ZerosPassed)
        return;
    Passed.back().to = received;
    Runs.back().bytes = received - Passed.back().from;
    ZerosPassed = false;
}

std::uint64_t CZeroRunEditor::WaitingBytes() const {
    return ZerosPassed ? std::min<std::size_t>(TrailingZeros, 2) : TrailingZeros;
}

bool CZeroRunEditor::Waits(std::uint64_t offset) const {
    return ZerosPassed && offset >= Passed.back().from;
}

std::uint64_t CZeroRunEditor::Kept(std::uint64_t offset) const {
    std::uint64_t kept = offset;
    for (const ZeroRun& run : Passed) {
        if (run.from < offset)
            kept -= std::min(offset, run.to) - run.from;
    }
    return kept;
}

void CZeroRunEditor::Edit(const std::uint8_t* bytes, std::size_t n, const KeepBytes& keepBytes) {
    while (n > 0) {
        std::uint64_t keep = n;
        for (const ZeroRun& run : Passed) {
            if (Given >= run.from && Given < run.to) {
                keep = 0;
                const std::size_t skip =
                    static_cast<std::size_t>(std::min<std::uint64_t>(n, run.to - Given));
                Given += skip, bytes += skip, n -= skip;
                break;
            }
            if (run.from > Given)
                keep = std::min<std::uint64_t>(keep, run.from - Given);
        }
        if (keep > 0) {
            keepBytes(bytes, static_cast<std::size_t>(keep));
            Given += keep, bytes += keep, n -= static_cast<std::size_t>(keep);
        }
    }
}
