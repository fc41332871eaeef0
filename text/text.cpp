// Reading broadcast text into UTF-8: the selector of the character table in
// the first bytes, then one walk over the bytes in that table.
#include "text/text.h"

#include "text/char_tables.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// The control codes of the single-byte tables, 0x80 to 0x9F, are those of
// the two-byte tables at U+E080 to U+E09F.
constexpr char32_t kControlsInTwoBytes = 0xE000;
constexpr char32_t kLineBreak = 0xE08A;
constexpr std::uint8_t kDefaultFirst = 0x20; // a first byte from here on is text

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsControl(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) ||
           (c >= kControlsInTwoBytes + 0x80 && c <= kControlsInTwoBytes + 0x9F);
}

// One character of the text: a line break becomes a blank, the other control
// codes (emphasis on and off, and those without a meaning) are dropped.
void Put(char32_t c, std::string& out) {
    if (c == kLineBreak)
        c = ' ';
    if (!IsControl(c))
        AppendUtf8(c, out);
}

// The UTF-8 sequence at bytes[at]: its character and length, or length 0
// when it is not well-formed (cut short, overlong, a surrogate, beyond
// U+10FFFF).
struct Utf8Char {
    char32_t c = 0;
    std::size_t length = 0;
};

Utf8Char ReadUtf8(const std::uint8_t* bytes, std::size_t size, std::size_t at) {
    const std::uint8_t lead = bytes[at];
    if (lead < 0x80)
        return {lead, 1};
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > size)
        return {};
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[at + i] & 0xC0) != 0x80)
            return {};
        c = (c << 6) | (bytes[at + i] & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return {};
    return {c, length};
}

} // namespace

std::size_t Utf8CharLength(const std::uint8_t* bytes, std::size_t size, std::size_t at) {
    return ReadUtf8(bytes, size, at).length;
}

namespace {

// Whether bytes are UTF-8 through and through, with at least one character
// beyond ASCII (text in ASCII alone reads the same in every table).
bool IsUtf8(const std::uint8_t* bytes, std::size_t size) {
    bool beyondAscii = false;
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = ReadUtf8(bytes, size, at).length;
        if (length == 0)
            return false;
        beyondAscii = beyondAscii || length > 1;
        at += length;
    }
    return beyondAscii;
}

void DecodeUtf8(const std::uint8_t* bytes, std::size_t size, std::string& out) {
    for (std::size_t at = 0; at < size;) {
        const Utf8Char next = ReadUtf8(bytes, size, at);
        Put(next.length ? next.c : kReplacement, out);
        at += next.length ? next.length : 1;
    }
}

