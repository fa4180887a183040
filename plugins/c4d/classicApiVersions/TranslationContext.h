// The one process-wide object that every command and translator receives.
#pragma once

#include "c4d_host.h"
#include "material_record.h"
#include "report.h"

#include <cstdint>
#include <string>
#include <vector>

class FiniteSceneApi;
namespace orv {
class orvSceneapi_oo;
}

// What a Live update sends (set by the Live session for the run of one update, null
// otherwise): the stream is marked as a merging update, and only the objects listed, with
// everything below them, send their content; an object of the list that sends none marks
// its content gone. With `everything`, every object sends its content.
// Objects whose materials alone changed (`lookKeys`) send their meshes without geometry:
// the renderer keeps the geometry it holds and takes the new materials.
struct LiveUpdate {
    bool everything = false;
    std::vector<uint64_t> contentKeys; // sorted, unique
    std::vector<uint64_t> lookKeys;    // sorted, unique; none of contentKeys
    bool adjustCamera = false;         // a camera changed: the renderer is to use the stream's
    // Set by the walk while it is below an object of lookKeys (and not of contentKeys).
    bool looksOnly = false;
};

struct TranslationContext {
    // Scratch buffers of the mesh translation, emptied per region and never shrunk, so
    // heavy meshes do not reallocate from region to region.
    std::vector<float> meshPositions;
    std::vector<float> meshNormals;
    std::vector<float> meshUVs;
    std::vector<int32_t> meshTriangles;
    std::vector<int32_t> meshNormalIndices;
    std::vector<int32_t> meshUVIndices;
    // Working arrays of the mesh translation, kept like the scratch buffers so that heavy
    // meshes do not allocate per object: a state byte per polygon, and the vertex map (per
    // point: the region stamp in the high half, the vertex number in the low half). A
    // stamp is never reused while the map holds it, so the map is never cleared per region.
    std::vector<uint8_t> meshPolygonState;
    std::vector<uint64_t> meshVertexMap;
    uint32_t meshRegionStamp = 0;

    // Folder of the document's file; "" when it has none.
    std::string documentPath;
    // Material variant numbers, stable across commands for the life of the plug-in.
    MaterialVariants materialVariants;
    // Wrapper of the running command; null between commands.
    orv::orvSceneapi_oo* scene = nullptr;
    // The guard behind the wrapper that keeps the scene's numbers finite, for translators
    // that vouch for the lists they checked themselves; null between commands.
    FiniteSceneApi* finiteGuard = nullptr;
    // Running progress fraction of the walk.
    float progress = 0.0f;
    host::Document document;
    bool updateMode = false;
    // Keys of the selected objects in update mode (sorted, unique).
    std::vector<uint64_t> selectedKeys;
    // The report of the running command: what was written and what was left out.
    report::Report report;
    // The Live update being written; null for Export, Render and Update.
    LiveUpdate* live = nullptr;
    // Path of names of the object the walk is in ("Parent/Child"), for the report.
    std::string objectPath;
};
