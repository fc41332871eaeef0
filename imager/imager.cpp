// The imager: wanted byte ranges of a drive copied to the same offsets of a
// sparse image, with the rescue map as the record of what the image holds.
#include "imager/imager.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace {

// Reads of a megabyte keep a disk streaming; the map is saved after every
// 64 MiB of progress and at least every 5 seconds, so that a run stopped at
// any moment loses little work.
constexpr std::uint32_t kChunkBytes = 1 << 20;
constexpr std::uint64_t kSaveEveryBytes = std::uint64_t{64} << 20;
constexpr std::uint32_t kSaveEveryMs = 5000;
constexpr std::uintptr_t kPageBytes = 4096;

// The wanted ranges in ascending order, cut to the drive and to each other,
// so that no byte is read twice.
std::vector<ImageRange> Planned(std::vector<ImageRange> wanted, std::uint64_t driveSize) {
    std::sort(wanted.begin(), wanted.end(),
              [](const ImageRange& a, const ImageRange& b) { return a.Offset < b.Offset; });
    std::vector<ImageRange> planned;
    std::uint64_t reached = 0;
    for (const ImageRange& range : wanted) {
        const std::uint64_t from = std::max(range.Offset, reached);
        const std::uint64_t to = std::min(range.Offset + range.Length, driveSize);
        if (from < to) {
            planned.push_back({from, to - from});
            reached = to;
        }
    }
    return planned;
}

bool AllZero(const std::uint8_t* bytes, std::size_t count) {
    // Each byte equals the one after it, and the first is zero.
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

} // namespace

CImager::CImager(FileHandle drive, std::uint64_t driveSize, std::string imagePath,
                 std::string mapPath, std::string comments)
    : Drive(drive), DriveSize(driveSize), ImagePath(std::move(imagePath)),
      MapPath(std::move(mapPath)), Comments(std::move(comments)), TheMap(driveSize) {}

CImager::~CImager() {
    PlatClose(Image);
    delete[] Storage;
}

bool CImager::Open(std::string& fault) {
    std::ifstream in(MapPath, std::ios::binary);
    if (in) {
        const std::string text{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        std::string why;
        if (!TheMap.Parse(text, why)) {
            fault = "the map " + MapPath + " cannot be parsed (" + why + ")";
            return false;
        }
        if (TheMap.Size() != DriveSize) {
            fault = "the map " + MapPath + " is of a disk of " + std::to_string(TheMap.Size()) +
                    " bytes, the drive has " + std::to_string(DriveSize);
            return false;
        }
    }
    std::uint64_t size = 0;
    FileHandle existing = kInvalidHandle;
    NewImage = !PlatOpenRead(ImagePath, existing) || (PlatSize(existing, size) && size == 0);
    PlatClose(existing);
    if (!PlatOpenImage(ImagePath, Image) || !PlatGrow(Image, DriveSize)) {
        fault = "cannot create image " + ImagePath;
        return false;
    }
    // The buffer starts on a page: the system copies whole pages in and out
    // of it, at twice the speed of a copy that straddles them.
    Storage = new std::uint8_t[kChunkBytes + kPageBytes];
    Buffer = Storage + (kPageBytes - reinterpret_cast<std::uintptr_t>(Storage) % kPageBytes);
    return true;
}

bool CImager::Copy(std::vector<ImageRange> wanted, CImageProgressSink* progress,
                   std::string& fault) {
    const std::vector<ImageRange> planned = Planned(std::move(wanted), DriveSize);
    ImageProgress now{};
    for (const ImageRange& range : planned) {
        now.Wanted += range.Length;
        now.Done += range.Length - TheMap.NotCopied(range.Offset, range.Length);
    }
    const std::uint32_t start = PlatTicks();
    std::uint32_t savedAt = start;
    std::uint64_t sinceSave = 0, pos = 0;
    for (const ImageRange& range : planned) {
        const std::uint64_t end = range.Offset + range.Length;
        for (pos = range.Offset; !DriveEnded;) {
            // A copied area is never read again.
            pos = std::min(end, TheMap.NextNotCopied(pos));
            if (pos == end)
                break;
            const auto length = static_cast<std::uint32_t>(
                std::min({end, TheMap.NotCopiedUpTo(pos), pos + kChunkBytes}) - pos);
            if (!CopyChunk(pos, length, fault)) {
                std::string ignored;
                SaveMap(pos, CRescueMap::kNotTried, ignored);
                return false;
            }
            pos += length;
            now.Done += length;
            now.ReadNow += length;
            now.Unreadable = g_Unreadable.Bytes();
            now.Ms = PlatTicks() - start;
            sinceSave += length;
            if (progress != nullptr)
                progress->Progress(now);
            if (sinceSave >= kSaveEveryBytes || PlatTicks() - savedAt >= kSaveEveryMs) {
                if (!SaveMap(pos, CRescueMap::kNotTried, fault))
                    return false;
                sinceSave = 0;
                savedAt = PlatTicks();
            }
        }
    }
    return SaveMap(pos, DriveEnded ? CRescueMap::kNotTried : CRescueMap::kCopied, fault);
}

bool CImager::CopyChunk(std::uint64_t pos, std::uint32_t length, std::string& fault) {
    std::uint32_t got = 0;
    ReadDrive(Drive, pos, Buffer, length, got);
    DriveEnded = got < length;
    // The sectors ReadDrive could not read are bad in the map; the rest go
    // into the image before the map says they are there.
    const std::uint64_t end = pos + got;
    for (std::uint64_t at = pos; at < end;) {
        const std::uint64_t bad = std::min(g_Unreadable.UnreadableUpTo(at), end);
        if (bad > at) {
            TheMap.Set(at, bad - at, CRescueMap::kBad);
            at = bad;
            continue;
        }
        const std::uint64_t good = std::min(g_Unreadable.NextUnreadable(at), end);
        std::uint32_t written = 0;
        const auto count = static_cast<std::uint32_t>(good - at);
        // A new image is all holes, which read as zeros: zeros need not be
        // written there, and the image keeps the room they would take.
        const bool hole = NewImage && AllZero(Buffer + (at - pos), count);
        if (!hole && (!PlatSeek(Image, at) ||
                      !PlatWrite(Image, Buffer + (at - pos), count, written) || written != count)) {
            fault = "cannot write image " + ImagePath;
            return false;
        }
        TheMap.Set(at, count, CRescueMap::kCopied);
        at = good;
    }
    return true;
}

bool CImager::SaveMap(std::uint64_t pos, char status, std::string& fault) {
    if (TheMap.Save(MapPath, Comments, pos, status))
        return true;
    fault = "cannot write the map " + MapPath;
    return false;
}

bool SaveDomainMap(const std::string& path, std::uint64_t driveSize,
                   const std::vector<ImageRange>& wanted, const std::string& comments) {
    CRescueMap domain(driveSize);
    for (const ImageRange& range : wanted)
        domain.Set(range.Offset, range.Length, CRescueMap::kCopied);
    return domain.Save(path, comments, 0, CRescueMap::kCopied);
}
