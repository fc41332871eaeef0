// report.json: the report of a run for scripts, beside the page. Its schema
// is docs/report.schema.json; every text in it is valid UTF-8 JSON, whatever
// the disk held.
#include "report/report.h"

#include "platform/platform.h"
#include "platform/runlog.h"
#include "text/text.h"

#include <algorithm>
#include <cstdio>

namespace {

// A string as JSON: " \ and control characters escaped, and a byte that
// begins no well-formed UTF-8 character read as Latin-1, as the page does.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = std::max<std::size_t>(
            Utf8CharLength(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), i), 1);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && length == 1)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length - 1;
        }
    }
    return out + "\"";
}

std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// The pieces of an object or array, one a line at the given depth.
std::string Join(const std::vector<std::string>& items, int depth, char open, char close) {
    if (items.empty())
        return std::string(1, open) + close;
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    std::string out(1, open);
    for (std::size_t i = 0; i < items.size(); ++i)
        out += "\n" + indent + "  " + items[i] + (i + 1 < items.size() ? "," : "");
    return out + "\n" + indent + close;
}

std::string Field(const char* name, const std::string& value) {
    return "\"" + std::string(name) + "\": " + value;
}

std::string Damage(const RecordingDamage& d, int depth) {
    return Join(
        {Field("kind",
               Json(d.kind == RecordingDamage::Kind::Unreadable ? "unreadable" : "zeros left out")),
         Field("stream", Json(d.video ? "video" : "audio")),
         Field("drive_from", Number(d.driveFrom)), Field("drive_to", Number(d.driveTo)),
         Field("from_seconds", Seconds(d.from)), Field("to_seconds", Seconds(d.to)),
         Field("text", Json(DamageText(d)))},
        depth, '{', '}');
}

std::string Source(const ChainSource& source, int depth) {
    std::vector<std::string> ranges;
    for (const auto& [from, to] : source.ranges)
        ranges.push_back("[" + Number(from) + ", " + Number(to) + "]");
    return Join({Field("stream", Json(source.video ? "video" : "audio")),
                 Field("drive_ranges", Join(ranges, depth + 1, '[', ']'))},
                depth, '{', '}');
}

std::string Recording(const ReportRecording& r, int depth) {
    std::vector<std::string> files, damage, sources;
    for (const ReportFile& f : r.files)
        files.push_back(Join({Field("name", Json(f.name)), Field("bytes", Number(f.bytes)),
                              Field("sha256", f.sha256.empty() ? "null" : Json(f.sha256))},
                             depth + 2, '{', '}'));
    for (const RecordingDamage& d : r.damage)
        damage.push_back(Damage(d, depth + 2));
    for (const ChainSource& s : r.sources)
        sources.push_back(Source(s, depth + 2));
    return Join(
        {Field("label", Json(r.label)),
         Field("slot", r.slot >= 0 ? std::to_string(r.slot) : "null"),
         Field("record_no", r.recordNo >= 0 ? std::to_string(r.recordNo) : "null"),
         Field("station", Json(r.station)), Field("station_hex", Json(r.stationHex)),
         Field("title", Json(r.title)), Field("title_hex", Json(r.titleHex)),
         Field("date", r.date.empty() ? "null" : Json(r.date)),
         Field("header_seconds", r.headerSeconds >= 0 ? std::to_string(r.headerSeconds) : "null"),
         Field("file_seconds", Seconds(r.fileSeconds)),
         Field("files", Join(files, depth + 1, '[', ']')), Field("result", Json(r.result)),
         Field("from", Json(r.from)), Field("damage", Join(damage, depth + 1, '[', ']')),
         Field("sources", Join(sources, depth + 1, '[', ']'))},
        depth, '{', '}');
}

} // namespace

ReportRecording ReportEntryOf(const RecordingOutcome& outcome) {
    ReportRecording entry;
    entry.label = outcome.label;
    entry.slot = outcome.slot.value_or(-1);
    entry.from = outcome.slot
                     ? "slot " + std::to_string(*outcome.slot) + " of the table of contents"
                     : outcome.from;
    entry.recordNo = outcome.recordNo;
    entry.station = outcome.station;
    entry.stationHex = outcome.stationHex;
    entry.title = outcome.title;
    entry.titleHex = outcome.titleHex;
    entry.date = outcome.date;
    entry.headerSeconds = outcome.headerSeconds;
    entry.fileSeconds = outcome.minutes * 60;
    entry.files = outcome.files;
    entry.result = outcome.result;
    entry.damage = outcome.damage;
    entry.sources = outcome.sources;
    return entry;
}

std::string ReportText(const ReportRun& run) {
    std::vector<std::string> recordings;
    for (const ReportRecording& r : run.recordings)
        recordings.push_back(Recording(r, 2));
    return Join({Field("tarnwell_version", Json(run.version)),
                 Field("command_line", Json(run.commandLine)), Field("command", Json(run.command)),
                 Field("drive", Json(run.drive)), Field("drive_bytes", Number(run.driveBytes)),
                 Field("bytes_read", Number(run.bytesRead)), Field("started", Json(run.started)),
                 Field("ended", Json(run.ended)),
                 Field("exit_status", std::to_string(run.exitStatus)),
                 Field("recordings", Join(recordings, 1, '[', ']'))},
                0, '{', '}') +
           "\n";
}

bool WriteReport(const std::string& folder, const ReportRun& run, std::string& error) {
    const std::string path = InFolder(folder, kReportName);
    const std::string part = path + kPartialExtension;
    const std::string text = ReportText(run);
    FileHandle handle = kInvalidHandle;
    std::uint32_t done = 0;
    const bool written =
        PlatCreateWrite(part, handle) &&
        PlatWrite(handle, text.data(), static_cast<std::uint32_t>(text.size()), done) &&
        done == text.size();
    PlatClose(handle);
    if (!written || !PlatRename(part, path)) {
        PlatRemove(part);
        error = "cannot write " + path;
        return false;
    }
    return true;
}
