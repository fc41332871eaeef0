// The image job: the plan of a rescue image of just what the recordings need
// (which ranges it copies, the disk's identity, which map goes with the
// image, whether the directory holds up or the clusters are surveyed) and
// the run that copies them, for a disk that every further read makes worse.
#include "disks/disks.h"
#include "imaging/imaging.h"
#include "platform/runlog.h"
#include "rip/rip.h"
#include "survey/survey.h"
#include "text/text.h"

#include <algorithm>
#include <memory>

namespace {

// The table of contents, the cluster table and the recording headers.
constexpr ImageRange kStructures = {0, std::uint64_t{kDataStartSector} * kSectorSize};

// The survey of the image's copy needs no progress line: it reads a file.
class CQuietSurvey : public CSurveyProgress {
  public:
    void Update(int, int, std::uint64_t) override {}
};

// The byte ranges of the clusters of one chain that lie on the disk.
std::vector<ImageRange> ChainRanges(const CClusterTable& table, std::int32_t firstCluster) {
    std::vector<ImageRange> ranges;
    for (std::int32_t cluster : table.Chain(firstCluster)) {
        if (cluster >= 1 && cluster < static_cast<std::int32_t>(kClusterTableEntries))
            ranges.push_back(
                {static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize, kClusterBytes});
    }
    return ranges;
}

std::vector<ImageRange> RecordingRanges(const CPVRFile& file) {
    const CClusterTable& table = *file.Drive().ClusterTable();
    std::vector<ImageRange> ranges = ChainRanges(table, file.FirstVCluster());
    const std::vector<ImageRange> audio = ChainRanges(table, file.FirstACluster());
    ranges.insert(ranges.end(), audio.begin(), audio.end());
    return ranges;
}

// Per recording: its bytes on the disk, and how many of them the image lacks.
void ReportRecordings(CPVRDrive& drive, const CRescueMap& map) {
    for (int slot = 0; slot < drive.FileCount(); ++slot) {
        const CPVRFile& file = *drive.GetFile(slot);
        if (file.IsHeaderLost()) {
            ConsoleAndLog("slot " + std::to_string(slot) +
                          ": the header cannot be read, the recording is not known");
            continue;
        }
        std::uint64_t bytes = 0, lost = 0;
        for (const ImageRange& range : RecordingRanges(file)) {
            const std::uint64_t end = std::min(range.Offset + range.Length, map.Size());
            if (range.Offset < end) {
                bytes += end - range.Offset;
                lost += map.NotCopied(range.Offset, end - range.Offset);
            }
        }
        ConsoleAndLog("slot " + std::to_string(slot) + " (" +
                      TitledOutputName(file, DecodeDvbText(file.ClipBytes()).utf8) +
                      "): " + std::to_string(bytes) + " bytes, " +
                      (lost == 0 ? std::string("all copied")
                       : file.Drive().Stopped()
                           ? std::to_string(lost) + " of them are not copied yet"
                           : std::to_string(lost) + " of them could not be read"));
    }
}

bool Exists(const std::string& path) {
    FileHandle handle = kInvalidHandle;
    const bool opened = PlatOpenRead(path, handle);
    PlatClose(handle);
    return opened;
}

// The bytes a survey of a disk of driveSize bytes reads: the first and the
// last kSurveyEdgeBytes of every cluster.
std::vector<ImageRange> SurveyRanges(std::uint64_t driveSize) {
    std::vector<ImageRange> ranges;
    for (std::int32_t cluster = 1; cluster < static_cast<std::int32_t>(kClusterTableEntries);
         ++cluster) {
        const auto start = static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize;
        if (start >= driveSize)
            break;
        ranges.push_back({start, kSurveyEdgeBytes});
        ranges.push_back({start + kClusterBytes - kSurveyEdgeBytes, kSurveyEdgeBytes});
    }
    return ranges;
}

// What the run copies, for the domain map and the report.
struct Wanted {
    std::vector<ImageRange> ranges = {kStructures};
    void Add(const std::vector<ImageRange>& more) {
        ranges.insert(ranges.end(), more.begin(), more.end());
    }
};

// One run of the image command on the open drive.
class CImageRun {
  public:
    CImageRun(CImager& imager, std::string imagePath, std::uint64_t driveSize, std::string comments,
              CImageProgressShow& progress)
        : Imager(imager), ImagePath(std::move(imagePath)), DriveSize(driveSize),
          Comments(std::move(comments)), Progress(progress) {}

