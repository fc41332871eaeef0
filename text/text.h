// The text of a broadcast: the station and the title that the recorder copies
// into a recording's header from the event information of the DVB broadcast.
// Such a text names its character table in its first bytes (or names none and
// is then in the default table, ISO/IEC 6937 with the euro sign), and may hold
// the control codes of the broadcast. This subsystem reads it into Unicode,
// in UTF-8, and measures and fits UTF-8 text to columns by characters. It
// reads untrusted bytes: any input gives a text, never a read outside it.
// This header is what the other subsystems may use of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The character tables that a text can be read with.
enum class TextTable {
    Iso6937, // ISO/IEC 6937 with the euro sign at 0xA4: the default table
    Iso8859, // ISO/IEC 8859, the part in TextCharset::part
    Ucs2,    // ISO/IEC 10646, two bytes a character, big-endian
    Utf8,    // ISO/IEC 10646 in UTF-8
};

// One character table: the table, and for ISO/IEC 8859 its part (1 to 11, 13
// to 15).
struct TextCharset {
    TextTable table = TextTable::Iso6937;
    int part = 0;
};

bool operator==(const TextCharset& a, const TextCharset& b);

// A text as it was read.
struct DecodedText {
    // The characters in UTF-8; the control codes dropped, a line break (0x8A,
    // U+E08A) made a blank, a code without a character U+FFFD.
    std::string utf8;
    // The table the characters were read with.
    TextCharset charset;
    // The table the text named when this program does not have it ("GB 2312",
    // "KS X 1001", "selector 0x08"): the text after the selector was then read
    // with the default table. Empty when the text was read as it said.
    std::string missingTable;
};

// Reads a text of size bytes, as a fixed-size field of a header holds it: it
// ends at its first zero byte (at its first pair of zero bytes in UCS-2), or
// at the field's end. A text that names its table is read with it. A text
// that names none is read as UTF-8 when it is well-formed UTF-8, else with the
// default table; `undeclared`, when given, is the table of such a text
// instead (a station that sends undeclared text in a table of its own).
DecodedText DecodeDvbText(const std::uint8_t* bytes, std::size_t size,
                          const std::optional<TextCharset>& undeclared = std::nullopt);
DecodedText DecodeDvbText(const std::string& bytes,
                          const std::optional<TextCharset>& undeclared = std::nullopt);

// The table of a name as a person writes it ("ISO-8859-15", "iso8859_9",
// "Latin-9", "ISO6937", "UTF-8", "UCS-2"): upper or lower case, with or
// without the blanks, hyphens and underscores. False when no table has the
// name.
bool ParseCharsetName(const std::string& name, TextCharset& charset);

// The name of a table as messages give it: "ISO/IEC 6937", "ISO/IEC 8859-9",
// "UCS-2", "UTF-8".
std::string CharsetName(const TextCharset& charset);

// The length in bytes of the well-formed UTF-8 character that begins at
// bytes[at] (1 for ASCII, controls included); 0 where none begins there: a
// stray continuation byte, a character cut short, an overlong form, a
// surrogate or a code beyond U+10FFFF. The one reader of UTF-8 that every
// writer of text checks what it writes with.
std::size_t Utf8CharLength(const std::uint8_t* bytes, std::size_t size, std::size_t at);

// How many columns a UTF-8 text takes on a console: one a character, none for
// a combining mark, two for a wide East Asian character; a byte that is not
// UTF-8 takes one.
std::size_t TextWidth(const std::string& utf8);

// The text made width columns wide: cut after the last whole character that
// fits (with the marks that combine with it), then filled with blanks.
std::string FitToWidth(const std::string& utf8, std::size_t width);

// Bytes as a person reads them in a report: two upper-case hexadecimal digits
// a byte, a blank between ("05 DE 69").
std::string HexBytes(const std::uint8_t* bytes, std::size_t size);
std::string HexBytes(const std::string& bytes);
