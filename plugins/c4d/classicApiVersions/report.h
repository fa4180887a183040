// The report of one command run: what was written and what was left out or changed.
//
// The translators raise typed events (a reason, the path of names of the object or the name
// of the material concerned, and a detail); the report merges repeats into one item per
// path, detail and reason with a count, and lists at most kMaxItems items per reason, so a
// document with a million missing textures gives a report of bounded size. Events carry no
// per-element text: a translator counts what it drops (polygons, strands) and raises one
// event per object.
//
// At the end of a run the command publishes the report: summary lines to the host's console
// and the scene library log, and the JSON text (keys in docs/report.md) to the host. The
// report also drives the host's status bar from the walk's progress. Nothing here touches
// the scene, so the file and the stream are the same with or without a report.
#pragma once

#include "text/utf8.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace report {

// Why something was left out or changed. The JSON key of each is in reasonKey().
enum class Reason : uint8_t {
    TextureNotFound,       // a bitmap shader's file exists in none of the folders tried
    PolygonsDropped,       // polygons naming a point outside the point array
    UnsupportedObject,     // an object type that is not translated
    GeneratorWithoutCache, // a generator that holds no cache to translate
    ControlObject,         // a polygon object marked as a control object
    HiddenByVisibility,    // a polygon object hidden in the editor or the render
    HiddenByLayer,         // a polygon object on a hidden layer
    MaterialNotTranslated, // a material of another type, or one that settles no colour
    ShaderNotTranslated,   // a shader of a type that is not translated, or only in part
    NameCut,               // a name longer than the scene allows
    ParameterDefault,      // a parameter that could not be read: its default was used
    TrackOneKey,           // an animation track with a single key
    TrackNoTimeSpan,       // an animation track whose keys all lie at one time
    TrackMuted,            // an animation track that is switched off
    HairStrandsDropped,    // hair strands whose points the host did not give
    NestedTooDeeply,       // objects below the deepest level the walk descends into
    RegionTooLarge,        // a material region too large for the scene's list counts
    TrackShortened,        // an animation track longer than the per-track sample bound
    RendererOfAnotherUser, // a running renderer that another user started, passed over
    NumberOutOfRange,      // a number the scene cannot hold, clamped (or 0 for not a number)
    TrackNotSampled,       // an animation track whose times cannot be sampled at all
    OtherLinksUnchanged,   // an export target with other names, which keep the previous scene
    Count
};

constexpr size_t kReasonCount = static_cast<size_t>(Reason::Count);
// Items listed per reason; further distinct items are only counted.
constexpr size_t kMaxItems = 1000;

const char* reasonKey(Reason reason);

// What the run wrote, counted at the scene interface.
struct Written {
    uint64_t groups = 0;
    uint64_t objects = 0;
    uint64_t triangles = 0;
    uint64_t materials = 0;
    uint64_t textures = 0;
    uint64_t lights = 0;
    uint64_t cameras = 0;
    uint64_t animations = 0;
    uint64_t hairCurves = 0;
    uint64_t bytes = 0;
    double seconds = 0.0;
};

// Text with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
using tavrin::text::safeUtf8;

class Report {
public:
    struct Item {
        std::string path;
        std::string detail;
        uint64_t count = 0;
    };
    struct Entry {
        std::vector<Item> items;
        uint64_t total = 0;    // events of this reason, repeats included
        uint64_t unlisted = 0; // events whose item did not fit the list
    };

    // Starts the report of a command ("export", "render" or "update"); forgets the last one.
    void begin(const std::string& command);
    void setDocument(const std::string& name);
    void setFile(const std::string& path);
    void setRenderer(const std::string& sceneName, int port);
    // The command failed and told the user why.
    void fail(const std::string& reason);
    // The user cancelled the command before anything was written.
    void cancel();

    // One event; count is how many elements it stands for (polygons, strands, uses).
    void leftOut(Reason reason, std::string_view path, std::string_view detail, uint64_t count = 1);

    // The walk's progress: updates the host's status bar when the shown percentage or the
    // text changes, so a long walk costs the host a bounded number of calls.
    void progress(const std::string& text, float fraction);

    Written& written() { return written_; }
    const Entry& entry(Reason reason) const { return entries_[static_cast<size_t>(reason)]; }
    uint64_t leftOutTotal() const;
    bool failed() const { return !failure_.empty(); }

    // The report as JSON text and as console lines.
    std::string json() const;
    std::vector<std::string> lines() const;

    // Clears the status bar, writes the lines to the console and the scene library log and
    // hands the JSON text to the host. Never throws.
    void publish();
    // Leaves the console lines out of publish (a Live update prints its own one line).
    void keepOffConsole() { offConsole_ = true; }

private:
    std::string command_;
    std::string document_;
    std::string destinationKind_;
    std::string destination_;
    int port_ = -1;
    std::string failure_;
    bool cancelled_ = false;
    Written written_;
    std::array<Entry, kReasonCount> entries_;
    // Index of each listed item by reason, path and detail.
    std::unordered_map<std::string, size_t> index_;
    bool offConsole_ = false;
    int shownPercent_ = -1;
    std::string shownText_;
};

} // namespace report
