// Reading a failing disk: every sector that can still be read is kept, every
// one that cannot is delivered as zeros in its place and reported.
#include "drive/drive.h"
#include "platform/runlog.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

// How much a failing disk may cost. A bad sector can take the disk seconds to
// give up on, and a scratched or dead area spans megabytes, so:
// - a read that fails is repeated sector by sector, and each of those sectors
//   is tried once more, never again; past a bad spot the rest of the read is
//   taken in one piece again;
// - after kFailedInRowLimit sectors in a row have failed, the forward walk
//   stops and the read's sectors are tried backwards from its end until one
//   fails: the readable data behind a short dead area is still rescued;
// - a read that begins right after an unreadable sector lies in a dead area:
//   only the backward walk from its end is made. Recording data is read a
//   megabyte at a time, so a dead megabyte costs two reads: the block, and
//   its last sector.
constexpr std::uint32_t kFailedInRowLimit = 8;

// The area of the disk that holds a byte, as the report names it.
std::string AreaOf(std::uint64_t offset) {
    const std::uint64_t sector = offset / kSectorSize;
    if (sector == kTocSector)
        return "the table of contents";
    if (sector < kFirstHeaderSector)
        return "the cluster table";
    if (sector < kDataStartSector)
        return "the recording headers";
    return "cluster " + std::to_string((sector - kDataStartSector) / kClusterSectors + 1);
}

// The default words after the line that says where the disk stopped.
constexpr const char* kStopAdvice = "reconnect it and run the same command again to go on";

// Whether the disk still answers after a read failed: a sector that was read
// fine earlier in the run is read again, after the system's copy of it is
// dropped, for a disk that went away is otherwise answered for by the cache.
// A disk with bad sectors reads it; one that stopped answering does not.
// With no such sector yet, nothing tells the two apart: it answers.
bool StillAnswers(CDriveSession& drive) {
    alignas(4096) static std::uint8_t sector[kSectorSize];
    const FileHandle handle = drive.Handle();
    const std::vector<std::uint64_t> witnesses = drive.Unreadable().Witnesses();
    for (const std::uint64_t at : witnesses) {
        PlatDropCache(handle, at, kSectorSize);
        std::uint32_t got = 0;
        if (SeekSector(handle, at / kSectorSize) &&
            PlatRead(handle, sector, kSectorSize, got) == ReadOutcome::Ok && got == kSectorSize)
            return true;
    }
    return witnesses.empty();
}

// One read of count bytes at offset; got tells the bytes that arrived. A
// failed positioning is a failure of the sectors it was to reach. A failure
// after which the disk no longer answers, and any read once it stopped, is
// Gone.
ReadOutcome ReadOnce(CDriveSession& drive, std::uint64_t offset, std::uint8_t* buffer,
                     std::uint32_t count, std::uint32_t& got) {
    got = 0;
    CUnreadableSectors& unreadable = drive.Unreadable();
    if (unreadable.Stopped())
        return ReadOutcome::Gone;
    ReadOutcome outcome = SeekSector(drive.Handle(), offset / kSectorSize)
                              ? PlatRead(drive.Handle(), buffer, count, got)
                              : ReadOutcome::MediumError;
    if (got >= kSectorSize)
        unreadable.Answered(offset);
    if (outcome == ReadOutcome::MediumError && unreadable.CheckAfterFailure() &&
        !StillAnswers(drive))
        outcome = ReadOutcome::Gone;
    if (outcome == ReadOutcome::Gone)
        unreadable.Stop(offset + got / kSectorSize * kSectorSize);
    return outcome;
}

enum class SectorRead { Read, Failed, End };

// One sector at offset; End when the data ends inside it (got bytes valid),
// or when the handle cannot be read at all.
SectorRead ReadSector(CDriveSession& drive, std::uint64_t offset, std::uint8_t* sector,
                      std::uint32_t& got) {
    switch (ReadOnce(drive, offset, sector, kSectorSize, got)) {
    case ReadOutcome::Ok:
        return got == kSectorSize ? SectorRead::Read : SectorRead::End;
    case ReadOutcome::MediumError:
        return SectorRead::Failed;
    case ReadOutcome::Failed:
    case ReadOutcome::Gone:
        break;
    }
    got = 0;
    return SectorRead::End;
}

