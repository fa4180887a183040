// Edits of the open document: c4dsim's live session applies each new version of a document
// (the whole document as it stands after the edit) to the one the plug-in has open, the way
// the host changes its own document: elements keep their identity (key) across the edit,
// and only the dirty counters of what the edit touched are raised.
#pragma once

#include "sim_document.h"

#include <memory>

namespace sim {

// What one edit did, for the session's own lines.
struct EditResult {
    int touched = 0;  // kept elements whose counters were raised
    int added = 0;    // elements new in this version
    int removed = 0;  // elements gone from it
    bool structure = false; // objects added, removed or moved in the tree
    bool any() const { return touched + added + removed > 0 || structure; }
};

// Makes `open` the document `next` describes. An element of `next` continues the element
// of `open` with the same "id" (and kind and type), or, without an id, the one at the same
// path of names with the same index among same-named siblings. A continued element keeps
// its key and counters, and the counters of what differs are raised: an object's matrix
// for its position, rotation, scale or rotation order, its data for anything else of its
// own (name, parameters, points, polygons, normals, hair, layer, bits), its cache when its
// generated or deformed cache differs; the data of a tag, track, material, shader, layer
// or of the document itself. The document's children counter rises when objects were
// added, removed or moved in the tree. The open document's handle stays valid; handles of
// its elements do not (the plug-in holds keys, not handles, across edits).
EditResult applyEdit(Document& open, std::unique_ptr<Document> next);

} // namespace sim
