// Rescue maps in GNU ddrescue's mapfile format, the record of which bytes of
// a disk an image holds.
#include "drive/drive.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

constexpr char kBlockStatuses[] = "?*/-+";     // non-tried, non-trimmed, non-scraped, bad, finished
constexpr char kCurrentStatuses[] = "?*/-FG+"; // the phase: also filling and generating

bool IsStatus(const std::string& token, const char* statuses) {
    return token.size() == 1 && std::strchr(statuses, token[0]) != nullptr;
}

// A number as ddrescue writes it ("0x" and hexadecimal digits) or reads it
// (C notation: decimal, 0x hexadecimal, 0 octal); nothing may follow it.
bool ParseNumber(const std::string& token, std::uint64_t& value) {
    if (token.empty() || token[0] == '-' || token[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(token.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

std::vector<std::string> Tokens(const std::string& line) {
    std::istringstream in(line);
    return std::vector<std::string>(std::istream_iterator<std::string>(in),
                                    std::istream_iterator<std::string>());
}

} // namespace

CRescueMap::CRescueMap(std::uint64_t size, char status) : End(size) {
    if (size > 0)
        Starts[0] = status;
}

bool CRescueMap::Parse(const std::string& text, std::string& fault) {
    Starts.clear();
    End = 0;
    fault = ParseBlocks(text);
    if (fault.empty())
        return true;
    Starts.clear();
    End = 0;
    return false;
}

std::string CRescueMap::ParseBlocks(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    bool statusLine = false;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::vector<std::string> tokens = Tokens(line);
        if (tokens.empty() || tokens[0][0] == '#')
            continue;
        const std::string where = "line " + std::to_string(number);
        std::uint64_t pos = 0, size = 0;
        if (!statusLine) {
            // current_pos current_status [current_pass]
            if (tokens.size() < 2 || tokens.size() > 3 || !ParseNumber(tokens[0], pos) ||
                !IsStatus(tokens[1], kCurrentStatuses))
                return where + " is not a status line";
            statusLine = true;
            continue;
        }
        // pos size status, each block starting where the one before ended
        if (tokens.size() != 3 || !ParseNumber(tokens[0], pos) || !ParseNumber(tokens[1], size) ||
            !IsStatus(tokens[2], kBlockStatuses) || size == 0 || pos + size < pos)
            return where + " is not a block of the map";
        if (End > 0 && pos != End)
            return where + " does not start where the block before it ends";
        if (End == 0 && pos > 0)
            Starts[0] = kNotTried; // what the map does not reach was not tried
        if (Starts.empty() || Starts.rbegin()->second != tokens[2][0])
            Starts[pos] = tokens[2][0];
        End = pos + size;
    }
    return statusLine ? "" : "there is no status line";
}

std::string CRescueMap::Text(const std::string& comments, std::uint64_t pos, char status,
                             int pass) const {
    std::string text = comments;
    char line[160];
    std::snprintf(line, sizeof line,
                  "# current_pos  current_status  current_pass\n0x%08" PRIX64 "     %c    "
                  "           %d\n#      pos        size  status\n",
                  pos, status, pass);
    text += line;
    for (auto block = Starts.begin(); block != Starts.end(); ++block) {
        const auto next = std::next(block);
        const std::uint64_t stop = next == Starts.end() ? End : next->first;
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", block->first,
                      stop - block->first, block->second);
        text += line;
    }
    return text;
}

bool CRescueMap::Save(const std::string& path, const std::string& comments, std::uint64_t pos,
                      char status, int pass) const {
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << Text(comments, pos, status, pass);
        out.close();
        if (!out)
            return false;
    }
    return PlatRename(part, path);
}

void CRescueMap::Set(std::uint64_t pos, std::uint64_t size, char status) {
    if (pos >= End || size == 0)
        return;
    const std::uint64_t stop = size > End - pos ? End : pos + size;
    if (stop < End && Starts.count(stop) == 0)
        Starts[stop] = std::prev(Starts.upper_bound(stop))->second;
    Starts.erase(Starts.lower_bound(pos), Starts.lower_bound(stop));
    auto at = Starts.emplace(pos, status).first;
    // Neighbours of one status are one block.
    const auto after = std::next(at);
    if (after != Starts.end() && after->second == status)
        Starts.erase(after);
    if (at != Starts.begin() && std::prev(at)->second == status)
        Starts.erase(at);
}

char CRescueMap::StatusAt(std::uint64_t pos) const {
    return pos >= End ? kNotTried : std::prev(Starts.upper_bound(pos))->second;
}

std::uint64_t CRescueMap::BlockEnd(std::uint64_t pos) const {
    if (pos >= End)
        return pos;
    const auto next = Starts.upper_bound(pos);
    return next == Starts.end() ? End : next->first;
}

std::uint64_t CRescueMap::NotCopiedUpTo(std::uint64_t pos) const {
    if (pos >= End)
        return pos;
    auto block = std::prev(Starts.upper_bound(pos));
    if (block->second == kCopied)
        return pos;
    // Blocks alternate between statuses: the next copied one ends the area.
    for (++block; block != Starts.end(); ++block) {
        if (block->second == kCopied)
            return block->first;
    }
    return End;
}

std::uint64_t CRescueMap::NextNotCopied(std::uint64_t pos) const {
    if (pos >= End)
        return ~std::uint64_t{0};
    auto block = std::prev(Starts.upper_bound(pos));
    if (block->second != kCopied)
        return pos;
    ++block;
    return block == Starts.end() ? ~std::uint64_t{0} : block->first;
}

std::uint64_t CRescueMap::NotCopied(std::uint64_t pos, std::uint64_t size) const {
    std::uint64_t bytes = 0;
    const std::uint64_t stop = size > End - std::min(pos, End) ? End : pos + size;
    while (pos < stop) {
        const std::uint64_t from = std::min(NextNotCopied(pos), stop);
        const std::uint64_t to = std::min(NotCopiedUpTo(from), stop);
        bytes += to - from;
        pos = to > from ? to : stop;
    }
    return bytes;
}

std::vector<std::string> MapNamesBeside(const std::string& image) {
    std::vector<std::string> names = {image + ".map"};
    const std::size_t folder = image.find_last_of("/\\");
    const std::size_t name = folder == std::string::npos ? 0 : folder + 1;
    const std::size_t dot = image.rfind('.');
    if (dot != std::string::npos && dot > name &&
        image.compare(dot, std::string::npos, ".map") != 0)
        names.push_back(image.substr(0, dot) + ".map");
    return names;
}
