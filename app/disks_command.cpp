// The disks command: every disk attached, one line each with its name, size,
// model and what it holds, then the command to run for each recorder disk.
#include "app/app.h"
#include "disks/disks.h"
#include "text/table.h"

#include <algorithm>
#include <cstdio>

namespace {

// "160.0 GB", "4.2 MB": decimal units, as disks are sold.
std::string SizeText(std::uint64_t bytes) {
    if (bytes == 0)
        return "-";
    char text[32];
    const double size = static_cast<double>(bytes);
    std::snprintf(text, sizeof text, size >= 1e9 ? "%.1f GB" : "%.1f MB",
                  size >= 1e9 ? size / 1e9 : size / 1e6);
    return text;
}

struct DiskRow {
    std::string name, size, model, holds;
    std::string command; // the command for a recorder disk, "" for any other
    bool judged = false; // it could be opened and read
};

// What one disk holds, or why it cannot be told; denied is set when the
// program lacks the rights to open it.
DiskRow LookAt(const PlatDisk& disk, bool& denied, bool& stopped) {
    DiskRow row;
    row.name = disk.name + (disk.letters.empty() ? "" : " (" + disk.letters + ")");
    row.model = disk.model.empty() ? "-" : disk.model;
    FileHandle handle = kInvalidHandle;
    std::string reason;
    const DiskOpen opened = PlatOpenDisk(disk.name, handle, reason);
    std::uint64_t size = disk.size;
    if (opened == DiskOpen::Ok && size == 0)
        PlatSize(handle, size);
    row.size = SizeText(size);
    DiskBytes bytes;
    const bool looked = opened == DiskOpen::Ok && LookAtDisk(handle, size, bytes, reason);
    PlatClose(handle);
    denied = denied || opened == DiskOpen::Denied;
    stopped = stopped || bytes.stopped;
    if (!looked) {
        row.holds = (bytes.stopped ? "" : "cannot be opened: ") + reason;
        if (bytes.stopped)
            row.holds += ": reconnect it and run the same command again";
        return row;
    }
    row.judged = true;
    const DiskVerdict verdict = JudgeDisk(bytes);
    row.holds = VerdictText(verdict, disk.name);
    if (verdict.kind == DiskVerdict::Kind::Recorder)
        row.command = "tarnwell rescue " + disk.name + " -o DIR";
    else if (verdict.kind == DiskVerdict::Kind::DirectoryLost)
        row.command = "tarnwell recover " + disk.name + " -o DIR";
    return row;
}

// A line for each disk: its name, size and model as wide as the widest, and
// what it holds.
void PrintDisks(const std::vector<DiskRow>& rows) {
    using Align = TextColumn::Align;
    const std::vector<TextColumn> columns = {{0, Align::Left, true, 0},
                                             {0, Align::Right, true, 2},
                                             {0, Align::Left, true, 2},
                                             {0, Align::Left, false, 2}};
    std::vector<std::vector<std::string>> cells;
    for (const DiskRow& row : rows)
        cells.push_back({row.name, row.size, row.model, row.holds});
    for (const std::string& line : TableLines(columns, cells))
        ConsoleAndLog(line);
}

} // namespace

int DisksCommand() {
    std::vector<PlatDisk> disks;
    if (!PlatListDisks(disks) || disks.empty()) {
        ConsoleAndLog("no disk could be listed");
        return kExitFailed;
    }
    std::vector<DiskRow> rows;
    bool denied = false, stopped = false;
    for (const PlatDisk& disk : disks)
        rows.push_back(LookAt(disk, denied, stopped));
    PrintDisks(rows);
    ConsoleAndLog("");
    const bool any = std::any_of(rows.begin(), rows.end(),
                                 [](const DiskRow& row) { return !row.command.empty(); });
    if (any)
        ConsoleAndLog("to rescue the recordings of a recorder disk into the folder DIR:");
    else if (std::any_of(rows.begin(), rows.end(), [](const DiskRow& row) { return row.judged; }))
        ConsoleAndLog("none of the disks that could be opened is a recorder's");
    for (const DiskRow& row : rows) {
        if (!row.command.empty())
            ConsoleAndLog("    " + row.command);
    }
    if (denied)
        ConsoleAndLog(PlatDiskRightsHint());
    return stopped ? kExitStopped : kExitOk;
}
