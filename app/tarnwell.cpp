// Program flow: the run log, the command line, and the dir and rip commands.
#include "app/app.h"
#include "drive/drive.h"
#include "platform/runlog.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

std::string g_CommandLine;

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

bool IsHelpCommand(int argc, const char* const* argv) {
    return argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "help");
}

void OpenRunLog(int argc, const char* const* argv, const std::string& folder) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    // A log that cannot be created leaves the stream failed: every write to it
    // then does nothing and the run goes on.
    auto* log = new std::ofstream(InFolder(folder, LogFileName(local)));
    log->precision(0);
    g_Log = log;
    *g_Log << "TARNWELL LOG " << kVersion << std::endl;
    g_CommandLine.clear();
    for (int i = 0; i < argc; ++i) {
        *g_Log << argv[i] << " ";
        g_CommandLine += (i > 0 ? " " : "") + std::string(argv[i]);
    }
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

// After a command that met unreadable sectors: how much was lost, and the
// status that says the run could not read everything.
int ReportUnreadable(CDriveSession& session, int status) {
    CUnreadableSectors& unreadable = session.Unreadable();
    if (!unreadable.Any())
        return unreadable.Stopped() ? kExitStopped : status;
    unreadable.ReportOpenRun();
    ConsoleAndLog(std::to_string(unreadable.Bytes()) + " bytes in " +
                  std::to_string(unreadable.Places()) +
                  " places could not be read and were replaced by zeros");
    if (unreadable.Stopped())
        return kExitStopped;
    return status == kExitOk ? kExitIncomplete : status;
}

// Runs a command on the drive: the cluster table first, then the table of
// contents with its recordings; torn down in the reverse order. A table of
// contents that cannot be read, or a disk that stopped answering meanwhile,
// leaves nothing to run the command on.
int OnDrive(CDriveSession& session, const std::string& path,
            const std::function<int(CPVRDrive&)>& command) {
    session.Forget();
    session.Open(path);
    if (!session.LoadClusterTable())
        return session.Stopped() ? kExitStopped : kExitFailed;
    int status = kExitFailed;
    {
        CPVRDrive drive(session);
        if (!drive.IsTocLost() && !session.Stopped())
            status = command(drive);
    }
    session.SetClusterTable(nullptr);
    return ReportUnreadable(session, status);
}

