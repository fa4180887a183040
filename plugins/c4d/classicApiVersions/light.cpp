// Lights as emitting geometry: a small octahedron in the light's own coordinates whose
// inline material is a light shader. Area lights (type 8) become a mesh light of the
// area's size, hidden from camera, reflections and shadows; every other type a point light
// on a unit octahedron.
#include "light.h"

#include "TranslationContext.h"
#include "orvScene_api.h"
#include "orvSceneapi_oo.h"
#include "plain_zero.h"

#include <array>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr int32_t kColour = 90000;
constexpr int32_t kBrightness = 90001;
constexpr int32_t kType = 90002;
constexpr int32_t kAreaSizeX = 100010;
constexpr int32_t kAreaSizeY = 100011;
constexpr int32_t kAreaSizeZ = 100012;
constexpr int32_t kPhotometric = 90046;
constexpr int32_t kPhotometricUnit = 90037;
constexpr int32_t kPhotometricIntensity = 90043;
constexpr int32_t kAreaLight = 8;

// Values used when the host cannot give a parameter (or gives a non-finite number): a
// white omni light at 100 %, the host's default area size, photometry off.
constexpr host::Vec3 kDefaultColour{1, 1, 1};
constexpr double kDefaultBrightness = 1.0;
constexpr double kDefaultAreaSize = 200.0;
constexpr double kDefaultIntensity = 100.0;

constexpr std::array<int32_t, 24> kTriangles{2, 1, 0, 1, 2, 5, 3, 2, 0, 2, 3, 5,
                                             4, 3, 0, 3, 4, 5, 1, 4, 0, 4, 1, 5};

// The light record read from the host before anything is written.
struct LightRecord {
    std::array<float, 3> colour{};
    int32_t type = 0;
    bool photometric = false;
    int32_t power = 0;
    float hx = 1, hy = 1, hz = 1;
};

// Parameters of one light that could not be read, for the report.
using Unread = std::vector<int32_t>;

double readDouble(const host::Object& b_light, int32_t id, double fallback, Unread& unread)
{
    double v = 0;
    if (b_light.getFloat(id, v) && std::isfinite(v))
        return v;
    unread.push_back(id);
    return fallback;
}

int32_t readInt(const host::Object& b_light, int32_t id, int32_t fallback, Unread& unread)
{
    int32_t v = 0;
    if (b_light.getInt(id, v))
        return v;
    unread.push_back(id);
    return fallback;
}

// Truncation toward zero that stays defined for values an int cannot hold.
int32_t truncateToInt(float v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483648.0f)
        return INT32_MAX;
    if (v <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

LightRecord readLight(const host::Object& b_light, Unread& unread)
{
    LightRecord r;
    host::Vec3 c = kDefaultColour;
    if (!b_light.getVector(kColour, c) || !std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z)) {
        c = kDefaultColour;
        unread.push_back(kColour);
    }
    r.colour = {static_cast<float>(c.x), static_cast<float>(c.y), static_cast<float>(c.z)};
    const double brightness = readDouble(b_light, kBrightness, kDefaultBrightness, unread);
    r.type = readInt(b_light, kType, 0, unread);
    if (r.type == kAreaLight) {
        r.hx = static_cast<float>(readDouble(b_light, kAreaSizeX, kDefaultAreaSize, unread) * 0.5);
        r.hy = static_cast<float>(readDouble(b_light, kAreaSizeY, kDefaultAreaSize, unread) * 0.5);
        r.hz = static_cast<float>(readDouble(b_light, kAreaSizeZ, kDefaultAreaSize, unread) * 0.5);
    }
    // A light without photometry has no use for its switch or unit: when they cannot be read
    // they are off and the first unit, which needs no mention in the report.
    Unread optional;
    r.photometric = readInt(b_light, kPhotometric, 0, optional) != 0;
    if (r.photometric) {
        const int32_t unit = readInt(b_light, kPhotometricUnit, 0, optional);
        float intensity = static_cast<float>(readDouble(b_light, kPhotometricIntensity, kDefaultIntensity, unread));
        if (unit == 1)
            intensity = static_cast<float>(static_cast<double>(intensity) * 12.566);
        r.power = truncateToInt(intensity);
    } else {
        r.power = truncateToInt(static_cast<float>(brightness) * 100.0f);
    }
    return r;
}

} // namespace

void translateLight(TranslationContext& context, const std::string& name, const host::Object& b_light)
{
    if (!context.scene || !context.scene->api())
        return;
    Unread unread;
    const LightRecord r = readLight(b_light, unread);
    for (const int32_t id : unread)
        context.report.leftOut(report::Reason::ParameterDefault, context.objectPath,
                               "light parameter " + std::to_string(id) + ": default used");
    orvScene_api* api = context.scene->api();

    // An area without depth has half extent 0, whose negation must not be written "-0".
    const float hx = plainZero(r.hx), hy = plainZero(r.hy), hz = plainZero(r.hz);
    const std::array<float, 18> vertices{0,   plainZero(-hy), 0, hx, 0, 0, 0, 0, hz,
                                         plainZero(-hx), 0, 0, 0, 0, plainZero(-hz), 0, hy, 0};
    const AttributeArray vertexList{vertices.data(), 6};
    const AttributeArray triangleList{kTriangles.data(), static_cast<int32_t>(kTriangles.size())};

    api->beginObject(name.c_str(), 1);
    api->beginGeometry("triangles");
    api->attribute("vertices", orvType::Float3Array, &vertexList);
    // The normals are the vertices themselves, not normalised.
    api->attribute("normals", orvType::Float3Array, &vertexList);
    api->attribute("triangles", orvType::IntArray, &triangleList);
    api->endGeometry();

    api->beginMaterial(name.c_str(), 1);
    const int32_t lumen = r.photometric ? 1 : 0;
    const int32_t off = 0;
    if (r.type == kAreaLight) {
        api->beginShader(nullptr, "orv_mesh_light");
        api->attribute("power", orvType::Int, &r.power);
        api->attribute("color", orvType::Float3, r.colour.data());
        api->attribute("lumen", orvType::Bool, &lumen);
        api->attribute("visible to the eye", orvType::Bool, &off);
        api->attribute("visible in reflections", orvType::Bool, &off);
        api->attribute("visible in shadows", orvType::Bool, &off);
    } else {
        api->beginShader(nullptr, "orv_point_light");
        const float radius = 0.0f;
        api->attribute("power", orvType::Int, &r.power);
        api->attribute("color", orvType::Float3, r.colour.data());
        api->attribute("lumen", orvType::Bool, &lumen);
        api->attribute("radius", orvType::Float, &radius);
    }
    api->endShader();
    ShaderHandle shader = api->currentShader();
    api->materialShader(0, shader);
    api->endMaterial();
    api->endObject();
}