// UCS-2, big-endian; a surrogate pair is taken as the character it makes, as
// UTF-16 has it. The text ends at a zero character; a last byte on its own
// is a character cut short, unless it is the zero of the field's padding.
void DecodeUcs2(const std::uint8_t* bytes, std::size_t size, std::string& out) {
    auto unit = [&](std::size_t at) -> char32_t { return (bytes[at] << 8) | bytes[at + 1]; };
    std::size_t at = 0;
    for (; at + 2 <= size; at += 2) {
        char32_t c = unit(at);
        if (c == 0)
            return;
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && at + 4 <= size && unit(at + 2) >= 0xDC00 && unit(at + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        Put(c, out);
    }
    if (at < size && bytes[at] != 0)
        Put(kReplacement, out);
}

// The character of a byte of 0xA0 and above in a single-byte table.
char32_t Upper(const CharTable& table, std::uint8_t byte) {
    const char16_t c = table[byte - kTableFirst];
    return c != 0 ? c : kReplacement;
}

// An ISO/IEC 6937 accent and what follows it: on a letter the letter with
// the accent, precomposed where Unicode has the letter; before a blank the
// accent alone; before anything else, or at the end, the accent alone and
// the next byte read on its own. Gives the bytes taken after the accent.
std::size_t PutAccented(const Accent& accent, const std::uint8_t* rest, std::size_t left,
                        std::string& out) {
    const std::uint8_t next = left > 0 ? rest[0] : 0;
    const bool ascii = next > ' ' && next < 0x7F;
    const bool upper = next >= kTableFirst && !Iso6937Accent(next) && kIso6937[next - kTableFirst];
    if (!ascii && !upper) {
        Put(accent.spacing, out);
        return next == ' ' ? 1 : 0;
    }
    if (ascii) {
        if (const char* base = std::strchr(accent.bases, next)) {
            Put(accent.composed[base - accent.bases], out);
            return 1;
        }
    }
    Put(ascii ? next : Upper(kIso6937, next), out);
    Put(accent.combining, out);
    return 1;
}

void DecodeSingleByte(const CharTable& table, bool iso6937, const std::uint8_t* bytes,
                      std::size_t size, std::string& out) {
    for (std::size_t at = 0; at < size; ++at) {
        const std::uint8_t byte = bytes[at];
        if (byte == 0)
            return;
        const Accent* accent = iso6937 ? Iso6937Accent(byte) : nullptr;
        if (accent != nullptr)
            at += PutAccented(*accent, bytes + at + 1, size - at - 1, out);
        else if (byte < 0x80)
            Put(byte, out);
        else if (byte < kTableFirst)
            Put(kControlsInTwoBytes + byte, out);
        else
            Put(Upper(table, byte), out);
    }
}

// What the first bytes of a text say of its table: the table, how many
// bytes the selector takes, and the name of a table this program lacks.
struct Selection {
    TextCharset charset;
    std::size_t selectorBytes = 0;
    std::string missingTable;
};

std::string SelectorName(std::uint8_t byte) {
    char name[16];
    std::snprintf(name, sizeof name, "selector 0x%02X", byte);
    return name;
}

Selection Select(const std::uint8_t* bytes, std::size_t size) {
    const std::uint8_t first = bytes[0];
    // 0x01 to 0x07: ISO/IEC 8859-5 to -11; 0x09 to 0x0B: -13 to -15.
    if ((first >= 0x01 && first <= 0x07) || (first >= 0x09 && first <= 0x0B))
        return {{TextTable::Iso8859, first + 4}, 1, ""};
    switch (first) {
    case 0x10: { // 0x10 0x00 NN: ISO/IEC 8859-NN
        if (size < 3)
            return {{}, size, ""};
        const int part = bytes[2];
        if (bytes[1] == 0x00 && Iso8859Table(part) != nullptr)
            return {{TextTable::Iso8859, part}, 3, ""};
        return {{}, 3, bytes[1] == 0x00 ? "ISO/IEC 8859-" + std::to_string(part) : "selector 0x10"};
    }
    case 0x11: // the Basic Multilingual Plane of ISO/IEC 10646
    case 0x14: // its Big5 subset
        return {{TextTable::Ucs2, 0}, 1, ""};
    case 0x12:
        return {{}, 1, "KS X 1001"};
    case 0x13:
        return {{}, 1, "GB 2312"};
    case 0x15:
        return {{TextTable::Utf8, 0}, 1, ""};
    case 0x1F: // an encoding_type_id byte follows
        return {{}, size < 2 ? size : 2, SelectorName(first)};
    default:
        return {{}, 1, SelectorName(first)};
    }
}

void Decode(const TextCharset& charset, const std::uint8_t* bytes, std::size_t size,
            std::string& out) {
    switch (charset.table) {
    case TextTable::Iso6937:
        DecodeSingleByte(kIso6937, true, bytes, size, out);
        return;
    case TextTable::Iso8859: {
        // A part that there is none of reads as the default table.
        const CharTable* table = Iso8859Table(charset.part);
        DecodeSingleByte(table ? *table : kIso6937, table == nullptr, bytes, size, out);
        return;
    }
    case TextTable::Ucs2:
        DecodeUcs2(bytes, size, out);
        return;
    case TextTable::Utf8:
        DecodeUtf8(bytes, size, out);
        return;
    }
}

// The bytes of a field up to its first zero byte.
std::size_t UpToZero(const std::uint8_t* bytes, std::size_t size) {
    const void* zero = std::memchr(bytes, 0, size);
    return zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes) : size;
}

// The marks that combine with the character before them, and the wide
// characters of East Asian scripts, as ranges of code points.
struct Range {
    char32_t first, last;
};
constexpr Range kCombining[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

template <std::size_t N> bool InRanges(const Range (&ranges)[N], char32_t c) {
    for (const Range& range : ranges)
        if (c >= range.first && c <= range.last)
            return true;
    return false;
}

// The columns of the character at utf8[at], and its length in bytes.
struct Column {
    std::size_t width, length;
};

Column ColumnAt(const std::string& utf8, std::size_t at) {
    const Utf8Char next =
        ReadUtf8(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size(), at);
    if (next.length == 0)
        return {1, 1};
    const std::size_t width = InRanges(kCombining, next.c) ? 0 : InRanges(kWide, next.c) ? 2 : 1;
    return {width, next.length};
}

} // namespace

