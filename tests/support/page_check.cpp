#include "support/page_check.h"

#include "support/ffmpeg_check.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

bool Void(const std::string& name) {
    static const char* const kVoid[] = {"area",  "base", "br",   "col",    "embed", "hr", "img",
                                        "input", "link", "meta", "source", "track", "wbr"};
    return std::any_of(std::begin(kVoid), std::end(kVoid),
                       [&](const char* v) { return name == v; });
}

// The text with its character references decoded (those a page of ours
// writes); false on a '&' that begins none of them.
bool Unescaped(const std::string& text, std::string& out) {
    static const char* const kReferences[][2] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] != '&') {
            out += text[at++];
            continue;
        }
        const auto* r =
            std::find_if(std::begin(kReferences), std::end(kReferences), [&](auto& ref) {
                return text.compare(at, std::strlen(ref[0]), ref[0]) == 0;
            });
        if (r == std::end(kReferences))
            return false;
        out += (*r)[1];
        at += std::strlen((*r)[0]);
    }
    return true;
}

struct Tag {
    std::string name;
    bool end = false;
    std::map<std::string, std::string> attributes; // references decoded

    std::string operator[](const std::string& attribute) const {
        const auto found = attributes.find(attribute);
        return found == attributes.end() ? "" : found->second;
    }
};

// The tag at html[at] ('<') up to its '>', each attribute as name="value";
// "" or the problem.
std::string ReadTag(const std::string& html, std::size_t& at, Tag& tag) {
    const auto alnum = [&](std::size_t i) {
        return i < html.size() &&
               (std::isalnum(static_cast<unsigned char>(html[i])) || html[i] == '-');
    };
    std::size_t i = at + 1;
    tag.end = html[i] == '/';
    for (i += tag.end; alnum(i); ++i)
        tag.name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[i])));
    if (tag.name.empty())
        return "a '<' that begins no tag";
    while (i < html.size() && html[i] != '>') {
        if (html[i] == ' ' || html[i] == '\n') {
            ++i;
            continue;
        }
        const std::size_t name = i;
        while (alnum(i))
            ++i;
        const std::size_t close = html.find('"', i + 2);
        std::string value;
        if (name == i || tag.end || html.compare(i, 2, "=\"") != 0 || close == std::string::npos ||
            html.find('<', i) < close || !Unescaped(html.substr(i + 2, close - i - 2), value))
            return "<" + tag.name + ">: an attribute not as name=\"value\"";
        tag.attributes[html.substr(name, i - name)] = value;
        i = close + 1;
    }
    at = i + 1;
    return i < html.size() ? "" : "<" + tag.name + " is not closed";
}

std::uint32_t Big32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// "" or the problem of an img of the page; its base64 PNG into `png`.
std::string ImageProblems(const Tag& tag, std::string& png) {
    const std::string kData = "data:image/png;base64,";
    std::vector<std::uint8_t> bytes;
    if (tag["src"].compare(0, kData.size(), kData) != 0 || tag["alt"].empty())
        return "an img without PNG data or alt text";
    png = tag["src"].substr(kData.size());
    const std::string problem =
        DecodeBase64(png, bytes)
            ? CheckPng(bytes, std::atoi(tag["width"].c_str()), std::atoi(tag["height"].c_str()))
            : "its data is not base64";
    return problem.empty() ? ""
                           : "an img of " + tag["width"] + "x" + tag["height"] + ": " + problem;
}

// Whether a URL holds only what may stand in one as it is: letters, digits,
// - . _ ~, the sub-delimiters, '/' and '%' before two hex digits; no blank,
// '#', '?', other byte of ASCII or byte beyond it.
bool PlainUrl(const std::string& url) {
    for (std::size_t i = 0; i < url.size(); ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        const auto hex = [&](std::size_t k) {
            return k < url.size() && std::isxdigit(static_cast<unsigned char>(url[k]));
        };
        const bool plain = c != 0 && (std::isalnum(c) || std::strchr("-._~!$&'()*+,;=/:@", c));
        if (c == '%' ? !hex(i + 1) || !hex(i + 2) : !plain)
            return false;
    }
    return true;
}

