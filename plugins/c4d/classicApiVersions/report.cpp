// The report of one command run (see report.h).
#include "report.h"

#include "InstallLocator.h"
#include "c4d_host.h"
#include "sceneapi_log.h"

#include <cmath>
#include <cstdio>

namespace report {

namespace {

constexpr const char* kReasonKeys[kReasonCount] = {
    "texture_not_found",       "polygons_dropped",  "unsupported_object",
    "generator_without_cache", "control_object",    "hidden_by_visibility",
    "hidden_by_layer",         "material_not_translated", "shader_not_translated",
    "name_cut",                "parameter_default", "track_one_key",
    "track_no_time_span",      "track_muted",       "hair_strands_dropped",
    "nested_too_deeply",       "region_too_large",  "track_shortened",
    "renderer_of_another_user", "number_out_of_range", "track_not_sampled",
    "other_links_unchanged",
};

// What the console says for each reason.
constexpr const char* kReasonTexts[kReasonCount] = {
    "texture files not found",
    "polygons dropped (a point index outside the point array)",
    "objects of a type that is not translated",
    "generators without a cache",
    "control objects not translated",
    "objects hidden by their visibility",
    "objects hidden by their layer",
    "materials not translated",
    "shaders not translated",
    "names cut to the length limit",
    "parameters not readable, default used",
    "tracks ignored: one key",
    "tracks ignored: all keys at one time",
    "tracks ignored: muted",
    "hair strands dropped",
    "objects nested too deeply",
    "material regions too large to write",
    "tracks shortened to the sample bound",
    "renderers of another user passed over",
    "numbers beyond the range the scene holds, clamped",
    "tracks ignored: times that cannot be sampled",
    "other names of the scene file keep the previous scene",
};

void appendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void appendKey(std::string& out, const char* key)
{
    out += '"';
    out += key;
    out += "\":";
}

void appendNumber(std::string& out, const char* key, uint64_t value)
{
    appendKey(out, key);
    out += std::to_string(value);
    out += ',';
}

std::string plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

const char* reasonKey(Reason reason)
{
    const auto i = static_cast<size_t>(reason);
    return i < kReasonCount ? kReasonKeys[i] : "unknown";
}

void Report::begin(const std::string& command)
{
    *this = Report();
    command_ = command;
}

void Report::setDocument(const std::string& name) { document_ = safeUtf8(name); }

void Report::setFile(const std::string& path)
{
    destinationKind_ = "file";
    destination_ = safeUtf8(path);
    port_ = -1;
}

void Report::setRenderer(const std::string& sceneName, int port)
{
    destinationKind_ = "renderer";
    destination_ = safeUtf8(sceneName);
    port_ = port;
}

void Report::fail(const std::string& reason)
{
    failure_ = reason.empty() ? "unknown error" : safeUtf8(reason);
}

void Report::cancel() { cancelled_ = true; }

void Report::leftOut(Reason reason, std::string_view path, std::string_view detail, uint64_t count)
{
    const auto r = static_cast<size_t>(reason);
    if (r >= kReasonCount || count == 0)
        return;
    Entry& entry = entries_[r];
    entry.total += count;
    std::string key;
    key.reserve(path.size() + detail.size() + 2);
    key += static_cast<char>('A' + r);
    key.append(path);
    key += '\0';
    key.append(detail);
    if (const auto found = index_.find(key); found != index_.end()) {
        entry.items[found->second].count += count;
        return;
    }
    if (entry.items.size() >= kMaxItems) {
        entry.unlisted += count;
        return;
    }
    index_.emplace(std::move(key), entry.items.size());
    entry.items.push_back(Item{safeUtf8(path), safeUtf8(detail), count});
}

void Report::progress(const std::string& text, float fraction)
{
    if (!(fraction >= 0.0f))
        fraction = 0.0f;
    if (fraction > 1.0f)
        fraction = 1.0f;
    const int percent = static_cast<int>(fraction * 100.0f);
    if (percent == shownPercent_ && text == shownText_)
        return;
    shownPercent_ = percent;
    shownText_ = text;
    host::statusBar(fraction, safeUtf8(text));
}

uint64_t Report::leftOutTotal() const
{
    uint64_t total = 0;
    for (const Entry& entry : entries_)
        total += entry.total;
    return total;
}

std::string Report::json() const
{
    std::string out = "{";
    appendNumber(out, "format", 1);
    appendKey(out, "command");
    appendJsonString(out, command_);
    out += ',';
    appendKey(out, "document");
    appendJsonString(out, document_);
    out += ',';
    appendKey(out, "status");
    appendJsonString(out, failed() ? "failed" : cancelled_ ? "cancelled" : "ok");
    out += ',';
    appendKey(out, "failure");
    appendJsonString(out, failure_);
    out += ',';
    appendKey(out, "destination");
    out += '{';
    appendKey(out, "kind");
    appendJsonString(out, destinationKind_);
    out += ',';
    appendKey(out, destinationKind_ == "renderer" ? "scene" : "path");
    appendJsonString(out, destination_);
    if (destinationKind_ == "renderer") {
        out += ',';
        appendKey(out, "port");
        out += std::to_string(port_);
    }
    out += "},";

    const Written& w = written_;
    appendKey(out, "written");
    out += '{';
    appendNumber(out, "groups", w.groups);
    appendNumber(out, "objects", w.objects);
    appendNumber(out, "triangles", w.triangles);
    appendNumber(out, "materials", w.materials);
    appendNumber(out, "textures", w.textures);
    appendNumber(out, "lights", w.lights);
    appendNumber(out, "cameras", w.cameras);
    appendNumber(out, "animations", w.animations);
    appendNumber(out, "hair_curves", w.hairCurves);
    appendNumber(out, "bytes", w.bytes);
    // Whole milliseconds written out by hand: printf's decimal separator follows the host
    // process's locale, and JSON wants a point.
    const double ms = std::isfinite(w.seconds) && w.seconds > 0 ? std::round(w.seconds * 1000.0) : 0.0;
    const auto millis = ms < 1e15 ? static_cast<uint64_t>(ms) : 0;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(millis % 1000));
    appendKey(out, "seconds");
    out += std::to_string(millis / 1000);
    out += fraction;
    out += "},";