    // Copies the ranges, their domain map written first; false after
    // saying why when the image or a map cannot be written.
    bool Copy(const Wanted& wanted) {
        const std::string domainPath = ImagePath + ".domain.map";
        if (!SaveDomainMap(domainPath, DriveSize, wanted.ranges, Comments)) {
            ConsoleAndLog("cannot write the domain map " + domainPath);
            return false;
        }
        Progress.Begin();
        std::string fault;
        const bool copied = Imager.Copy(wanted.ranges, &Progress, fault);
        Progress.End();
        if (!copied)
            ConsoleAndLog(fault);
        return copied;
    }

    // The chains that a survey of the image's copy of the clusters' edges
    // finds, each cluster's edges copied first. The survey reads the image
    // as a drive whose map says what it holds; what it meets unreadable is
    // the drive's, said as it goes, and no part of this run's record.
    bool Survey(const CDriveSession& drive, Wanted& wanted, std::vector<SurveyChain>& chains) {
        wanted.Add(SurveyRanges(DriveSize));
        if (!Copy(wanted) || drive.Stopped())
            return false;
        Imager.LetRead();
        CDriveSession copy;
        copy.Open(ImagePath);
        CQuietSurvey quiet;
        const CClusterTable& table = *drive.ClusterTable();
        chains = SurveyDrive(
                     copy, {},
                     [&](int c) { return table.NextCluster(static_cast<std::uint32_t>(c)); },
                     quiet)
                     .chains;
        return true;
    }

  private:
    CImager& Imager;
    std::string ImagePath;
    std::uint64_t DriveSize;
    std::string Comments;
    CImageProgressShow& Progress;
};

// The bytes of the chains' clusters that lie on the disk.
std::vector<ImageRange> ClusterRanges(const std::vector<SurveyChain>& chains) {
    std::vector<ImageRange> ranges;
    for (const SurveyChain& chain : chains) {
        for (const std::int32_t cluster : chain.clusters)
            ranges.push_back(
                {static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize, kClusterBytes});
    }
    return ranges;
}

// Whether the directory holds up, as the disks command judges a disk: the
// table of contents, the cluster table and the headers as the image holds
// them now.
bool DirectorySound(const std::string& imagePath, std::uint64_t driveSize, CPVRDrive& drive) {
    if (drive.IsTocLost())
        return false;
    DiskBytes bytes;
    bytes.size = driveSize;
    bytes.first.resize(kDirectoryBytes);
    FileHandle handle = kInvalidHandle;
    std::uint32_t got = 0;
    const bool read = PlatOpenRead(imagePath, handle) && PlatSeek(handle, 0) &&
                      PlatRead(handle, bytes.first.data(), kDirectoryBytes, got) == ReadOutcome::Ok;
    PlatClose(handle);
    bytes.first.resize(read ? got : 0);
    return JudgeDisk(bytes).kind == DiskVerdict::Kind::Recorder;
}

// The wanted bytes that the map marks bad, told to the run's record of
// unreadable sectors (where the reads of the structures did not already):
// each place is said once, and the run ends with kExitIncomplete.
void NoteUnreadable(CUnreadableSectors& unreadable, const CRescueMap& map, const Wanted& wanted) {
    for (const ImageRange& range : wanted.ranges) {
        const std::uint64_t end = std::min(range.Offset + range.Length, map.Size());
        for (std::uint64_t pos = range.Offset; pos < end; pos = map.BlockEnd(pos)) {
            const std::uint64_t stop = std::min(map.BlockEnd(pos), end);
            if (map.StatusAt(pos) == CRescueMap::kBad && !unreadable.Overlaps(pos, stop - pos))
                unreadable.Add(pos, stop - pos);
        }
    }
    unreadable.ReportOpenRun();
}

// The exit status of a run that copied the wanted ranges, before the
// unreadable sectors are counted in.
int CopiedStatus(const CRescueMap& map, const Wanted& wanted) {
    for (const ImageRange& range : wanted.ranges) {
        if (map.NotCopied(range.Offset, range.Length) > 0)
            return kExitIncomplete;
    }
    return kExitOk;
}

// The directory, whose digest tells one disk from another: the table of
// contents, the cluster table and the recording headers, which differ from
// one recorder's disk to the next (two disks of one model can share the
// first two and differ in a header only).
constexpr std::uint32_t kIdentityBytes = kDataStartSector * kSectorSize;

// What the disk's directory and the system say of which disk it is; the
// sectors read go into the image once it is open.
DiskIdentity Identify(CDriveSession& drive, std::uint64_t driveSize,
                      std::vector<std::uint8_t>& first) {
    first.assign(static_cast<std::size_t>(std::min<std::uint64_t>(kIdentityBytes, driveSize)), 0);
    std::uint32_t got = 0;
    const bool read =
        ReadDriveOnce(drive, 0, first.data(), static_cast<std::uint32_t>(first.size()), got) ==
            ReadOutcome::Ok &&
        got == first.size();
    first.resize(got / kSectorSize * kSectorSize);
    return IdentityOf(driveSize, first, read, PlatDiskSerial(drive.Name()));
}

// Images the recordings: the directory's, or the survey's where the
// directory is lost or surveyAll asks for it; the exit status.
int ImageRecordings(CDriveSession& session, CImager& imager, CImageRun& run,
                    const std::string& imagePath, std::uint64_t driveSize, bool surveyAll) {
    bool tableRead = false;
    session.SetClusterTable(std::make_unique<CClusterTable>(session, tableRead));
    const auto drive = std::make_unique<CPVRDrive>(session);
    imager.LetRead();
    const bool sound = !session.Stopped() && DirectorySound(imagePath, driveSize, *drive);
    Wanted wanted;
    if (sound) {
        for (int slot = 0; slot < drive->FileCount(); ++slot) {
            if (!drive->GetFile(slot)->IsHeaderLost())
                wanted.Add(RecordingRanges(*drive->GetFile(slot)));
        }
    }
    std::vector<SurveyChain> chains;
    bool copied = true;
    if (session.Stopped()) {
        copied = false;
    } else if (sound && !surveyAll) {
        copied = run.Copy(wanted);
    } else {
        ConsoleAndLog(sound ? "surveying the clusters as asked: imaging the clusters that the "
                              "survey finds to hold recordings, and the directory's recordings"
                            : "the directory is lost: imaging the clusters that the survey finds "
                              "to hold recordings");
        copied = run.Survey(session, wanted, chains);
        if (copied) {
            ConsoleAndLog("the survey found " + std::to_string(chains.size()) +
                          " chains of recordings' clusters");
            wanted.Add(ClusterRanges(chains));
            copied = run.Copy(wanted);
        }
    }
    if (copied && sound)
        ReportRecordings(*drive, imager.Map());
    if (!copied)
        return kExitFailed;
    NoteUnreadable(session.Unreadable(), imager.Map(), wanted);
    return CopiedStatus(imager.Map(), wanted);
}

} // namespace

