// The titles of the recordings as rescue and recover show them and name
// their files by: the station and the title of a header, read by the coding
// of the broadcast's text into UTF-8.
#include "app/rescue_run.h"
#include "platform/runlog.h"
#include "rip/rip.h"
#include "text/text.h"

namespace {

// The bytes of a field up to its text's end, without the zero bytes that
// pad it; all of them for a two-byte text, whose characters may end in one.
std::string TextBytes(const std::string& field, const DecodedText& text) {
    if (text.charset.table == TextTable::Ucs2)
        return field;
    const std::size_t last = field.find_last_not_of('\0');
    return last == std::string::npos ? "" : field.substr(0, last + 1);
}

// One field's line of the log: the text as read, its bytes and its table,
// and when the text names a table this program does not have, which.
void LogField(int slot, const char* what, const std::string& field, const TitleCharset& charset) {
    const DecodedText text = DecodeDvbText(field, charset);
    *g_Log << "the " << what << " of slot " << slot << ": \"" << text.utf8 << "\" ("
           << HexBytes(TextBytes(field, text)) << ") in " << CharsetName(text.charset) << std::endl;
    if (!text.missingTable.empty())
        *g_Log << "the " << what << " of slot " << slot << " names the character table "
               << text.missingTable << ", which this program does not have: read as "
               << CharsetName(text.charset) << std::endl;
}

// name, or when another recording of this run took it, the name with the
// slot; taken from then on.
std::string Unique(const std::string& base, int slot, std::set<std::string>& taken) {
    std::string name = base + kProgramStreamExtension;
    if (!taken.insert(name).second) {
        name = base + " (slot " + std::to_string(slot) + ")" + kProgramStreamExtension;
        taken.insert(name);
    }
    return name;
}

} // namespace

std::string FileName(const CPVRFile& file, int slot, std::set<std::string>& taken,
                     std::string& formerName, const TitleCharset& charset) {
    LogField(slot, "station", file.StationBytes(), charset);
    LogField(slot, "title", file.ClipBytes(), charset);
    const std::string titled = TitledOutputName(file, TitleOf(file, charset));
    const std::string name = Unique(titled, slot, taken);
    // Earlier versions named the file by the title's bytes.
    const std::string bytes = file.GetOutputName();
    formerName = bytes == titled ? "" : Unique(bytes, slot, taken);
    return name;
}

std::string TitleOf(const CPVRFile& file, const TitleCharset& charset) {
    return DecodeDvbText(file.ClipBytes(), charset).utf8;
}

std::string StationOf(const CPVRFile& file, const TitleCharset& charset) {
    return DecodeDvbText(file.StationBytes(), charset).utf8;
}