    appendNumber(out, "left_out_total", leftOutTotal());
    appendKey(out, "left_out");
    out += '{';
    bool firstReason = true;
    for (size_t r = 0; r < kReasonCount; ++r) {
        const Entry& entry = entries_[r];
        if (entry.total == 0)
            continue;
        if (!firstReason)
            out += ',';
        firstReason = false;
        appendKey(out, kReasonKeys[r]);
        out += '{';
        appendNumber(out, "total", entry.total);
        appendNumber(out, "unlisted", entry.unlisted);
        appendKey(out, "items");
        out += '[';
        for (size_t i = 0; i < entry.items.size(); ++i) {
            const Item& item = entry.items[i];
            if (i > 0)
                out += ',';
            out += '{';
            appendKey(out, "path");
            appendJsonString(out, item.path);
            out += ',';
            appendKey(out, "detail");
            appendJsonString(out, item.detail);
            out += ',';
            appendKey(out, "count");
            out += std::to_string(item.count);
            out += '}';
        }
        out += "]}";
    }
    out += "}}";
    return out;
}

std::vector<std::string> Report::lines() const
{
    std::vector<std::string> out;
    std::string head = command_ + " \"" + document_ + "\"";
    if (cancelled_) {
        out.push_back(head + ": cancelled");
        return out;
    }
    if (destinationKind_ == "file")
        head += " to " + destination_;
    else if (destinationKind_ == "renderer")
        head += " to the renderer on port " + std::to_string(port_);
    if (failed())
        head += ": failed: " + failure_;
    out.push_back(head);
    if (failed() && written_.objects == 0 && leftOutTotal() == 0)
        return out;

    const Written& w = written_;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", std::isfinite(w.seconds) ? w.seconds : 0.0);
    out.push_back("  written: " + plural(w.groups, "group", "groups") + ", " +
                  plural(w.objects, "object", "objects") + ", " +
                  plural(w.triangles, "triangle", "triangles") + ", " +
                  plural(w.materials, "material", "materials") + ", " +
                  plural(w.textures, "texture", "textures") + ", " +
                  plural(w.lights, "light", "lights") + ", " +
                  plural(w.cameras, "camera", "cameras") + ", " +
                  plural(w.animations, "animation node", "animation nodes") + ", " +
                  plural(w.hairCurves, "hair curve", "hair curves") + ", " +
                  // A stream's size is the live library's own: only the list data is counted here.
                  plural(w.bytes, "byte", "bytes") + (destinationKind_ == "renderer" ? " of list data, " : ", ") +
                  seconds);

    const uint64_t total = leftOutTotal();
    if (total == 0) {
        out.push_back("  nothing left out");
        return out;
    }
    out.push_back("  left out or changed: " + std::to_string(total));
    for (size_t r = 0; r < kReasonCount; ++r) {
        const Entry& entry = entries_[r];
        if (entry.total == 0)
            continue;
        out.push_back("  " + std::string(kReasonTexts[r]) + " (" + std::to_string(entry.total) + "):");
        for (const Item& item : entry.items) {
            std::string line = "    " + item.path;
            if (!item.detail.empty())
                line += ": " + item.detail;
            if (item.count > 1)
                line += " (" + std::to_string(item.count) + " times)";
            out.push_back(std::move(line));
        }
        if (entry.unlisted > 0)
            out.push_back("    and " + std::to_string(entry.unlisted) + " more");
    }
    return out;
}

void Report::publish()
{
    try {
        host::statusClear();
        const std::vector<std::string> text = lines();
        if (!offConsole_)
            for (const std::string& line : text)
                host::consoleLine(line);
        // The log lives in the renderer's support folder; without one there is no log.
        if ((leftOutTotal() > 0 || failed()) && InstallLocator::is_directory(InstallLocator::support_dir())) {
            const TLogLevel level = failed() ? logERROR : logWARNING;
            for (const std::string& line : text) {
                ORV_LOG(level) << line;
            }
        }
        host::commandReport(json());
    } catch (...) {
        // A report that cannot be made (out of memory) must not turn into a failed command.
    }
}

} // namespace report
