// What changed in a document since the last update the renderer took in, read from the
// host's dirty counters. The tracker keeps, per element key, the counters it saw last and
// where the object sat in the tree; a scan compares the document with that record, sorted
// by kind of change, and says which objects need their content re-sent. Nothing is kept of
// the host's handles: they do not outlive an edit, keys do.
#pragma once

#include "c4d_host.h"

#include <cstdint>
#include <string>
#include <unordered_map>
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
    bool empty() const { return seen_.empty(); }

private:
    struct Seen {
        std::string path;        // names from the top, each with its index among same-named siblings
        int32_t type = 0;
        uint32_t matrix = 0;
        uint32_t data = 0;
        uint32_t cache = 0;
        uint64_t tags = 0;       // the object's tags: their keys and data counters
        uint64_t tracks = 0;     // the same for its animation tracks
        uint64_t layer = 0;      // key of its layer
        std::vector<uint64_t> materials; // keys of the materials its texture tags name
    };
    using Record = std::unordered_map<uint64_t, Seen>;

    void scanObjects(const host::Document& doc, Record& now);

    Record seen_;
    std::unordered_map<uint64_t, uint64_t> materials_; // material or layer key -> signature of its counters
    uint32_t structure_ = 0;
    uint32_t documentData_ = 0;

    // What the last scan saw, made the record by commit.
    Record pending_;
    std::unordered_map<uint64_t, uint64_t> pendingMaterials_;
    uint32_t pendingStructure_ = 0;
    uint32_t pendingDocumentData_ = 0;
};

} // namespace live
