// Naming the output files after the recording.
#include "drive/drive.h"
#include "rip/rip.h"

#include <string_view>

namespace {

// Three characters of the record number, zero-padded: 1 gives 001, -56 gives
// -56 and -128 gives 128; then the title, after " - ".
std::string NumberedName(int recordNo, const std::string& title) {
    const std::string number = "000" + std::to_string(recordNo);
    return number.substr(number.size() - 3) + " - " + title;
}

// The characters that a Windows file name cannot hold become blanks; with
// controls, the control characters (below 0x20) too.
void BlankForbidden(std::string& name, bool controls) {
    constexpr std::string_view kForbidden = "?\\*\"<>|/:";
    for (char& c : name) {
        if (kForbidden.find(c) != std::string_view::npos ||
            (controls && static_cast<unsigned char>(c) < 0x20))
            c = ' ';
    }
}

} // namespace

std::string CPVRFile::GetOutputName() const {
    std::string name = NumberedName(RecordNo(), Clip());
    // On Windows the control characters too, which a broadcast title may
    // carry (a character table selector as its first byte): without this the
    // output files could not be created at all.
#ifdef _WIN32
    BlankForbidden(name, true);
#else
    BlankForbidden(name, false);
#endif
    return name;
}

std::string TitledOutputName(const CPVRFile& file, const std::string& title) {
    std::string name = NumberedName(file.RecordNo(), title);
    BlankForbidden(name, true);
    return name;
}
