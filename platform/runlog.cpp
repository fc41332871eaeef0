#include "platform/runlog.h"

#include <iostream>

std::ostream& NullLog() {
    static std::ostream discard(nullptr);
    return discard;
}

std::ostream* g_Log = &NullLog();

void ConsoleAndLog(const std::string& line) {
    ConsoleAndLog(std::cout, line);
}

void ConsoleAndLog(std::ostream& console, const std::string& line) {
    console << line << std::endl;
    *g_Log << line << std::endl;
}
