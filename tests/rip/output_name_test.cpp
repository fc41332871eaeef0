// Output file names: three characters of the record number, " - ", the clip
// title with the characters a Windows file name cannot hold turned into blanks.
#include "drive/drive.h"
#include "image/recorder_image.h"
#include "support/harness.h"
#include "support/opened_drive.h"

#include <gtest/gtest.h>

namespace {

struct NameCase {
    std::int8_t recordNo;
    std::string clip;
    std::string expected;
};

const NameCase kNameCases[] = {
    {1, "News", "001 - News"},
    {1, "10:30 Film/Part 1", "001 - 10 30 Film Part 1"},
    {1, "", "001 - "},
    {1, "??", "001 -   "},
    {1, "?\\*\"<>|/:", "001 -          "},
// Dots, control characters and bytes above 127 stay as they are.
// On Windows, whose file names cannot hold control characters, those
// become blanks too.
#ifdef _WIN32
    {42, "a.b\t\x01\xe9~", "042 - a.b  \xe9~"},
#else
    {42, "a.b\t\x01\xe9~", "042 - a.b\t\x01\xe9~"},
#endif
    {0, "Z", "000 - Z"},
    {100, "Z", "100 - Z"},
    {127, "Z", "127 - Z"},
    {-5, "Z", "0-5 - Z"},
    {-56, "Z", "-56 - Z"},
    {-128, "Z", "128 - Z"},
    // A title that fills all 41 bytes of its field has no zero byte.
    {7, std::string(41, 'x'), "007 - " + std::string(41, 'x')},
};

} // namespace

TEST(OutputNameOfRecording, FollowsRecordNumberAndClipTitle) {
    const harness::TempDir dir;
    const std::string path = dir.File("names.img");
    image::RecorderImage disk;
    for (const NameCase& c : kNameCases) {
        image::Recording rec;
        rec.recordNo = c.recordNo;
        rec.station = "Station";
        rec.clip = c.clip;
        disk.AddRecording(rec);
    }
    // The byte after the header sectors is set, so the last header is read whole.
    disk.PlaceBytes(image::ClusterOffset(1), {0xFF});
    ASSERT_TRUE(disk.Write(path));

    const harness::Capture capture;
    harness::OpenedDrive drive(path);
    for (std::size_t slot = 0; slot < std::size(kNameCases); ++slot) {
        const CPVRFile file(drive, static_cast<int>(slot));
        EXPECT_EQ(file.GetOutputName(), kNameCases[slot].expected) << "slot " << slot;
    }
}
