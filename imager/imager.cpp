// The imager: wanted byte ranges of a drive copied to the same offsets of a
// sparse image in passes over the rescue map, the record of what the image
// holds.
#include "imager/imager.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <utility>

namespace {

// Reads of a megabyte keep a disk streaming; the map is saved after every
// 64 MiB of progress and at least every 5 seconds, so that a run stopped at
// any moment loses little work.
constexpr std::uint32_t kChunkBytes = 1 << 20;
constexpr std::uint64_t kSaveEveryBytes = std::uint64_t{64} << 20;
constexpr std::uint32_t kSaveEveryMs = 5000;
constexpr std::uintptr_t kPageBytes = 4096;

// A failed read leaves kFailedBytes from the sector that failed for the
// trimming, and the copying passes skip kFirstSkip past them, twice as far
// after each further failure or slow read, up to kLongestSkip.
constexpr std::uint64_t kFailedBytes = 64 << 10;
constexpr std::uint64_t kFirstSkip = 64 << 10;
constexpr std::uint64_t kLongestSkip = 16 << 20;

// A read is slow when its megabyte takes kSlowFactor times as long as the
// disk takes elsewhere, and kSlowMs more: no disk that streams at 20 MB/s or
// more is ever slow, whatever the page cache made of the reads before.
constexpr double kSlowFactor = 8.0;
constexpr double kSlowMs = 50.0;

constexpr const char* kIdentityPrefix = "# Disk: ";
// The first ten sectors, whose digest the maps of earlier versions note.
constexpr std::size_t kFirstSectorsBytes = 10 * 512;
// Going on from a map, this many blocks of kSpotBytes that it marks copied
// are read again and compared with the image (all of them where there are
// fewer).
constexpr std::uint64_t kSpotBlocks = 16;
constexpr std::uint32_t kSpotBytes = 4096;

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

// The first byte of [pos, end) that has the status in the map; end when none.
std::uint64_t NextWith(const CRescueMap& map, std::uint64_t pos, std::uint64_t end, char status) {
    while (pos < end && map.StatusAt(pos) != status)
        pos = map.BlockEnd(pos);
    return std::min(pos, end);
}

// The blocks of the area that have the status in the map, in order.
std::vector<ImageRange> BlocksWith(const CRescueMap& map, const ImageRange& area, char status) {
    std::vector<ImageRange> blocks;
    const std::uint64_t end = area.Offset + area.Length;
    for (std::uint64_t pos = NextWith(map, area.Offset, end, status); pos < end;) {
        const std::uint64_t stop = std::min(map.BlockEnd(pos), end);
        blocks.push_back({pos, stop - pos});
        pos = NextWith(map, stop, end, status);
    }
    return blocks;
}

// The bytes of the areas that have the status in the map.
std::uint64_t BytesWith(const CRescueMap& map, const std::vector<ImageRange>& areas, char status) {
    std::uint64_t bytes = 0;
    for (const ImageRange& area : areas) {
        for (const ImageRange& block : BlocksWith(map, area, status))
            bytes += block.Length;
    }
    return bytes;
}

// Tells the reads that are far slower than the disk's usual pace.
class CSlowReads {
  public:
    bool Slow(std::uint32_t bytes, std::uint32_t ms) {
        if (bytes < kFailedBytes)
            return false; // too short to time
        const double perMiB = static_cast<double>(ms) * kChunkBytes / bytes;
        if (Usual >= 0 && perMiB > kSlowFactor * Usual + kSlowMs)
            return true;
        Usual = Usual < 0 ? perMiB : (Usual * 7 + perMiB) / 8;
        return false;
    }

  private:
    double Usual = -1; // ms per MiB of the reads that were not slow
};

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

} // namespace

// One pass: the areas it goes over, the status it picks from the map, and
// how the map's status line names it.
struct CImager::Pass {
    const std::vector<ImageRange>& Areas;
    const char* Name;
    int Number;
    char Status;
    std::uint64_t Pos = 0; // where it is
};

