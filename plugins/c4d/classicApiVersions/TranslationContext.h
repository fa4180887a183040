// The one process-wide object that every command and translator receives.
#pragma once

#include "c4d_host.h"
#include "material_record.h"
#include "report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orv {
class orvSceneapi_oo;
}

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
    // Running progress fraction of the walk.
    float progress = 0.0f;
    host::Document document;
    bool updateMode = false;
    // Keys of the selected objects in update mode (sorted, unique).
    std::vector<uint64_t> selectedKeys;
    // The report of the running command: what was written and what was left out.
    report::Report report;
    // Path of names of the object the walk is in ("Parent/Child"), for the report.
    std::string objectPath;
};
