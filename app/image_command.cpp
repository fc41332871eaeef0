// The image command: a rescue image of just what the recordings need (the
// disk's structures and every cluster of their chains), with a GNU ddrescue
// map beside it, for a disk that every further read makes worse.
#include "app/app.h"
#include "drive/drive.h"
#include "imager/imager.h"
#include "platform/runlog.h"

#include <cstdio>
#include <iostream>
#include <memory>

namespace {

// The table of contents, the cluster table and the recording headers.
constexpr ImageRange kStructures = {0, std::uint64_t{kDataStartSector} * kSectorSize};

// One progress line: on a terminal it overwrites itself a few times a
// second, elsewhere a plain line is written for every 5 percent.
class CProgressLine : public CImageProgressSink {
  public:
    void Progress(const ImageProgress& p) override {
        if (Terminal) {
            if (Drawn && p.Ms - DrawnAt < kRedrawMs && p.Done < p.Wanted)
                return;
            // Blanks after the text and the cursor back at the line's start:
            // a message written meanwhile covers the line instead of
            // running on after it.
            std::cout << Text(p) << "    \r" << std::flush;
            Drawn = true;
            DrawnAt = p.Ms;
            return;
        }
        const std::uint64_t step = p.Wanted == 0 ? kSteps : p.Done * kSteps / p.Wanted;
        if (Drawn && step == Step)
            return;
        std::cout << Text(p) << std::endl;
        Drawn = true;
        Step = step;
    }
    // The last state stays on the terminal.
    void Finish() {
        if (Terminal && Drawn)
            std::cout << std::endl;
    }

  private:
    static constexpr std::uint32_t kRedrawMs = 250;
    static constexpr std::uint64_t kSteps = 20;

