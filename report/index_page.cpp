// The page of a run, written from the run's results. Each row lies between
// two comments, "<!-- recording: FILE -->" and "<!-- end -->", FILE being
// the link to its (first) file; a later run finds the row of a file it kept
// there and reads it back with the same layout it was written in.
#include "report/report.h"

#include "platform/platform.h"
#include "platform/runlog.h"
#include "rip/rip.h"
#include "text/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>

namespace {

// A picture as the page shows it: its time, and its PNG as base64 with the
// size it has; without a PNG it is an empty place.
struct Shown {
    double seconds = 0;
    std::string png;
    int width = 0, height = 0;
};

// What a row shows beyond the texts of its recording. For a file kept from
// an earlier run, from that run's page: `written` is the result of the run
// that wrote the file ("ok" or "incomplete"; empty when it is not known).
struct RowFacts {
    std::vector<Shown> pictures;
    std::uint64_t bytes = 0, unreadable = 0;
    double minutes = 0;
    std::string written;
};

// The size of an empty place in a row without any picture: a 4:3 picture of
// a PAL recording, a quarter of its size.
constexpr int kEmptyWidth = 192, kEmptyHeight = 144;
// A picture's size on the page, each way, at most; and the most pictures
// read back from a row of an earlier page.
constexpr std::uint64_t kLargestSide = 1024;
constexpr std::size_t kMostPictures = 64;
// An earlier page larger than this is not read back.
constexpr std::uint64_t kLargestOldPage = std::uint64_t{512} << 20;

constexpr const char* kRowBegin = "<!-- recording: ";
constexpr const char* kRowEnd = "<!-- end -->\n";
constexpr const char* kPngData = "data:image/png;base64,";
// The base64 of the eight bytes that begin every PNG file.
constexpr const char* kPngSignature64 = "iVBORw0KGgo";
constexpr const char* kBase64Digits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The length of the well-formed UTF-8 character of two to four bytes at p;
// 1 for ASCII and for a byte that begins none.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    return std::max<std::size_t>(Utf8CharLength(p, left, 0), 1);
}

// Text from the disk or the command line as the page holds it: & < > " '
// escaped, control characters left out (a broadcast title may begin with a
// character table selector) and a byte that begins no well-formed UTF-8
// character read as Latin-1. Every such text of the page goes through here.
std::string Html(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8Length(p + i, text.size() - i);
        const unsigned char c = p[i];
        if (n > 1)
            out.append(text, i, n);
        else if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (c == '\'')
            out += "&#39;";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else if (c >= 0xA0) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        i += n;
    }
    return out;
}

// A file's name as a relative URL: every byte but letters, digits and
// - . _ ~ ( ) percent-encoded, so that blanks, '#', '%', '?', a ':' that
// would read as a scheme and bytes beyond ASCII reach the file as they are.
// It holds nothing that HTML or a comment gives a meaning.
std::string UrlPath(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            std::string_view("-._~()").find(ch) != std::string_view::npos) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// The name of a file without its folder: the page lies beside the files.
std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        // Three bytes, 24 bits, as four digits of six bits.
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        v |= n > 1 ? std::uint32_t{bytes[i + 1]} << 8 : 0;
        v |= n > 2 ? bytes[i + 2] : 0;
        out += kBase64Digits[v >> 18 & 63];
        out += kBase64Digits[v >> 12 & 63];
        out += n > 1 ? kBase64Digits[v >> 6 & 63] : '=';
        out += n > 2 ? kBase64Digits[v & 63] : '=';
    }
    return out;
}

// A time in the recording, m:ss or h:mm:ss.
std::string Clock(double seconds) {
    return TimeText(seconds);
}

// The picture as the page shows it: the grabber made its PNG in its display
// shape.
Shown ShowPicture(const CPictureAt& picture) {
    Shown shown;
    shown.seconds = picture.seconds;
    if (picture.png.empty())
        return shown;
    shown.png = Base64(picture.png);
    shown.width = picture.width;
    shown.height = picture.height;
    return shown;
}

bool Failed(const std::string& result) {
    return result.compare(0, 6, "failed") == 0;
}

// The class of a result, for its colour.
std::string ResultClass(const std::string& result) {
    if (result == "ok" || result == "incomplete" || result == "kept")
        return result;
    return Failed(result) ? "failed" : "other";
}