// The sectors [from, end) of a read that failed, rescued into the buffer
// that holds the read's bytes from `start` on. Run returns the end of the
// data (end, unless the data ends first).
class CRescue {
  public:
    CRescue(CDriveSession& drive, std::uint64_t start, std::uint8_t* buffer)
        : Drive(drive), Unreadable(drive.Unreadable()), Start(start), Buffer(buffer) {}

    std::uint64_t Run(std::uint64_t from, std::uint64_t end) {
        DataEnd = end;
        Low = from;
        BadFrom = from;
        High = end;
        if (Unreadable.RunEndingAt(from) == 0)
            WalkForward();
        if (DataEnd < end)
            return DataEnd; // the data ended during the forward walk
        WalkBackward();
        if (Unreadable.Stopped())
            return Low; // what lies beyond was not tried
        MarkUnreadable(BadFrom, High);
        if (High < end)
            Unreadable.ReportOpenRun(); // readable data follows: the run is complete
        return DataEnd;
    }

  private:
    std::uint8_t* At(std::uint64_t offset) const { return Buffer + (offset - Start); }

    void MarkUnreadable(std::uint64_t from, std::uint64_t to) {
        if (from >= to)
            return;
        std::memset(At(from), 0, static_cast<std::size_t>(to - from));
        Unreadable.Add(from, to - from);
    }

    void WalkForward() {
        std::uint32_t failedInRow = 0;
        while (Low < High && failedInRow < kFailedInRowLimit) {
            std::uint32_t got = 0;
            Unreadable.Trying(Low, High - Low);
            switch (ReadSector(Drive, Low, At(Low), got)) {
            case SectorRead::Read: {
                const bool pastBadSpot = BadFrom < Low;
                MarkUnreadable(BadFrom, Low);
                if (pastBadSpot)
                    Unreadable.ReportOpenRun();
                Low += kSectorSize;
                BadFrom = Low;
                failedInRow = 0;
                if (pastBadSpot && !ReadOnward())
                    return; // the data ended
                break;
            }
            case SectorRead::Failed:
                Low += kSectorSize;
                ++failedInRow;
                break;
            case SectorRead::End:
                MarkUnreadable(BadFrom, Low);
                DataEnd = Low + got;
                return;
            }
        }
    }

    // Past a bad spot, the rest is read in one piece again, up to the next
    // sector that fails. False when the data ended.
    bool ReadOnward() {
        if (Low >= High)
            return true;
        std::uint32_t got = 0;
        const ReadOutcome outcome =
            ReadOnce(Drive, Low, At(Low), static_cast<std::uint32_t>(High - Low), got);
        if (outcome == ReadOutcome::MediumError) {
            Low += got / kSectorSize * kSectorSize;
            BadFrom = Low;
            return true;
        }
        if (outcome == ReadOutcome::Ok && got == High - Low) {
            Low = BadFrom = High;
            return true;
        }
        DataEnd = Low + got; // the end of the data, or a handle that cannot be read
        return false;
    }

    void WalkBackward() {
        while (High > Low) {
            std::uint32_t got = 0;
            Unreadable.Trying(High - kSectorSize, High - Low);
            const SectorRead result =
                ReadSector(Drive, High - kSectorSize, At(High - kSectorSize), got);
            if (result == SectorRead::Failed || Unreadable.Stopped())
                break;
            High -= kSectorSize;
            if (result == SectorRead::End)
                DataEnd = High + got;
        }
    }

    CDriveSession& Drive;
    CUnreadableSectors& Unreadable;
    std::uint64_t Start;
    std::uint8_t* Buffer;
    std::uint64_t DataEnd = 0;
    std::uint64_t Low = 0;     // sectors below are settled
    std::uint64_t BadFrom = 0; // start of the failed sectors just below Low
    std::uint64_t High = 0;    // sectors from here on are settled
};

