// Rescue maps in GNU ddrescue's mapfile format: what is read, what is
// refused, and the text written back.
#include "drive/drive.h"

#include <gtest/gtest.h>

TEST(RescueMap, ReadsWhatGnuDdrescueWritesAndNothingElse) {
    const struct {
        const char* text;
        bool valid;
        std::uint64_t size, notCopied; // of the whole map
    } cases[] = {
        {"# Mapfile\n0x00000000     +               1\n#  pos size status\n"
         "0x00000000  0x00010000  +\n0x00010000  0x00000200  -\n0x00010200  0x00001000  ?\n",
         true, 0x11200, 0x1200},
        {"0 ?\n", true, 0, 0},
        {"1024 / \r\n0x400 512 *\r\n03000 0x200 +\n", true, 0x800, 1024 + 512},
        {"", false, 0, 0},
        {"0 +\n0 512 x\n", false, 0, 0},
        {"0 +\n0 512 +\n1024 512 +\n", false, 0, 0},
        {"0 +\n0 0 +\n", false, 0, 0},
        {"0 + 1\n0x0 0x200 + extra\n", false, 0, 0},
        {"0 +\n-512 512 +\n", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CRescueMap map;
        std::string fault;
        EXPECT_EQ(map.Parse(c.text, fault), c.valid) << fault;
        EXPECT_EQ(map.Size(), c.size);
        EXPECT_EQ(map.NotCopied(0, ~std::uint64_t{0} / 2), c.notCopied);
        CRescueMap again;
        EXPECT_TRUE(again.Parse(map.Text("# again\n", 0, '?'), fault));
        EXPECT_EQ(again.Text("", 0, '+'), map.Text("", 0, '+'));
    }
    CRescueMap map(4096);
    map.Set(1024, 512, '+');
    map.Set(1536, 512, '+');
    EXPECT_EQ(map.Text("", 0, '+'), "# current_pos  current_status  current_pass\n"
                                    "0x00000000     +               1\n"
                                    "#      pos        size  status\n"
                                    "0x00000000  0x00000400  ?\n0x00000400  0x00000400  +\n"
                                    "0x00000800  0x00000800  ?\n");
    EXPECT_EQ(map.NotCopiedUpTo(0), 1024u);
    EXPECT_EQ(map.NextNotCopied(1024), 2048u);
    EXPECT_EQ(MapNamesBeside("d/recorder.img"),
              (std::vector<std::string>{"d/recorder.img.map", "d/recorder.map"}));
    EXPECT_EQ(MapNamesBeside("d.x/disk"), std::vector<std::string>{"d.x/disk.map"});
}