    static std::string Text(const ImageProgress& p) {
        char line[160];
        const double mbPerS = p.Ms == 0 ? 0.0 : static_cast<double>(p.ReadNow) / 1000.0 / p.Ms;
        std::snprintf(line, sizeof line,
                      "%.1f of %.1f MB copied, %.1f MB/s, %s left, %llu bytes unreadable",
                      static_cast<double>(p.Done) / 1e6, static_cast<double>(p.Wanted) / 1e6,
                      mbPerS, TimeLeft(p).c_str(), static_cast<unsigned long long>(p.Unreadable));
        return line;
    }
    static std::string TimeLeft(const ImageProgress& p) {
        if (p.ReadNow == 0 || p.Ms == 0)
            return "-:--:--";
        const auto seconds =
            static_cast<std::uint64_t>(static_cast<double>(p.Wanted - p.Done) * p.Ms /
                                       static_cast<double>(p.ReadNow) / 1000.0);
        char text[32];
        std::snprintf(
            text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
            static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
        return text;
    }

    bool Terminal = PlatConsoleIsTerminal();
    bool Drawn = false;
    std::uint32_t DrawnAt = 0;
    std::uint64_t Step = 0;
};

// The byte ranges of the clusters of one chain that lie on the disk.
std::vector<ImageRange> ChainRanges(std::int32_t firstCluster) {
    std::vector<ImageRange> ranges;
    for (std::int32_t cluster : g_ClusterTable->Chain(firstCluster)) {
        if (cluster >= 1 && cluster < static_cast<std::int32_t>(kClusterTableEntries))
            ranges.push_back(
                {static_cast<std::uint64_t>(ClusterSector(cluster)) * kSectorSize, kClusterBytes});
    }
    return ranges;
}

std::vector<ImageRange> RecordingRanges(const CPVRFile& file) {
    std::vector<ImageRange> ranges = ChainRanges(file.FirstVCluster());
    const std::vector<ImageRange> audio = ChainRanges(file.FirstACluster());
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
        ConsoleAndLog("slot " + std::to_string(slot) + " (" + file.GetOutputName() +
                      "): " + std::to_string(bytes) + " bytes, " +
                      (lost == 0 ? std::string("all copied")
                                 : std::to_string(lost) + " of them could not be read"));
    }
}

bool Exists(const std::string& path) {
    FileHandle handle = kInvalidHandle;
    const bool opened = PlatOpenRead(path, handle);
    PlatClose(handle);
    return opened;
}

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

// Copies what the recordings need and reports what the image then holds of
// each; the exit status.
int CopyRecordings(CImager& imager, const std::string& imagePath, std::uint64_t driveSize,
                   const std::string& comments, CPVRDrive& drive) {
    std::vector<ImageRange> wanted = {kStructures};
    for (int slot = 0; slot < drive.FileCount(); ++slot) {
        if (!drive.GetFile(slot)->IsHeaderLost()) {
            const std::vector<ImageRange> ranges = RecordingRanges(*drive.GetFile(slot));
            wanted.insert(wanted.end(), ranges.begin(), ranges.end());
        }
    }
    const std::string domainPath = imagePath + ".domain.map";
    if (!SaveDomainMap(domainPath, driveSize, wanted, comments)) {
        ConsoleAndLog("cannot write the domain map " + domainPath);
        return kExitFailed;
    }
    CProgressLine progress;
    std::string fault;
    const bool copied = imager.Copy(wanted, &progress, fault);
    progress.Finish();
    if (!copied) {
        ConsoleAndLog(fault);
        return kExitFailed;
    }
    ReportRecordings(drive, imager.Map());
    for (const ImageRange& range : wanted) {
        if (imager.Map().NotCopied(range.Offset, range.Length) > 0)
            return kExitIncomplete;
    }
    return kExitOk;
}

int ImageDrive(const std::string& imagePath, const std::string& mapPath) {
    FileHandle handle = kInvalidHandle;
    std::uint64_t driveSize = 0;
    if (!OpenDrive(g_DriveName, handle) || !PlatSize(handle, driveSize)) {
        PlatClose(handle);
        ConsoleAndLog("cannot tell the size of drive " + g_DriveName);
        return kExitFailed;
    }
    const std::string comments = std::string("# Mapfile. Created by Tarnwell ") + kVersion +
                                 "\n# Command line: tarnwell image " + g_DriveName + " " +
                                 imagePath + "\n";
    int status = kExitFailed;
    {
        CImager imager(handle, driveSize, imagePath, mapPath, comments);
        std::string fault;
        if (!imager.Open(fault) || !imager.Copy({kStructures}, nullptr, fault)) {
            ConsoleAndLog(fault);
        } else {
            const auto drive = std::make_unique<CPVRDrive>(g_DriveName);
            if (drive->IsTocLost())
                ConsoleAndLog("the recordings on drive " + g_DriveName +
                              " cannot be known; the disk structures that could be read are in " +
                              imagePath + ", as its map " + mapPath + " records");
            else
                status = CopyRecordings(imager, imagePath, driveSize, comments, *drive);
        }
    }
    PlatClose(handle);
    return status;
}

} // namespace

int ImageUsage() {
    std::cout << "Usage:" << std::endl;
    std::cout << "tarnwell image drivename imagefile" << std::endl;
    std::cout << "to copy what the recordings need into a rescue image, with its map" << std::endl;
    return kExitFailed;
}

int ImageCommand(const std::string& imagePath) {
    if (PlatSameFile(g_DriveName, imagePath)) {
        ConsoleAndLog(imagePath + " is drive " + g_DriveName +
                      " itself: the image must be another file");
        return kExitFailed;
    }
    const std::string mapPath = MapFor(imagePath);
    if (mapPath.empty())
        return kExitFailed;
    g_Unreadable.Clear();
    g_ClusterTable = LoadClusterTable();
    if (g_ClusterTable == nullptr)
        return kExitFailed;
    const int status = ImageDrive(imagePath, mapPath);
    delete g_ClusterTable;
    g_ClusterTable = nullptr;
    return ReportUnreadable(status);
}