void Item(std::string& out, const char* name, const std::string& html) {
    out += "    <dt>";
    out += name;
    out += "</dt><dd>" + html + "</dd>\n";
}

void WritePictures(std::string& out, const std::vector<Shown>& pictures) {
    if (pictures.empty())
        return;
    // An empty place has the size of the row's pictures.
    const auto made = std::find_if(pictures.begin(), pictures.end(),
                                   [](const Shown& p) { return !p.png.empty(); });
    const int width = made != pictures.end() ? made->width : kEmptyWidth;
    const int height = made != pictures.end() ? made->height : kEmptyHeight;
    out += "  <div class=\"pictures\">\n";
    for (const Shown& p : pictures) {
        const std::string time = Clock(p.seconds);
        out += "    <figure>";
        if (p.png.empty())
            out += "<span class=\"empty\" style=\"width: " + std::to_string(width) +
                   "px; height: " + std::to_string(height) + "px\"></span>";
        else
            out += "<img src=\"" + std::string(kPngData) + p.png + "\" width=\"" +
                   std::to_string(p.width) + "\" height=\"" + std::to_string(p.height) +
                   "\" alt=\"picture at " + time + "\">";
        out += "<figcaption>" + time + "</figcaption></figure>\n";
    }
    out += "  </div>\n";
}

// Where on the recording's time line a time lies, in percent of its length.
std::string Percent(double seconds, double length) {
    const double at = length > 0 ? std::min(100.0, std::max(0.0, 100 * seconds / length)) : 0;
    return Format("%.2f", at);
}

// Under the pictures: why there are none, then a bar as long as the
// recording with a mark where bytes could not be read (red), where zeros
// were left out (grey) and where its beginning was lost, and the same in
// words. One block, ended by its own comment, which a later run passes over.
void WriteTimeLine(std::string& out, const PageRecording& r) {
    const bool beginLost = r.from.find("its beginning lost") != std::string::npos;
    if (r.noPictures.empty() && r.damage.empty() && !beginLost)
        return;
    out += "  <div class=\"timeline\">\n";
    if (!r.noPictures.empty())
        out += "    <p class=\"nopictures\">No pictures: " + Html(r.noPictures) + ".</p>\n";
    const double length = r.minutes * 60;
    if (length > 0 && (!r.damage.empty() || beginLost)) {
        out += "    <div class=\"bar\">";
        if (beginLost)
            out += "<span class=\"lost\" style=\"left: 0%\" title=\"its beginning lost\"></span>";
        for (const RecordingDamage& d : r.damage) {
            const std::string left = Percent(d.from, length);
            const double width = std::max(0.4, std::stod(Percent(d.to, length)) - std::stod(left));
            out +=
                "<span class=\"" +
                std::string(d.kind == RecordingDamage::Kind::Unreadable ? "unreadable" : "zeros") +
                "\" style=\"left: " + left + "%; width: " + Format("%.2f", width) + "%\" title=\"" +
                Html(DamageText(d)) + "\"></span>";
        }
        out += "</div>\n";
    }
    if (beginLost)
        out += "    <p>0:00:00: its beginning was lost (its first clusters hold later data)</p>\n";
    for (const RecordingDamage& d : r.damage)
        out += "    <p>" + Html(DamageText(d)) + "</p>\n";
    out += "  </div><!-- time line -->\n";
}

std::string ResultText(const PageRecording& r, const RowFacts& facts) {
    std::string text = Html(r.result);
    if (r.result == "kept")
        text += facts.written.empty() ? ": the file was complete already"
                                      : ": written by an earlier run, " + facts.written;
    if (facts.unreadable > 0)
        text += ", " + std::to_string(facts.unreadable) + " bytes could not be read";
    return text;
}

