// The page of a run: its HTML, links and pictures, made from the real
// pictures of the video fixture; the rows a second run keeps; the page in
// headless Chromium.
#include "report/report.h"

#include "support/ffmpeg_check.h"
#include "support/fixtures.h"
#include "support/harness.h"
#include "support/page_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace {

const std::vector<CPictureAt>& FixturePictures() {
    static const std::vector<CPictureAt> pictures = [] {
        const std::vector<std::uint8_t> stream = ElementaryStream(LoadFixture("video_e0"));
        CPictureGrabber grabber;
        grabber.Feed(stream.data(), stream.size());
        return grabber.Pictures(6);
    }();
    return pictures;
}

PageRecording Recording(const std::string& label, const std::string& title, const std::string& from,
                        std::vector<std::string> files, const std::string& result,
                        std::uint64_t bytes = 1000000, std::uint64_t unreadable = 0) {
    PageRecording r;
    r.label = label;
    r.title = title;
    r.from = from;
    r.files = std::move(files);
    r.result = result;
    if (result == "ok" || result == "incomplete") {
        r.bytes = bytes;
        r.unreadable = unreadable;
        r.minutes = static_cast<double>(bytes) / 1e7;
        r.pictures = FixturePictures();
    }
    return r;
}

PageRecording News(const std::string& result) {
    PageRecording r = Recording("1", "News", "slot 0 of the table of contents",
                                {"out/001 - News  MPEG audio.mpg"}, result, 3700000, 4096);
    r.station = "BBC One";
    r.date = "2026-12-01 22:00";
    r.length = "0:00:18";
    return r;
}

// A recording with its header; one without, its beginning lost and its last
// two pictures not made; one that failed; one in two parts whose names and
// title need escaping.
PageRun SampleRun() {
    PageRun run{"recover", "/dev/sdb", "2026-12-08 23:15", {News("incomplete")}};
    run.recordings.push_back(Recording("2", "",
                                       "no header: deleted or unlisted, its beginning lost",
                                       {"out/recovered 01 (cluster 21).mpg"}, "ok"));
    run.recordings.back().pictures[4].png.clear();
    run.recordings.back().pictures[5].png.clear();
    run.recordings.push_back(Recording("3", "", "", {}, "failed: its chains hold no video"));
    run.recordings.push_back(Recording("4", "<script>alert(1)</script> & \"x\" \x05", "",
                                       {"<b>&\"x\".mpg", "50% #1?.mpg"}, "ok"));
    return run;
}

std::string ReadText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = harness::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(IndexPage, NamesEachFileAndHoldsEachPicture) {
    const std::string page = IndexPage(SampleRun());
    PageFacts facts;
    EXPECT_EQ(CheckPage(page, facts), "");
    EXPECT_EQ(facts.pictures.size(), 16u);
    EXPECT_EQ(facts.emptyPlaces, 2);
    std::vector<std::string> names;
    for (const PageLink& link : facts.links) {
        EXPECT_EQ(link.href, link.text);
        names.push_back(link.text);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"001 - News  MPEG audio.mpg",
                                               "recovered 01 (cluster 21).mpg", "<b>&\"x\".mpg",
                                               "50% #1?.mpg"}));
    // The fixture's 4:3 pictures, stored 176 x 144, shown 4:3.
    EXPECT_NE(page.find("width=\"192\" height=\"144\""), std::string::npos);
    std::vector<std::string> texts = {
        "Tarnwell recover of /dev/sdb",
        "2026-12-08 23:15",
        "4 recordings: 2 ok, 1 incomplete, 1 failed, 0 kept; 5.7 MB, 4096 bytes could not be "
        "read, 0.6 minutes.",
        "no. 1 News",
        "slot 0 of the table of contents",
        "no. 2 no header: deleted or unlisted, its beginning lost",
        "incomplete, 4096 bytes could not be read",
        "failed: its chains hold no video",
        "<script>alert(1)</script> & \"x\" \n"};
    for (const CPictureAt& picture : FixturePictures()) {
        const long s = std::lround(picture.seconds);
        texts.push_back(std::to_string(s / 60) + (s % 60 < 10 ? ":0" : ":") +
                        std::to_string(s % 60));
    }
    for (const std::string& text : texts)
        EXPECT_NE(facts.text.find(text), std::string::npos) << text;
}

struct Earlier {
    const char* name;
    std::function<std::string(const std::string& page)> damage;
    bool carried; // the kept row shows what the earlier page showed
};

