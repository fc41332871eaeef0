// The run log that every subsystem writes to. main creates the log file and
// points g_Log at it; until then, and after it is closed, g_Log points at a
// stream that drops everything, so a message never goes through a null pointer.
#pragma once

#include <ostream>

extern std::ostream* g_Log;

// The stream that drops everything written to it.
std::ostream& NullLog();
