// The change tracker (see change_tracker.h): one pass over the document's tree and materials
// per scan, comparing counters with the record of the last update.
#include "change_tracker.h"

#include <algorithm>
#include <unordered_set>

namespace live {

namespace {

constexpr uint32_t kAll = C4D_DIRTY_MATRIX | C4D_DIRTY_DATA | C4D_DIRTY_CACHE;

// Folds a key and its counter into a running signature (order matters).
uint64_t fold(uint64_t sum, uint64_t key, uint32_t counter)
{
    uint64_t x = sum ^ (key * 0x9E3779B97F4A7C15ull) ^ (uint64_t(counter) << 32 | counter);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 32);
}

void count(std::string& out, int n, const char* one, const char* many, const char* verb)
{
    if (n <= 0)
        return;
    if (!out.empty())
        out += ", ";
    if (verb[0] == '\0')
        out += std::string(n == 1 ? one : many) + " " + std::to_string(n);
    else
        out += std::to_string(n) + " " + (n == 1 ? one : many) + " " + verb;
}

void countVerbFirst(std::string& out, int n, const char* verb)
{
    if (n <= 0)
        return;
    if (!out.empty())
        out += ", ";
    out += std::string(verb) + " " + std::to_string(n) + (n == 1 ? " object" : " objects");
}

} // namespace

std::string ChangeSet::summary() const
{
    std::string out;
    countVerbFirst(out, moved, "moved");
    countVerbFirst(out, edited, "edited");
    countVerbFirst(out, added, "added");
    countVerbFirst(out, removed, "removed");
    countVerbFirst(out, rearranged, "renamed or rearranged");
    count(out, materials, "material", "materials", "changed");
    count(out, animations, "animation", "animations", "changed");
    count(out, lights, "light", "lights", "changed");
    count(out, cameras, "camera", "cameras", "changed");
    if (out.empty())
        out = documentChanged ? "document changed" : "nothing changed";
    return out;
}

namespace {

// A material's signature: its own counters and its shaders'.
uint64_t lookOf(const host::Material& material)
{
    uint64_t signature = fold(0, material.key(), material.dirty(kAll));
    for (host::Shader shader = material.firstShader(); shader; shader = shader.next())
        signature = fold(signature, shader.key(), shader.dirty(kAll));
    return signature;
}

} // namespace

void ChangeTracker::scanObjects(const host::Document& doc, Record& now)
{
    // Pre-order without recursion, as the camera collection does: each level keeps its next
    // object, its path and the names seen among its children so far.
    struct Level {
        host::Object object;
        std::string path;
        uint64_t parent;
        std::unordered_map<std::string, int> names;
    };
    std::vector<Level> levels;
    levels.push_back({doc.firstObject(), std::string(), 0, {}});
    while (!levels.empty()) {
        Level& level = levels.back();
        const host::Object object = level.object;
        if (!object) {
            levels.pop_back();
            continue;
        }
        level.object = object.next();
        const std::string name = object.name();
        const int ordinal = level.names[name]++;
        Seen s;
        s.path = level.path + "/" + name + "#" + std::to_string(ordinal);
        s.type = object.type();
        s.matrix = object.dirty(C4D_DIRTY_MATRIX);
        s.data = object.dirty(C4D_DIRTY_DATA);
        s.cache = object.dirty(C4D_DIRTY_CACHE);
        const host::Layer layer = object.layer(doc);
        s.layer = layer.key();
        if (layer)
            pendingMaterials_.try_emplace(s.layer, fold(0, s.layer, layer.dirty(kAll)));
        for (host::Tag tag = object.firstTag(); tag; tag = tag.next()) {
            s.tags = fold(s.tags, tag.key(), tag.dirty(kAll));
            if (tag.type() != host::ids::Ttexture && tag.type() != host::ids::Thairmaterial)
                continue;
            const host::Material material = tag.material();
            if (!material)
                continue;
            s.materials.push_back(material.key());
            if (pendingMaterials_.find(material.key()) == pendingMaterials_.end())
                pendingMaterials_.emplace(material.key(), lookOf(material));
        }
        for (host::Track track = object.firstTrack(); track; track = track.next())
            s.tracks = fold(s.tracks, track.key(), track.dirty(kAll));
        const std::string path = s.path;
        now.emplace(object.key(), std::move(s));
        if (host::Object child = object.down())
            levels.push_back({child, path, 0, {}});
    }
}

ChangeSet ChangeTracker::scan(const host::Document& doc)
{
    ChangeSet changes;
    pending_.clear();
    pending_.reserve(seen_.size() + 16);
    pendingMaterials_.clear();

    scanObjects(doc, pending_);
    // Materials (with their shaders) and layers, reached through the objects that use them:
    // a change re-sends those objects.
    std::unordered_set<uint64_t> changedLooks;
    for (const auto& [key, signature] : pendingMaterials_) {
        auto it = materials_.find(key);
        if (it != materials_.end() && it->second != signature) {
            changedLooks.insert(key);
            ++changes.materials;
        }
    }
    for (const auto& [key, now] : pending_) {
        const bool camera = now.type == host::ids::Ocamera;
        const bool light = now.type == host::ids::Olight;
        auto it = seen_.find(key);
        if (it == seen_.end()) {
            ++changes.added;
            changes.contentKeys.push_back(key);
            changes.cameraChanged = changes.cameraChanged || camera;
            continue;
        }
        const Seen& was = it->second;
        bool content = false;
        bool counted = false;
        if (was.path != now.path || was.type != now.type) {
            ++changes.rearranged;
            content = counted = true;
        }
        if (was.data != now.data || was.cache != now.cache || was.tags != now.tags || was.layer != now.layer) {
            if (!counted)
                ++(light ? changes.lights : camera ? changes.cameras : changes.edited);
            content = counted = true;
        }
        // A layer can hide what it holds: its objects send their content again. A material
        // changes only how they look.
        content = content || changedLooks.count(now.layer) > 0;
        bool usesChangedMaterial = false;
        for (uint64_t material : now.materials)
            usesChangedMaterial = usesChangedMaterial || changedLooks.count(material) > 0;
        if (was.matrix != now.matrix && !counted) {
            ++(light ? changes.lights : camera ? changes.cameras : changes.moved);
            counted = true;
        }
        if (was.tracks != now.tracks)
            ++changes.animations;
        if (camera && (counted || was.tracks != now.tracks))
            changes.cameraChanged = true;
        if (content)
            changes.contentKeys.push_back(key);
        else if (usesChangedMaterial)
            changes.lookKeys.push_back(key);
    }
    for (const auto& [key, was] : seen_) {
        if (pending_.count(key) == 0) {
            ++changes.removed;
            changes.cameraChanged = changes.cameraChanged || was.type == host::ids::Ocamera;
        }
    }

    pendingStructure_ = doc.dirty(C4D_DIRTY_CHILDREN);
    pendingDocumentData_ = doc.dirty(C4D_DIRTY_DATA);
    changes.documentChanged = pendingStructure_ != structure_ || pendingDocumentData_ != documentData_;
    std::sort(changes.contentKeys.begin(), changes.contentKeys.end());
    std::sort(changes.lookKeys.begin(), changes.lookKeys.end());
    return changes;
}

void ChangeTracker::commit()
{
    seen_ = std::move(pending_);
    materials_ = std::move(pendingMaterials_);
    structure_ = pendingStructure_;
    documentData_ = pendingDocumentData_;
    pending_.clear();
    pendingMaterials_.clear();
}

void ChangeTracker::reset()
{
    seen_.clear();
    materials_.clear();
    structure_ = 0;
    documentData_ = 0;
}

} // namespace live
