// The column tables of the console and the run log.
#include "text/table.h"

#include "text/text.h"

#include <algorithm>

namespace {

// The columns' widths, those that widen as wide as their widest cell.
std::vector<std::size_t> Widths(const std::vector<TextColumn>& columns,
                                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const TextColumn& column : columns)
        widths.push_back(column.width);
    for (const std::vector<std::string>& row : rows) {
        for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) {
            if (columns[i].widen)
                widths[i] = std::max(widths[i], TextWidth(row[i]));
        }
    }
    return widths;
}

} // namespace

std::vector<std::string> TableLines(const std::vector<TextColumn>& columns,
                                    const std::vector<std::vector<std::string>>& rows) {
    const std::vector<std::size_t> widths = Widths(columns, rows);
    std::vector<std::string> lines;
    for (const std::vector<std::string>& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const std::string cell = i < row.size() ? row[i] : std::string();
            const std::size_t shown = TextWidth(cell);
            const std::string blanks(widths[i] > shown ? widths[i] - shown : 0, ' ');
            if (i > 0)
                line.append(columns[i].gap, ' ');
            line += columns[i].align == TextColumn::Align::Right ? blanks + cell : cell + blanks;
        }
        lines.push_back(line);
    }
    return lines;
}
