#include "platform/runlog.h"

std::ostream& NullLog() {
    static std::ostream discard(nullptr);
    return discard;
}

std::ostream* g_Log = &NullLog();
