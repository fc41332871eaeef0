// The rescue command: every recording of a disk, or those of the slots
// given, each into one program stream that plays, in one unattended run.
#include "app/rescue_run.h"
#include "platform/runlog.h"
#include "text/table.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace {

// --list of rescue: a line for each recording, nothing written, no waiting.
// The station and the title line up by the characters they show.
void ListItems(const std::vector<Item>& items, const TitleCharset& charset) {
    using Align = TextColumn::Align;
    // The slot, rec, the station and the title as wide as the widest, the
    // date, the length, what the chains hold and the file.
    const std::vector<TextColumn> columns = {
        {4, Align::Right, false, 0},  {4, Align::Right, false, 1}, {7, Align::Left, true, 2},
        {5, Align::Left, true, 2},    {16, Align::Left, false, 2}, {8, Align::Right, false, 1},
        {10, Align::Right, false, 1}, {0, Align::Left, false, 2}};
    std::vector<std::vector<std::string>> cells = {
        {"slot", "rec", "station", "title", "date", "length", "chains", "file"}};
    for (const Item& item : items) {
        if (item.file == nullptr) {
            cells.push_back({item.label, "-", "-", "-", "-", "-", "-", "failed: " + item.failure});
            continue;
        }
        const CPVRFile& f = *item.file;
        cells.push_back({item.label, std::to_string(f.RecordNo()), StationOf(f, charset), TitleOf(f, charset),
                         DateText(f), LengthText(f),
                         Format("%.1f MB", static_cast<double>(item.chainBytes) / 1e6), item.name});
    }
    for (const std::string& line : TableLines(columns, cells))
        ConsoleAndLog(line);
}

int RescueDrive(CDriveSession& session, CPVRDrive& drive, const RescueOptions& options) {
    std::vector<int> slots;
    for (std::size_t i = 1; i < options.words.size(); ++i)
        slots.push_back(ParseNumber(options.words[i].c_str()));
    if (slots.empty()) {
        for (int slot = 0; slot < drive.FileCount(); ++slot)
            slots.push_back(slot);
    }
    std::vector<Item> items;
    std::set<std::string> taken;
    for (int slot : slots) {
        Item item;
        item.label = std::to_string(slot);
        CPVRFile* file = drive.GetFile(slot);
        if (file == nullptr || file->IsHeaderLost()) {
            item.failure = file == nullptr ? "there is no such slot" : "its header cannot be read";
        } else {
            item.file = file;
            item.name = FileName(*file, slot, taken, item.formerName, options.charset);
            const CClusterTable& table = *file->Drive().ClusterTable();
            item.chainBytes = (table.Chain(file->FirstVCluster()).size() +
                               table.Chain(file->FirstACluster()).size()) *
                              kClusterBytes;
        }
        items.push_back(item);
    }
    if (options.list) {
        ListItems(items, options.charset);
        return kExitOk;
    }
    return RunRescues(session, items, "rescue", "slot", options);
}

} // namespace

int RescueCommand(const RescueOptions& options) {
    if (options.help || options.words.empty()) {
        PrintRescueUsage(false);
        return kExitOk;
    }
    CDriveSession session;
    return OnDrive(session, DrivePath(options.words[0]), [&](CPVRDrive& drive) {
        return RescueDrive(session, drive, options);
    });
}