std::string DigestOf(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (std::size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3u;
    return Hex(hash);
}

DiskIdentity IdentityOf(std::uint64_t size, const std::vector<std::uint8_t>& directory,
                        bool directoryRead, std::string serial) {
    DiskIdentity disk;
    disk.Size = size;
    disk.Serial = std::move(serial);
    if (directoryRead)
        disk.Digest = DigestOf(directory.data(), directory.size());
    if (directory.size() >= kFirstSectorsBytes || (directoryRead && !directory.empty()))
        disk.FirstSectors =
            DigestOf(directory.data(), std::min<std::size_t>(directory.size(), kFirstSectorsBytes));
    return disk;
}

std::string IdentityLine(const DiskIdentity& disk) {
    return kIdentityPrefix + std::to_string(disk.Size) + " bytes, directory " +
           (disk.Digest.empty() ? "-" : disk.Digest) + ", serial " +
           (disk.Serial.empty() ? "-" : disk.Serial) + "\n";
}

bool NotedIdentity(const std::string& mapText, DiskIdentity& disk) {
    std::istringstream in(mapText);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, std::strlen(kIdentityPrefix), kIdentityPrefix) != 0)
            continue;
        // "# Disk: SIZE bytes, directory DIGEST, serial SERIAL"; a map of an
        // earlier version says "first sectors DIGEST".
        unsigned long long size = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "# Disk: %llu bytes, %n", &size, &used) < 1 || used == 0)
            return false;
        std::string rest = line.substr(static_cast<std::size_t>(used));
        disk = DiskIdentity{};
        disk.Size = size;
        std::string* digest = nullptr;
        for (const auto& [word, field] : {std::pair{"directory ", &disk.Digest},
                                          std::pair{"first sectors ", &disk.FirstSectors}}) {
            if (rest.compare(0, std::strlen(word), word) == 0) {
                rest.erase(0, std::strlen(word));
                digest = field;
            }
        }
        const std::size_t comma = rest.find(", serial ");
        if (digest == nullptr || comma == std::string::npos)
            return false;
        *digest = rest.substr(0, comma) == "-" ? "" : rest.substr(0, comma);
        const std::string serial = rest.substr(comma + std::strlen(", serial "));
        disk.Serial = serial == "-" ? "" : serial;
        return true;
    }
    return false;
}

bool SameDisk(const DiskIdentity& a, const DiskIdentity& b) {
    const auto agree = [](const std::string& x, const std::string& y) {
        return x.empty() || y.empty() || x == y;
    };
    return a.Size == b.Size && agree(a.Digest, b.Digest) && agree(a.FirstSectors, b.FirstSectors) &&
           agree(a.Serial, b.Serial);
}

std::string DescribeDisk(const DiskIdentity& disk) {
    const std::string digest =
        !disk.Digest.empty() || disk.FirstSectors.empty()
            ? "directory " + (disk.Digest.empty() ? std::string("unreadable") : disk.Digest)
            : "first sectors " + disk.FirstSectors;
    return "a disk of " + std::to_string(disk.Size) + " bytes, " + digest + ", serial " +
           (disk.Serial.empty() ? "unknown" : disk.Serial);
}

CImager::CImager(CDriveSession& drive, std::uint64_t driveSize, std::string imagePath,
                 std::string mapPath, std::string comments, DiskIdentity identity)
    : Drive(drive), DriveSize(driveSize), ImagePath(std::move(imagePath)),
      MapPath(std::move(mapPath)), Comments(std::move(comments) + IdentityLine(identity)),
      Identity(std::move(identity)), TheMap(driveSize) {}

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
        DiskIdentity noted;
        const bool identified = NotedIdentity(text, noted);
        if (identified && !SameDisk(noted, Identity)) {
            fault = "the image " + ImagePath + " was begun with another disk (" +
                    DescribeDisk(noted) + "); this drive is " + DescribeDisk(Identity) +
                    ": the image and its map " + MapPath + " are left as they are";
            return false;
        }
        if (identified && !SameBytesAsImage(noted, fault))
            return false;
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

namespace {

// The blocks of kSpotBytes that the map marks copied, kSpotBlocks of them
// spread evenly over all of them (every one where there are no more).
std::vector<ImageRange> SpotBlocks(const CRescueMap& map) {
    std::vector<ImageRange> copied = BlocksWith(map, {0, map.Size()}, CRescueMap::kCopied);
    std::uint64_t blocks = 0;
    for (const ImageRange& area : copied)
        blocks += (area.Length + kSpotBytes - 1) / kSpotBytes;
    std::vector<ImageRange> spots;
    const std::uint64_t picked = std::min(blocks, kSpotBlocks);
    auto area = copied.begin();
    std::uint64_t before = 0; // blocks of the areas before `area`
    for (std::uint64_t i = 0; i < picked; ++i) {
        const std::uint64_t block = (2 * i + 1) * blocks / (2 * picked);
        for (; block >= before + (area->Length + kSpotBytes - 1) / kSpotBytes; ++area)
            before += (area->Length + kSpotBytes - 1) / kSpotBytes;
        const std::uint64_t at = area->Offset + (block - before) * kSpotBytes;
        spots.push_back(
            {at, std::min<std::uint64_t>(kSpotBytes, area->Offset + area->Length - at)});
    }
    return spots;
}

} // namespace

