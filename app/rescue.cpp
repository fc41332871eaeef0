// The rescue command: every recording of a disk, or those of the slots
// given, each into one program stream that plays, in one unattended run. The
// console shows one line per recording that rewrites itself and a summary
// at the end; what the rips have to say goes to the run log.
#include "app/app.h"
#include "app/index_page.h"
#include "drive/drive.h"
#include "platform/runlog.h"
#include "rip/rip.h"
#include "survey/survey.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <set>
#include <vector>

namespace {

// The usage of rescue and recover, with the options they share.
void PrintRescueUsage(bool recover) {
    static const char* const kRescue[] = {
        "tarnwell rescue drivename [slot ...]",
        "to rescue every recording, or those in the slots given, into one .mpg file each",
    };
    static const char* const kRecover[] = {
        "tarnwell recover drivename [--list]",
        "to rescue every recording the disk still holds, listed or not, into one .mpg file each,",
        "found from the data itself",
    };
    static const char* const kOptions[] = {
        "options, before or after the drive:",
        "  -o DIR, --output DIR  the files and the run log go into DIR, made if it is missing",
        "  --list                show the recordings and their file names, write nothing",
        "  --split SIZE          write each file in parts of at most SIZE (K, M, G: 1024,",
        "                        1024*1024, 1024*1024*1024), for example --split 4G",
        "  --no-index            write no index.html, the page that shows each file with",
        "                        pictures from it",
        "  --help                show this",
        "example:",
    };
    std::cout << "Usage:" << std::endl;
    for (const char* line : recover
                                ? std::vector<const char*>(std::begin(kRecover), std::end(kRecover))
                                : std::vector<const char*>(std::begin(kRescue), std::end(kRescue)))
        std::cout << line << std::endl;
    for (const char* line : kOptions)
        std::cout << line << std::endl;
    std::cout << (recover ? "tarnwell recover g: -o D:\\Recordings"
                          : "tarnwell rescue g: -o D:\\Recordings")
              << std::endl;
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// One line of the console that shows how far a long piece of work is:
// rewritten in place on a terminal, a plain line at every tenth otherwise.
class CProgressLine {
  public:
    explicit CProgressLine(std::ostream& console)
        : Con(console), Terminal(PlatConsoleIsTerminal()) {}

    void Show(const std::string& line, int tenth) {
        if (Terminal) {
            Con << '\r' << line << std::string(Shown > line.size() ? Shown - line.size() : 0, ' ')
                << std::flush;
            Shown = line.size();
        } else if (tenth != Tenth) {
            Con << line << std::endl;
            Tenth = tenth;
        }
    }
    // Ends the line on a terminal.
    void End() {
        if (Terminal)
            Con << std::endl;
    }

  private:
    std::ostream& Con;
    bool Terminal;
    std::size_t Shown = 0;
    int Tenth = -1;
};

// ", 12.3 MB/s, 1:05 left" after `seconds` with `done` of the work done.
std::string RateAndLeft(std::uint64_t bytes, double seconds, double done) {
    std::string text;
    if (seconds > 0) {
        text += Format(", %.1f MB/s", static_cast<double>(bytes) / 1e6 / seconds);
        if (done > 0) {
            const double left = seconds * (1 - done) / done;
            text += Format(", %.0f:%02.0f left", static_cast<double>(static_cast<int>(left) / 60),
                           static_cast<double>(static_cast<int>(left) % 60));
        }
    }
    return text;
}

// The one line of a recording being rescued.
class CConsoleProgress : public CRescueProgress {
  public:
    CConsoleProgress(std::ostream& console, std::string label, int lengthSeconds)
        : Line(console), Label(std::move(label)), Length(lengthSeconds), Start(PlatTicks()) {}

    void Update(double done, std::uint64_t bytesRead) override {
        const double seconds = (PlatTicks() - Start) / 1000.0;
        std::string line = Label + Format(": %3.0f%%", 100 * done);
        if (Length > 0)
            line += Format(", %.1f of %.1f min", done * Length / 60, Length / 60.0);
        Line.Show(line + RateAndLeft(bytesRead, seconds, done), static_cast<int>(done * 10));
    }
    // The line's last state, ended.
    void Finish(const std::string& outcome) {
        Line.Show(Label + ": " + outcome, 11);
        Line.End();
    }

  private:
    CProgressLine Line;
    std::string Label;
    int Length;
    std::uint32_t Start;
};

struct Row {
    std::string label; // the slot, or the number of a recording found
    std::string recordNo = "-", title = "-", minutes = "-", size = "-", unreadable = "-";
    std::string result;
    bool failed = false, incomplete = false;
};

std::string Outcome(const RescueResult& r) {
    switch (r.outcome) {
    case RescueResult::Outcome::Ok:
        return "ok";
    case RescueResult::Outcome::Incomplete:
        return "incomplete";
    default:
        return "failed: " + r.reason;
    }
}

void PrintSummary(std::ostream& con, const std::vector<Row>& rows, const char* first) {
    std::size_t width = 5;
    for (const Row& row : rows)
        width = std::max(width, row.title.size());
    auto line = [&](const std::string& slot, const std::string& rec, const std::string& title,
                    const std::string& minutes, const std::string& size,
                    const std::string& unreadable, const std::string& result) {
        char text[512];
        std::snprintf(text, sizeof text, "%4s %4s  %-*s %7s %10s %12s  %s", slot.c_str(),
                      rec.c_str(), static_cast<int>(width), title.c_str(), minutes.c_str(),
                      size.c_str(), unreadable.c_str(), result.c_str());
        con << text << std::endl;
        *g_Log << text << std::endl;
    };
    line(first, "rec", "title", "minutes", "size", "unreadable", "result");
    for (const Row& row : rows)
        line(row.label, row.recordNo, row.title, row.minutes, row.size, row.unreadable, row.result);
}

// The name of a recording's file; a name another recording of this run took
// gets the slot.
std::string FileName(const CPVRFile& file, int slot, std::set<std::string>& taken) {
    std::string name = file.GetOutputName() + kProgramStreamExtension;
    if (!taken.insert(name).second) {
        name =
            file.GetOutputName() + " (slot " + std::to_string(slot) + ")" + kProgramStreamExtension;
        taken.insert(name);
    }
    return name;
}

bool Exists(const std::string& name) {
    FileHandle handle = kInvalidHandle;
    const bool exists = PlatOpenRead(name, handle);
    PlatClose(handle);
    return exists;
}

// One recording of a run: the summary's label for it, its header (null when
// there is none to rescue, with the reason), the chains a survey found (none:
// the cluster table's), and its file's name.
struct Item {
    std::string label;
    CPVRFile* file = nullptr;
    std::string failure;
    const RecordingChains* chains = nullptr;
    std::string name;
    bool titled = true;           // its header gives its record number and title
    std::uint64_t chainBytes = 0; // what its chains hold
    std::string from;             // recover: where it was found
};

// The recording's date as its header gives it, when that is a date.
bool RecordingDate(const CPVRFile& file, std::tm& date) {
    date = std::tm{};
    date.tm_year = file.Year() - 1900;
    date.tm_mon = file.Month() - 1;
    date.tm_mday = file.Day();
    date.tm_hour = file.Hour();
    date.tm_min = file.Minute();
    date.tm_sec = file.Second();
    return file.Year() >= 1970 && file.Year() < 2100 && file.Month() >= 1 && file.Month() <= 12 &&
           file.Day() >= 1 && file.Day() <= 31 && file.Hour() >= 0 && file.Hour() < 24 &&
           file.Minute() >= 0 && file.Minute() < 60 && file.Second() >= 0 && file.Second() < 60;
}

// The date and the length as --list shows them.
std::string DateText(const CPVRFile& file) {
    std::tm date{};
    if (!RecordingDate(file, date))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", file.Year(), file.Month(),
                  file.Day(), file.Hour(), file.Minute());
    return text;
}

std::string LengthText(const CPVRFile& file) {
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d:%02d", file.LengthHours(), file.LengthMinutes(),
                  file.LengthSeconds());
    return text;
}

