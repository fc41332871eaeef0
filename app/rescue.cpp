// The rescue command: every recording of a disk, or those of the slots
// given, each into one program stream that plays, in one unattended run. The
// console shows one line per recording that rewrites itself and a summary
// at the end; what the rips have to say goes to the run log.
#include "app/app.h"
#include "drive/drive.h"
#include "platform/runlog.h"
#include "rip/rip.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

namespace {

void PrintRescueUsage() {
    static const char* const kUsage[] = {
        "Usage:",
        "tarnwell rescue drivename [slot ...]",
        "to rescue every recording, or those in the slots given, into one .mpg file each",
        "example:",
        "tarnwell rescue g:",
    };
    for (const char* line : kUsage)
        std::cout << line << std::endl;
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The one line of a recording being rescued: rewritten in place on a
// terminal, a plain line at every tenth otherwise.
class CConsoleProgress : public CRescueProgress {
  public:
    CConsoleProgress(std::ostream& console, std::string label, int lengthSeconds)
        : Con(console), Label(std::move(label)), Length(lengthSeconds),
          Terminal(PlatConsoleIsTerminal()), Start(PlatTicks()) {}

    void Update(double done, std::uint64_t bytesRead) override {
        const double seconds = (PlatTicks() - Start) / 1000.0;
        std::string line = Label + Format(": %3.0f%%", 100 * done);
        if (Length > 0)
            line += Format(", %.1f of %.1f min", done * Length / 60, Length / 60.0);
        if (seconds > 0) {
            line += Format(", %.1f MB/s", static_cast<double>(bytesRead) / 1e6 / seconds);
            if (done > 0) {
                const double left = seconds * (1 - done) / done;
                line +=
                    Format(", %.0f:%02.0f left", static_cast<double>(static_cast<int>(left) / 60),
                           static_cast<double>(static_cast<int>(left) % 60));
            }
        }
        Show(line, static_cast<int>(done * 10));
    }
    // The line's last state, ended.
    void Finish(const std::string& outcome) {
        Show(Label + ": " + outcome, 11);
        if (Terminal)
            Con << std::endl;
    }

  private:
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

    std::ostream& Con;
    std::string Label;
    int Length;
    bool Terminal;
    std::uint32_t Start;
    std::size_t Shown = 0;
    int Tenth = -1;
};

struct Row {
    int slot = 0;
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

void PrintSummary(std::ostream& con, const std::vector<Row>& rows) {
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
    line("slot", "rec", "title", "minutes", "size", "unreadable", "result");
    for (const Row& row : rows)
        line(std::to_string(row.slot), row.recordNo, row.title, row.minutes, row.size,
             row.unreadable, row.result);
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

int RescueDrive(CPVRDrive& drive, std::vector<int> slots) {
    std::ostream con(std::cout.rdbuf());
    if (slots.empty()) {
        for (int slot = 0; slot < drive.FileCount(); ++slot)
            slots.push_back(slot);
    }
    std::vector<Row> rows;
    std::set<std::string> taken;
    bool diskFull = false;
    for (int slot : slots) {
        Row row;
        row.slot = slot;
        CPVRFile* file = drive.GetFile(slot);
        if (file == nullptr || file->IsHeaderLost()) {
            row.result = file == nullptr ? "failed: there is no such slot"
                                         : "failed: its header cannot be read";
            row.failed = true;
            rows.push_back(row);
            continue;
        }
        row.recordNo = std::to_string(file->RecordNo());
        row.title = file->Clip();
        const std::string name = FileName(*file, slot, taken);
        if (Exists(name)) {
            const std::string kept = name + " is complete already: kept";
            con << kept << std::endl;
            *g_Log << kept << std::endl;
            row.result = "kept";
            rows.push_back(row);
            continue;
        }
        *g_Log << "rescue of slot " << slot << " into " << name << std::endl;
        CConsoleProgress progress(con, "slot " + std::to_string(slot) + " " + name,
                                  file->LengthHours() * 3600 + file->LengthMinutes() * 60 +
                                      file->LengthSeconds());
        progress.Update(0, 0);
        // The rip's own messages: the log has them, the console does not.
        std::streambuf* console = std::cout.rdbuf(nullptr);
        const RescueResult r = RescueRecording(*file, name, progress);
        std::cout.rdbuf(console);
        progress.Finish(Outcome(r));
        row.result = Outcome(r);
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
                "the output disk is full: " + name + " was removed, the rescue stops here";
            con << stop << std::endl;
            *g_Log << stop << std::endl;
            break;
        }
    }
    PrintSummary(con, rows);
    const bool failed =
        diskFull || std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.failed; });
    const bool incomplete =
        std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.incomplete; });
    return failed ? kExitFailed : incomplete ? kExitIncomplete : kExitOk;
}

} // namespace

int RescueCommand(int argc, const char* const* argv) {
    if (argc < 3) {
        PrintRescueUsage();
        return kExitOk;
    }
    g_DriveName = DrivePath(argv[2]);
    std::vector<int> slots;
    for (int i = 3; i < argc; ++i)
        slots.push_back(ParseNumber(argv[i]));
    return OnDrive([&slots](CPVRDrive& drive) { return RescueDrive(drive, slots); });
}
