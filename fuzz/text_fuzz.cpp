// The text decoder on arbitrary header bytes: read as the broadcast says,
// and with each kind of table forced. What comes out is UTF-8 without control
// codes (reading it again as UTF-8 changes nothing), and fitting it to a
// width gives that width.
#include "text/text.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<TextCharset> tables[] = {
        std::nullopt,
        TextCharset{TextTable::Iso6937, 0},
        TextCharset{TextTable::Iso8859, 5},
        TextCharset{TextTable::Ucs2, 0},
        TextCharset{TextTable::Utf8, 0},
    };
    for (const std::optional<TextCharset>& table : tables) {
        const std::string utf8 = DecodeDvbText(data, size, table).utf8;
        if (DecodeDvbText("\x15" + utf8).utf8 != utf8)
            std::abort();
        const std::size_t width = size % 64;
        if (TextWidth(FitToWidth(utf8, width)) != width)
            std::abort();
    }
    return 0;
}