// The most bytes of a file's part: as asked, and on a file system that
// holds no file of 4 GiB (FAT32) under that, said in one line.
std::uint64_t PartBytes(const RescueOptions& options) {
    const std::string folder = options.output.empty() ? "." : options.output;
    const std::uint64_t largest = PlatLargestFile(folder);
    if (largest == 0 || (options.split != 0 && options.split <= largest))
        return options.split;
    ConsoleAndLog("the output folder's file system holds no file of 4 GiB or more: each file is "
                  "written in parts of at most " +
                  std::to_string(largest >> 20) + " MiB");
    return largest;
}

// Says in one line when what the recordings' chains hold does not fit into
// the free space of the output folder; the run goes on all the same.
void CheckRoom(const std::vector<Item>& items, const RescueOptions& options) {
    std::uint64_t need = 0, free = 0;
    for (const Item& item : items)
        need += item.file != nullptr && !Exists(InFolder(options.output, item.name))
                    ? item.chainBytes
                    : 0;
    if (!PlatFreeSpace(options.output.empty() ? "." : options.output, free) || free >= need)
        return;
    ConsoleAndLog("the recordings' chains hold " + Format("%.0f", static_cast<double>(need) / 1e6) +
                  " MB and the output folder has " +
                  Format("%.0f", static_cast<double>(free) / 1e6) +
                  " MB free: the run stops when that disk is full");
}