// The spot check of a map's disk: the drive's bytes of the spot blocks
// against the image's. A block the drive cannot read now tells nothing; a
// disk that stops answering ends the check, and the passes then stop too.
bool CImager::SameBytesAsImage(const DiskIdentity& noted, std::string& fault) {
    FileHandle image = kInvalidHandle;
    if (!PlatOpenRead(ImagePath, image))
        return true; // no image: nothing to compare, and Open makes one
    std::vector<std::uint8_t> kept(kSpotBytes);
    const std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[kSpotBytes + kPageBytes]);
    std::uint8_t* drive =
        storage.get() + (kPageBytes - reinterpret_cast<std::uintptr_t>(storage.get()) % kPageBytes);
    std::size_t differ = 0, compared = 0;
    std::uint64_t first = 0;
    for (const ImageRange& spot : SpotBlocks(TheMap)) {
        const auto length = static_cast<std::uint32_t>(spot.Length);
        std::uint32_t got = 0, have = 0;
        if (ReadDriveOnce(Drive, spot.Offset, drive, length, got) != ReadOutcome::Ok ||
            got != length)
            continue;
        if (!PlatSeek(image, spot.Offset) ||
            PlatRead(image, kept.data(), length, have) != ReadOutcome::Ok || have != length)
            continue;
        ++compared;
        if (std::memcmp(drive, kept.data(), length) != 0 && differ++ == 0)
            first = spot.Offset;
    }
    PlatClose(image);
    if (differ == 0)
        return true;
    fault = "the image " + ImagePath + " was begun with another disk, or with this one before " +
            "its data changed: " + std::to_string(differ) + " of " + std::to_string(compared) +
            " blocks copied into it read otherwise now, the first at byte " +
            std::to_string(first) + " (the map notes " + DescribeDisk(noted) + "; this drive is " +
            DescribeDisk(Identity) + "): the image and its map " + MapPath +
            " are left as they are";
    return false;
}

void CImager::LetRead() {
    PlatClose(Image);
    Image = kInvalidHandle;
}

bool CImager::Keep(std::uint64_t pos, const std::uint8_t* bytes, std::uint32_t count,
                   std::string& fault) {
    std::uint32_t written = 0;
    // A new image is all holes, which read as zeros: zeros need not be
    // written there, and the image keeps the room they would take.
    if (Image == kInvalidHandle && !PlatOpenImage(ImagePath, Image)) {
        fault = "cannot open image " + ImagePath + " again";
        return false;
    }
    const bool hole = NewImage && AllZero(bytes, count);
    if (count > 0 && !hole &&
        (!PlatSeek(Image, pos) || !PlatWrite(Image, bytes, count, written) || written != count)) {
        fault = "cannot write image " + ImagePath;
        return false;
    }
    TheMap.Set(pos, count, CRescueMap::kCopied);
    return true;
}

bool CImager::SaveAt(std::uint64_t pos, char status, int pass, std::string& fault) {
    if (TheMap.Save(MapPath, Comments, pos, status, pass))
        return true;
    fault = "cannot write the map " + MapPath;
    return false;
}

bool CImager::SaveMap(std::string& fault) {
    return SaveAt(0, CRescueMap::kCopied, 1, fault);
}

// Bytes of the pass settled at pos: the progress line is told, and the map
// saved when it is due.
bool CImager::Settled(Pass& pass, std::uint64_t pos, std::uint64_t bytes, std::string& fault) {
    pass.Pos = pos;
    Now.Left -= std::min(Now.Left, bytes);
    Now.Ms = PlatTicks() - Start;
    SinceSave += bytes;
    if (Sink != nullptr)
        Sink->Progress(Now);
    if (SinceSave < kSaveEveryBytes && PlatTicks() - SavedAt < kSaveEveryMs)
        return true;
    SinceSave = 0;
    SavedAt = PlatTicks();
    return SaveAt(pos, pass.Status, pass.Number, fault);
}

