// The titles of the recordings as rescue and recover show them and name
// their files by.
#include "app/rescue_run.h"
#include "rip/rip.h"

std::string FileName(const CPVRFile& file, int slot, std::set<std::string>& taken) {
    std::string name = file.GetOutputName() + kProgramStreamExtension;
    if (!taken.insert(name).second) {
        name =
            file.GetOutputName() + " (slot " + std::to_string(slot) + ")" + kProgramStreamExtension;
        taken.insert(name);
    }
    return name;
}

std::string TitleOf(const CPVRFile& file) {
    return file.Clip();
}

std::string StationOf(const CPVRFile& file) {
    return file.Station();
}