namespace {

// The words of rip after the drive.
struct RipArgs {
    std::int32_t recordNo = 0, lengthSeconds = 0, startSeconds = 0;
};

// dir and rip read the drive they name, g_DriveName, through a session;
// their other words are the recording's slot and the seconds to rip.
int DirCommand(CDriveSession& session, const std::string& g_DriveName) {
    return OnDrive(session, g_DriveName, [](CPVRDrive& drive) {
        drive.ListFiles();
        return kExitOk;
    });
}

int RipCommand(CDriveSession& session, const std::string& g_DriveName, const RipArgs& words) {
    const std::int32_t g_RecordNo = words.recordNo;
    const std::int32_t g_LengthSeconds = words.lengthSeconds;
    const std::int32_t g_StartSeconds = words.startSeconds;
    return OnDrive(session, g_DriveName, [&](CPVRDrive& drive) {
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

bool IsRescueCommand(int argc, const char* const* argv) {
    return argc >= 2 && (std::string(argv[1]) == "rescue" || std::string(argv[1]) == "recover");
}

// The output folder of rescue and recover, made when it is missing: "" when
// it can be written, else what is wrong. Tried with a file of its own that
// is removed again.
std::string PrepareFolder(const std::string& folder) {
    if (!PlatMakeFolders(folder))
        return "cannot make the output folder " + folder;
    const std::string probe = InFolder(folder, ".tarnwell-write-test");
    FileHandle handle = kInvalidHandle;
    const bool writable = PlatCreateWrite(probe, handle);
    PlatClose(handle);
    PlatRemove(probe);
    return writable ? "" : "cannot write into the output folder " + folder;
}

// Started by a double-click in Explorer: no arguments, and a console window
// of its own that closes when the program ends.
bool StartedFromExplorer(int argc) {
    return argc == 1 && PlatConsoleOfItsOwn();
}

// One command of the program: its word, its line in the list of commands,
// and what runs it (on the whole command line, and the options of rescue and
// recover, which are read before the run log is opened).
struct Command {
    const char* name;
    const char* line;
    int (*run)(int argc, const char* const* argv, const RescueOptions& options);
};

int DisksWords(int argc, const char* const*, const RescueOptions&) {
    if (argc == 2)
        return DisksCommand();
    std::cout << "Usage:" << std::endl;
    std::cout << "tarnwell disks" << std::endl;
    std::cout << "to list the disks attached, each with what it holds" << std::endl;
    return kExitOk;
}

int DirWords(int argc, const char* const* argv, const RescueOptions&) {
    if (argc < 3) {
        PrintUsage();
        return kExitOk;
    }
    if (argc != 3)
        PrintUsage();
    CDriveSession session;
    return DirCommand(session, DrivePath(argv[2]));
}

int RipWords(int argc, const char* const* argv, const RescueOptions&) {
    if (argc != 5) {
        PrintUsage();
        return kExitOk;
    }
    RipArgs words;
    words.recordNo = ParseNumber(argv[3]);
    words.lengthSeconds = ParseNumber(argv[4]);
    CDriveSession session;
    return RipCommand(session, DrivePath(argv[2]), words);
}

// The commands in the order the list of commands shows them.
const Command kCommands[] = {
    {"disks", "  disks                           list the disks attached and what each holds",
     DisksWords},
    {"rescue", "  rescue drivename [slot ...]     rescue the recordings into one .mpg file each",
     [](int, const char* const*, const RescueOptions& options) { return RescueCommand(options); }},
    {"recover", "  recover drivename               rescue every recording the disk still holds",
     [](int, const char* const*, const RescueOptions& options) { return RecoverCommand(options); }},
    {"dir", "  dir drivename                   list the recordings of the disk", DirWords},
    {"rip", "  rip drivename recordno seconds  rip one recording into its elementary streams",
     RipWords},
    {"image", "  image drivename imagefile       copy what the recordings need into an image",
     [](int argc, const char* const* argv, const RescueOptions&) {
         return argc == 2 ? ImageUsage() : ImageCommand(argc, argv);
     }},
};

// tarnwell --help and tarnwell help: every command on a line of its own.
void PrintCommands() {
    std::cout << "Usage:" << std::endl;
    std::cout << "tarnwell COMMAND ..., the commands being:" << std::endl;
    for (const Command& command : kCommands)
        std::cout << command.line << std::endl;
    std::cout << "  help                            show this" << std::endl;
    std::cout << "tarnwell COMMAND --help gives more on rescue, recover, image and disks;"
              << std::endl;
    std::cout << "tarnwell with no arguments, on dir and rip" << std::endl;
}

int RunCommand(int argc, const char* const* argv, const RescueOptions& options) {
    if (argc >= 2) {
        for (const Command& command : kCommands) {
            if (std::string(argv[1]) == command.name)
                return command.run(argc, argv, options);
        }
    }
    if (IsHelpCommand(argc, argv)) {
        PrintCommands();
        return kExitOk;
    }
    PrintUsage();
    // Someone who double-clicked the program sees the disks as well: the
    // name of the recorder's is what they need first.
    if (StartedFromExplorer(argc)) {
        std::cout << std::endl;
        DisksCommand();
    }
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
    // rescue and recover read their options first: the run log goes into
    // their output folder, and a folder that cannot be written stops them
    // before anything is read.
    RescueOptions options;
    std::string problem;
    if (IsRescueCommand(argc, argv) && ParseRescueOptions(argc, argv, options, problem) &&
        !options.output.empty() && !options.help && !options.words.empty())
        problem = PrepareFolder(options.output);
    OpenRunLog(argc, argv, problem.empty() ? options.output : "");
    int status = kExitFailed;
    if (problem.empty())
        status = RunCommand(argc, argv, options);
    else
        ConsoleAndLog("tarnwell " + std::string(argv[1]) + ": " + problem);
    CloseRunLog();
    if (StartedFromExplorer(argc)) {
        std::cout << "press Enter to close this window" << std::endl;
        std::getchar();
    }
    return status;
}

bool ParseRescueOptions(int argc, const char* const* argv, RescueOptions& options,
                        std::string& error) {
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        auto value = [&](const std::string& name) {
            if (word.size() > name.size() && word.compare(0, name.size() + 1, name + "=") == 0)
                return word.substr(name.size() + 1);
            if (i + 1 < argc)
                return std::string(argv[++i]);
            error = word + " needs a value";
            return std::string();
        };
        if (word == "-o" || word == "--output" || word.rfind("--output=", 0) == 0) {
            options.output = value("--output");
        } else if (word == "--list") {
            options.list = true;
        } else if (word == "--no-index") {
            options.index = false;
        } else if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--split" || word.rfind("--split=", 0) == 0) {
            const std::string size = value("--split");
            char* end = nullptr;
            const unsigned long long number = std::strtoull(size.c_str(), &end, 10);
            const std::string unit = end != nullptr ? end : "";
            const int shift = unit == ""                   ? 0
                              : unit == "K" || unit == "k" ? 10
                              : unit == "M" || unit == "m" ? 20
                              : unit == "G" || unit == "g" ? 30
                                                           : -1;
            options.split =
                shift < 0 || size.empty() || !std::isdigit(static_cast<unsigned char>(size[0]))
                    ? 0
                    : static_cast<std::uint64_t>(number) << shift;
            if (options.split < (std::uint64_t{1} << 20) && error.empty())
                error = "the size of a part must be a number of at least 1M (K, M and G: 1024, "
                        "1024*1024, 1024*1024*1024): " +
                        size;
        } else if (word == "--charset" || word.rfind("--charset=", 0) == 0) {
            const std::string name = value("--charset");
            TextCharset charset;
            if (ParseCharsetName(name, charset))
                options.charset = charset;
            else if (error.empty())
                error = "unknown character table " + name +
                        " for --charset: give one of ISO-6937, ISO-8859-1 to ISO-8859-15 "
                        "(not 12), UTF-8 or UCS-2";
        } else if (word.size() > 1 && word[0] == '-' &&
                   !std::isdigit(static_cast<unsigned char>(word[1]))) {
            error = "unknown option " + word;
        } else {
            options.words.push_back(word);
        }
        if (!error.empty())
            return false;
    }
    return true;
}
