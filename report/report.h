// The report of a run of rescue or recover: the summary on the console and
// in the run log, the page and report.json, all three made from one record of
// what became of each recording. This header is what the other subsystems may
// use of it.
//
// The page of a run: index.html in the output folder of rescue and recover,
// one row for each recording with six pictures of it, what its header says,
// its file and what became of it. One file, plain HTML and CSS, its pictures
// inside it as PNG, no scripts and nothing from the network: it opens in any
// browser and reads well printed.
#pragma once

#include "picture/picture.h"
#include "rip/rip.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// A file of a recording: its name in the output folder, its size, and the
// SHA-256 of its bytes in hex, as sha256sum gives it ("" when not taken).
struct ReportFile {
    std::string name;
    std::uint64_t bytes = 0;
    std::string sha256;
};

// What became of one recording of a run, as the run found it: the one record
// that its line of the summary, its row of the page and its entry of
// report.json are made from.
struct RecordingOutcome {
    std::string label;       // the slot, or the number of a recording found
    std::optional<int> slot; // rescue: its slot of the table of contents
    std::string from;        // recover: where it was found (may end ", its beginning lost")
    // What its header says, when it gives the record number and the title
    // (titled); empty or -1 otherwise.
    bool titled = false;
    int recordNo = -1;
    std::string station, stationHex, title, titleHex; // decoded and as bytes
    std::string date;                                 // "2026-12-08 23:15", empty where none
    std::string length;                               // "1:30:00"
    int headerSeconds = -1;
    // What the rescue made of it.
    std::vector<ReportFile> files;       // the file, or its parts, in the output folder
    std::uint64_t bytes = 0;             // the size of the file(s)
    std::uint64_t unreadable = 0;        // bytes that could not be read
    double minutes = 0;                  // how long the file plays
    std::vector<CPictureAt> pictures;    // up to six
    std::string noPictures;              // why there are none, when there are none
    std::vector<RecordingDamage> damage; // in the order of the drive bytes, video first
    std::vector<ChainSource> sources;    // the video's, then the sound's
    std::string result;                  // "ok", "incomplete", "failed: REASON", "kept", ...
    bool failed = false, incomplete = false;
    bool kept = false; // its file was complete already: nothing was read
};

// The summary: a heading whose first column is `first` ("slot" or "no."),
// then a line for each recording, on con and in the run log; "-" where there
// is nothing to say.
void PrintSummary(std::ostream& con, const std::vector<RecordingOutcome>& outcomes,
                  const char* first);

// The page's name in the output folder.
constexpr const char* kIndexPageName = "index.html";

// One recording's row of the page, in the summary's order.
struct PageRecording {
    std::string label;                        // the slot, or the number of a recording found
    std::string title, station, date, length; // empty where the header gives none
    std::string from;                    // recover: where it comes from, as the found table says
                                         // it (may end ", its beginning lost"); empty for rescue
    std::vector<std::string> files;      // the file, or its parts, as paths in the output folder
    std::uint64_t bytes = 0;             // the size of the file(s)
    std::uint64_t unreadable = 0;        // bytes that could not be read
    double minutes = 0;                  // how long the file plays
    std::string result;                  // "ok", "incomplete", "failed: REASON", or "kept"
    std::vector<CPictureAt> pictures;    // up to six; one without a PNG leaves an empty place
    std::string noPictures;              // why there are none, when there are none
    std::vector<RecordingDamage> damage; // shown on the recording's time line
};

// The page's row of a recording.
PageRecording PageRowOf(const RecordingOutcome& outcome);

struct PageRun {
    std::string command; // "rescue" or "recover"
    std::string drive;   // the drive or image as the user named it
    std::string when;    // the date and time of the run, "2026-12-08 23:15"
    std::vector<PageRecording> recordings;
};

// The page as text. Each picture is shown in its display shape (a 4:3
// picture stored 176 wide is 192 wide on the page) at its own height.
std::string IndexPage(const PageRun& run);

// Writes FOLDER/index.html under a temporary name and renames it when
// complete. A recording whose result is "kept" (its file was complete
// already, so nothing was read and it has no pictures) keeps from the page
// that is there already, when that page has a row for the same file, the
// pictures of that row and the size, length, unreadable bytes and result the
// run that wrote the file found: a second run after an interrupted one keeps
// what the first one showed. A row of that page that is damaged or not of
// this form gives nothing, and the kept row stands without pictures.
// False with a one-line reason when the page cannot be written.
bool WriteIndexPage(const std::string& folder, const PageRun& run, std::string& error);

// The same, a recording at a time as a run goes: each row is written out
// beside the page (FOLDER/index.html.rows.part) as soon as it is added, its
// pictures with it, so that the run holds no row's pictures past its own
// recording; Finish puts the page together.
class CIndexPage {
  public:
    // run: the page's heading; its recordings are added one by one.
    CIndexPage(const std::string& folder, PageRun run);
    ~CIndexPage();
    CIndexPage(const CIndexPage&) = delete;
    CIndexPage& operator=(const CIndexPage&) = delete;
    void Add(const PageRecording& row);
    // Writes the page under a temporary name and renames it when complete;
    // false with a one-line reason.
    bool Finish(std::string& error);

  private:
    struct State;
    std::unique_ptr<State> The;
};

// report.json, beside the page: the run for scripts (docs/report.md).
constexpr const char* kReportName = "report.json";

struct ReportRecording {
    std::string label;            // the slot, or the number of a recording found
    int slot = -1, recordNo = -1; // -1: none
    std::string station, stationHex, title, titleHex; // the header's, decoded and as bytes
    std::string date;                                 // "2026-12-08 23:15", empty where none
    int headerSeconds = -1;                           // the length the header gives (-1: none)
    double fileSeconds = 0;                           // how long the file plays
    std::vector<ReportFile> files;
    std::string result; // as the summary says it
    std::string from;   // where it was found: a slot, a header, clusters
    std::vector<RecordingDamage> damage;
    std::vector<ChainSource> sources;
};

// The report's entry of a recording.
ReportRecording ReportEntryOf(const RecordingOutcome& outcome);

struct ReportRun {
    std::string version, commandLine, command, drive;
    std::uint64_t driveBytes = 0, bytesRead = 0;
    std::string started, ended; // UTC, "2026-12-09T05:30:00Z"
    int exitStatus = 0;
    std::vector<ReportRecording> recordings;
};

// The report as JSON text.
std::string ReportText(const ReportRun& run);
// Writes FOLDER/report.json under a temporary name and renames it when
// complete; false with a one-line reason.
bool WriteReport(const std::string& folder, const ReportRun& run, std::string& error);