void WriteRow(std::string& out, const PageRun& run, const PageRecording& r, const RowFacts& facts) {
    const std::string key = r.files.empty() ? "" : UrlPath(BaseName(r.files[0]));
    out += key.empty() ? "<!-- recording without a file -->\n" : kRowBegin + key + " -->\n";
    out += "<section class=\"recording\" data-bytes=\"" + std::to_string(facts.bytes) +
           "\" data-unreadable=\"" + std::to_string(facts.unreadable) + "\" data-minutes=\"" +
           Format("%.1f", facts.minutes) + "\"";
    if (!facts.written.empty())
        out += " data-written=\"" + facts.written + "\"";
    out += ">\n";
    // Without a title, where the recording was found stands in its place.
    const std::string& heading = !r.title.empty() ? r.title : r.from;
    out += "  <h2><span class=\"label\">" +
           std::string(run.command == "recover" ? "no. " : "slot ") + Html(r.label) + "</span> " +
           (heading.empty() ? "(no title)" : Html(heading)) + "</h2>\n";
    WritePictures(out, facts.pictures);
    WriteTimeLine(out, r);
    out += "  <dl>\n";
    if (!r.station.empty())
        Item(out, "station", Html(r.station));
    if (!r.date.empty())
        Item(out, "date", Html(r.date));
    if (!r.length.empty())
        Item(out, "length", Html(r.length));
    if (!r.from.empty() && !r.title.empty())
        Item(out, "from", Html(r.from));
    std::string links;
    for (const std::string& file : r.files) {
        const std::string name = BaseName(file);
        links += std::string(links.empty() ? "" : "<br>\n        ") + "<a href=\"" + UrlPath(name) +
                 "\">" + Html(name) + "</a>";
    }
    Item(out, r.files.size() > 1 ? "files" : "file", links.empty() ? "none" : links);
    if (facts.bytes > 0 || facts.minutes > 0)
        Item(out, "size",
             Format("%.1f MB", static_cast<double>(facts.bytes) / 1e6) + ", " +
                 Format("%.1f", facts.minutes) + " minutes");
    Item(out, "result",
         "<span class=\"result " + ResultClass(r.result) + "\">" + ResultText(r, facts) +
             "</span>");
    out += "  </dl>\n</section>\n";
    out += kRowEnd;
}