#ifdef _WIN32
// The browser check needs a POSIX shell; on Windows chromium counts as not
// available.
std::string Run(const std::string&) {
    return "";
}
#else
std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[1 << 16];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (pipe)
        pclose(pipe);
    return out;
}
#endif

} // namespace

std::string CheckPage(const std::string& html, PageFacts& facts) {
    facts = PageFacts{};
    std::string problems;
    const auto problem = [&](const std::string& text) { problems += text + "\n"; };
    if (html.compare(0, 16, "<!DOCTYPE html>\n") != 0)
        problem("no <!DOCTYPE html> at the start");
    std::vector<std::string> open;
    std::string* linkText = nullptr;
    bool charset = false;
    for (std::size_t at = html.find('>') + 1; at < html.size();) {
        const std::size_t lt = std::min(html.find('<', at), html.size());
        std::string text;
        if (!Unescaped(html.substr(at, lt - at), text))
            problem("a '&' in text that begins no character reference");
        facts.text += text;
        if (linkText)
            *linkText += text;
        if ((at = lt) == html.size())
            break;
        if (html.compare(at, 4, "<!--") == 0) {
            at = html.find("-->", at);
            if (at == std::string::npos) {
                problem("a comment not closed");
                break;
            }
            at += 3;
            continue;
        }
        Tag tag;
        const std::string bad = ReadTag(html, at, tag);
        const std::string innermost = open.empty() ? "nothing" : "<" + open.back() + ">";
        if (!bad.empty() || (tag.end && innermost != "<" + tag.name + ">")) {
            problem(!bad.empty() ? bad : "</" + tag.name + "> where " + innermost + " is open");
            return problems;
        }
        if (tag.end) {
            open.pop_back();
            linkText = tag.name == "a" ? nullptr : linkText;
            continue;
        }
        const std::string href = tag["href"], src = tag["src"];
        if (tag.name == "script")
            problem("a script");
        if ((!src.empty() && src.compare(0, 5, "data:") != 0) ||
            (tag.attributes.count("href") &&
             (href.empty() || href[0] == '/' || href.find(':') < href.find('/'))))
            problem("<" + tag.name + "> fetches from elsewhere");
        charset = charset || (tag.name == "meta" && tag["charset"] == "utf-8");
        if (tag.name == "a") {
            if (!PlainUrl(href))
                problem("the href " + href + " holds a character to percent-encode");
            facts.links.push_back({PercentDecoded(href), ""});
            linkText = &facts.links.back().text;
        }
        facts.emptyPlaces += tag["class"] == "empty";
        std::string png;
        const std::string image = tag.name == "img" ? ImageProblems(tag, png) : "";
        if (!image.empty())
            problem(image);
        else if (!png.empty())
            facts.pictures.push_back(png);
        if (tag.name == "style") {
            // CSS up to the end tag.
            const std::size_t end = std::min(html.find("</style>", at), html.size());
            const std::string css = html.substr(at, end - at);
            if (css.find("url(") != std::string::npos || css.find("@import") != std::string::npos)
                problem("the style fetches from elsewhere");
            at = end;
        }
        if (!Void(tag.name))
            open.push_back(tag.name);
    }
    if (!open.empty())
        problem("<" + open.back() + "> is not closed");
    if (!charset)
        problem("no <meta charset=\"utf-8\">");
    return problems;
}

