// The summary of a run, from the outcome of each recording: the file's
// figures only for a file this run wrote, and each line whole however long.
#include "platform/runlog.h"
#include "report/report.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

RecordingOutcome Outcome(const char* label, const std::string& result, bool failed, bool kept) {
    RecordingOutcome o;
    o.label = label;
    o.titled = true;
    o.recordNo = 7;
    o.title = "News";
    o.minutes = 15;
    o.bytes = 412300000;
    o.result = result;
    o.failed = failed;
    o.kept = kept;
    return o;
}

// The line once ended at 511 bytes, in the midst of a reason that names a
// file deep in the output folder.
TEST(Summary, ShowsWhatEachRecordingBecameOfInOneWholeLine) {
    const std::string reason = "failed: cannot create " + std::string(600, 'd') + "/News.mpg";
    RecordingOutcome lost = Outcome("2", reason, true, false);
    lost.titled = false;
    std::ostringstream con;
    PrintSummary(con, {Outcome("0", "ok", false, false), Outcome("1", "kept", false, true), lost},
                 "slot");
    EXPECT_EQ(con.str(), "slot  rec  title minutes       size   unreadable  result\n"
                         "   0    7  News     15.0   412.3 MB            0  ok\n"
                         "   1    7  News        -          -            -  kept\n"
                         "   2    -  -           -          -            -  " +
                             reason + "\n");
}

} // namespace