// The page's row of an item, before its rescue.
PageRecording PageRow(const Item& item) {
    PageRecording row;
    row.label = item.label;
    row.from = item.from;
    if (item.file != nullptr && item.titled) {
        row.title = item.file->Clip();
        row.station = item.file->Station();
        row.date = DateText(*item.file) == "-" ? "" : DateText(*item.file);
        row.length = LengthText(*item.file);
    }
    return row;
}

// The page of the run in the output folder; said on the console and in the
// log, as is a page that cannot be written (the recordings stand).
void WritePage(const std::string& command, const std::vector<PageRecording>& rows,
               const RescueOptions& options) {
    PageRun run;
    run.command = command;
    run.drive = options.words.empty() ? g_DriveName : options.words[0];
    const std::time_t now = std::time(nullptr);
    char when[32] = "";
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
    run.when = when;
    run.recordings = rows;
    std::string error;
    const std::string page = InFolder(options.output, kIndexPageName);
    if (WriteIndexPage(options.output, run, error))
        ConsoleAndLog("the page of this run, with pictures from each recording: " + page);
    else
        ConsoleAndLog(page + " could not be written: " + error);
}

// Rescues each item in turn and ends with the summary; the exit status.
int RunRescues(const std::vector<Item>& items, const char* command, const char* firstColumn,
               const RescueOptions& options) {
    std::ostream con(std::cout.rdbuf());
    std::vector<Row> rows;
    std::vector<PageRecording> page;
    bool diskFull = false;
    CheckRoom(items, options);
    RescueChoices choices;
    choices.partBytes = PartBytes(options);
    choices.pictures = options.index;
    for (const Item& item : items) {
        Row row;
        row.label = item.label;
        page.push_back(PageRow(item));
        if (item.file == nullptr) {
            row.result = "failed: " + item.failure;
            row.failed = true;
            rows.push_back(row);
            page.back().result = row.result;
            continue;
        }
        CPVRFile* file = item.file;
        if (item.titled) {
            row.recordNo = std::to_string(file->RecordNo());
            row.title = file->Clip();
        }
        const std::string name = InFolder(options.output, item.name);
        if (Exists(name)) {
            const std::string kept = item.name + " is complete already: kept";
            con << kept << std::endl;
            *g_Log << kept << std::endl;
            row.result = "kept";
            rows.push_back(row);
            page.back().result = row.result;
            page.back().files = {item.name};
            continue;
        }
        *g_Log << "rescue of " << firstColumn << " " << item.label << " into " << name << std::endl;
        CConsoleProgress progress(
            con, std::string(firstColumn) + " " + item.label + " " + item.name,
            file->LengthHours() * 3600 + file->LengthMinutes() * 60 + file->LengthSeconds());
        progress.Update(0, 0);
        // The rip's own messages: the log has them, the console does not.
        std::streambuf* console = std::cout.rdbuf(nullptr);
        const RescueResult r = item.chains != nullptr
                                   ? RescueRecording(*file, *item.chains, name, progress, choices)
                                   : RescueRecording(*file, name, progress, choices);
        std::cout.rdbuf(console);
        // The files bear the recording's date, as a media library sorts them.
        std::tm date{};
        if (item.titled && RecordingDate(*file, date)) {
            for (const std::string& f : r.files)
                PlatSetFileTime(f, date);
        }
        progress.Finish(Outcome(r));
        row.result = Outcome(r);
        PageRecording& shown = page.back();
        shown.result = row.result;
        for (std::size_t part = 1; part <= r.files.size(); ++part)
            shown.files.push_back(PartFileName(item.name, static_cast<int>(part)));
        shown.bytes = r.bytes;
        shown.unreadable = r.unreadable;
        shown.minutes = r.minutes;
        shown.pictures = r.pictures;
        row.failed = r.outcome == RescueResult::Outcome::Failed ||
                     r.outcome == RescueResult::Outcome::DiskFull;
        row.incomplete = r.outcome == RescueResult::Outcome::Incomplete;
        if (!row.failed) {
            row.minutes = Format("%.1f", r.minutes);
            row.size = Format("%.1f MB", static_cast<double>(r.bytes) / 1e6);
            row.unreadable = std::to_string(r.unreadable);
        }
        rows.push_back(row);
        if (r.outcome == RescueResult::Outcome::DiskFull) {
            diskFull = true;
            const std::string stop =
                "the output disk is full: " + item.name + " was removed, the rescue stops here";
            con << stop << std::endl;
            *g_Log << stop << std::endl;
            break;
        }
    }
    PrintSummary(con, rows, firstColumn);
    if (options.index)
        WritePage(command, page, options);
    const bool failed =
        diskFull || std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.failed; });
    const bool incomplete =
        std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.incomplete; });
    return failed ? kExitFailed : incomplete ? kExitIncomplete : kExitOk;
}

