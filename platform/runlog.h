// The run log that every subsystem writes to. main creates the log file and
// points g_Log at it; until then, and after it is closed, g_Log points at a
// stream that drops everything, so a message never goes through a null pointer.
#pragma once

#include <ostream>
#include <string>

// The version as the banner, the run log's header and the reports show it:
// "v" and the project version.
constexpr const char* kVersion = "v" TARNWELL_VERSION;

extern std::ostream* g_Log;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitIncomplete = 2; // ran to its end, but sectors could not be read
constexpr int kExitStopped = 3;    // stopped because the disk stopped answering

// The stream that drops everything written to it.
std::ostream& NullLog();

// A line for the user, on the console and in the log alike; the console
// being another stream where a caller shows its own lines.
void ConsoleAndLog(const std::string& line);
void ConsoleAndLog(std::ostream& console, const std::string& line);
