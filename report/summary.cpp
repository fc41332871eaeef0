// The summary of a run: one line for each recording, on the console and in
// the run log, with what became of it.
#include "platform/runlog.h"
#include "report/report.h"
#include "text/table.h"

#include <ostream>

void PrintSummary(std::ostream& con, const std::vector<SummaryRow>& rows, const char* first) {
    using Align = TextColumn::Align;
    // The slot, rec, the title as wide as the widest, minutes, size,
    // unreadable and the result.
    const std::vector<TextColumn> columns = {
        {4, Align::Right, false, 0}, {4, Align::Right, false, 1},  {5, Align::Left, true, 2},
        {7, Align::Right, false, 1}, {10, Align::Right, false, 1}, {12, Align::Right, false, 1},
        {0, Align::Left, false, 2}};
    std::vector<std::vector<std::string>> cells = {
        {first, "rec", "title", "minutes", "size", "unreadable", "result"}};
    for (const SummaryRow& row : rows)
        cells.push_back({row.label, row.recordNo, row.title, row.minutes, row.size, row.unreadable,
                         row.result});
    for (const std::string& line : TableLines(columns, cells)) {
        con << line << std::endl;
        *g_Log << line << std::endl;
    }
}
