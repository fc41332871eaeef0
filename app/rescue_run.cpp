// The loop of a rescue or recover run: each recording in turn into its file,
// with one console line that rewrites itself, then the summary and the page.
// What the rips have to say goes to the run log.
#include "app/rescue_run.h"
#include "platform/runlog.h"
#include "report/report.h"
#include "text/text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>

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
        "  --charset NAME        read titles that name no character table in NAME, for",
        "                        example --charset ISO-8859-15",
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

std::string Format(const char* format, double a, double b, double c) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

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

namespace {

// The one line of a recording being rescued. Inside a bad area, where each
// sector may take the disk seconds, the line says which sector is tried and
// how much of the read is left (on a terminal; the plain lines stay one for
// every tenth).
class CConsoleProgress : public CRescueProgress, public CBadAreaWatcher {
  public:
    CConsoleProgress(CUnreadableSectors& unreadable, std::ostream& console, std::string label,
                     int lengthSeconds)
        : Unreadable(unreadable), Line(console), Label(std::move(label)), Length(lengthSeconds),
          Start(PlatTicks()) {
        Unreadable.SetWatcher(this);
    }
    ~CConsoleProgress() override { Unreadable.SetWatcher(nullptr); }
    CConsoleProgress(const CConsoleProgress&) = delete;
    CConsoleProgress& operator=(const CConsoleProgress&) = delete;

    void Update(double done, std::uint64_t bytesRead) override {
        const double seconds = (PlatTicks() - Start) / 1000.0;
        Done = done;
        Shown = Label + Format(": %3.0f%%", 100 * done);
        if (Length > 0)
            Shown += Format(", %.1f of %.1f min", done * Length / 60, Length / 60.0);
        Shown += RateAndLeft(bytesRead, seconds, done);
        Line.Show(Shown, static_cast<int>(done * 10));
    }
    void Trying(std::uint64_t offset, std::uint64_t bytesLeft) override {
        Line.Show(Shown + ", bad area: trying byte " + std::to_string(offset) + ", " +
                      std::to_string(bytesLeft / kSectorSize) + " sectors to go",
                  static_cast<int>(Done * 10));
    }
    // The line's last state, ended.
    void Finish(const std::string& outcome) {
        Line.Show(Label + ": " + outcome, 11);
        Line.End();
    }

  private:
    CUnreadableSectors& Unreadable;
    CProgressLine Line;
    std::string Label;
    int Length;
    std::uint32_t Start;
    double Done = 0;
    std::string Shown; // the line as the last update made it
};

std::string Outcome(const RescueResult& r) {
    switch (r.outcome) {
    case RescueResult::Outcome::Ok:
        return "ok";
    case RescueResult::Outcome::Incomplete:
        return "incomplete";
    case RescueResult::Outcome::Stopped:
        return "stopped: " + r.reason;
    default:
        return "failed: " + r.reason;
    }
}

bool Exists(const std::string& name) {
    FileHandle handle = kInvalidHandle;
    const bool exists = PlatOpenRead(name, handle);
    PlatClose(handle);
    return exists;
}

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
} // namespace

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

namespace {

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

// The date and time of now: local for the page, UTC for the report.
std::string Now(const char* format, bool utc) {
    const std::time_t now = std::time(nullptr);
    char text[40] = "";
    std::strftime(text, sizeof text, format, utc ? std::gmtime(&now) : std::localtime(&now));
    return text;
}

// A header field without the zeros that pad it.
std::string WithoutPadding(std::string field) {
    field.erase(field.find_last_not_of('\0') + 1);
    return field;
}

// The length the header gives, in seconds.
int HeaderSeconds(const CPVRFile& file) {
    return file.LengthHours() * 3600 + file.LengthMinutes() * 60 + file.LengthSeconds();
}

// The status the command ends with, as ReportUnreadable will make it.
int FinalStatus(const CUnreadableSectors& unreadable, int status) {
    if (unreadable.Stopped())
        return kExitStopped;
    return unreadable.Any() && status == kExitOk ? kExitIncomplete : status;
}

// A run of rescue or recover as it goes: its console, the page written a
// row at a time, the report's heading, and what became of each recording.
struct RescueRun {
    RescueRun(CDriveSession& drive, const RescueOptions& how, const char* name, const char* first)
        : session(drive), unreadable(drive.Unreadable()), options(how), command(name),
          firstColumn(first) {}

