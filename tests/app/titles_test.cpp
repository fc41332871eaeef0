// Titles as broadcasts code them, from the header to the file name, --list,
// the summary, the run log and the page; a file an earlier version named by
// the title's bytes is kept.
#include "support/ffmpeg_check.h"
#include "support/harness.h"
#include "support/page_check.h"
#include "text/broadcast_titles.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

// The columns shown before `mark` in the lines that hold it: one number when
// the columns line up.
std::set<std::size_t> ColumnsBefore(const std::string& text, const std::string& mark) {
    std::set<std::size_t> columns;
    for (const std::string& line : harness::Lines(text))
        if (line.find(mark) != std::string::npos)
            columns.insert(TextWidth(line.substr(0, line.find(mark))));
    return columns;
}

} // namespace

TEST(BroadcastTitles, FileNamesListSummaryLogAndPage) {
    const harness::TempDir dir;
    const std::string disk = dir.File("titles.img");
    ASSERT_TRUE(WriteTitlesImage(disk, BroadcastTitles()));
    const harness::Run list = harness::RunProgram(dir.Path(), {"rescue", "--list", disk});
    const harness::Run run = harness::RunProgram(dir.Path(), {"rescue", disk, "-o", "out"});
    EXPECT_EQ(run.exitCode, 0) << run.console;
    PageFacts page;
    const std::vector<std::uint8_t> html = harness::ReadFile(dir.File("out/index.html"));
    EXPECT_EQ(CheckPage(std::string(html.begin(), html.end()), page), "");
    for (std::size_t i = 0; i < BroadcastTitles().size(); ++i) {
        const BroadcastTitle& title = BroadcastTitles()[i];
        std::string name = "00" + std::to_string(i + 1) + " - " + title.clipText + ".mpg";
        std::replace(name.begin(), name.end(), ':', ' ');
        EXPECT_TRUE(harness::FileExists(dir.File("out/" + name))) << name;
        for (const std::string& text : {title.stationText, title.clipText}) {
            EXPECT_NE(list.console.find(text), std::string::npos) << text;
            EXPECT_NE(page.text.find(text), std::string::npos) << text;
        }
        EXPECT_NE(list.console.find("  " + name), std::string::npos) << name;
    }
    EXPECT_EQ(ColumnsBefore(list.console, "  2001-01-01").size(), 1u) << list.console;
    EXPECT_EQ(ColumnsBefore(run.console, "  ok").size(), 1u) << run.console;
    EXPECT_NE(list.log.find("the title of slot 6: \"Şimdi Değil\" (05 DE 69 6D 64 69 20 44 65 F0 "
                            "69 6C) in ISO/IEC 8859-9"),
              std::string::npos);
    if (ChromiumAvailable() && FfmpegAvailable()) {
        EXPECT_EQ(ScreenshotProblems(dir.File("out/index.html"), dir.File("page.png")), "");
    }
}

// An earlier version's byte-named file is kept; --charset reads undeclared
// text, a name that is no table stops the run, a table this program lacks is
// said in the log.
TEST(BroadcastTitles, ByteNamedFileCharsetAndMissingTable) {
    const harness::TempDir dir;
    const std::vector<BroadcastTitle> titles = {BroadcastTitles()[0],
                                                {"",
                                                 "\x13"
                                                 "ABC",
                                                 "", ""}};
    const std::string disk = dir.File("titles.img");
    ASSERT_TRUE(WriteTitlesImage(disk, titles));
    const std::string bytes = "001 - " + titles[0].clip + ".mpg";
    ASSERT_TRUE(harness::WriteFile(dir.File(bytes), {1}));
    const harness::Run run = harness::RunProgram(dir.Path(), {"rescue", disk, "0"});
    EXPECT_NE(run.console.find(bytes + " is complete already: kept"), std::string::npos);
    EXPECT_FALSE(harness::FileExists(dir.File("001 - " + titles[0].clipText + ".mpg")));
    const harness::Run latin9 =
        harness::RunProgram(dir.Path(), {"rescue", "--list", "--charset", "ISO-8859-15", disk});
    EXPECT_NE(latin9.console.find("Tagesschau ÈArger € 5  "), std::string::npos) << latin9.console;
    EXPECT_NE(latin9.log.find("the title of slot 1 names the character table GB 2312, which this "
                              "program does not have: read as ISO/IEC 6937"),
              std::string::npos);
    const harness::Run wrong = harness::RunProgram(dir.Path(), {"recover", "--charset=KOI8", disk});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.console.find("tarnwell recover: unknown character table KOI8 for --charset"),
              std::string::npos);
}