// --list of rescue: a line for each recording, nothing written, no waiting.
void ListItems(const std::vector<Item>& items) {
    std::size_t station = 7, title = 5;
    for (const Item& item : items) {
        if (item.file != nullptr) {
            station = std::max(station, item.file->Station().size());
            title = std::max(title, item.file->Clip().size());
        }
    }
    auto line = [&](const std::string& slot, const std::string& rec, const std::string& st,
                    const std::string& clip, const std::string& date, const std::string& length,
                    const std::string& chains, const std::string& file) {
        char text[1024];
        std::snprintf(text, sizeof text, "%4s %4s  %-*s  %-*s  %-16s %8s %10s  %s", slot.c_str(),
                      rec.c_str(), static_cast<int>(station), st.c_str(), static_cast<int>(title),
                      clip.c_str(), date.c_str(), length.c_str(), chains.c_str(), file.c_str());
        std::cout << text << std::endl;
        *g_Log << text << std::endl;
    };
    line("slot", "rec", "station", "title", "date", "length", "chains", "file");
    for (const Item& item : items) {
        if (item.file == nullptr) {
            line(item.label, "-", "-", "-", "-", "-", "-", "failed: " + item.failure);
            continue;
        }
        const CPVRFile& f = *item.file;
        line(item.label, std::to_string(f.RecordNo()), f.Station(), f.Clip(), DateText(f),
             LengthText(f), Format("%.1f MB", static_cast<double>(item.chainBytes) / 1e6),
             item.name);
    }
}

int RescueDrive(CPVRDrive& drive, const RescueOptions& options) {
    std::vector<int> slots;
    for (std::size_t i = 1; i < options.words.size(); ++i)
        slots.push_back(ParseNumber(options.words[i].c_str()));
    if (slots.empty()) {
        for (int slot = 0; slot < drive.FileCount(); ++slot)
            slots.push_back(slot);
    }
    std::vector<Item> items;
    std::set<std::string> taken;
    for (int slot : slots) {
        Item item;
        item.label = std::to_string(slot);
        CPVRFile* file = drive.GetFile(slot);
        if (file == nullptr || file->IsHeaderLost()) {
            item.failure = file == nullptr ? "there is no such slot" : "its header cannot be read";
        } else {
            item.file = file;
            item.name = FileName(*file, slot, taken);
            item.chainBytes = (g_ClusterTable->Chain(file->FirstVCluster()).size() +
                               g_ClusterTable->Chain(file->FirstACluster()).size()) *
                              kClusterBytes;
        }
        items.push_back(item);
    }
    if (options.list) {
        ListItems(items);
        return kExitOk;
    }
    return RunRescues(items, "rescue", "slot", options);
}

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

// The headers of the header sectors that name a recording's chains, read
// whether the table of contents counts them or not.
struct Headers {
    std::vector<std::unique_ptr<CPVRFile>> files; // by sector - first header sector
    std::vector<FoundHeader> found;
};

Headers ReadHeaders(const std::string& drive) {
    constexpr std::uint32_t kSectors = kDataStartSector - kFirstHeaderSector;
    std::vector<std::uint8_t> sectors(std::size_t{kSectors} * kSectorSize);
    FileHandle handle = kInvalidHandle;
    std::uint32_t got = 0;
    if (OpenDrive(drive, handle))
        ReadDrive(handle, std::uint64_t{kFirstHeaderSector} * kSectorSize, sectors.data(),
                  static_cast<std::uint32_t>(sectors.size()), got);
    PlatClose(handle);
    Headers headers;
    for (std::uint32_t i = 0; i < kSectors; ++i) {
        headers.files.push_back(
            std::make_unique<CPVRFile>(drive, static_cast<int>(i), &sectors[i * kSectorSize]));
        const CPVRFile& file = *headers.files.back();
        const auto inRange = [](int c) { return c >= 1 && c < int{kClusterTableEntries}; };
        if (inRange(file.FirstVCluster()) && inRange(file.FirstACluster()) &&
            file.FirstVCluster() != file.FirstACluster())
            headers.found.push_back({static_cast<int>(kFirstHeaderSector + i), file.FirstVCluster(),
                                     file.FirstACluster()});
    }
    return headers;
}