bool CImager::CopyPass(Pass& pass, bool skipFailed, bool skipSlow, std::string& fault) {
    CSlowReads slow;
    std::uint64_t skip = kFirstSkip;
    for (const ImageRange& area : pass.Areas) {
        const std::uint64_t end = area.Offset + area.Length;
        for (std::uint64_t pos = area.Offset;;) {
            pos = NextWith(TheMap, pos, end, CRescueMap::kNotTried);
            if (pos == end || Drive.Stopped())
                break;
            const std::uint64_t blockEnd = std::min(TheMap.BlockEnd(pos), end);
            const auto length =
                static_cast<std::uint32_t>(std::min(blockEnd, pos + kChunkBytes) - pos);
            std::uint32_t got = 0;
            const std::uint32_t before = PlatTicks();
            const ReadOutcome outcome = ReadDriveOnce(Drive, pos, Buffer, length, got);
            const std::uint32_t ms = PlatTicks() - before;
            got = WholeSectors(pos, got);
            Now.ReadNow += got;
            Now.Done += got;
            if (!Keep(pos, Buffer, got, fault))
                return false;
            if (outcome == ReadOutcome::Gone)
                return Settled(pass, pos + got, got, fault);
            std::uint64_t next = pos + got;
            if (got < length) {
                // The sectors from the failure on are left to the trimming.
                const std::uint64_t failed = std::min(blockEnd, next + kFailedBytes);
                TheMap.Set(next, failed - next, CRescueMap::kNotTrimmed);
                next = failed + (skipFailed ? skip : 0);
                skip = std::min(skip * 2, kLongestSkip);
            } else if (skipSlow && slow.Slow(got, ms)) {
                next += skip;
                skip = std::min(skip * 2, kLongestSkip);
            } else {
                skip = kFirstSkip;
            }
            if (!Settled(pass, pos + got, std::min(next, blockEnd) - pos, fault))
                return false;
            pos = next;
        }
    }
    return true;
}

// What the first pass skipped, each area read from its end back in pieces of
// kFailedBytes: the readable data behind a bad area that the skip jumped
// past comes first, and the bad area is met from its other side, skipped
// past backwards as the first pass skips forwards.
bool CImager::BackwardPass(Pass& pass, std::string& fault) {
    std::uint64_t skip = kFirstSkip;
    for (auto area = pass.Areas.rbegin(); area != pass.Areas.rend(); ++area) {
        const std::vector<ImageRange> blocks = BlocksWith(TheMap, *area, CRescueMap::kNotTried);
        for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
            for (std::uint64_t end = block->Offset + block->Length; end > block->Offset;) {
                if (Drive.Stopped())
                    return true;
                const std::uint64_t from = end - std::min(end - block->Offset, kFailedBytes);
                const auto length = static_cast<std::uint32_t>(end - from);
                std::uint32_t got = 0;
                const ReadOutcome outcome = ReadDriveOnce(Drive, from, Buffer, length, got);
                got = WholeSectors(from, got);
                Now.ReadNow += got;
                Now.Done += got;
                if (!Keep(from, Buffer, got, fault))
                    return false;
                if (outcome == ReadOutcome::Gone)
                    return Settled(pass, from, got, fault);
                std::uint64_t next = from;
                if (got < length) {
                    TheMap.Set(from + got, length - got, CRescueMap::kNotTrimmed);
                    next = from - std::min(from - block->Offset, skip);
                    skip = std::min(skip * 2, kLongestSkip);
                } else {
                    skip = kFirstSkip;
                }
                if (!Settled(pass, from, end - next, fault))
                    return false;
                end = next;
            }
        }
    }
    return true;
}

// Of the got bytes read at pos, those of whole sectors: a drive (an image
// file) may end inside its last sector, whose bytes up to the end are whole.
std::uint32_t CImager::WholeSectors(std::uint64_t pos, std::uint32_t got) const {
    return pos + got >= DriveSize ? got : got / kSectorSize * kSectorSize;
}

// Reads one sector at `at` into the image (read: whether it could be).
bool CImager::ReadSector(Pass& pass, std::uint64_t at, bool& read, std::string& fault) {
    std::uint32_t got = 0;
    read = ReadDriveOnce(Drive, at, Buffer, kSectorSize, got) == ReadOutcome::Ok &&
           (got == kSectorSize || at + got == DriveSize);
    if (Drive.Stopped())
        return true;
    Now.ReadNow += read ? kSectorSize : 0;
    if (read) {
        Now.Done += kSectorSize;
        Now.Unreadable -= TheMap.StatusAt(at) == CRescueMap::kBad ? kSectorSize : 0;
        if (!Keep(at, Buffer, got, fault))
            return false;
    } else if (TheMap.StatusAt(at) != CRescueMap::kBad) {
        TheMap.Set(at, kSectorSize, CRescueMap::kBad);
        Now.Unreadable += kSectorSize;
    }
    return Settled(pass, at, kSectorSize, fault);
}

