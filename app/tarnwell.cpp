// Program flow: the run log, the command line, and the dir and rip commands.
#include "app/app.h"
#include "drive/drive.h"
#include "platform/runlog.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>

std::string g_DriveName;
std::int32_t g_RecordNo = 0;
std::int32_t g_LengthSeconds = 0;
std::int32_t g_StartSeconds = 0;

void ConsoleAndLog(const std::string& line) {
    std::cout << line << std::endl;
    *g_Log << line << std::endl;
}

namespace {

void PrintUsage() {
    static const char* const kUsage[] = {
        "Usage:",
        "tarnwell dir drivename",
        "to get a directory listing",
        "example:",
        "tarnwell dir g:",
        "OR",
        "tarnwell rip drivename recordno length_in_seconds",
        "to rip a file",
        "example:",
        "tarnwell rip g: 1 600",
        "rips record number 1 from drive g: with a length of 600 seconds",
    };
    for (const char* line : kUsage)
        std::cout << line << std::endl;
}

void OpenRunLog(int argc, const char* const* argv) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    // A log that cannot be created leaves the stream failed: every write to it
    // then does nothing and the run goes on.
    auto* log = new std::ofstream(LogFileName(local));
    log->precision(0);
    g_Log = log;
    *g_Log << "TARNWELL LOG " << kVersion << std::endl;
    for (int i = 0; i < argc; ++i)
        *g_Log << argv[i] << " ";
    *g_Log << std::endl;
}

void CloseRunLog() {
    std::cout << "Tarnwell " << kVersion << std::endl;
    std::cout << std::endl;
    std::cout << "enjoy using it" << std::endl;
    std::cout << std::endl;
    std::cout << '\a' << std::endl;
    *g_Log << "Tarnwell " << kVersion << std::endl;
    *g_Log << std::endl;
    delete g_Log;
    g_Log = &NullLog();
}

} // namespace

// Both commands need the cluster table before anything else; a drive that
// cannot be opened or whose table cannot be read in full stops the command.
CClusterTable* LoadClusterTable() {
    bool ok = false;
    auto* table = new CClusterTable(g_DriveName, ok);
    if (ok)
        return table;
    const char* what =
        table->IsOpen() ? "cannot read the cluster table of drive " : "cannot open drive ";
    delete table;
    std::cout << what << g_DriveName << std::endl;
    *g_Log << what << g_DriveName << std::endl;
    return nullptr;
}

// After a command that met unreadable sectors: how much was lost, and the
// status that says the run could not read everything.
int ReportUnreadable(int status) {
    if (!g_Unreadable.Any())
        return status;
    g_Unreadable.ReportOpenRun();
    ConsoleAndLog(std::to_string(g_Unreadable.Bytes()) + " bytes in " +
                  std::to_string(g_Unreadable.Places()) +
                  " places could not be read and were replaced by zeros");
    return status == kExitOk ? kExitIncomplete : status;
}

// Runs a command on the drive: the cluster table first, then the table of
// contents with its recordings; torn down in the reverse order. A table of
// contents that cannot be read leaves nothing to run the command on.
int OnDrive(const std::function<int(CPVRDrive&)>& command) {
    g_Unreadable.Clear();
    g_ClusterTable = LoadClusterTable();
    if (g_ClusterTable == nullptr)
        return kExitFailed;
    auto* drive = new CPVRDrive(g_DriveName);
    const int status = drive->IsTocLost() ? kExitFailed : command(*drive);
    delete drive;
    delete g_ClusterTable;
    g_ClusterTable = nullptr;
    return ReportUnreadable(status);
}

namespace {

int DirCommand() {
    return OnDrive([](CPVRDrive& drive) {
        drive.ListFiles();
        return kExitOk;
    });
}

int RipCommand() {
    return OnDrive([](CPVRDrive& drive) {
        CPVRFile* file = drive.GetFile(g_RecordNo);
        if (file == nullptr) {
            ConsoleAndLog("there is no recording in slot " + std::to_string(g_RecordNo) +
                          ", the drive holds " + std::to_string(drive.FileCount()) + " recordings");
            return kExitFailed;
        }
        if (file->IsHeaderLost()) {
            ConsoleAndLog("cannot read the header of recording slot " + std::to_string(g_RecordNo) +
                          " of drive " + g_DriveName);
            return kExitFailed;
        }
        const bool ripped = file->Rip(static_cast<std::uint32_t>(g_StartSeconds),
                                      static_cast<std::uint32_t>(g_LengthSeconds));
        return ripped ? kExitOk : kExitFailed;
    });
}

int RunCommand(int argc, const char* const* argv) {
    if (argc >= 2 && std::string(argv[1]) == "rescue")
        return RescueCommand(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "recover")
        return RecoverCommand(argc, argv);
    if (argc >= 2 && argc != 4 && std::string(argv[1]) == "image")
        return ImageUsage();
    if (argc < 3) {
        PrintUsage();
        return kExitOk;
    }
    g_DriveName = DrivePath(argv[2]);
    const std::string command = argv[1];
    if (command == "image")
        return ImageCommand(argv[3]);
    if (command == "dir") {
        if (argc != 3)
            PrintUsage();
        return DirCommand();
    }
    if (command == "rip" && argc == 5) {
        g_RecordNo = ParseNumber(argv[3]);
        g_LengthSeconds = ParseNumber(argv[4]);
        g_StartSeconds = 0;
        return RipCommand();
    }
    PrintUsage();
    return kExitOk;
}

} // namespace

std::string LogFileName(const std::tm& localTime) {
    char name[64];
    std::snprintf(name, sizeof name, "%.4d%.2d%.2d%.2d%.2d%.2d.log", localTime.tm_year + 1900,
                  localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                  localTime.tm_sec);
    return name;
}

std::int32_t ParseNumber(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text)
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}

std::string DrivePath(const std::string& drivename) {
    if (!drivename.empty() && drivename.back() == ':')
        return "\\\\.\\" + drivename;
    return drivename;
}

int RunTarnwell(int argc, const char* const* argv) {
    OpenRunLog(argc, argv);
    const int status = RunCommand(argc, argv);
    CloseRunLog();
    return status;
}