bool operator==(const TextCharset& a, const TextCharset& b) {
    return a.table == b.table && a.part == b.part;
}

DecodedText DecodeDvbText(const std::uint8_t* bytes, std::size_t size,
                          const std::optional<TextCharset>& undeclared) {
    DecodedText text;
    if (size == 0)
        return text;
    Selection selection;
    if (bytes[0] >= kDefaultFirst) {
        if (undeclared)
            selection.charset = *undeclared;
        else if (IsUtf8(bytes, UpToZero(bytes, size)))
            selection.charset = {TextTable::Utf8, 0};
    } else {
        selection = Select(bytes, size);
    }
    text.charset = selection.charset;
    text.missingTable = selection.missingTable;
    Decode(text.charset, bytes + selection.selectorBytes, size - selection.selectorBytes,
           text.utf8);
    return text;
}

DecodedText DecodeDvbText(const std::string& bytes, const std::optional<TextCharset>& undeclared) {
    return DecodeDvbText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                         undeclared);
}

bool ParseCharsetName(const std::string& name, TextCharset& charset) {
    std::string key;
    for (const char c : name)
        if (c != '-' && c != '_' && c != ' ' && c != '/')
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* prefix : {"ISO", "IEC"})
        if (key.rfind(prefix, 0) == 0)
            key.erase(0, 3);
    // The Latin alphabets by their numbers, and the other parts of ISO/IEC
    // 8859 by their scripts.
    static const struct {
        const char* name;
        int part;
    } kAliases[] = {{"LATIN1", 1}, {"LATIN2", 2},  {"LATIN3", 3},  {"LATIN4", 4}, {"CYRILLIC", 5},
                    {"ARABIC", 6}, {"GREEK", 7},   {"HEBREW", 8},  {"LATIN5", 9}, {"LATIN6", 10},
                    {"THAI", 11},  {"LATIN7", 13}, {"LATIN8", 14}, {"LATIN9", 15}};
    for (const auto& alias : kAliases)
        if (key == alias.name)
            key = "8859" + std::to_string(alias.part);
    if (key == "6937") {
        charset = {TextTable::Iso6937, 0};
    } else if (key == "UTF8") {
        charset = {TextTable::Utf8, 0};
    } else if (key == "UCS2" || key == "UCS2BE" || key == "UTF16BE") {
        charset = {TextTable::Ucs2, 0};
    } else if (key.size() > 4 && key.size() <= 6 && key.compare(0, 4, "8859") == 0 &&
               std::isdigit(static_cast<unsigned char>(key[4])) &&
               std::isdigit(static_cast<unsigned char>(key.back()))) {
        const int part = std::stoi(key.substr(4));
        if (Iso8859Table(part) == nullptr || key[4] == '0')
            return false;
        charset = {TextTable::Iso8859, part};
    } else {
        return false;
    }
    return true;
}

std::string CharsetName(const TextCharset& charset) {
    switch (charset.table) {
    case TextTable::Iso6937:
        return "ISO/IEC 6937";
    case TextTable::Iso8859:
        return "ISO/IEC 8859-" + std::to_string(charset.part);
    case TextTable::Ucs2:
        return "UCS-2";
    case TextTable::Utf8:
        return "UTF-8";
    }
    return "";
}

std::size_t TextWidth(const std::string& utf8) {
    std::size_t width = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const Column column = ColumnAt(utf8, at);
        width += column.width;
        at += column.length;
    }
    return width;
}

std::string FitToWidth(const std::string& utf8, std::size_t width) {
    std::size_t used = 0, at = 0;
    while (at < utf8.size()) {
        const Column column = ColumnAt(utf8, at);
        if (used + column.width > width)
            break;
        used += column.width;
        at += column.length;
    }
    return utf8.substr(0, at) + std::string(width - used, ' ');
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            hex += ' ';
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

std::string HexBytes(const std::string& bytes) {
    return HexBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}
