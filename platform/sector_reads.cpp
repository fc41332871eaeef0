// Reads of whole, aligned sectors, for a disk read past the system's cache.
#include "platform/sector_reads.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// The buffer of whole sectors for the parts of a read that do not lie on
// sectors: 1 MiB, on a page, one for the program (the disk is read by one
// thread).
constexpr std::uint32_t kBounceBytes = 1 << 20;

std::uint8_t* Bounce() {
    struct Free {
        void operator()(std::uint8_t* bytes) const {
            ::operator delete (bytes, std::align_val_t{kDirectSectorLimit});
        }
    };
    static const std::unique_ptr<std::uint8_t, Free> bounce(static_cast<std::uint8_t*>(
        ::operator new (kBounceBytes, std::align_val_t{kDirectSectorLimit})));
    return bounce.get();
}

bool OnSector(std::uint64_t value, std::uint32_t sectorSize) {
    return value % sectorSize == 0;
}

} // namespace

ReadOutcome ReadWholeSectors(RawSectorRead raw, FileHandle handle, std::uint32_t sectorSize,
                             std::uint64_t offset, void* buffer, std::uint32_t count,
                             std::uint32_t& got) {
    got = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (got < count) {
        const std::uint64_t pos = offset + got;
        const std::uint32_t left = count - got;
        const auto address = reinterpret_cast<std::uintptr_t>(out + got);
        std::uint32_t n = 0;
        if (OnSector(pos, sectorSize) && OnSector(address, sectorSize) && left >= sectorSize) {
            // The whole sectors of what is left, straight into the buffer.
            const std::uint32_t whole = left / sectorSize * sectorSize;
            const ReadOutcome outcome = raw(handle, pos, out + got, whole, n);
            got += n;
            if (outcome != ReadOutcome::Ok || n < whole)
                return outcome;
            continue;
        }
        // The sectors that hold the next bytes, as many as the bounce buffer
        // takes, and the bytes asked for copied out of them.
        const std::uint64_t start = pos / sectorSize * sectorSize;
        const auto skip = static_cast<std::uint32_t>(pos - start);
        const std::uint64_t span =
            (std::uint64_t{skip} + left + sectorSize - 1) / sectorSize * sectorSize;
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(span, kBounceBytes));
        const ReadOutcome outcome = raw(handle, start, Bounce(), want, n);
        const std::uint32_t usable = n > skip ? std::min(n - skip, left) : 0;
        std::memcpy(out + got, Bounce() + skip, usable);
        got += usable;
        if (outcome != ReadOutcome::Ok || n < want)
            return outcome;
    }
    return ReadOutcome::Ok;
}