// Bytes [from, end) that hold no known unreadable sector, read into buffer
// (which holds the bytes from `start` on). Returns the end of the data.
std::uint64_t ReadSpan(CDriveSession& drive, std::uint64_t start, std::uint8_t* buffer,
                       std::uint64_t from, std::uint64_t end) {
    std::uint32_t got = 0;
    const ReadOutcome outcome = ReadOnce(drive, from, buffer + (from - start),
                                         static_cast<std::uint32_t>(end - from), got);
    if (outcome == ReadOutcome::Failed || outcome == ReadOutcome::Gone)
        return from + got; // the handle cannot be read: the data ends here
    if (outcome == ReadOutcome::Ok) {
        if (got > 0)
            drive.Unreadable().ReportOpenRun(); // readable data: any run before it is complete
        return from + got;
    }
    // The bytes before the failure arrived; the sector holding it is the
    // first one tried again.
    CRescue rescue(drive, start, buffer);
    return rescue.Run(from + got / kSectorSize * kSectorSize, end);
}

} // namespace

ReadOutcome ReadDriveOnce(CDriveSession& drive, std::uint64_t offset, std::uint8_t* buffer,
                          std::uint32_t count, std::uint32_t& got) {
    return ReadOnce(drive, offset, buffer, count, got);
}

bool ReadDrive(CDriveSession& drive, std::uint64_t offset, std::uint8_t* buffer,
               std::uint32_t count, std::uint32_t& got) {
    CUnreadableSectors& unreadable = drive.Unreadable();
    const std::uint64_t end = offset + count;
    std::uint64_t pos = offset;
    while (pos < end) {
        // Sectors already known to be unreadable are not tried again.
        const std::uint64_t known = std::min(unreadable.UnreadableUpTo(pos), end);
        if (known > pos) {
            std::memset(buffer + (pos - offset), 0, static_cast<std::size_t>(known - pos));
            pos = known;
            continue;
        }
        // What the drive's rescue map does not mark copied was never rescued:
        // its bytes in the image are no data, and count as unreadable.
        const std::uint64_t lost = std::min(unreadable.MapLostUpTo(pos), end);
        if (lost > pos) {
            std::memset(buffer + (pos - offset), 0, static_cast<std::size_t>(lost - pos));
            unreadable.Add(pos, lost - pos);
            pos = lost;
            continue;
        }
        const std::uint64_t spanEnd =
            std::min({end, unreadable.NextUnreadable(pos), unreadable.NextMapLost(pos)});
        const std::uint64_t dataEnd = ReadSpan(drive, offset, buffer, pos, spanEnd);
        pos = dataEnd;
        if (dataEnd < spanEnd)
            break; // the end of the data
    }
    got = static_cast<std::uint32_t>(pos - offset);
    // The disk's structures are read once each, sector by sector: what was
    // lost of them is said at once.
    if (offset < std::uint64_t{kDataStartSector} * kSectorSize)
        unreadable.ReportOpenRun();
    return !unreadable.Overlaps(offset, got) && !(unreadable.Stopped() && got < count);
}

void CUnreadableSectors::Clear() {
    std::ostream* console = Console;
    *this = CUnreadableSectors();
    Console = console;
}

void CUnreadableSectors::Answered(std::uint64_t offset) {
    if (!AnyAnswer)
        FirstGood = offset;
    AnyAnswer = true;
    LatestGood = offset;
    AnsweredSinceCheck = true;
}

bool CUnreadableSectors::CheckAfterFailure() {
    // The first failure after good data asks, and then every
    // kFailedInRowLimit failures in a row: a dead area costs a question now
    // and then, a disk that went away at most the read that found it and
    // the two sectors read again.
    if (!AnsweredSinceCheck && ++FailedSinceCheck < kFailedInRowLimit)
        return false;
    AnsweredSinceCheck = false;
    FailedSinceCheck = 0;
    return true;
}

