// Broadcast text read into UTF-8: vectors from the character tables of the
// standards, the selectors, the control codes and damaged text.
#include "text/text.h"

#include <gtest/gtest.h>

namespace {

const TextCharset k6937{TextTable::Iso6937, 0};
const TextCharset kUtf8{TextTable::Utf8, 0};
const TextCharset kUcs2{TextTable::Ucs2, 0};
TextCharset Iso8859(int part) {
    return {TextTable::Iso8859, part};
}

struct Vector {
    std::string bytes, utf8;
    TextCharset charset;
};

TEST(DvbText, EachSingleByteTableByItsSelector) {
    using namespace std::string_literals;
    const Vector vectors[] = {
        {"\x10\x00\x01\xE9t\xE9"s, "été", Iso8859(1)},
        {"\x10\x00\x02\xA3\xF3\x64\xBC"s, "Łódź", Iso8859(2)},
        {"\x10\x00\x03\xC5\xF5"s, "Ċġ", Iso8859(3)},
        {"\x10\x00\x04\xA2\xEF"s, "ĸī", Iso8859(4)},
        {"\x01\xBD\xDE\xD2\xDE\xE1\xE2\xD8", "Новости", Iso8859(5)},
        {"\x02\xC7\xE4", "ال", Iso8859(6)},
        {"\x03\xC5\xC9\xC4\xC7\xD3\xC5\xC9\xD3\xA4", "ΕΙΔΗΣΕΙΣ€", Iso8859(7)},
        {"\x04\xF9\xEC\xE5\xED", "שלום", Iso8859(8)},
        {"\x05\xDEimdi De\xF0il", "Şimdi Değil", Iso8859(9)},
        {"\x10\x00\x09\xDE\xFD"s, "Şı", Iso8859(9)},
        {"\x06\xAF\xBF", "Ŋŋ", Iso8859(10)},
        {"\x07\xA1", "ก", Iso8859(11)},
        {"\x09\xD0\xE0", "Šą", Iso8859(13)},
        {"\x0A\xD0\xF0", "Ŵŵ", Iso8859(14)},
        {"\x0B\xA4\xBC", "€Œ", Iso8859(15)},
        {"Tagesschau \xC8\x41rger \xA4 5", "Tagesschau Ärger € 5", k6937},
        {"\xA6\xA8\xD0\xE8\xFB", "#¤―Łß", k6937},
    };
    for (const Vector& v : vectors) {
        const DecodedText text = DecodeDvbText(v.bytes);
        EXPECT_EQ(text.utf8, v.utf8) << HexBytes(v.bytes);
        EXPECT_TRUE(text.charset == v.charset) << HexBytes(v.bytes);
        EXPECT_EQ(text.missingTable, "") << HexBytes(v.bytes);
    }
}

TEST(DvbText, Iso6937AccentsComposeOntoTheFollowingLetter) {
    const std::tuple<char, char, const char*> accents[] = {
        {'\xC1', 'a', "à"},
        {'\xC2', 'e', "é"},
        {'\xC3', 'o', "ô"},
        {'\xC4', 'n', "ñ"},
        {'\xC5', 'a', "ā"},
        {'\xC6', 'g', "ğ"},
        {'\xC7', 'Z', "Ż"},
        {'\xC8', 'u', "ü"},
        {'\xCA', 'a', "å"},
        {'\xCB', 'c', "ç"},
        {'\xCD', 'o', "ő"},
        {'\xCE', 'e', "ę"},
        {'\xCF', 's', "š"},
        // No precomposed letter: the letter and the combining mark.
        {'\xC8', 'q', "q\u0308"},
        {'\xC2', '\xE9', "Ø\u0301"},
        // Before a blank or what is no letter: the accent alone.
        {'\xC2', ' ', "´"},
        {'\xC3', '\x8A', "^ "},
        // 0xC9 and 0xCC are no accents, 0xC0 no character.
        {'\xC9', '\xCC', "\uFFFD\uFFFD"},
        {'\xC0', 'x', "\uFFFDx"},
    };
    // Read as ISO/IEC 6937 by force: an accent before a byte of 0x80 to 0xBF
    // is also UTF-8.
    for (const auto& [accent, letter, utf8] : accents)
        EXPECT_EQ(DecodeDvbText(std::string{accent, letter}, k6937).utf8, utf8)
            << HexBytes({accent, letter});
    EXPECT_EQ(DecodeDvbText("x\xCF").utf8, "xˇ");
}

TEST(DvbText, ControlCodesAndTwoByteTables) {
    using namespace std::string_literals;
    const Vector vectors[] = {
        // Emphasis on and off dropped, the line break a blank.
        {"\x86News\x87\x8A\x01Wetter\x9F", "News Wetter", k6937},
        {"\x11\x00N\xE0\x86\x00o\xE0\x87\xE0\x8A\x04\x1F"s, "No П", kUcs2},
        {"\x14\x4E\x2D\x65\x87", "中文", kUcs2},
        {"\x11\xD8\x3D\xDE\x00\xD8\x3D"s, "😀\uFFFD", kUcs2},
        {"\x15Stra\xC3\x9F\x65\xEE\x82\x8A\xC2\x86!", "Straße !", kUtf8},
        // Well-formed UTF-8 without a selector is taken as UTF-8.
        {"Stra\xC3\x9F\x65", "Straße", kUtf8},
        // The field's padding ends the text.
        {"ABC\0\xC8X"s, "ABC", k6937},
        {"\x11\x00\x41\x00\x00\x00\x42"s, "A", kUcs2},
        {"\x11\x00\x41\x00"s, "A", kUcs2},
        // Damaged text: a character cut short, bytes that are not UTF-8, a
        // selector without its bytes.
        {"\x11\x00\x41\x42"s, "A\uFFFD", kUcs2},
        {"\x15\x41\xC3(\xE2\x82", "A\uFFFD(\uFFFD\uFFFD", kUtf8},
        {"\x10\x00"s, "", k6937},
        {"\x10", "", k6937},
        {"", "", k6937},
    };
    for (const Vector& v : vectors) {
        const DecodedText text = DecodeDvbText(v.bytes);
        EXPECT_EQ(text.utf8, v.utf8) << HexBytes(v.bytes);
        EXPECT_TRUE(text.charset == v.charset) << HexBytes(v.bytes);
    }
}

TEST(DvbText, TableThatIsNotThereReadsAsTheDefaultAndSaysSo) {
    using namespace std::string_literals;
    const std::pair<std::string, std::string> vectors[] = {
        {"\x13\xB0\xA1", "GB 2312"},
        {"\x12\xB0\xA1", "KS X 1001"},
        {"\x10\x00\x0C\xB0\xA1"s, "ISO/IEC 8859-12"},
        {"\x08\xB0\xA1", "selector 0x08"},
        {"\x1F\x01\xB0\xA1", "selector 0x1F"},
    };
    for (const auto& [bytes, missing] : vectors) {
        const DecodedText text = DecodeDvbText(bytes);
        EXPECT_EQ(text.missingTable, missing) << HexBytes(bytes);
        EXPECT_EQ(text.utf8, "°¡") << HexBytes(bytes);
        EXPECT_TRUE(text.charset == k6937) << HexBytes(bytes);
    }
}

TEST(DvbText, ForcedTableReadsUndeclaredTextOnly) {
    TextCharset latin9;
    ASSERT_TRUE(ParseCharsetName("ISO-8859-15", latin9));
    EXPECT_EQ(DecodeDvbText("\xA4 5", latin9).utf8, "€ 5");
    EXPECT_EQ(DecodeDvbText("\x05\xDE", latin9).utf8, "Ş");
    // Forced, the default table is not taken for UTF-8.
    EXPECT_EQ(DecodeDvbText("Stra\xC3\x9F\x65", k6937).utf8, "Stra^e");
}

TEST(DvbText, CharsetNamesAsPeopleWriteThem) {
    const std::pair<const char*, TextCharset> known[] = {
        {"ISO-8859-15", Iso8859(15)},
        {"iso8859_9", Iso8859(9)},
        {"ISO 8859-1", Iso8859(1)},
        {"8859-13", Iso8859(13)},
        {"Latin-9", Iso8859(15)},
        {"latin5", Iso8859(9)},
        {"ISO6937", k6937},
        {"ISO/IEC 6937", k6937},
        {"utf8", kUtf8},
        {"UTF-8", kUtf8},
        {"UCS-2", kUcs2},
        {"UTF-16BE", kUcs2},
    };
    for (const auto& [name, charset] : known) {
        TextCharset parsed;
        EXPECT_TRUE(ParseCharsetName(name, parsed)) << name;
        EXPECT_TRUE(parsed == charset) << name;
    }
    for (const char* unknown :
         {"", "ISO-8859-12", "ISO-8859-16", "ISO-8859-01", "8859", "KOI8-R"}) {
        TextCharset parsed;
        EXPECT_FALSE(ParseCharsetName(unknown, parsed)) << unknown;
    }
    EXPECT_EQ(CharsetName(Iso8859(9)), "ISO/IEC 8859-9");
    EXPECT_EQ(CharsetName(k6937), "ISO/IEC 6937");
}

TEST(TextColumns, WidthAndFitCountCharactersNotBytes) {
    EXPECT_EQ(TextWidth("Ärger"), 5u);
    EXPECT_EQ(TextWidth("e\u0301"), 1u);
    EXPECT_EQ(TextWidth("中文"), 4u);
    EXPECT_EQ(TextWidth("\xFF\xC3"), 2u);
    const std::tuple<std::string, std::size_t, std::string> fits[] = {
        {"Ärger", 7, "Ärger  "},    {"Ärger", 3, "Ärg"}, {"中文", 3, "中 "},
        {"e\u0301x", 1, "e\u0301"}, {"", 2, "  "},
    };
    for (const auto& [text, width, fitted] : fits)
        EXPECT_EQ(FitToWidth(text, width), fitted) << text << " " << width;
}

TEST(TextColumns, HexBytesForTheReport) {
    EXPECT_EQ(HexBytes("\x05\xDEi"), "05 DE 69");
    EXPECT_EQ(HexBytes(""), "");
}

} // namespace