const Earlier kEarlier[] = {
    {"the page of the run before", [](const std::string& page) { return page; }, true},
    {"cut within a picture",
     [](const std::string& page) { return page.substr(0, page.find("base64,") + 3000); }, false},
    {"a quote and a script in a picture's data",
     [](const std::string& page) {
         std::string damaged = page;
         return damaged.insert(page.find("base64,") + 500, "\"><script>x</script>");
     },
     false},
    {"another row's marker within the row",
     [](const std::string& page) {
         std::string damaged = page;
         return damaged.insert(page.find("  <dl>"), "<!-- recording: x -->\n");
     },
     false},
    {"a page of something else",
     [](const std::string&) {
         return "<html>\n<!-- recording: 001%20-%20News%20%20MPEG%20audio.mpg -->\n<section>"
                "</section>\n<!-- end -->\n</html>\n";
     },
     false},
    {"no page", [](const std::string&) { return std::string(); }, false},
};

void PrintTo(const Earlier& earlier, std::ostream* out) {
    *out << earlier.name;
}

class KeptRow : public testing::TestWithParam<Earlier> {};

// A second run that keeps the file of the first shows the first run's
// pictures and facts, twice over; a damaged page gives nothing and harms
// nothing.
TEST_P(KeptRow, ShowsWhatTheEarlierPageShowed) {
    harness::TempDir dir;
    const std::string path = dir.File("index.html");
    std::string error;
    ASSERT_TRUE(WriteIndexPage(dir.Path(),
                               {"rescue", "g:", "2026-12-08 23:15", {News("incomplete")}}, error))
        << error;
    PageFacts first;
    ASSERT_EQ(CheckPage(ReadText(path), first), "");
    const std::string earlier = GetParam().damage(ReadText(path));
    std::filesystem::remove(path);
    if (!earlier.empty())
        harness::WriteFile(path, std::vector<std::uint8_t>(earlier.begin(), earlier.end()));
    const PageRun second{"rescue", "g:", "2026-12-09 08:00", {News("kept")}};
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(WriteIndexPage(dir.Path(), second, error)) << error;
        PageFacts facts;
        EXPECT_EQ(CheckPage(ReadText(path), facts), "");
        ASSERT_EQ(facts.links.size(), 1u);
        EXPECT_EQ(facts.links[0].href, "001 - News  MPEG audio.mpg");
        const bool carried = GetParam().carried;
        EXPECT_EQ(facts.pictures, carried ? first.pictures : std::vector<std::string>{});
        const char* const result =
            carried ? "kept: written by an earlier run, incomplete, 4096 bytes could not be read"
                    : "kept: the file was complete already";
        EXPECT_NE(facts.text.find(result), std::string::npos) << facts.text;
        EXPECT_EQ(facts.text.find("3.7 MB, 0.4 minutes") != std::string::npos, carried);
    }
    EXPECT_FALSE(harness::FileExists(path + ".part"));
}

INSTANTIATE_TEST_SUITE_P(EarlierPages, KeptRow, testing::ValuesIn(kEarlier));

TEST(IndexPage, SaysWhyItCannotBeWritten) {
    harness::TempDir dir;
    std::string error;
    EXPECT_FALSE(WriteIndexPage(dir.File("missing"), SampleRun(), error));
    EXPECT_EQ(error, "cannot write the page " + dir.File("missing") + "/index.html");
}

// The page in a browser: the screenshot shows its pictures. A page without
// any is told apart, so that the check is worth something.
TEST(IndexPageInChromium, ShowsThePictures) {
    if (!ChromiumAvailable() || !FfmpegAvailable())
        GTEST_SKIP() << "chromium or ffmpeg is not installed";
    harness::TempDir dir;
    std::string error;
    ASSERT_TRUE(WriteIndexPage(dir.Path(), SampleRun(), error)) << error;
    EXPECT_EQ(ScreenshotProblems(dir.File("index.html"), dir.File("shot.png")), "");
    if (const char* sample = std::getenv("TARNWELL_PAGE_SAMPLE"))
        std::filesystem::copy_file(dir.File("shot.png"), sample,
                                   std::filesystem::copy_options::overwrite_existing);
    PageRun bare = SampleRun();
    for (PageRecording& r : bare.recordings)
        r.pictures.clear();
    ASSERT_TRUE(WriteIndexPage(dir.Path(), bare, error)) << error;
    EXPECT_NE(ScreenshotProblems(dir.File("index.html"), dir.File("bare.png")), "");
}

} // namespace