    CDriveSession& session;
    CUnreadableSectors& unreadable;
    const RescueOptions& options;
    const char* command;     // "rescue" or "recover"
    const char* firstColumn; // "slot" or "no."
    std::ostream con{std::cout.rdbuf()};
    std::unique_ptr<CIndexPage> page; // none with --no-index
    ReportRun report;                 // its recordings are added at the end
    RescueChoices choices;
    std::vector<RecordingOutcome> outcomes;
    bool diskFull = false; // the output disk is full: the run stops
};

// The headings of the page and the report, the room the recordings need and
// how they are rescued, before the first.
void BeginRun(RescueRun& run, const std::vector<Item>& items, std::uint64_t bytesReadBefore) {
    PageRun heading;
    heading.command = run.command;
    heading.drive = run.options.words.empty() ? run.session.Name() : run.options.words[0];
    heading.when = Now("%Y-%m-%d %H:%M", false);
    if (run.options.index)
        run.page = std::make_unique<CIndexPage>(run.options.output, heading);
    run.report.version = kVersion;
    run.report.commandLine = g_CommandLine;
    run.report.command = run.command;
    run.report.drive = heading.drive;
    run.report.started = Now("%Y-%m-%dT%H:%M:%SZ", true);
    run.report.bytesRead = bytesReadBefore;
    CheckRoom(items, run.options);
    run.choices.partBytes = PartBytes(run.options);
    run.choices.pictures = run.options.index;
    run.choices.digests = run.options.index;
}

// An item's outcome before its rescue: where it is, and what its header says.
RecordingOutcome OutcomeBefore(const Item& item, const char* command,
                               const TitleCharset& charset) {
    RecordingOutcome outcome;
    outcome.label = item.label;
    outcome.from = item.from;
    if (std::string(command) == "rescue")
        outcome.slot = std::atoi(item.label.c_str());
    if (item.file != nullptr && item.titled) {
        const CPVRFile& f = *item.file;
        outcome.titled = true;
        outcome.recordNo = f.RecordNo();
        outcome.title = TitleOf(f, charset);
        outcome.station = StationOf(f, charset);
        outcome.titleHex = HexBytes(WithoutPadding(f.ClipBytes()));
        outcome.stationHex = HexBytes(WithoutPadding(f.StationBytes()));
        outcome.date = DateText(f) == "-" ? "" : DateText(f);
        outcome.length = LengthText(f);
        outcome.headerSeconds = HeaderSeconds(f);
    }
    return outcome;
}

// What the rescue made of a recording, into its outcome, its files by their
// names in the output folder.
void TakeResult(RecordingOutcome& outcome, RescueResult& r, const std::string& fileName) {
    outcome.result = Outcome(r);
    for (std::size_t part = 0; part < r.files.size(); ++part)
        outcome.files.push_back({PartFileName(fileName, static_cast<int>(part + 1)),
                                 FileBytes(r.files[part]),
                                 part < r.digests.size() ? r.digests[part] : ""});
    outcome.bytes = r.bytes;
    outcome.unreadable = r.unreadable;
    outcome.minutes = r.minutes;
    outcome.pictures = std::move(r.pictures);
    outcome.noPictures = r.noPictures;
    outcome.damage = r.damage;
    outcome.sources = r.sources;
    outcome.failed = r.outcome == RescueResult::Outcome::Failed ||
                     r.outcome == RescueResult::Outcome::DiskFull ||
                     r.outcome == RescueResult::Outcome::Stopped;
    outcome.incomplete = r.outcome == RescueResult::Outcome::Incomplete;
}

// Rescues an item's recording into its file, with its line on the console.
void Rescue(const Item& item, RescueRun& run, RecordingOutcome& outcome) {
    CPVRFile* file = item.file;
    const std::string name = InFolder(run.options.output, item.name);
    *g_Log << "rescue of " << run.firstColumn << " " << item.label << " into " << name << std::endl;
    CConsoleProgress progress(run.unreadable, run.con,
                              std::string(run.firstColumn) + " " + item.label + " " + item.name,
                              HeaderSeconds(*file));
    progress.Update(0, 0);
    // The rip's own messages: the log has them, the console does not.
    run.session.SetConsole(NullLog());
    RescueResult r = item.chains != nullptr
                         ? RescueRecording(*file, *item.chains, name, progress, run.choices)
                         : RescueRecording(*file, name, progress, run.choices);
    run.session.SetConsole(std::cout);
    // The line that says the disk stopped answering belongs on the
    // console too.
    if (run.unreadable.Stopped()) {
        run.con << run.unreadable.StopLine() << std::endl;
        r.outcome = RescueResult::Outcome::Stopped;
        r.reason = "the disk stopped answering";
    }
    // The files bear the recording's date, as a media library sorts them.
    std::tm date{};
    if (item.titled && RecordingDate(*file, date)) {
        for (const std::string& f : r.files)
            PlatSetFileTime(f, date);
    }
    progress.Finish(Outcome(r));
    TakeResult(outcome, r, item.name);
    run.report.bytesRead += r.bytesRead;
    run.diskFull = r.outcome == RescueResult::Outcome::DiskFull;
}

// What becomes of an item: it fails without a header, is kept when its file
// is complete already, is not tried once the disk has stopped answering, and
// is rescued otherwise.
RecordingOutcome OutcomeOf(const Item& item, RescueRun& run) {
    RecordingOutcome outcome = OutcomeBefore(item, run.command, run.options.charset);
    if (item.file == nullptr) {
        outcome.result = "failed: " + item.failure;
        outcome.failed = true;
        return outcome;
    }
    // A file that an earlier version named by the title's bytes is the
    // same recording's: it is kept under that name.
    const std::string& output = run.options.output;
    const std::string former = item.formerName.empty() || item.formerName == item.name ||
                                       !Exists(InFolder(output, item.formerName))
                                   ? item.name
                                   : item.formerName;
    if (Exists(InFolder(output, former))) {
        const std::string kept = former + " is complete already: kept";
        run.con << kept << std::endl;
        *g_Log << kept << std::endl;
        outcome.result = "kept";
        outcome.kept = true;
        outcome.files.push_back({former, FileBytes(InFolder(output, former)), ""});
        return outcome;
    }
    // Once the disk has stopped answering, nothing more can be read of it.
    if (run.unreadable.Stopped()) {
        outcome.result = "not tried: the disk stopped answering";
        outcome.failed = true;
        return outcome;
    }
    Rescue(item, run, outcome);
    return outcome;
}

// A recording's outcome, its row written out on the page at once.
void Record(RescueRun& run, RecordingOutcome outcome) {
    if (run.page)
        run.page->Add(PageRowOf(outcome));
    // The page has the pictures: the run holds none past their recording.
    outcome.pictures.clear();
    run.outcomes.push_back(std::move(outcome));
}

// The page and report.json, each said on the console and in the log, as is
// one that cannot be written (the recordings stand).
void WritePageAndReport(RescueRun& run, int status) {
    std::string error;
    const std::string path = InFolder(run.options.output, kIndexPageName);
    if (run.page->Finish(error))
        ConsoleAndLog("the page of this run, with pictures from each recording: " + path);
    else
        ConsoleAndLog(path + " could not be written: " + error);
    ReportRun& report = run.report;
    for (const RecordingOutcome& outcome : run.outcomes)
        report.recordings.push_back(ReportEntryOf(outcome));
    report.driveBytes = FileBytes(run.session.Name()); // 0 when it cannot be told
    report.ended = Now("%Y-%m-%dT%H:%M:%SZ", true);
    report.exitStatus = FinalStatus(run.unreadable, status);
    if (WriteReport(run.options.output, report, error))
        ConsoleAndLog("the report of this run for scripts, with the SHA-256 of each file: " +
                      InFolder(run.options.output, kReportName));
    else
        ConsoleAndLog(error);
}

// The summary, then the page and the report; the exit status.
int FinishRun(RescueRun& run) {
    PrintSummary(run.con, run.outcomes, run.firstColumn);
    const auto& all = run.outcomes;
    const bool failed =
        run.diskFull || std::any_of(all.begin(), all.end(), [](const auto& o) { return o.failed; });
    const bool incomplete =
        std::any_of(all.begin(), all.end(), [](const auto& o) { return o.incomplete; });
    const int status = failed ? kExitFailed : incomplete ? kExitIncomplete : kExitOk;
    if (run.page)
        WritePageAndReport(run, status);
    return status;
}

} // namespace

// Rescues each item in turn and ends with the summary; the exit status.
int RunRescues(CDriveSession& session, const std::vector<Item>& items, const char* command,
               const char* firstColumn, const RescueOptions& options,
               std::uint64_t bytesReadBefore) {
    RescueRun run(session, options, command, firstColumn);
    BeginRun(run, items, bytesReadBefore);
    for (const Item& item : items) {
        Record(run, OutcomeOf(item, run));
        if (run.diskFull) {
            const std::string stop =
                "the output disk is full: " + item.name + " was removed, the rescue stops here";
            run.con << stop << std::endl;
            *g_Log << stop << std::endl;
            break;
        }
    }
    return FinishRun(run);
}
