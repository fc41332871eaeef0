#include "platform/runlog.h"

#include <iostream>

std::ostream& NullLog() {
    static std::ostream discard(nullptr);
    return discard;
}

std::ostream* g_Log = &NullLog();

void ConsoleAndLog(const std::string& line) {
    std::cout << line << std::endl;
    *g_Log << line << std::endl;
}
