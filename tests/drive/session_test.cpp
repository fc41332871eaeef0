// A drive session closed and opened again on another path: a disk that
// dropped out and came back under another name.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "support/harness.h"

#include <gtest/gtest.h>

namespace {

TEST(DriveSession, ReopenedOnAnotherPathKeepsItsTableAndItsUnreadableSectors) {
    image::RecorderImage img;
    img.LinkChain({3, 4, 5});
    img.PlaceBytes(image::ClusterOffset(4), {0x47});
    const harness::TempDir dir;
    ASSERT_TRUE(img.Write(dir.File("first.img")));
    img.LinkChain({3, 9}); // what the table says now is not read again
    ASSERT_TRUE(img.Write(dir.File("again.img")));
    const harness::Capture capture;

    CDriveSession drive;
    ASSERT_TRUE(drive.Open(dir.File("first.img")));
    ASSERT_TRUE(drive.LoadClusterTable());
    const CClusterTable* table = drive.ClusterTable();
    const std::uint64_t lost = image::ClusterOffset(3);
    drive.Unreadable().Add(lost, kSectorSize);

    drive.Close();
    EXPECT_FALSE(drive.IsOpen());
    ASSERT_TRUE(drive.Open(dir.File("again.img")));
    EXPECT_EQ(drive.Name(), dir.File("again.img"));
    EXPECT_EQ(drive.ClusterTable(), table);
    EXPECT_EQ(table->Chain(3), (std::vector<std::int32_t>{3, 4, 5}));
    EXPECT_EQ(drive.Unreadable().Bytes(), std::uint64_t{kSectorSize});

    // The reads go to the disk under its new name; what was unreadable is
    // not tried again.
    std::uint8_t sector[kSectorSize] = {};
    std::uint32_t got = 0;
    EXPECT_TRUE(ReadDrive(drive, image::ClusterOffset(4), sector, kSectorSize, got));
    EXPECT_EQ(sector[0], 0x47);
    sector[0] = 1;
    EXPECT_FALSE(ReadDrive(drive, lost, sector, kSectorSize, got));
    EXPECT_EQ(sector[0], 0);
    EXPECT_EQ(drive.Unreadable().Places(), 1u);

    drive.Forget();
    EXPECT_EQ(drive.ClusterTable(), nullptr);
    EXPECT_FALSE(drive.Unreadable().Any());
}

} // namespace
