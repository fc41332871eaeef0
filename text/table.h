// A table of text in columns, as the console and the run log show the
// recordings of a disk and the disks attached: each cell padded with blanks
// to its column's width, counted in the columns that a text takes on a
// console (TextWidth), so that titles in any script line up.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One column of a table.
struct TextColumn {
    enum class Align { Left, Right };
    std::size_t width = 0;     // the least width; a wider cell is written whole
    Align align = Align::Left; // Left: the blanks after the cell, Right: before it
    bool widen = false;        // as wide as the widest of its cells, when wider
    std::size_t gap = 0;       // the blanks between it and the column before
};

// The lines of a table, one a row; each row holds its cells in the order of
// the columns (a missing cell is empty). A last column of width 0 that does
// not widen ends each line with its cell as it is.
std::vector<std::string> TableLines(const std::vector<TextColumn>& columns,
                                    const std::vector<std::vector<std::string>>& rows);
