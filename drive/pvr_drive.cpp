// The table of contents of the recorder disk and its list of recordings.
#include "drive/drive.h"
#include "platform/runlog.h"

#include <iostream>

int TocFileCount(CDriveSession& drive) {
    std::uint8_t toc[kSectorSize] = {};
    std::uint32_t got = 0;
    const bool read = drive.IsOpen() && ReadDrive(drive, 0, toc, kSectorSize, got);
    return read ? toc[kTocFileCountAt] : -1;
}

CPVRDrive::CPVRDrive(CDriveSession& drive) : Drive(drive) {
    *g_Log << "CPVRDrive::CPVRDrive" << std::endl;

    // A drive that cannot be opened or that ends before sector 0 is complete
    // leaves the sector zero-filled (what is read short stays zero beyond the
    // bytes delivered): no recordings. A sector that cannot be read is another
    // matter: the number of recordings is then unknown, and nothing is listed.
    if (Drive.IsOpen()) {
        std::uint32_t got = 0;
        TocLost = !ReadDrive(Drive, 0, Toc, kSectorSize, got);
    }
    if (TocLost) {
        ConsoleAndLog(Drive.Console(), "cannot read the table of contents of drive " + Drive.Name());
        return;
    }

    std::cout << "TOC shows " << std::endl;
    std::cout << "Files=          " << int{Toc[kTocFileCountAt]} << std::endl;
    std::cout << "Used clusters=  " << TocU16(kTocUsedClustersAt) << std::endl;
    std::cout << "Free clusters=  " << TocU16(kTocFreeClustersAt) << std::endl;
    std::cout << std::endl;

    for (int slot = 0; slot < Toc[kTocFileCountAt]; ++slot) {
        *g_Log << "reading file " << slot << std::endl;
        FileList.push_back(new CPVRFile(Drive, slot));
    }
}

CPVRDrive::~CPVRDrive() {
    *g_Log << "CPVRDrive::~CPVRDrive()" << std::endl;
    while (!FileList.empty()) {
        delete FileList.back();
        FileList.pop_back();
    }
}

void CPVRDrive::ListFiles() {
    for (CPVRFile* file : FileList)
        file->PrintInfo(std::cout, true);
}

CPVRFile* CPVRDrive::GetFile(int index) {
    if (index < 0 || index >= FileCount())
        return nullptr;
    return FileList[static_cast<std::size_t>(index)];
}
