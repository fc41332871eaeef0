// What the rescue and the recover command share inside the front end: the
// recordings of a run, the loop that rescues them one after the other, the
// progress lines and the usage.
#pragma once

#include "app/app.h"
#include "drive/drive.h"
#include "rip/rip.h"

#include <cstdint>
#include <ctime>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// The usage of rescue (recover: false) or recover, with the options they share.
void PrintRescueUsage(bool recover);

// printf of up to three numbers into a string.
std::string Format(const char* format, double a, double b = 0, double c = 0);

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
std::string RateAndLeft(std::uint64_t bytes, double seconds, double done);

// One recording of a run: the summary's label for it, its header (null when
// there is none to rescue, with the reason), the chains a survey found (none:
// the cluster table's), and its file's name.
struct Item {
    std::string label;
    CPVRFile* file = nullptr;
    std::string failure;
    const RecordingChains* chains = nullptr;
    std::string name;
    std::string formerName;       // the name an earlier version gave its file ("": the same)
    bool titled = true;           // its header gives its record number and title
    std::uint64_t chainBytes = 0; // what its chains hold
    std::string from;             // recover: where it was found
};

// The name of a recording's file, by its title as read, and in formerName
// the name an earlier version gave it by the title's bytes ("" when the
// same); a name another recording of this run took gets the slot. Logs the
// station and the title with their bytes.
std::string FileName(const CPVRFile& file, int slot, std::set<std::string>& taken,
                     std::string& formerName, const TitleCharset& charset);

// The title and the station of a recording's header, as the run shows them.
std::string TitleOf(const CPVRFile& file, const TitleCharset& charset);
std::string StationOf(const CPVRFile& file, const TitleCharset& charset);

// The date and the length as --list shows them ("-": no date).
std::string DateText(const CPVRFile& file);
std::string LengthText(const CPVRFile& file);

// Rescues each item of the session's drive in turn and ends with the summary, the page and
// report.json (neither with --no-index); the exit status. command: "rescue" or "recover";
// firstColumn: "slot" or "no.". bytesReadBefore: of the drive before the loop (recover's survey).
int RunRescues(CDriveSession& session, const std::vector<Item>& items, const char* command,
               const char* firstColumn, const RescueOptions& options,
               std::uint64_t bytesReadBefore = 0);
