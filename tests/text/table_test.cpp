// The column tables: widths in console columns, alignment, the gaps, and
// cells wider than their column.
#include "text/table.h"

#include <gtest/gtest.h>

namespace {

using Align = TextColumn::Align;

struct TableCase {
    const char* what;
    std::vector<TextColumn> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> lines;
};

TEST(TextTable, LinesUpCellsByTheColumnsTheyShow) {
    const std::string longPath(2000, 'p');
    const TableCase cases[] = {
        {"a title column widened by characters, not bytes, the last column as it is",
         {{4, Align::Right, false, 0},
          {5, Align::Left, true, 2},
          {7, Align::Right, false, 1},
          {0, Align::Left, false, 2}},
         {{"slot", "title", "minutes", "result"},
          {"0", "Tagesschau", "15.0", "ok"},
          {"12", "ニュース", "-", "failed: its header cannot be read"},
          {"3", "Cafe\xCC\x81", "0.1", ""}},
         {"slot  title      minutes  result", "   0  Tagesschau    15.0  ok",
          "  12  ニュース         -  failed: its header cannot be read",
          "   3  Cafe\xCC\x81           0.1  "}},
        {"cells wider than their column are written whole, missing cells are empty",
         {{2, Align::Right, false, 0}, {4, Align::Left, false, 1}, {0, Align::Left, false, 1}},
         {{"12345", "dates", "x"}, {"1"}},
         {"12345 dates x", " 1      "}},
        {"no least width and no heading: the widest cell sets it; a long cell is written whole",
         {{0, Align::Left, true, 0}, {0, Align::Right, true, 2}, {0, Align::Left, false, 2}},
         {{"/dev/sda", "160.0 GB", "a recorder's disk"}, {"/dev/sdb (E:)", "-", longPath}},
         {"/dev/sda       160.0 GB  a recorder's disk", "/dev/sdb (E:)         -  " + longPath}},
    };
    for (const TableCase& c : cases)
        EXPECT_EQ(TableLines(c.columns, c.rows), c.lines) << c.what;
}

} // namespace