const char* const kStyle = R"(<style>
body { font-family: sans-serif; color: #222; background: #fff; margin: 1.5em; }
h1 { font-size: 1.5em; margin: 0 0 0.3em; }
header p { margin: 0.2em 0; }
section.recording { border-top: 1px solid #bbb; padding: 0.8em 0; break-inside: avoid; }
h2 { font-size: 1.15em; margin: 0 0 0.5em; }
h2 .label { color: #666; font-weight: normal; margin-right: 0.4em; }
.pictures { display: flex; flex-wrap: wrap; gap: 6px; margin-bottom: 0.6em; }
figure { margin: 0; font-size: 0.85em; color: #555; text-align: center; }
figure img, figure .empty { display: block; }
.empty { background: #ddd; border: 1px solid #ccc; box-sizing: border-box; }
dl { display: grid; grid-template-columns: max-content auto; gap: 0.15em 1em; margin: 0; }
dt { color: #666; }
dd { margin: 0; }
dd a { white-space: pre-wrap; }
.result.ok { color: #161; }
.result.incomplete { color: #a50; }
.result.failed { color: #b11; }
.timeline { margin: 0 0 0.6em; font-size: 0.9em; }
.timeline p { margin: 0.15em 0; }
.bar { position: relative; height: 12px; background: #cfe3cf; border: 1px solid #999; max-width: 60em; }
.bar span { position: absolute; top: 0; bottom: 0; }
.bar .unreadable { background: #c22; }
.bar .zeros { background: #777; }
.bar .lost { width: 6px; background: #e80; }
footer { border-top: 1px solid #bbb; padding-top: 0.5em; color: #666; font-size: 0.85em; }
</style>
)";

// The totals of the page's heading.
struct Totals {
    std::uint64_t recordings = 0, bytes = 0, unreadable = 0;
    double minutes = 0;
    int ok = 0, incomplete = 0, failed = 0, kept = 0;
    void Add(const PageRecording& r, const RowFacts& facts) {
        ++recordings;
        ok += r.result == "ok";
        incomplete += r.result == "incomplete";
        failed += Failed(r.result);
        kept += r.result == "kept";
        bytes += facts.bytes;
        unreadable += facts.unreadable;
        minutes += facts.minutes;
    }
};

std::string PageHead(const PageRun& run, const Totals& t) {
    const std::string title = "Tarnwell " + Html(run.command) + " of " + Html(run.drive);
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    out += "<title>" + title + "</title>\n" + kStyle + "</head>\n<body>\n<header>\n";
    out += "<h1>" + title + "</h1>\n";
    out += "<p>" + Html(run.when) + "</p>\n";
    out += "<p class=\"totals\">" + std::to_string(t.recordings) +
           (t.recordings == 1 ? " recording: " : " recordings: ") + std::to_string(t.ok) + " ok, " +
           std::to_string(t.incomplete) + " incomplete, " + std::to_string(t.failed) + " failed, " +
           std::to_string(t.kept) + " kept; " +
           Format("%.1f MB", static_cast<double>(t.bytes) / 1e6) + ", " +
           std::to_string(t.unreadable) + " bytes could not be read, " + Format("%.1f", t.minutes) +
           " minutes.</p>\n</header>\n<main>\n";
    return out;
}

std::string PageFoot() {
    return "</main>\n<footer>Written by Tarnwell " + std::string(kVersion) +
           ".</footer>\n</body>\n</html>\n";
}

RowFacts FactsOf(const PageRecording& r) {
    RowFacts facts;
    for (const CPictureAt& picture : r.pictures)
        facts.pictures.push_back(ShowPicture(picture));
    facts.bytes = r.bytes;
    facts.unreadable = r.unreadable;
    facts.minutes = r.minutes;
    if (r.result == "ok" || r.result == "incomplete")
        facts.written = r.result;
    return facts;
}

// Reads a row of an earlier page back, exactly in the layout WriteRow gives
// it; each step fails on anything else, and the reader stays within the row.
class CRowReader {
  public:
    explicit CRowReader(std::string_view row) : Row(row) {}

    bool Expect(std::string_view literal) {
        if (Row.substr(At, literal.size()) != literal)
            return false;
        At += literal.size();
        return true;
    }
    bool SkipPast(std::string_view literal) {
        const std::size_t found = Row.find(literal, At);
        At = found == std::string_view::npos ? Row.size() : found + literal.size();
        return found != std::string_view::npos;
    }
    // The characters up to `end` (not taken), each one of `allowed`.
    bool Word(std::string_view allowed, char end, std::string& word) {
        const std::size_t stop = Row.find(end, At);
        if (stop == std::string_view::npos)
            return false;
        word = std::string(Row.substr(At, stop - At));
        At = stop;
        return word.find_first_not_of(allowed) == std::string::npos;
    }
    bool Number(std::uint64_t& value, std::uint64_t most, char end = '"') {
        std::string digits;
        if (!Word("0123456789", end, digits) || digits.empty() || digits.size() > 19)
            return false;
        value = std::stoull(digits);
        return value <= most;
    }
    // Tenths, as "%.1f" writes them.
    bool Tenths(double& value) {
        std::string text;
        if (!Word("0123456789.", '"', text) || text.size() < 3 || text.size() > 12 ||
            text[text.size() - 2] != '.' || text.find('.') != text.size() - 2)
            return false;
        value = std::stod(text);
        return true;
    }
    // m:ss or h:mm:ss, as Clock writes it.
    bool Time(double& seconds) {
        std::string text;
        if (!Word("0123456789:", '<', text) || text.empty() || text.size() > 12)
            return false;
        seconds = 0;
        std::uint64_t part = 0;
        int colons = 0;
        for (const char c : text) {
            if (c == ':') {
                seconds = (seconds + static_cast<double>(part)) * 60;
                part = 0;
                ++colons;
            } else {
                part = part * 10 + static_cast<std::uint64_t>(c - '0');
            }
        }
        seconds += static_cast<double>(part);
        return colons == 1 || colons == 2;
    }

  private:
    std::string_view Row;
    std::size_t At = 0;
};

// A picture of a row of an earlier page: an image of its PNG data or an
// empty place, and its time under it.
bool ReadPicture(CRowReader& in, Shown& picture) {
    std::uint64_t width = 0, height = 0;
    if (in.Expect("<img src=\"") && in.Expect(kPngData)) {
        if (!in.Word(kBase64Digits + std::string("="), '"', picture.png) ||
            picture.png.size() % 4 != 0 || picture.png.compare(0, 11, kPngSignature64) != 0 ||
            !in.Expect("\" width=\"") || !in.Number(width, kLargestSide) ||
            !in.Expect("\" height=\"") || !in.Number(height, kLargestSide) ||
            !in.Expect("\" alt=\"picture at ") || !in.SkipPast("\">"))
            return false;
    } else if (!in.Expect("<span class=\"empty\" style=\"width: ") ||
               !in.Number(width, kLargestSide, 'p') || !in.Expect("px; height: ") ||
               !in.Number(height, kLargestSide, 'p') || !in.Expect("px\"></span>")) {
        return false;
    }
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    return width > 0 && height > 0 && in.Expect("<figcaption>") && in.Time(picture.seconds) &&
           in.Expect("</figcaption></figure>\n");
}

// The facts of a row of an earlier page (what follows its marker line);
// false when the row is not as WriteRow writes it.
bool ReadRow(std::string_view row, RowFacts& facts) {
    CRowReader in(row);
    if (!in.Expect("<section class=\"recording\" data-bytes=\"") ||
        !in.Number(facts.bytes, ~std::uint64_t{0} >> 1) || !in.Expect("\" data-unreadable=\"") ||
        !in.Number(facts.unreadable, ~std::uint64_t{0} >> 1) || !in.Expect("\" data-minutes=\"") ||
        !in.Tenths(facts.minutes))
        return false;
    if (in.Expect("\" data-written=\"")) {
        if (!in.Word("abcdefghijklmnopqrstuvwxyz", '"', facts.written) ||
            (facts.written != "ok" && facts.written != "incomplete"))
            return false;
    }
    if (!in.Expect("\">\n  <h2>") || !in.SkipPast("</h2>\n"))
        return false;
    if (!in.Expect("  <div class=\"pictures\">\n")) {
        if (in.Expect("  <div class=\"timeline\">\n") &&
            !in.SkipPast("  </div><!-- time line -->\n"))
            return false;
        return in.Expect("  <dl>\n");
    }
    while (!in.Expect("  </div>\n")) {
        Shown picture;
        if (facts.pictures.size() == kMostPictures || !in.Expect("    <figure>") ||
            !ReadPicture(in, picture))
            return false;
        facts.pictures.push_back(picture);
    }
    if (in.Expect("  <div class=\"timeline\">\n") && !in.SkipPast("  </div><!-- time line -->\n"))
        return false;
    return in.Expect("  <dl>\n");
}

// The rows of an earlier page by the link of their file, each what follows
// its marker line up to its end marker; a row without its end, or whose end
// comes after the next row's marker, is left out.
std::map<std::string, std::string_view> RowsOf(std::string_view page) {
    std::map<std::string, std::string_view> rows;
    const std::string begin = std::string("\n") + kRowBegin;
    for (std::size_t at = page.find(begin); at != std::string_view::npos;
         at = page.find(begin, at + 1)) {
        const std::size_t name = at + begin.size();
        const std::size_t line = page.find(" -->\n", name);
        const std::size_t end = page.find(std::string("\n") + kRowEnd, name);
        const std::size_t next = page.find(begin, name);
        if (line == std::string_view::npos || end == std::string_view::npos || end < line ||
            next < end)
            continue;
        const std::string key(page.substr(name, line - name));
        rows.emplace(key, page.substr(line + 5, end + 1 - (line + 5)));
    }
    return rows;
}

// The page there already, when there is one to read back.
std::string ReadPage(const std::string& path) {
    std::string text;
    FileHandle handle = kInvalidHandle;
    std::uint64_t size = 0;
    // PlatSize leaves the file at its end.
    if (PlatOpenRead(path, handle) && PlatSize(handle, size) && size <= kLargestOldPage &&
        PlatSeek(handle, 0)) {
        text.resize(static_cast<std::size_t>(size));
        std::size_t at = 0;
        std::uint32_t got = 0;
        while (
            at < text.size() &&
            PlatRead(handle, &text[at],
                     static_cast<std::uint32_t>(std::min<std::size_t>(text.size() - at, 1 << 20)),
                     got) == ReadOutcome::Ok &&
            got > 0)
            at += got;
        text.resize(at);
    }
    PlatClose(handle);
    return text;
}

} // namespace

PageRecording PageRowOf(const RecordingOutcome& outcome) {
    PageRecording row;
    row.label = outcome.label;
    row.title = outcome.title;
    row.station = outcome.station;
    row.date = outcome.date;
    row.length = outcome.length;
    row.from = outcome.from;
    for (const ReportFile& file : outcome.files)
        row.files.push_back(file.name);
    row.bytes = outcome.bytes;
    row.unreadable = outcome.unreadable;
    row.minutes = outcome.minutes;
    row.result = outcome.result;
    row.pictures = outcome.pictures;
    row.noPictures = outcome.noPictures;
    row.damage = outcome.damage;
    return row;
}

std::string IndexPage(const PageRun& run) {
    Totals totals;
    std::string rows;
    for (const PageRecording& r : run.recordings) {
        const RowFacts facts = FactsOf(r);
        totals.Add(r, facts);
        WriteRow(rows, run, r, facts);
    }
    return PageHead(run, totals) + rows + PageFoot();
}

struct CIndexPage::State {
    PageRun run;
    std::string path, rowsPath;
    std::string old; // the page there already, for the rows of kept files
    std::map<std::string, std::string_view> oldRows;
    FileHandle rows = kInvalidHandle;
    bool failed = false;
    Totals totals;
};

CIndexPage::CIndexPage(const std::string& folder, PageRun run) : The(std::make_unique<State>()) {
    The->run = std::move(run);
    The->run.recordings.clear();
    The->path = InFolder(folder, kIndexPageName);
    The->rowsPath = The->path + ".rows" + kPartialExtension;
    The->old = ReadPage(The->path);
    The->oldRows = RowsOf(The->old);
    The->failed = !PlatCreateWrite(The->rowsPath, The->rows);
}

CIndexPage::~CIndexPage() {
    PlatClose(The->rows);
    PlatRemove(The->rowsPath);
}

void CIndexPage::Add(const PageRecording& r) {
    RowFacts facts = FactsOf(r);
    if (r.result == "kept" && !r.files.empty()) {
        const auto row = The->oldRows.find(UrlPath(BaseName(r.files[0])));
        RowFacts earlier;
        if (row != The->oldRows.end() && ReadRow(row->second, earlier)) {
            facts.pictures = earlier.pictures;
            facts.bytes = facts.bytes > 0 ? facts.bytes : earlier.bytes;
            facts.unreadable = facts.unreadable > 0 ? facts.unreadable : earlier.unreadable;
            facts.minutes = facts.minutes > 0 ? facts.minutes : earlier.minutes;
            facts.written = earlier.written;
        }
    }
    The->totals.Add(r, facts);
    std::string row;
    WriteRow(row, The->run, r, facts);
    std::uint32_t done = 0;
    The->failed = The->failed ||
                  !PlatWrite(The->rows, row.data(), static_cast<std::uint32_t>(row.size()), done) ||
                  done != row.size();
}

bool CIndexPage::Finish(std::string& error) {
    const std::string part = The->path + kPartialExtension;
    PlatClose(The->rows);
    The->rows = kInvalidHandle;
    // The heading, then the rows as they were written, a piece at a time.
    FileHandle out = kInvalidHandle, in = kInvalidHandle;
    auto put = [&out](const char* bytes, std::size_t count) {
        std::uint32_t done = 0;
        return PlatWrite(out, bytes, static_cast<std::uint32_t>(count), done) && done == count;
    };
    bool written = !The->failed && PlatCreateWrite(part, out) && PlatOpenRead(The->rowsPath, in);
    const std::string head = PageHead(The->run, The->totals), foot = PageFoot();
    written = written && put(head.data(), head.size());
    std::vector<char> piece(1 << 20);
    std::uint32_t got = 0;
    while (written &&
           PlatRead(in, piece.data(), static_cast<std::uint32_t>(piece.size()), got) ==
               ReadOutcome::Ok &&
           got > 0)
        written = put(piece.data(), got);
    written = written && put(foot.data(), foot.size());
    PlatClose(in);
    PlatClose(out);
    if (!written || !PlatRename(part, The->path)) {
        error = "cannot write the page " + The->path +
                (!written && PlatWriteFoundDiskFull() ? ": the output disk is full" : "");
        PlatRemove(part);
        return false;
    }
    return true;
}

bool WriteIndexPage(const std::string& folder, const PageRun& run, std::string& error) {
    CIndexPage page(folder, run);
    for (const PageRecording& r : run.recordings)
        page.Add(r);
    return page.Finish(error);
}
