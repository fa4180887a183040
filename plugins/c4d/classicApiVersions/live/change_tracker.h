// What changed in a document since the last update the renderer took in, read from the
// host's dirty counters. The tracker keeps, per element key, the counters it saw last and
// where the object sat in the tree; a scan compares the document with that record, sorted
// by kind of change, and says which objects need their content re-sent. Nothing is kept of
// the host's handles: they do not outlive an edit, keys do.
#pragma once

#include "c4d_host.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace live {

// The changes of one scan, by kind.
struct ChangeSet {
    // Objects whose content (mesh, hair) must be re-sent, with everything below them:
    // sorted, unique keys.
    std::vector<uint64_t> contentKeys;
    // Objects whose materials or layer alone changed: they re-send their materials only.
    std::vector<uint64_t> lookKeys;
    bool cameraChanged = false; // a camera moved, changed, came or went
    int moved = 0;          // transform only
    int edited = 0;         // points, polygons, parameters, cache or tags
    int added = 0;
    int removed = 0;
    int rearranged = 0;     // renamed or moved in the tree
    int materials = 0;      // materials and layers changed
    int animations = 0;     // objects whose animation tracks changed
    int lights = 0;
    int cameras = 0;
    bool documentChanged = false; // the document's own data or tree counter moved

    bool any() const
    {
        return moved + edited + added + removed + rearranged + materials + animations + lights + cameras > 0 ||
               documentChanged;
    }
    // "moved 1 object, 1 material changed"; "nothing changed" when nothing did.
    std::string summary() const;
};

class ChangeTracker {
public:
    // Compares the document with the record of the last commit. The record is not changed.
    ChangeSet scan(const host::Document& doc);
    // Makes the state the last scan saw the record: called once its update was taken in.
    void commit();
    // Forgets everything: the next scan finds every object added.
    void reset();
    bool empty() const { return seen_.objects.empty(); }

private:
    struct Seen {
        uint64_t key = 0;
        uint64_t path = 0;       // hash of the names from the top, each with its index among same-named siblings
        int32_t type = 0;
        uint32_t matrix = 0;
        uint32_t data = 0;
        uint32_t cache = 0;
        uint64_t tags = 0;       // the object's tags: their keys and data counters
        uint64_t tracks = 0;     // the same for its animation tracks
        uint64_t layer = 0;      // key of its layer
        uint32_t firstMaterial = 0; // its texture tags' materials: materialUses[first, first + count)
        uint32_t materialCount = 0;
    };
    using Signature = std::pair<uint64_t, uint64_t>; // element key, signature of its counters
    // One scan's view of the document, in dense arrays that are refilled, never freed, from
    // scan to scan: a heavy document costs no allocation per object.
    struct Record {
        std::vector<Seen> objects;                       // in walk order
        std::vector<uint64_t> materialUses;
        std::vector<std::pair<uint64_t, uint32_t>> byKey; // (key, index into objects), sorted
        std::vector<Signature> looks;                     // materials and layers, sorted by key, unique
        void clear();
        const Seen* find(uint64_t key) const;
    };

    void scanObjects(const host::Document& doc, Record& now);

    Record seen_;
    uint32_t structure_ = 0;
    uint32_t documentData_ = 0;

    // What the last scan saw, made the record by commit.
    Record pending_;
    uint32_t pendingStructure_ = 0;
    uint32_t pendingDocumentData_ = 0;

    // Scratch of a scan: per object in walk order, its parent's index (or -1) and its
    // name's hash; then (parent, name, index) sorted to number same-named siblings.
    std::vector<int32_t> parents_;
    std::vector<uint64_t> names_;
    std::vector<std::tuple<int32_t, uint64_t, uint32_t>> siblings_;
    std::vector<uint32_t> ordinals_;
    std::vector<std::pair<host::Object, int32_t>> levels_; // the walk: next object, index of its parent
    std::vector<uint64_t> changedLooks_;
};

} // namespace live
