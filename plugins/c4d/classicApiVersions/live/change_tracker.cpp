// The change tracker (see change_tracker.h): one pass over the document's tree and materials
// per scan, comparing counters with the record of the last update.
#include "change_tracker.h"

#include <algorithm>
#include <functional>

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

void ChangeTracker::Record::clear()
{
    objects.clear();
    materialUses.clear();
    byKey.clear();
    looks.clear();
}

const ChangeTracker::Seen* ChangeTracker::Record::find(uint64_t key) const
{
    const auto it = std::lower_bound(byKey.begin(), byKey.end(), std::pair<uint64_t, uint32_t>(key, 0));
    return it != byKey.end() && it->first == key ? &objects[it->second] : nullptr;
}

void ChangeTracker::scanObjects(const host::Document& doc, Record& now)
{
    // Pre-order without recursion, as the camera collection does: each level keeps its next
    // object and the index of the object it lies in.
    parents_.clear();
    names_.clear();
    levels_.clear();
    levels_.emplace_back(doc.firstObject(), -1);
    while (!levels_.empty()) {
        auto& [object, parent] = levels_.back();
        if (!object) {
            levels_.pop_back();
            continue;
        }
        const host::Object current = object;
        object = current.next();
        const int32_t index = static_cast<int32_t>(now.objects.size());
        parents_.push_back(parent);
        names_.push_back(std::hash<std::string>{}(current.name()));
        Seen s;
        s.key = current.key();
        s.type = current.type();
        s.matrix = current.dirty(C4D_DIRTY_MATRIX);
        s.data = current.dirty(C4D_DIRTY_DATA);
        s.cache = current.dirty(C4D_DIRTY_CACHE);
        const host::Layer layer = current.layer(doc);
        s.layer = layer.key();
        if (layer)
            now.looks.emplace_back(s.layer, fold(0, s.layer, layer.dirty(kAll)));
        s.firstMaterial = static_cast<uint32_t>(now.materialUses.size());
        for (host::Tag tag = current.firstTag(); tag; tag = tag.next()) {
            s.tags = fold(s.tags, tag.key(), tag.dirty(kAll));
            if (tag.type() != host::ids::Ttexture && tag.type() != host::ids::Thairmaterial)
                continue;
            const host::Material material = tag.material();
            if (!material)
                continue;
            now.materialUses.push_back(material.key());
            now.looks.emplace_back(material.key(), lookOf(material));
        }
        s.materialCount = static_cast<uint32_t>(now.materialUses.size()) - s.firstMaterial;
        for (host::Track track = current.firstTrack(); track; track = track.next())
            s.tracks = fold(s.tracks, track.key(), track.dirty(kAll));
        now.objects.push_back(s);
        if (host::Object child = current.down())
            levels_.emplace_back(child, index);
    }

    // Same-named siblings are told apart by their order: sorted by parent and name, each
    // run of one name counts up in walk order. A parent comes before its children, so its
    // path is made when theirs is.
    const size_t count = now.objects.size();
    siblings_.clear();
    for (size_t i = 0; i < count; ++i)
        siblings_.emplace_back(parents_[i], names_[i], static_cast<uint32_t>(i));
    std::sort(siblings_.begin(), siblings_.end());
    ordinals_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const auto& [parent, name, index] = siblings_[i];
        const bool same = i > 0 && std::get<0>(siblings_[i - 1]) == parent && std::get<1>(siblings_[i - 1]) == name;
        ordinals_[index] = same ? ordinals_[std::get<2>(siblings_[i - 1])] + 1 : 0;
    }
    now.byKey.clear();
    for (size_t i = 0; i < count; ++i) {
        Seen& s = now.objects[i];
        const uint64_t above = parents_[i] < 0 ? 0 : now.objects[static_cast<size_t>(parents_[i])].path;
        s.path = fold(above, names_[i], ordinals_[i]);
        now.byKey.emplace_back(s.key, static_cast<uint32_t>(i));
    }
    std::sort(now.byKey.begin(), now.byKey.end());
    std::sort(now.looks.begin(), now.looks.end());
    now.looks.erase(std::unique(now.looks.begin(), now.looks.end(),
                                [](const Signature& a, const Signature& b) { return a.first == b.first; }),
                    now.looks.end());
}

ChangeSet ChangeTracker::scan(const host::Document& doc)
{
    ChangeSet changes;
    pending_.clear();
    scanObjects(doc, pending_);
    // Materials (with their shaders) and layers, reached through the objects that use them:
    // a change re-sends those objects. Both lists are sorted, and so is the list of changes.
    changedLooks_.clear();
    for (const Signature& look : pending_.looks) {
        const auto it = std::lower_bound(seen_.looks.begin(), seen_.looks.end(), Signature(look.first, 0));
        if (it != seen_.looks.end() && it->first == look.first && it->second != look.second) {
            changedLooks_.push_back(look.first);
            ++changes.materials;
        }
    }
    const auto changedLook = [this](uint64_t key) {
        return std::binary_search(changedLooks_.begin(), changedLooks_.end(), key);
    };
    for (const Seen& now : pending_.objects) {
        const uint64_t key = now.key;
        const bool camera = now.type == host::ids::Ocamera;
        const bool light = now.type == host::ids::Olight;
        const Seen* found = seen_.find(key);
        if (found == nullptr) {
            ++changes.added;
            changes.contentKeys.push_back(key);
            changes.cameraChanged = changes.cameraChanged || camera;
            continue;
        }
        const Seen& was = *found;
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
        content = content || changedLook(now.layer);
        bool usesChangedMaterial = false;
        for (uint32_t i = 0; i < now.materialCount && !usesChangedMaterial; ++i)
            usesChangedMaterial = changedLook(pending_.materialUses[now.firstMaterial + i]);
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
    for (const Seen& was : seen_.objects) {
        if (pending_.find(was.key) == nullptr) {
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
    std::swap(seen_, pending_);
    structure_ = pendingStructure_;
    documentData_ = pendingDocumentData_;
    pending_.clear();
}

void ChangeTracker::reset()
{
    seen_.clear();
    pending_.clear();
    structure_ = 0;
    documentData_ = 0;
}

} // namespace live
