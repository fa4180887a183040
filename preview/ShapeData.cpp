#include "ShapeData.h"

#include "SceneValues.h"

#include <cmath>
#include <cstring>

namespace preview {

namespace {

// Whether two statements say the same: the same values, bit for bit (absent ones alike).
bool sameValue(const Value& a, const Value& b)
{
    const auto sameBytes = [](const auto& x, const auto& y) {
        return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0);
    };
    return a.kind == b.kind && a.text == b.text && a.binaryKind == b.binaryKind && a.items == b.items &&
           sameBytes(a.floats, b.floats) && sameBytes(a.doubles, b.doubles) && sameBytes(a.ints, b.ints);
}

bool sameStatement(const Statement* a, const Statement* b)
{
    if (!a || !b)
        return a == b;
    if (a->args.size() != b->args.size())
        return false;
    for (size_t i = 0; i < a->args.size(); ++i)
        if (!sameValue(a->args[i], b->args[i]))
            return false;
    return true;
}

// The attributes a geometry of each kind is gathered from: equal ones gather the same data.
constexpr std::string_view kMeshKeys[] = {"vertices", "triangles", "uv_tex", "triangles_uv"};
constexpr std::string_view kCurveKeys[] = {"p", "pr", "nvertices", "radius"};

// Object-space points past this size, or placed past it, are not drawn: the ray tracer
// works in single precision.
constexpr double kFar = 1e18;

bool usablePoint(Vec3 p)
{
    return finite(p) && std::fabs(p.x) < kFar && std::fabs(p.y) < kFar && std::fabs(p.z) < kFar;
}

} // namespace

GeometryKind kindOf(const Statement& g)
{
    const std::string& kind = g.name();
    return kind == "triangles" ? GeometryKind::Mesh : kind == "orv_bezier_curves" ? GeometryKind::Curves : GeometryKind::Other;
}

bool sameGeometry(GeometryKind kind, const Block& a, const Block& b)
{
    const std::span<const std::string_view> keys = kind == GeometryKind::Mesh ? std::span(kMeshKeys) : std::span(kCurveKeys);
    for (std::string_view key : keys)
        if (!sameStatement(a.find(key), b.find(key)))
            return false;
    return true;
}

std::shared_ptr<const MeshData> gatherMesh(const Block& g)
{
    const NumberList<float> v = numbersOf<float>(g.find("vertices"));
    const NumberList<int32_t> t = numbersOf<int32_t>(g.find("triangles"));
    const size_t vertexCount = v.size() / 3;
    const size_t triangleCount = t.size() / 3;
    auto mesh = std::make_shared<MeshData>();
    if (vertexCount == 0 || triangleCount == 0 || vertexCount > UINT32_MAX)
        return mesh;
    // A vertex that is not usable is kept out of every triangle.
    mesh->vertices.resize((vertexCount + 1) * 3);
    std::vector<uint8_t> usable(vertexCount);
    for (size_t i = 0; i < vertexCount; ++i) {
        const Vec3 p{v[i * 3], v[i * 3 + 1], v[i * 3 + 2]};
        const bool ok = usablePoint(p);
        usable[i] = ok;
        mesh->vertices[i * 3] = ok ? float(p.x) : 0.f;
        mesh->vertices[i * 3 + 1] = ok ? float(p.y) : 0.f;
        mesh->vertices[i * 3 + 2] = ok ? float(p.z) : 0.f;
    }
    // Only triangles with three usable corners and an area are kept: a stack of zero-area
    // triangles covers nothing yet would defeat the acceleration structure.
    mesh->used.assign(vertexCount, 0);
    mesh->triangles.reserve(triangleCount * 3);
    std::vector<size_t> kept; // source triangle of each kept one
    for (size_t k = 0; k < triangleCount; ++k) {
        bool ok = true;
        for (size_t c = 0; c < 3; ++c) {
            const int32_t i = t[k * 3 + c];
            ok = ok && i >= 0 && size_t(i) < vertexCount && usable[size_t(i)];
        }
        if (!ok) {
            ++mesh->unusable;
            continue;
        }
        Vec3 q[3];
        for (size_t c = 0; c < 3; ++c) {
            const float* f = &mesh->vertices[size_t(t[k * 3 + c]) * 3];
            q[c] = {f[0], f[1], f[2]};
        }
        if (!(length(cross(q[1] - q[0], q[2] - q[0])) > 0))
            continue;
        for (size_t c = 0; c < 3; ++c) {
            mesh->triangles.push_back(uint32_t(t[k * 3 + c]));
            mesh->used[size_t(t[k * 3 + c])] = 1;
        }
        kept.push_back(k);
    }
    const NumberList<float> uv = numbersOf<float>(g.find("uv_tex"));
    const NumberList<int32_t> tuv = numbersOf<int32_t>(g.find("triangles_uv"));
    if (tuv.size() >= triangleCount * 3 && uv.size() >= 2) {
        mesh->uv.assign(uv.view.begin(), uv.view.end());
        mesh->triangleUv.reserve(kept.size() * 3);
        for (size_t k : kept)
            mesh->triangleUv.insert(mesh->triangleUv.end(), {tuv[k * 3], tuv[k * 3 + 1], tuv[k * 3 + 2]});
    }
    return mesh;
}

std::shared_ptr<const CurveData> gatherCurves(const Block& g)
{
    const NumberList<float> p = numbersOf<float>(g.find("p"));
    const NumberList<float> pr = numbersOf<float>(g.find("pr"));
    const NumberList<int32_t> counts = numbersOf<int32_t>(g.find("nvertices"));
    const double radius = readNumber(g, "radius", 0.5);
    const size_t pointCount = p.size() / 3;
    auto c = std::make_shared<CurveData>();
    c->points.reserve(pointCount * 4);
    for (size_t i = 0; i < pointCount; ++i) {
        double r = i < pr.size() ? pr[i] : radius;
        if (!std::isfinite(r) || r < 0)
            r = 0;
        c->points.insert(c->points.end(), {p[i * 3], p[i * 3 + 1], p[i * 3 + 2], float(r)});
    }
    size_t first = 0;
    for (size_t k = 0; k < counts.size(); ++k) {
        const int32_t n = counts[k];
        if (n < 0 || first + size_t(n) > pointCount) {
            c->countsExceedPoints = true;
            break;
        }
        for (size_t j = 0; j + 1 < size_t(n); ++j) {
            const float* a = &c->points[(first + j) * 4];
            const float* b = a + 4;
            if (!usablePoint({a[0], a[1], a[2]}) || !usablePoint({b[0], b[1], b[2]}))
                continue;
            c->segments.push_back(uint32_t(first + j));
        }
        first += size_t(n);
    }
    return c;
}

Bounds worldBounds(const Shape& shape)
{
    Bounds b;
    bool far = false;
    const auto add = [&](const float* f) {
        const Vec3 q = transformPoint({f[0], f[1], f[2]}, shape.world);
        far = far || !usablePoint(q);
        b.add(q);
    };
    if (shape.mesh) {
        const MeshData& m = *shape.mesh;
        for (size_t i = 0; i < m.used.size(); ++i)
            if (m.used[i])
                add(&m.vertices[i * 3]);
    } else {
        const CurveData& c = *shape.curves;
        for (uint32_t s : c.segments) {
            add(&c.points[size_t(s) * 4]);
            add(&c.points[size_t(s) * 4 + 4]);
        }
    }
    return far ? Bounds{} : b;
}
} // namespace preview
