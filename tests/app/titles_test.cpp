// Titles as broadcasts code them, from the recording's header to the name of
// its file, the --list table, the summary, the run log and the page; a file
// that an earlier version named by the title's bytes is kept.
#include "image/recorder_image.h"
#include "support/ffmpeg_check.h"
#include "support/harness.h"
#include "support/page_check.h"
#include "text/broadcast_titles.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

// An image of one recording for each title, all of the same chains.
std::string TitlesImage(const harness::TempDir& dir, const std::vector<BroadcastTitle>& titles) {
    image::RecorderImage img;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        image::Recording rec;
        rec.recordNo = static_cast<std::int8_t>(i + 1);
        rec.station = titles[i].station;
        rec.clip = titles[i].clip;
        rec.firstACluster = 1;
        rec.firstVCluster = 2;
        img.AddRecording(rec);
    }
    img.LinkChain({1});
    img.LinkChain({2});
    img.PlaceChainData({1}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/audio_c0.pes"));
    img.PlaceChainData({2}, 0, harness::ReadFile(TARNWELL_FIXTURE_DIR "/video_e0.pes"));
    const std::string path = dir.File("titles.img");
    EXPECT_TRUE(img.Write(path));
    return path;
}

// How many columns the lines that hold `mark` show before it: one number
// when the columns line up.
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
    const std::vector<BroadcastTitle>& titles = BroadcastTitles();
    const std::string disk = TitlesImage(dir, titles);
    const harness::Run list = harness::RunProgram(dir.Path(), {"rescue", "--list", disk});
    const harness::Run run = harness::RunProgram(dir.Path(), {"rescue", disk, "-o", "out"});
    EXPECT_EQ(run.exitCode, 0) << run.console;
    PageFacts page;
    const std::vector<std::uint8_t> html = harness::ReadFile(dir.File("out/index.html"));
    EXPECT_EQ(CheckPage(std::string(html.begin(), html.end()), page), "");
    for (std::size_t i = 0; i < titles.size(); ++i) {
        SCOPED_TRACE(titles[i].clipText);
        std::string name = "00" + std::to_string(i + 1) + " - " + titles[i].clipText + ".mpg";
        std::replace(name.begin(), name.end(), ':', ' ');
        EXPECT_TRUE(harness::FileExists(dir.File("out/" + name))) << name;
        EXPECT_NE(list.console.find(titles[i].stationText), std::string::npos);
        EXPECT_NE(list.console.find(titles[i].clipText), std::string::npos);
        EXPECT_NE(list.console.find("  " + name), std::string::npos);
        EXPECT_NE(page.text.find(titles[i].clipText), std::string::npos);
        EXPECT_NE(page.text.find(titles[i].stationText), std::string::npos);
    }
    EXPECT_EQ(ColumnsBefore(list.console, "  2001-01-01").size(), 1u) << list.console;
    EXPECT_EQ(ColumnsBefore(run.console, "  ok").size(), 1u) << run.console;
    EXPECT_NE(
        list.log.find("the title of slot 6: \"Şimdi Değil\" (05 DE 69 6D 64 69 20 44 65 F0 69 "
                      "6C) in ISO/IEC 8859-9"),
        std::string::npos);
    if (ChromiumAvailable() && FfmpegAvailable()) {
        EXPECT_EQ(ScreenshotProblems(dir.File("out/index.html"), dir.File("page.png")), "");
    }
}

// A second run after an earlier version's keeps the file named by the bytes;
// undeclared text is read in the table --charset names, a name that is no
// table stops the run, and a table this program lacks is said in the log.
TEST(BroadcastTitles, ByteNamedFileCharsetAndMissingTable) {
    const harness::TempDir dir;
    const std::vector<BroadcastTitle> titles = {BroadcastTitles()[0],
                                                {"",
                                                 "\x13"
                                                 "ABC",
                                                 "", ""}};
    const std::string disk = TitlesImage(dir, titles);
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
    const harness::Run unknown =
        harness::RunProgram(dir.Path(), {"recover", "--charset=KOI8-R", disk});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(
        unknown.console.find("tarnwell recover: unknown character table KOI8-R for --charset"),
        std::string::npos);
}
