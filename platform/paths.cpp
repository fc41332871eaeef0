// Names of files, the same on every system: the program joins them with '/',
// which Windows takes as well as '\\'.
#include "platform/platform.h"

std::string InFolder(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    const char last = folder.back();
    return last == '/' || last == '\\' || last == ':' ? folder + name : folder + "/" + name;
}