std::string CheckPng(const std::vector<std::uint8_t>& png, int width, int height) {
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0)
        return "no PNG signature";
    std::vector<std::uint8_t> idat;
    std::string type;
    for (std::size_t at = 8; type != "IEND"; at += 12 + Big32(&png[at])) {
        if (at == png.size() || png.size() - at < 12 || Big32(&png[at]) > png.size() - at - 12)
            return "a chunk runs past the end, or no IEND";
        // length(32) type(32) data CRC-32(32) of type and data
        const std::uint32_t length = Big32(&png[at]);
        const std::uint8_t* data = &png[at + 8];
        type.assign(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                    png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        if (crc32(0L, &png[at + 4], length + 4) != Big32(data + length))
            return "the CRC of " + type + " is wrong";
        if ((at == 8) != (type == "IHDR"))
            return "IHDR is not the first chunk";
        // width(32) height(32) depth(8) colour type(8) compression(8) filter(8) interlace(8)
        static const std::uint8_t kRgb8[5] = {8, 2, 0, 0, 0};
        if (type == "IHDR" && (length != 13 || Big32(data) != static_cast<std::uint32_t>(width) ||
                               Big32(data + 4) != static_cast<std::uint32_t>(height) ||
                               std::memcmp(data + 8, kRgb8, 5) != 0))
            return "IHDR is not of 8-bit RGB " + std::to_string(width) + "x" +
                   std::to_string(height);
        if (type == "IDAT")
            idat.insert(idat.end(), data, data + length);
        if (type == "IEND" && at + 12 + length != png.size())
            return "bytes after IEND";
    }
    const std::size_t stride = 1 + 3 * static_cast<std::size_t>(width);
    std::vector<std::uint8_t> rows(stride * static_cast<std::size_t>(height) + 1);
    uLongf size = static_cast<uLongf>(rows.size());
    if (uncompress(rows.data(), &size, idat.data(), static_cast<uLong>(idat.size())) != Z_OK ||
        size != rows.size() - 1)
        return "IDAT does not inflate to " + std::to_string(rows.size() - 1) + " bytes";
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        if (rows[row * stride] > 4)
            return "row " + std::to_string(row) + " has no filter of PNG";
    }
    return "";
}

bool DecodeBase64(const std::string& text, std::vector<std::uint8_t>& bytes) {
    static const std::string kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes.clear();
    // One or two '=' at the end fill the last group of four.
    const std::size_t pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2
                            : !text.empty() && text.back() == '='            ? 1
                                                                             : 0;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t digit = i < text.size() - pad ? kDigits.find(text[i]) : 0;
        if (digit == std::string::npos)
            return false;
        v = v << 6 | static_cast<std::uint32_t>(digit);
        for (std::size_t k = 0; i % 4 == 3 && k < (i + 1 == text.size() ? 3 - pad : 3); ++k)
            bytes.push_back(static_cast<std::uint8_t>(v >> (16 - 8 * k)));
    }
    return text.size() % 4 == 0;
}

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hex = text[i] == '%' && i + 2 < text.size() &&
                         std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                         std::isxdigit(static_cast<unsigned char>(text[i + 2]));
        out += hex ? static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)) : text[i];
        i += hex ? 2 : 0;
    }
    return out;
}

bool ChromiumAvailable() {
    static const bool found = Run("command -v chromium") != "";
    return found;
}

std::string ScreenshotProblems(const std::string& page, const std::string& shot) {
    std::string url = "file://";
    for (const char c : page) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
        url += std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-._~", c)
                   ? std::string(1, c)
                   : hex;
    }
    // Root needs --no-sandbox, a container has no GPU, and a profile of its
    // own keeps it from the user's.
    const std::string profile = shot + ".profile";
    const int status =
        std::system(("timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
                     "--no-first-run --user-data-dir=" +
                     ShellQuote(profile) + " --screenshot=" + ShellQuote(shot) +
                     " --window-size=1280,900 " + ShellQuote(url) + " >/dev/null 2>&1")
                        .c_str());
    (void)status; // its messages and status say nothing: the screenshot does
    std::error_code ec;
    std::filesystem::remove_all(profile, ec);
    const std::string gray = Run("ffmpeg -nostdin -v error -i " + ShellQuote("file:" + shot) +
                                 " -f rawvideo -pix_fmt gray - 2>/dev/null");
    if (gray.size() != 1280 * 900)
        return "no screenshot of 1280x900 pixels (" + std::to_string(gray.size()) + " bytes)";
    std::size_t count[256] = {};
    for (const char c : gray)
        ++count[static_cast<unsigned char>(c)];
    const std::size_t others = gray.size() - *std::max_element(std::begin(count), std::end(count));
    const auto levels =
        std::count_if(std::begin(count), std::end(count), [](std::size_t n) { return n >= 1000; });
    std::string problems;
    if (others * 100 < gray.size() * 8)
        problems += "only " + std::to_string(others) + " pixels differ from the background\n";
    if (levels < 12)
        problems += "only " + std::to_string(levels) + " grey levels of 1000 pixels or more\n";
    return problems;
}
