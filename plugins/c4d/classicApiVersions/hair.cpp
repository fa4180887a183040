// Hair objects into one scene object of curves: each strand one curve whose control points
// are the strand's points in the hair object's own coordinates, with a radius per point
// tapering linearly from root to tip and the root's UV per curve. The material comes from
// the hair material tags the object inherits.
#include "hair.h"

#include "TranslationContext.h"
#include "animation.h"
#include "material.h"
#include "orvScene_api.h"
#include "orvSceneapi_oo.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int32_t kTagName = 900;
constexpr int32_t kTagMaterial = 1000;
constexpr int32_t kRootRadius = 3009;
constexpr int32_t kTipRadius = 3010;
constexpr int32_t kColourShader = 3000;
constexpr int32_t kColourGradient = 3139;

struct HairParameters {
    MaterialRecord material;
    float rootRadius = 0.5f;
    float tipRadius = 0.1f;
};

// Walks the tags from the back, so the applicable tag nearest the front of the list (the
// one of the outermost ancestor) has the last word, field by field.
void readHairTags(TranslationContext& context, const TextureTagList& textureTags, HairParameters& p)
{
    for (auto it = textureTags.rbegin(); it != textureTags.rend(); ++it) {
        const host::Tag& tag = *it;
        if (!tag || tag.type() != host::ids::Thairmaterial)
            continue;
        std::string name;
        if (tag.getString(kTagName, name) && !name.empty())
            setRecordName(p.material, name);

        host::Element b_material;
        if (!tag.getLink(kTagMaterial, context.document, b_material) || !b_material ||
            b_material.type() != host::ids::Mhair)
            continue;
        double v = 0;
        if (b_material.getFloat(kRootRadius, v))
            p.rootRadius = static_cast<float>(v);
        if (b_material.getFloat(kTipRadius, v))
            p.tipRadius = static_cast<float>(v);
        host::Element b_shader;
        if (b_material.getLink(kColourShader, context.document, b_shader) && b_shader)
            readShader(context, host::Shader(b_shader.handle()), p.material);
        host::Vec3 colour;
        if (b_material.getGradientKnot0(kColourGradient, colour)) {
            p.material.diffuse[0] = colour.x;
            p.material.diffuse[1] = colour.y;
            p.material.diffuse[2] = colour.z;
        }
    }
}

// The strand arrays of one hair object, as written.
struct CurveArrays {
    std::vector<float> points;   // 3 per point
    std::vector<float> radii;    // 1 per point
    std::vector<float> uvs;      // 2 per curve
    std::vector<int32_t> counts; // points per curve
    int64_t droppedStrands = 0;  // strands whose points the host's array does not hold
};

// Fills the arrays from the guides. Only strands whose points the host's array holds in
// full are written, so guides with fewer points than strands x points per strand lose
// their incomplete strands instead of reading past the array.
void buildCurves(const host::HairGuides& guides, const host::Matrix& w, const HairParameters& p,
                 CurveArrays& out)
{
    const int32_t strandCount = guides.strandCount();
    const int32_t segmentCount = guides.segmentCount();
    // A negative segment count is taken as no points per strand.
    const int64_t nv = segmentCount > 0 ? static_cast<int64_t>(segmentCount) + 1 : 0;
    int32_t pointCount = 0;
    const host::Vec3* points = guides.points(pointCount);
    if (!points || pointCount < 0)
        pointCount = 0;

    int64_t strands = strandCount > 0 ? strandCount : 0;
    if (nv > 0 && strands * nv > pointCount) {
        out.droppedStrands = strands - pointCount / nv;
        strands = pointCount / nv;
    }
    if (strands <= 0)
        return;

    const size_t pointTotal = static_cast<size_t>(strands * nv);
    out.points.reserve(pointTotal * 3);
    out.radii.reserve(pointTotal);
    out.uvs.reserve(static_cast<size_t>(strands) * 2);
    out.counts.reserve(static_cast<size_t>(strands));

    const float difference = p.tipRadius - p.rootRadius;
    const float step = static_cast<float>(static_cast<double>(difference) / (static_cast<double>(nv) - 1.0));
    for (int64_t i = 0; i < strands; ++i) {
        float r = p.rootRadius;
        const host::Vec3* strand = points + i * nv;
        for (int64_t j = 0; j < nv; ++j) {
            const host::Vec3 q = affine::apply(w, strand[j]);
            out.points.push_back(static_cast<float>(q.x));
            out.points.push_back(static_cast<float>(q.y));
            out.points.push_back(static_cast<float>(q.z));
            out.radii.push_back(r);
            r = r + step;
        }
        out.counts.push_back(static_cast<int32_t>(nv));
        host::Vec3 uv{0, 0, 0};
        if (!guides.rootUV(static_cast<int32_t>(i), uv))
            uv = host::Vec3{0, 0, 0};
        out.uvs.push_back(static_cast<float>(uv.x));
        out.uvs.push_back(static_cast<float>(uv.y));
    }
}

int32_t count32(size_t n)
{
    return static_cast<int32_t>(n);
}

} // namespace

void translateHairObject(TranslationContext& context, const host::Object& b_hair, TextureTagList textureTags)
{
    if (!context.scene || !context.scene->api())
        return;
    const host::HairLock lock(b_hair, context.document);
    const host::HairGuides guides = lock.generate(-1, -1, 0);
    if (!guides)
        return;

    host::Matrix ml = affine::identity();
    if (!b_hair.ml(ml))
        ml = affine::identity();
    const host::Matrix w = affine::inverse(ml);

    double colour[3];
    displayColour(context, b_hair, colour);
    HairParameters p{makeMaterialRecord(colour)};
    readHairTags(context, textureTags, p);

    CurveArrays curves;
    buildCurves(guides, w, p, curves);
    if (curves.droppedStrands > 0)
        context.report.leftOut(report::Reason::HairStrandsDropped, context.objectPath,
                               "the host gave too few guide points", static_cast<uint64_t>(curves.droppedStrands));

    orvScene_api* api = context.scene->api();
    std::string name = b_hair.name();
    if (name.empty())
        name = "object";
    api->beginObject(name.c_str(), 1);
    api->beginGeometry("orv_bezier_curves");
    const float radius = 0.5f;
    const int32_t order = 2;
    api->attribute("radius", orvType::Float, &radius);
    api->attribute("order", orvType::Int, &order);
    const AttributeArray points{curves.points.data(), count32(curves.points.size() / 3)};
    const AttributeArray radii{curves.radii.data(), count32(curves.radii.size())};
    const AttributeArray uvs{curves.uvs.data(), count32(curves.uvs.size())};
    const AttributeArray counts{curves.counts.data(), count32(curves.counts.size())};
    api->attribute("p", orvType::Float3Array, &points);
    api->attribute("pr", orvType::FloatArray, &radii);
    api->attribute("curve_uv", orvType::FloatArray, &uvs);
    api->attribute("nvertices", orvType::IntArray, &counts);
    api->endGeometry();
    emitMaterial(context, p.material);
    api->endObject();
}