void CUnreadableSectors::Stop(std::uint64_t offset) {
    if (StoppedFlag)
        return;
    ReportOpenRun();
    StoppedFlag = true;
    StopOffset = offset;
    Said = "the disk stopped answering at byte " + std::to_string(offset) + " (" + AreaOf(offset) +
           "): " + (StopAdvice.empty() ? kStopAdvice : StopAdvice);
    ConsoleAndLog(*Console, Said);
}

std::vector<std::uint64_t> CUnreadableSectors::Witnesses() const {
    if (!AnyAnswer)
        return {};
    if (FirstGood == LatestGood)
        return {FirstGood};
    return {LatestGood, FirstGood};
}

void CUnreadableSectors::FollowMapBeside(const std::string& drive) {
    if (MapLooked)
        return;
    MapLooked = true;
    MapFollowed = false;
    Map = CRescueMap();
    for (const std::string& name : MapNamesBeside(drive)) {
        std::ifstream in(name, std::ios::binary);
        if (!in)
            continue;
        const std::string text{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
        std::string fault;
        MapFollowed = Map.Parse(text, fault);
        if (MapFollowed)
            ConsoleAndLog(*Console, "following the rescue map " + name +
                          ": what it does not mark as copied counts as unreadable");
        else
            ConsoleAndLog(*Console, "the rescue map " + name + " cannot be parsed (" + fault +
                          "): it is ignored");
        return;
    }
}

void CUnreadableSectors::NoteReadThroughCache(const std::string& drive) {
    if (CacheNoted)
        return;
    CacheNoted = true;
    *g_Log << "the disk " << drive
           << " does not take reads past the system's cache: it is read through the cache, "
              "where a read that fails costs more and a disk that stops answering is told later"
           << std::endl;
}

std::uint64_t CUnreadableSectors::MapLostUpTo(std::uint64_t offset) const {
    return MapFollowed ? Map.NotCopiedUpTo(offset) : offset;
}

std::uint64_t CUnreadableSectors::NextMapLost(std::uint64_t offset) const {
    return MapFollowed ? Map.NextNotCopied(offset) : ~std::uint64_t{0};
}

void CUnreadableSectors::Add(std::uint64_t offset, std::uint64_t length) {
    if (Open && Runs[OpenStart] == offset && AreaOf(OpenStart) == AreaOf(offset)) {
        Runs[OpenStart] += length;
        return;
    }
    ReportOpenRun();
    Runs[offset] = offset + length;
    Open = true;
    OpenStart = offset;
}

void CUnreadableSectors::ReportOpenRun() {
    if (!Open)
        return;
    Open = false;
    const std::uint64_t length = Runs[OpenStart] - OpenStart;
    ConsoleAndLog(*Console, "cannot read " + std::to_string(length) + " bytes at drive offset " +
                  std::to_string(OpenStart) + " in " + AreaOf(OpenStart) + ": replaced by zeros");
}

std::uint64_t CUnreadableSectors::UnreadableUpTo(std::uint64_t offset) const {
    auto run = Runs.upper_bound(offset);
    if (run == Runs.begin())
        return offset;
    --run;
    return run->second > offset ? run->second : offset;
}

std::uint64_t CUnreadableSectors::NextUnreadable(std::uint64_t offset) const {
    const auto run = Runs.lower_bound(offset);
    return run == Runs.end() ? ~std::uint64_t{0} : run->first;
}

std::uint64_t CUnreadableSectors::RunEndingAt(std::uint64_t offset) const {
    auto run = Runs.lower_bound(offset);
    if (run == Runs.begin())
        return 0;
    --run;
    return run->second == offset ? offset - run->first : 0;
}

bool CUnreadableSectors::Overlaps(std::uint64_t offset, std::uint64_t length) const {
    if (length == 0)
        return false;
    auto run = Runs.lower_bound(offset + length);
    if (run == Runs.begin())
        return false;
    --run;
    return run->second > offset;
}

std::uint64_t CUnreadableSectors::Bytes() const {
    std::uint64_t bytes = 0;
    for (const auto& run : Runs)
        bytes += run.second - run.first;
    return bytes;
}
