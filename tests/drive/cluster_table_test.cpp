// The cluster table, the chain walks over it and the two disk primitives.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "platform/runlog.h"
#include "support/harness.h"
#include "support/opened_drive.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

std::string WriteImage(const image::RecorderImage& img, const harness::TempDir& dir) {
    const std::string path = dir.File("disk.img");
    EXPECT_TRUE(img.Write(path));
    return path;
}

using Chain = std::vector<std::int32_t>;

TEST(ClusterChainWalk, EndsBy0xFFFFByZeroByNumbersBeyondTheTableAndByLoops) {
    image::RecorderImage img;
    img.LinkChain({3, 0x1a, 0x1b});
    img.SetNext(0, 9);         // entry 0 is never consulted
    img.SetNext(7, 0);         // 0 is taken, then ends the chain
    img.SetNext(8, 1152);      // beyond the table: taken, then ends
    img.SetNext(9, 0xFFFE);    // likewise
    img.SetNext(10, 11, 0xAB); // high half of the entry is ignored
    img.SetNext(11, 0xFFFF);
    img.LinkChain({20, 21, 22});
    img.SetNext(22, 20); // comes back to its first cluster
    img.SetNext(30, 30); // points at itself
    img.LinkChain({40, 41, 42});
    img.SetNext(42, 41);           // comes back into its middle
    img.LinkChain({12, 1151, 13}); // through the last cluster the table describes
    const harness::TempDir dir;
    bool ok = false;
    const CClusterTable table = harness::TableOf(WriteImage(img, dir), ok);
    ASSERT_TRUE(ok);
    // Entry 1151 is the table's last; 1152 would lie beyond its 4608 bytes.
    EXPECT_EQ(table.NextCluster(1151), 13);
    EXPECT_EQ(table.NextCluster(1152), kChainEnd);

    const std::pair<std::int32_t, Chain> cases[] = {
        {3, {3, 0x1a, 0x1b}}, {0, {0}},           {7, {7, 0}},        {8, {8, 1152}},
        {9, {9, 0xFFFE}},     {10, {10, 11}},     {20, {20, 21, 22}}, {30, {30}},
        {40, {40, 41, 42}},   {1151, {1151, 13}}, {1152, {1152}},     {-1, {-1}},
        {12, {12, 1151, 13}}, {32767, {32767}},   {1, {1, 0}},
    };
    for (const auto& [first, expected] : cases)
        EXPECT_EQ(table.Chain(first), expected) << "first cluster " << first;
}

TEST(ClusterChainWalk, LoopThroughEveryClusterStopsAfter1151Clusters) {
    image::RecorderImage img;
    for (int k = 1; k <= 1151; ++k)
        img.SetNext(k, static_cast<std::uint16_t>(k == 1151 ? 1 : k + 1));
    const harness::TempDir dir;
    bool ok = false;
    const CClusterTable table = harness::TableOf(WriteImage(img, dir), ok);
    ASSERT_TRUE(ok);
    const Chain chain = table.Chain(500);
    ASSERT_EQ(chain.size(), 1151u);
    EXPECT_EQ(chain.front(), 500);
    EXPECT_EQ(chain[651], 1151);
    EXPECT_EQ(chain.back(), 499);
}

TEST(ClusterChainPrint, WritesLowerCaseHexAndLeavesTheStreamInDecimal) {
    image::RecorderImage img;
    img.LinkChain({3, 0x1a, 0x1b});
    const harness::TempDir dir;
    bool ok = false;
    const CClusterTable table = harness::TableOf(WriteImage(img, dir), ok);
    const std::pair<std::int32_t, std::string> cases[] = {
        {3, " 3 1a 1b\n255\n"}, {-1, " ffffffff\n255\n"}, {0, " 0\n255\n"}};
    for (const auto& [first, expected] : cases) {
        std::ostringstream os;
        table.PrintChain(os, first);
        os << 255 << "\n";
        EXPECT_EQ(os.str(), expected);
    }
}

TEST(ClusterChainBuild, ListsTheChainOnConsoleAndLogInHex) {
    image::RecorderImage img;
    img.LinkChain({3, 0x1a, 0x1b});
    const harness::TempDir dir;
    bool ok = false;
    const CClusterTable table = harness::TableOf(WriteImage(img, dir), ok);
    const harness::Capture capture;
    Chain list;
    table.BuildChain(3, list, std::cout);
    *g_Log << 26 << std::endl;
    std::cout << 26 << std::endl;
    EXPECT_EQ(list, (Chain{3, 0x1a, 0x1b}));
    EXPECT_EQ(capture.Log(), "Dump clusters... 3 1a 1b\n26\n");
    EXPECT_EQ(capture.Console(), "Dump clusters... 3 1a 1b\n26\n");
}

TEST(UnreadableClusterTable, EndsEveryChainAtItsFirstCluster) {
    image::RecorderImage img;
    img.LinkChain({3, 4, 5});
    img.SetSize(kClusterTableOffset + 100); // entries 3 to 5 are there, the rest is not
    const harness::TempDir dir;
    bool ok = true;
    const CClusterTable shortTable = harness::TableOf(WriteImage(img, dir), ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(shortTable.IsOpen());
    EXPECT_EQ(shortTable.Chain(3), Chain{3});

    ok = true;
    const CClusterTable missing = harness::TableOf(dir.File("no-such.img"), ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.Chain(3), Chain{3});
    std::ostringstream os;
    missing.PrintChain(os, 3);
    EXPECT_EQ(os.str(), " 3\n");

    ok = true;
    const CClusterTable folder = harness::TableOf(dir.Path(), ok); // opens, but cannot be read
    EXPECT_FALSE(ok);
    EXPECT_EQ(folder.Chain(3), Chain{3});
}

TEST(DrivePrimitives, OpenIsReadOnlyAndFailureLeavesTheInvalidHandle) {
    image::RecorderImage img;
    const harness::TempDir dir;
    const std::string path = WriteImage(img, dir);
    CDriveSession drive;
    ASSERT_TRUE(drive.Open(path));
    const std::uint8_t byte = 0;
    std::uint32_t written = 0;
    EXPECT_FALSE(PlatWrite(drive.Handle(), &byte, 1, written));
    EXPECT_EQ(written, 0u);

    for (const std::string& bad : {std::string(), dir.File("missing.img")}) {
        EXPECT_FALSE(drive.Open(bad)) << bad;
        EXPECT_EQ(drive.Handle(), kInvalidHandle) << bad;
    }
}

TEST(DrivePrimitives, SeekSectorBeyond4GiBUsesA64BitOffset) {
    image::RecorderImage img;
    img.PlaceBytes(std::uint64_t{1} << 32, {0xA5, 0x5A});
    img.PlaceBytes(11 * 512, {0x11});
    const harness::TempDir dir;
    CDriveSession drive;
    ASSERT_TRUE(drive.Open(WriteImage(img, dir)));
    const FileHandle handle = drive.Handle();
    std::uint8_t bytes[2] = {};
    std::uint32_t got = 0;
    ASSERT_TRUE(SeekSector(handle, 8388608));
    ASSERT_EQ(PlatRead(handle, bytes, 2, got), ReadOutcome::Ok);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(bytes[0], 0xA5);
    EXPECT_EQ(bytes[1], 0x5A);
    ASSERT_TRUE(SeekSector(handle, 11));
    ASSERT_EQ(PlatRead(handle, bytes, 1, got), ReadOutcome::Ok);
    EXPECT_EQ(bytes[0], 0x11);
}

} // namespace
