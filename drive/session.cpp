// One drive as a run reads it, and what the run learnt of it.
#include "drive/drive.h"
#include "platform/runlog.h"

CDriveSession::~CDriveSession() {
    Close();
}

bool CDriveSession::Open(const std::string& path) {
    Close();
    Path = path;
    Sectors.FollowMapBeside(path);
    if (!PlatOpenRead(path, DriveHandle))
        return false;
    if (PlatDirectRefused(DriveHandle))
        Sectors.NoteReadThroughCache(path);
    return true;
}

void CDriveSession::Close() {
    PlatClose(DriveHandle);
    DriveHandle = kInvalidHandle;
}

void CDriveSession::Forget() {
    Table.reset();
    Sectors.Clear();
}

bool CDriveSession::LoadClusterTable() {
    bool ok = false;
    Table = std::make_unique<CClusterTable>(*this, ok);
    if (!ok)
        ConsoleAndLog(Console(), (IsOpen() ? "cannot read the cluster table of drive "
                                           : "cannot open drive ") +
                                     Path);
    return ok;
}

void CDriveSession::SetConsole(std::ostream& console) {
    Con = &console;
    Sectors.SetConsole(console);
}