// The map that goes with the image: the one beside it, or IMAGE.map for a
// new image (the other name of a map beside an image may well be the map of
// another image of the same name). Empty, after saying why, when the image
// must not be touched.
std::string MapFor(const std::string& imagePath) {
    if (!Exists(imagePath)) {
        const std::string map = imagePath + ".map";
        if (!Exists(map))
            return map;
        ConsoleAndLog("the rescue map " + map + " is there, but not its image " + imagePath +
                      ": remove the map to start a new image");
        return "";
    }
    for (const std::string& name : MapNamesBeside(imagePath)) {
        if (Exists(name))
            return name;
    }
    ConsoleAndLog(imagePath + " exists and has no rescue map beside it, so Tarnwell did not make "
                              "it: it is left as it is");
    return "";
}

int ImageDrive(CDriveSession& session, const ImageJob& job, CImageProgressShow& progress) {
    const std::string& imagePath = job.imagePath;
    std::uint64_t driveSize = 0;
    if (!session.Open(job.drivePath) || !session.Size(driveSize)) {
        session.Close();
        ConsoleAndLog("cannot tell the size of drive " + session.Name());
        return kExitFailed;
    }
    const std::string comments = std::string("# Mapfile. Created by Tarnwell ") + kVersion +
                                 "\n# Command line: tarnwell image " + session.Name() + " " +
                                 imagePath + "\n";
    std::vector<std::uint8_t> first;
    int status = kExitFailed;
    {
        CImager imager(session, driveSize, imagePath, job.mapPath, comments,
                       Identify(session, driveSize, first));
        CImageRun run(imager, imagePath, driveSize, comments, progress);
        std::string fault;
        if (!imager.Open(fault) ||
            !imager.Keep(0, first.data(), static_cast<std::uint32_t>(first.size()), fault) ||
            !imager.Copy({kStructures}, nullptr, fault))
            ConsoleAndLog(fault);
        else if (!session.Stopped())
            status = ImageRecordings(session, imager, run, imagePath, driveSize, job.surveyAll);
    }
    session.Close();
    return status;
}