bool CImager::TrimPass(Pass& pass, std::string& fault) {
    for (const ImageRange& area : pass.Areas) {
        const std::uint64_t end = area.Offset + area.Length;
        for (std::uint64_t pos = NextWith(TheMap, area.Offset, end, CRescueMap::kNotTrimmed);
             pos < end && !Drive.Stopped();
             pos = NextWith(TheMap, pos, end, CRescueMap::kNotTrimmed)) {
            std::uint64_t low = pos, high = std::min(TheMap.BlockEnd(pos), end);
            const std::uint64_t blockEnd = high;
            // Its leading edge up to the first sector that fails, then its
            // trailing edge back to the last one that fails.
            for (bool read = true; read && low < high && !Drive.Stopped();
                 low += kSectorSize)
                if (!ReadSector(pass, low, read, fault))
                    return false;
            for (bool read = true; read && low < high && !Drive.Stopped();
                 high -= kSectorSize)
                if (!ReadSector(pass, high - kSectorSize, read, fault))
                    return false;
            if (Drive.Stopped())
                return true;
            if (low < high)
                TheMap.Set(low, high - low, CRescueMap::kNotScraped);
            pos = blockEnd;
        }
    }
    return true;
}

// Reads sector by sector every area of the status in the map.
bool CImager::ScrapePass(Pass& pass, char status, std::string& fault) {
    for (const ImageRange& area : pass.Areas) {
        const std::uint64_t end = area.Offset + area.Length;
        for (std::uint64_t pos = NextWith(TheMap, area.Offset, end, status);
             pos < end && !Drive.Stopped(); pos = NextWith(TheMap, pos, end, status)) {
            const std::uint64_t blockEnd = std::min(TheMap.BlockEnd(pos), end);
            for (; pos < blockEnd && !Drive.Stopped(); pos += kSectorSize) {
                bool read = false;
                if (!ReadSector(pass, pos, read, fault))
                    return false;
            }
        }
    }
    return true;
}

bool CImager::Copy(std::vector<ImageRange> wanted, CImageProgressSink* progress,
                   std::string& fault) {
    const std::vector<ImageRange> areas = Planned(std::move(wanted), DriveSize);
    Now = ImageProgress{};
    for (const ImageRange& area : areas) {
        Now.Wanted += area.Length;
        Now.Done += area.Length - TheMap.NotCopied(area.Offset, area.Length);
    }
    Now.Unreadable = BytesWith(TheMap, areas, CRescueMap::kBad);
    Sink = progress;
    Start = SavedAt = PlatTicks();
    SinceSave = 0;
    // The '-' sectors met before this run are tried once more, at the end.
    Pass passes[] = {{areas, "copying", 1, CRescueMap::kNotTried},
                     {areas, "copying what was skipped, backwards", 2, CRescueMap::kNotTried},
                     {areas, "copying what is left", 3, CRescueMap::kNotTried},
                     {areas, "trimming", 4, CRescueMap::kNotTrimmed},
                     {areas, "scraping", 5, CRescueMap::kNotScraped},
                     {areas, "retrying", 6, CRescueMap::kBad}};
    for (Pass& pass : passes) {
        if (Drive.Stopped())
            break;
        Now.Pass = pass.Name;
        Now.PassNumber = pass.Number;
        Now.Left = BytesWith(TheMap, areas, pass.Status);
        if (Now.Left == 0)
            continue;
        const bool written =
            pass.Number == 2   ? BackwardPass(pass, fault)
            : pass.Number <= 3 ? CopyPass(pass, pass.Number == 1, pass.Number == 1, fault)
            : pass.Status == CRescueMap::kNotTrimmed ? TrimPass(pass, fault)
                                                     : ScrapePass(pass, pass.Status, fault);
        if (!written) {
            std::string ignored;
            SaveAt(pass.Pos, pass.Status, pass.Number, ignored);
            return false;
        }
        if (Drive.Stopped())
            return SaveAt(pass.Pos, pass.Status, pass.Number, fault);
    }
    return SaveAt(0, CRescueMap::kCopied, 1, fault);
}

bool SaveDomainMap(const std::string& path, std::uint64_t driveSize,
                   const std::vector<ImageRange>& wanted, const std::string& comments) {
    CRescueMap domain(driveSize);
    for (const ImageRange& range : wanted)
        domain.Set(range.Offset, range.Length, CRescueMap::kCopied);
    return domain.Save(path, comments, 0, CRescueMap::kCopied);
}
