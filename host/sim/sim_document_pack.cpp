#include "sim_document_pack.h"

#include "sim_internal.h"
#include "sim_json_heavy.h"
#include "sim_json_loader.h"

#include <simdjson.h>

#include <cstring>
#include <exception>

namespace sim {

namespace {

template <typename T>
std::vector<T> copied(const PackedArray& a)
{
    std::vector<T> out(a.count);
    if (a.count > 0)
        std::memcpy(out.data(), a.data, a.count * sizeof(T));
    return out;
}

} // namespace

size_t packedElementBytes(PackedKind kind)
{
    switch (kind) {
    case PackedKind::Points:
    case PackedKind::HairPoints:
    case PackedKind::RootUV: return sizeof(Vec3);
    case PackedKind::Polygons: return sizeof(c4d_cpolygon);
    case PackedKind::Normals: return sizeof(c4d_vec32);
    case PackedKind::Uvw: return sizeof(c4d_uvw);
    case PackedKind::Segments: return 2 * sizeof(int32_t);
    }
    return 0;
}

LongArray LongArray::copyOf(const PackedArray& view)
{
    LongArray a{view.kind, {}, {}, {}, {}, {}};
    switch (view.kind) {
    case PackedKind::Points:
    case PackedKind::HairPoints:
    case PackedKind::RootUV: a.vec3 = copied<Vec3>(view); break;
    case PackedKind::Polygons: a.polygons = copied<c4d_cpolygon>(view); break;
    case PackedKind::Normals: a.normals = copied<c4d_vec32>(view); break;
    case PackedKind::Uvw: a.uvw = copied<c4d_uvw>(view); break;
    case PackedKind::Segments: {
        // Pairs are set number by number rather than copied as bytes.
        const auto* numbers = static_cast<const unsigned char*>(view.data);
        a.segments.resize(view.count);
        for (size_t i = 0; i < view.count; ++i) {
            std::memcpy(&a.segments[i].first, numbers + 8 * i, 4);
            std::memcpy(&a.segments[i].second, numbers + 8 * i + 4, 4);
        }
        break;
    }
    }
    return a;
}

PackedDocument packDocument(const Document& doc)
{
    PackedDocument packed;
    packed.text = packedDocumentJson(doc, packed.arrays);
    return packed;
}

std::unique_ptr<Document> unpackDocument(const std::string& text, std::vector<LongArray> arrays,
                                         const std::string& folder, std::string& error, const std::string& name)
{
    error.clear();
    const std::string prefix = name.empty() ? std::string() : name + ": ";
    try {
        HeavyArrays heavy;
        heavy.entries = std::move(arrays);
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (auto code = parser.allocate(text.size(), kMaxJsonDepth)) {
            error = prefix + "cannot read the document: " + simdjson::error_message(code);
            return nullptr;
        }
        if (auto code = parser.parse(text).get(root)) {
            error = prefix + "not valid JSON: " + simdjson::error_message(code);
            return nullptr;
        }
        auto doc = std::make_unique<Document>();
        readDocumentModel(Json(root), folder, *doc, heavy);
        return doc;
    } catch (const LoadError& e) {
        error = prefix + e.message;
    } catch (const std::exception& e) {
        error = prefix + "cannot read the document: " + e.what();
    }
    return nullptr;
}

} // namespace sim
