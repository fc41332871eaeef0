// The command-line front end: the program-wide settings of one run, the run
// log and the commands.
#pragma once

#include "platform/platform.h"
#include "platform/runlog.h"
#include "text/text.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CPVRDrive;
class CDriveSession;

extern std::string g_CommandLine; // the words of the run, as the run log's first lines give them

// The build gives TARNWELL_VERSION from the project version in CMakeLists.txt.
#ifndef TARNWELL_VERSION
#error "TARNWELL_VERSION is not defined: build with CMake"
#endif

// After a command that met unreadable sectors of the session's drive: how
// much was lost, and the status that says the run could not read
// everything; kExitStopped, whatever the command's status, when the disk
// stopped answering.
int ReportUnreadable(CDriveSession& session, int status);

// tarnwell image [--survey] DRIVE IMAGE (argv as for RunTarnwell): a rescue
// image of what the recordings need, with its map; where the directory is
// lost, or --survey asks, what a survey of the clusters finds as well.
// ImageUsage: the form of the command.
int ImageCommand(int argc, const char* const* argv);
int ImageUsage();

// "20011224200509.log" for a run started on 24 December 2001 at 20:05:09.
std::string LogFileName(const std::tm& localTime);

// Decimal conversion of a command-line number: leading white space, an
// optional sign, then digits up to the first other character; no digits give 0.
// The value is taken modulo 2^32, so "4294967295" is -1 like "-1".
std::int32_t ParseNumber(const char* text);

// The path that is opened for a drive argument: a drive letter such as g:
// becomes the raw volume \\.\g:, anything else stays as it is.
std::string DrivePath(const std::string& drivename);

// Runs a command on the drive at path, opened in the session with its
// cluster table loaded and its recordings known, and gives the command's
// exit status; unreadable sectors met on the way make a clean status
// kExitIncomplete.
int OnDrive(CDriveSession& session, const std::string& path,
            const std::function<int(CPVRDrive&)>& command);

// The options of rescue and recover, read in one place from the words after
// the command's own, before or after the drive.
struct RescueOptions {
    std::string output;             // -o DIR, --output DIR: the folder of the files and the log
    bool list = false;              // --list: show what would be rescued, write nothing
    bool help = false;              // --help
    std::uint64_t split = 0;        // --split SIZE: the most bytes of a file's part (0: one file)
    bool index = true;              // the page of the run (--no-index: none)
    std::vector<std::string> words; // the drive, then the slots
    // --charset NAME: the table of a title or station that names none.
    std::optional<TextCharset> charset;
};

// The table that rescue and recover read undeclared titles with, from
// --charset (none: as UTF-8 when they are, else ISO/IEC 6937).
using TitleCharset = std::optional<TextCharset>;

// Reads the options of argv[2] on; false with the reason when one is wrong.
bool ParseRescueOptions(int argc, const char* const* argv, RescueOptions& options,
                        std::string& error);

// The rescue command: every recording, or those of the slots given, into one
// program stream each.
int RescueCommand(const RescueOptions& options);

// The recover command: every recording that the disk's data still holds,
// listed or not, found by a survey of its clusters (argv as for RunTarnwell).
int RecoverCommand(const RescueOptions& options);

// The disks command: every disk attached, what it holds, and the command to
// run for each recorder disk; kExitFailed when no disk could be listed.
int DisksCommand();

// Runs the program on its arguments (argv[0] is the program name) and gives
// the exit status.
int RunTarnwell(int argc, const char* const* argv);
