// The look at a disk: its first sectors, and the starts of a sample of its
// clusters when those sectors do not decide. Plain reads of the platform,
// none of them retried: a look at a failing disk must not take its time.
#include "disks/disks.h"

#include <utility>

namespace {

// A buffer on a page, as a raw disk wants one.
struct AlignedBuffer {
    explicit AlignedBuffer(std::uint32_t n)
        : bytes(static_cast<std::uint8_t*>(::operator new(n, kIoAlignment))) {}
    ~AlignedBuffer() { ::operator delete(bytes, kIoAlignment); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    std::uint8_t* bytes;
};

// count bytes at offset, fewer at the disk's end; false on a failed read.
ReadOutcome ReadAt(FileHandle disk, std::uint64_t offset, std::uint32_t count,
                   std::vector<std::uint8_t>& out) {
    AlignedBuffer buffer(count);
    std::uint32_t got = 0;
    if (!PlatSeek(disk, offset))
        return ReadOutcome::MediumError;
    const ReadOutcome outcome = PlatRead(disk, buffer.bytes, count, got);
    if (outcome == ReadOutcome::Ok)
        out.assign(buffer.bytes, buffer.bytes + got);
    return outcome;
}

// After a cluster's start failed to read: whether the disk still reads its
// first sector, read fine before, from the disk itself rather than from the
// system's cache. A disk that went away does not.
bool StillAnswers(FileHandle disk) {
    PlatDropCache(disk, 0, kSectorSize);
    std::vector<std::uint8_t> sector;
    return ReadAt(disk, 0, kSectorSize, sector) == ReadOutcome::Ok && sector.size() == kSectorSize;
}

} // namespace

bool LookAtDisk(FileHandle disk, std::uint64_t size, DiskBytes& bytes, std::string& reason) {
    bytes = DiskBytes{};
    bytes.size = size;
    const ReadOutcome first = ReadAt(disk, 0, kDirectoryBytes, bytes.first);
    if (first != ReadOutcome::Ok) {
        bytes.stopped = first == ReadOutcome::Gone;
        reason = bytes.stopped ? kStoppedReason : "its first sectors cannot be read";
        return false;
    }
    if (!NeedsClusterSample(bytes))
        return true;
    for (const int cluster : ClusterSample(size)) {
        ClusterStart start;
        start.cluster = cluster;
        const std::uint64_t at = static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize;
        const ReadOutcome outcome = ReadAt(disk, at, kClusterStartBytes, start.bytes);
        if (outcome == ReadOutcome::Ok)
            bytes.clusters.push_back(std::move(start));
        else if (outcome == ReadOutcome::Gone ||
                 (outcome == ReadOutcome::MediumError && !StillAnswers(disk))) {
            bytes.stopped = true;
            reason = kStoppedReason + (" at byte " + std::to_string(at));
            return false;
        }
    }
    return true;
}
