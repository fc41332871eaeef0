// The recover command: every recording the disk's data still holds, listed
// or not, found by a survey of its clusters and rescued as rescue does it.
#include "app/rescue_run.h"
#include "platform/runlog.h"
#include "survey/survey.h"
#include "text/table.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

namespace {

// The survey's progress line.
class CSurveyLine : public CSurveyProgress {
  public:
    explicit CSurveyLine(std::ostream& console) : Line(console), Start(PlatTicks()) {}
    void Update(int done, int all, std::uint64_t bytesRead) override {
        const double part = all > 0 ? static_cast<double>(done) / all : 1;
        Line.Show(Format("survey: %.0f of %.0f clusters", done, all) +
                      RateAndLeft(bytesRead, (PlatTicks() - Start) / 1000.0, part),
                  static_cast<int>(part * 10));
    }
    void Finish() { Line.End(); }

  private:
    CProgressLine Line;
    std::uint32_t Start;
};

std::string ClusterList(const SurveyChain& chain) {
    std::string text;
    for (const std::int32_t c : chain.clusters)
        text += (text.empty() ? "" : " ") + std::to_string(c);
    return text.empty() ? "-" : text;
}

// The table of what the survey found, on the console and in the log.
void PrintFound(const std::vector<SurveyRecording>& found, const std::vector<Item>& items,
                const std::vector<std::string>& from) {
    using Align = TextColumn::Align;
    // The number, the file and the clusters of the video and of the sound as
    // wide as the widest, the minutes and where it was found.
    const std::vector<TextColumn> columns = {
        {4, Align::Right, false, 0}, {4, Align::Left, true, 2},   {5, Align::Left, true, 2},
        {5, Align::Left, true, 2},   {8, Align::Right, false, 1}, {0, Align::Left, false, 2}};
    std::vector<std::vector<std::string>> cells = {
        {"no.", "file", "video", "audio", "minutes", "from"}};
    ConsoleAndLog(std::to_string(found.size()) + " recordings found");
    for (std::size_t i = 0; i < found.size(); ++i) {
        // As long as the longer of its chains lasts, as far as they were seen.
        std::int64_t ticks = 0;
        bool seen = false;
        for (const SurveyChain* c : {&found[i].video, &found[i].audio}) {
            if (c->clusters.empty())
                continue;
            ticks = std::max(ticks, StampDifference(c->lastStamp, c->firstStamp));
            seen = seen || c->endSeen;
        }
        cells.push_back(
            {items[i].label, items[i].name, ClusterList(found[i].video),
             ClusterList(found[i].audio),
             Format(seen ? "%.1f" : "%.1f+", static_cast<double>(ticks) / kPtsPerSecond / 60),
             from[i]});
    }
    for (const std::string& line : TableLines(columns, cells))
        ConsoleAndLog(line);
}

int RecoverDrive(CDriveSession& drive, const RescueOptions& options) {
    if (!drive.Open(DrivePath(options.words[0]))) {
        ConsoleAndLog("cannot open drive " + drive.Name());
        return kExitFailed;
    }
    // The disk's own structures help where they can be read; their loss
    // stops nothing.
    bool tableRead = false;
    drive.SetClusterTable(std::make_unique<CClusterTable>(drive, tableRead));
    const CClusterTable& table = *drive.ClusterTable();
    const int listed = TocFileCount(drive);
    FoundHeaders headers = ReadFoundHeaders(drive);
    std::ostream con(std::cout.rdbuf());
    CSurveyLine line(con);
    const SurveyResult survey = SurveyDrive(
        drive, headers.found,
        [&](int c) {
            return tableRead ? table.NextCluster(static_cast<std::uint32_t>(c)) : 0xFFFF;
        },
        line);
    line.Finish();
    // A survey that the disk's drop-out cut short takes the clusters after it
    // for empty: what it found is not rescued.
    if (drive.Stopped())
        return kExitStopped;

    std::vector<Item> items;
    std::vector<std::string> from;
    std::vector<RecordingChains> chains(survey.recordings.size());
    std::set<std::string> taken;
    int unnamed = 0;
    for (std::size_t i = 0; i < survey.recordings.size(); ++i) {
        const SurveyRecording& r = survey.recordings[i];
        chains[i] = {r.video.clusters, r.audio.clusters,
                     static_cast<double>(StampDifference(r.video.lastStamp, r.video.firstStamp)) /
                         kPtsPerSecond};
        Item item;
        item.chainBytes = (r.video.clusters.size() + r.audio.clusters.size()) * kClusterBytes;
        item.label = std::to_string(i + 1);
        item.chains = &chains[i];
        if (r.header >= 0) {
            const int sector = headers.found[static_cast<std::size_t>(r.header)].sector;
            const int slot = sector - static_cast<int>(kFirstHeaderSector);
            item.file = headers.files[static_cast<std::size_t>(slot)].get();
            item.name = FileName(*item.file, slot, taken, item.formerName, options.charset);
            from.push_back(slot < listed
                               ? "slot " + std::to_string(slot) + " of the table of contents"
                               : "a header in sector " + std::to_string(sector));
        } else {
            headers.files.push_back(std::make_unique<CPVRFile>(drive, -1, nullptr));
            item.file = headers.files.back().get();
            item.titled = false;
            char name[64];
            std::snprintf(name, sizeof name, "recovered %02d (cluster %d)%s", ++unnamed,
                          r.video.clusters[0], kProgramStreamExtension);
            item.name = name;
            taken.insert(item.name);
            from.push_back("no header: deleted or unlisted");
        }
        if (r.beginLost)
            from.back() += ", its beginning lost";
        item.from = from.back();
        items.push_back(item);
    }
    PrintFound(survey.recordings, items, from);
    return options.list ? kExitOk
                        : RunRescues(drive, items, "recover", "no.", options, survey.bytesRead);
}

} // namespace

int RecoverCommand(const RescueOptions& options) {
    if (options.help || options.words.size() != 1) {
        PrintRescueUsage(true);
        return kExitOk;
    }
    CDriveSession drive;
    // The survey is not kept: after a drop-out the disk is best imaged first.
    drive.Unreadable().SetStopAdvice("reconnect it, then image it first: tarnwell image " +
                                     options.words[0] + " IMAGE, then tarnwell recover IMAGE");
    const int status = RecoverDrive(drive, options);
    return ReportUnreadable(drive, status);
}
