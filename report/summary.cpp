// The summary of a run: one line for each recording, on the console and in
// the run log, with what became of it.
#include "platform/runlog.h"
#include "report/report.h"
#include "text/text.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

void PrintSummary(std::ostream& con, const std::vector<SummaryRow>& rows, const char* first) {
    std::size_t width = 5;
    for (const SummaryRow& row : rows)
        width = std::max(width, TextWidth(row.title));
    auto line = [&](const std::string& slot, const std::string& rec, const std::string& title,
                    const std::string& minutes, const std::string& size,
                    const std::string& unreadable, const std::string& result) {
        char text[512];
        std::snprintf(text, sizeof text, "%4s %4s  %s %7s %10s %12s  %s", slot.c_str(), rec.c_str(),
                      FitToWidth(title, width).c_str(), minutes.c_str(), size.c_str(),
                      unreadable.c_str(), result.c_str());
        con << text << std::endl;
        *g_Log << text << std::endl;
    };
    line(first, "rec", "title", "minutes", "size", "unreadable", "result");
    for (const SummaryRow& row : rows)
        line(row.label, row.recordNo, row.title, row.minutes, row.size, row.unreadable, row.result);
}
