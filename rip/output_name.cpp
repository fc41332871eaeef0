// Naming the output files after the recording.
#include "drive/drive.h"

#include <string_view>

std::string CPVRFile::GetOutputName() const {
    // Three characters of the record number, zero-padded: 1 gives 001, -56
    // gives -56 and -128 gives 128.
    const std::string number = "000" + std::to_string(RecordNo());
    std::string name = number.substr(number.size() - 3) + " - " + Clip();
    // Characters that a Windows file name cannot hold become blanks.
    constexpr std::string_view kForbidden = "?\\*\"<>|/:";
    for (char& c : name) {
        if (kForbidden.find(c) != std::string_view::npos)
            c = ' ';
#ifdef _WIN32
        // Nor can it hold control characters, which a broadcast title may
        // carry (a character table selector as its first byte): without this
        // the output files could not be created at all.
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
#endif
    }
    return name;
}