std::string ClusterList(const SurveyChain& chain) {
    std::string text;
    for (const std::int32_t c : chain.clusters)
        text += (text.empty() ? "" : " ") + std::to_string(c);
    return text.empty() ? "-" : text;
}

// The table of what the survey found, on the console and in the log.
void PrintFound(const std::vector<SurveyRecording>& found, const std::vector<Item>& items,
                const std::vector<std::string>& from) {
    std::size_t name = 4, video = 5, audio = 5;
    for (std::size_t i = 0; i < found.size(); ++i) {
        name = std::max(name, items[i].name.size());
        video = std::max(video, ClusterList(found[i].video).size());
        audio = std::max(audio, ClusterList(found[i].audio).size());
    }
    auto line = [&](const std::string& no, const std::string& file, const std::string& v,
                    const std::string& a, const std::string& minutes, const std::string& where) {
        char text[1024];
        std::snprintf(text, sizeof text, "%4s  %-*s  %-*s  %-*s %8s  %s", no.c_str(),
                      static_cast<int>(name), file.c_str(), static_cast<int>(video), v.c_str(),
                      static_cast<int>(audio), a.c_str(), minutes.c_str(), where.c_str());
        std::cout << text << std::endl;
        *g_Log << text << std::endl;
    };
    ConsoleAndLog(std::to_string(found.size()) + " recordings found");
    line("no.", "file", "video", "audio", "minutes", "from");
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
        line(items[i].label, items[i].name, ClusterList(found[i].video),
             ClusterList(found[i].audio),
             Format(seen ? "%.1f" : "%.1f+", static_cast<double>(ticks) / kPtsPerSecond / 60),
             from[i]);
    }
}

int RecoverDrive(const RescueOptions& options) {
    const std::string& drive = g_DriveName;
    FileHandle handle = kInvalidHandle;
    if (!OpenDrive(drive, handle)) {
        ConsoleAndLog("cannot open drive " + drive);
        return kExitFailed;
    }
    PlatClose(handle);
    // The disk's own structures help where they can be read; their loss
    // stops nothing.
    bool tableRead = false;
    CClusterTable table(drive, tableRead);
    struct RunTable {
        explicit RunTable(CClusterTable& t) { g_ClusterTable = &t; }
        ~RunTable() { g_ClusterTable = nullptr; }
    } runTable(table);
    const int listed = TocFileCount(drive);
    Headers headers = ReadHeaders(drive);
    std::ostream con(std::cout.rdbuf());
    CSurveyLine line(con);
    const SurveyResult survey = SurveyDrive(
        drive, headers.found,
        [&](int c) {
            return tableRead ? table.NextCluster(static_cast<std::uint32_t>(c)) : 0xFFFF;
        },
        line);
    line.Finish();

    std::vector<Item> items;
    std::vector<std::string> from;
    std::vector<RecordingChains> chains(survey.recordings.size());
    std::set<std::string> taken;
    int unnamed = 0;
    for (std::size_t i = 0; i < survey.recordings.size(); ++i) {
        const SurveyRecording& r = survey.recordings[i];
        chains[i] = {r.video.clusters, r.audio.clusters};
        Item item;
        item.chainBytes = (r.video.clusters.size() + r.audio.clusters.size()) * kClusterBytes;
        item.label = std::to_string(i + 1);
        item.chains = &chains[i];
        if (r.header >= 0) {
            const int sector = headers.found[static_cast<std::size_t>(r.header)].sector;
            const int slot = sector - static_cast<int>(kFirstHeaderSector);
            item.file = headers.files[static_cast<std::size_t>(slot)].get();
            item.name = FileName(*item.file, slot, taken);
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
    return options.list ? kExitOk : RunRescues(items, "recover", "no.", options);
}

} // namespace

int RecoverCommand(const RescueOptions& options) {
    if (options.help || options.words.size() != 1) {
        PrintRescueUsage(true);
        return kExitOk;
    }
    g_DriveName = DrivePath(options.words[0]);
    g_Unreadable.Clear();
    return ReportUnreadable(RecoverDrive(options));
}

int RescueCommand(const RescueOptions& options) {
    if (options.help || options.words.empty()) {
        PrintRescueUsage(false);
        return kExitOk;
    }
    g_DriveName = DrivePath(options.words[0]);
    return OnDrive([&options](CPVRDrive& drive) { return RescueDrive(drive, options); });
}
