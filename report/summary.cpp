// The summary of a run: one line for each recording, on the console and in
// the run log, with what became of it.
#include "platform/runlog.h"
#include "report/report.h"
#include "text/table.h"

#include <cstdio>
#include <ostream>

namespace {

std::string Figure(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A recording's cells: its file's figures only when this run wrote the file.
std::vector<std::string> SummaryCells(const RecordingOutcome& o) {
    const bool written = !o.failed && !o.kept;
    return {o.label,
            o.titled ? std::to_string(o.recordNo) : "-",
            o.titled ? o.title : "-",
            written ? Figure("%.1f", o.minutes) : "-",
            written ? Figure("%.1f MB", static_cast<double>(o.bytes) / 1e6) : "-",
            written ? std::to_string(o.unreadable) : "-",
            o.result};
}

} // namespace

void PrintSummary(std::ostream& con, const std::vector<RecordingOutcome>& outcomes,
                  const char* first) {
    using Align = TextColumn::Align;
    // The slot, rec, the title as wide as the widest, minutes, size,
    // unreadable and the result.
    const std::vector<TextColumn> columns = {
        {4, Align::Right, false, 0}, {4, Align::Right, false, 1},  {5, Align::Left, true, 2},
        {7, Align::Right, false, 1}, {10, Align::Right, false, 1}, {12, Align::Right, false, 1},
        {0, Align::Left, false, 2}};
    std::vector<std::vector<std::string>> cells = {
        {first, "rec", "title", "minutes", "size", "unreadable", "result"}};
    for (const RecordingOutcome& outcome : outcomes)
        cells.push_back(SummaryCells(outcome));
    for (const std::string& line : TableLines(columns, cells)) {
        con << line << std::endl;
        *g_Log << line << std::endl;
    }
}
