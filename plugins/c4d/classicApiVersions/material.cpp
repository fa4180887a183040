// Materials and textures: reads Cinema 4D standard materials (through texture tags) into a
// MaterialRecord and writes a record as an inline material: one surface shader, fed by an
// image texture shader when the record names a texture file.
//
// Host data is read parameter by parameter; a parameter that cannot be read leaves the
// record's value as it was. Materials and shaders that are not translated, and texture
// files that are not found, are told to the command's report.
#include "material.h"

#include "TranslationContext.h"
#include "files/regular_file.h"
#include "orvScene_api.h"
#include "orvSceneapi_oo.h"
#include "plain_zero.h"
#include "text/utf8.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// Host parameter and channel numbers used by this file.
namespace pid {
// Object and layer
constexpr int32_t OBJECT_USECOLOR = 907; // 1: object colour, 3: layer colour
constexpr int32_t OBJECT_COLOR = 908;
constexpr int32_t LAYER_COLOR = 1009;
// Texture tag
constexpr int32_t TAG_SHIFT_U = 1000;
constexpr int32_t TAG_SHIFT_V = 1001;
constexpr int32_t TAG_SCALE_U = 1002;
constexpr int32_t TAG_SCALE_V = 1003;
constexpr int32_t TAG_PROJECTION = 1004;
constexpr int32_t TAG_TILE = 1007;
// Standard material
constexpr int32_t COLOR_COLOR = 2100;
constexpr int32_t COLOR_BRIGHTNESS = 2101;
constexpr int32_t LUMINANCE_COLOR = 2300;
constexpr int32_t SPECULAR_COLOR = 3100;
constexpr int32_t COLOR_SHADER = 8000;
constexpr int32_t LUMINANCE_SHADER = 8002;
constexpr int32_t DATA_SPECULAR = 65;
// Shaders
constexpr int32_t COLORSHADER_COLOR = 1000;
constexpr int32_t BITMAP_FILENAME = 1000;
constexpr int32_t GRADIENT = 1007;
constexpr int32_t GRADIENT2 = 10001;
} // namespace pid

namespace channel {
constexpr int32_t Color = 0;
constexpr int32_t Luminance = 1;
constexpr int32_t Specular = 3;
constexpr int32_t Reflection = 7; // enabled: only the shader scan is used
constexpr int32_t SpecularColor = 8;
constexpr int32_t Environment = 9;
} // namespace channel

constexpr size_t kMaxNameBytes = 1023;

// How the report names a material: its name, or "(display colour)" for none.
std::string materialLabel(const MaterialRecord& record)
{
    return record.name[0] != '\0' ? "material \"" + std::string(record.name) + "\"" : "(display colour)";
}

void setColour(double dst[3], const host::Vec3& v)
{
    dst[0] = v.x;
    dst[1] = v.y;
    dst[2] = v.z;
}

// -1, 0 or 1; a NaN sorts after every number and equals another NaN, so the variant table
// keeps a strict weak order even for colours a host hands over as NaN.
int compareDouble(double a, double b)
{
    const bool na = std::isnan(a);
    const bool nb = std::isnan(b);
    if (na || nb)
        return na == nb ? 0 : (na ? 1 : -1);
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Texture path resolution of a bitmap shader: the file name as given when it opens (a
// relative name is taken from the document's folder, so the result does not depend on the
// folder the host was started in), else its file part in the document's "tex" folder, else
// in the document's folder; when none opens, the file name as given (the renderer is told
// that path even if it is missing). Only a regular file counts, and the test never blocks:
// a FIFO or a device named as a texture is passed over with its reason instead of
// freezing the host. `tried` receives every path tried, in order, with the reason of a
// path that exists but is no readable regular file ("a FIFO, not a regular file").
struct TextureLookup {
    std::string path;
    bool found = false;
    std::vector<std::string> tried;
};

TextureLookup resolveTexturePath(const std::string& documentPath, const std::string& full,
                                 const std::string& leaf)
{
    TextureLookup lookup;
    const auto attempt = [&lookup](const std::string& candidate) {
        if (candidate.empty())
            return false;
        std::string why;
        if (tavrin::files::isReadableRegularFile(candidate, &why)) {
            lookup.path = candidate;
            lookup.found = true;
            return true;
        }
        // A missing file is the common case and needs no reason; anything else says why.
        const std::string shown = why == std::strerror(ENOENT) ? candidate : candidate + " (" + why + ")";
        if (std::find(lookup.tried.begin(), lookup.tried.end(), shown) == lookup.tried.end())
            lookup.tried.push_back(shown);
        return false;
    };
    const bool relative = !full.empty() && full.front() != '/';
    const std::string given = relative && !documentPath.empty() ? documentPath + "/" + full : full;
    if (attempt(given))
        return lookup;
    if (!documentPath.empty() && !leaf.empty() &&
        (attempt(documentPath + "/tex/" + leaf) || attempt(documentPath + "/" + leaf)))
        return lookup;
    lookup.path = full;
    return lookup;
}

void reportMissingTexture(TranslationContext& context, const MaterialRecord& record,
                          const host::Shader& shader, const std::string& file,
                          const std::vector<std::string>& tried)
{
    std::string detail = "shader \"" + shader.name() + "\": ";
    if (file.empty()) {
        detail += "no file name";
    } else {
        detail += "\"" + file + "\" not found; tried ";
        for (size_t i = 0; i < tried.size(); ++i)
            detail += (i > 0 ? ", " : "") + tried[i];
    }
    context.report.leftOut(report::Reason::TextureNotFound, materialLabel(record), detail);
}

// The scene name of variant n of material m: m itself for 0, else "m #n". A long m is cut
// at a character boundary so that the whole name, suffix included, fits 1023 bytes and the
// suffix that tells the variants apart is never lost.
std::string variantName(const std::string& m, int64_t n)
{
    std::string suffix;
    if (n != 0) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, " #%lld", static_cast<long long>(n));
        suffix = buffer;
    }
    const size_t room = kMaxNameBytes - suffix.size();
    std::string name = m.substr(0, tavrin::text::utf8CutLength(m, room));
    name += suffix;
    return name;
}

// 3x3 determinant of the axes (as columns).
double determinant(const host::Matrix& m)
{
    return m.v1.x * (m.v2.y * m.v3.z - m.v3.y * m.v2.z) -
           m.v2.x * (m.v1.y * m.v3.z - m.v3.y * m.v1.z) +
           m.v3.x * (m.v1.y * m.v2.z - m.v2.y * m.v1.z);
}

// Inverse of an affine host matrix (p -> off + x v1 + y v2 + z v3); identity when the axes
// are singular.
host::Matrix inverse(const host::Matrix& m)
{
    host::Matrix r{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const double det = determinant(m);
    if (det == 0.0 || !std::isfinite(det))
        return r;
    const double k = 1.0 / det;
    // Columns of the inverse 3x3 (the cofactor matrix transposed, scaled).
    r.v1 = {(m.v2.y * m.v3.z - m.v3.y * m.v2.z) * k, -(m.v1.y * m.v3.z - m.v3.y * m.v1.z) * k,
            (m.v1.y * m.v2.z - m.v2.y * m.v1.z) * k};
    r.v2 = {-(m.v2.x * m.v3.z - m.v3.x * m.v2.z) * k, (m.v1.x * m.v3.z - m.v3.x * m.v1.z) * k,
            -(m.v1.x * m.v2.z - m.v2.x * m.v1.z) * k};
    r.v3 = {(m.v2.x * m.v3.y - m.v3.x * m.v2.y) * k, -(m.v1.x * m.v3.y - m.v3.x * m.v1.y) * k,
            (m.v1.x * m.v2.y - m.v2.x * m.v1.y) * k};
    const host::Vec3& o = m.off;
    r.off = {-(r.v1.x * o.x + r.v2.x * o.y + r.v3.x * o.z),
             -(r.v1.y * o.x + r.v2.y * o.y + r.v3.y * o.z),
             -(r.v1.z * o.x + r.v2.z * o.y + r.v3.z * o.z)};
    return r;
}

// The placement matrix of a texture shader: the inverse of the tag's placement, each axis
// and the offset halved, written row by row. The cofactors give negative zeros, which are
// made plain so an identity placement is written "0.5 0 0 0", not "0.5 -0 0 0".
void placementRows(const host::Matrix& textureMatrix, double out[16])
{
    const host::Matrix w = inverse(textureMatrix);
    const host::Vec3* rows[4] = {&w.v1, &w.v2, &w.v3, &w.off};
    for (int i = 0; i < 4; ++i) {
        out[i * 4 + 0] = plainZero(rows[i]->x * 0.5);
        out[i * 4 + 1] = plainZero(rows[i]->y * 0.5);
        out[i * 4 + 2] = plainZero(rows[i]->z * 0.5);
        out[i * 4 + 3] = i == 3 ? 1.0 : 0.0;
    }
}

void setFloat3(orvScene_api& api, const char* name, const double v[3])
{
    const float f[3] = {static_cast<float>(v[0]), static_cast<float>(v[1]),
                        static_cast<float>(v[2])};
    api.attribute(name, orvType::Float3, f);
}

void setFloat(orvScene_api& api, const char* name, double v)
{
    const float f = static_cast<float>(v);
    api.attribute(name, orvType::Float, &f);
}

void setInt(orvScene_api& api, const char* name, int32_t v)
{
    api.attribute(name, orvType::Int, &v);
}

void setBool(orvScene_api& api, const char* name, bool v)
{
    const int32_t i = v ? 1 : 0;
    api.attribute(name, orvType::Bool, &i);
}

// The image texture shader of a textured record; null when the back end built none.
ShaderHandle emitTextureShader(orvScene_api& api, const MaterialRecord& record)
{
    api.beginShader(nullptr, "texture2_rgb");
    api.attribute("texture", orvType::String, record.texturePath.c_str());
    const float black[3] = {0, 0, 0};
    api.attribute("default_color", orvType::Float3, black);
    setBool(api, "wrap", record.tile);
    if (record.projection == 2) {
        double t[16];
        placementRows(record.textureMatrix, t);
        setInt(api, "uv_projection", 5);
        setFloat(api, "scale_u", record.scaleU);
        setFloat(api, "scale_v", record.scaleV);
        setFloat(api, "shift_u", record.shiftU);
        setFloat(api, "shift_v", record.shiftV);
        api.attribute("transform_obj_to_uv", orvType::Matrix16, t);
    } else {
        setInt(api, "uv_projection", 4);
        setFloat(api, "scale_u", record.scaleU);
        setFloat(api, "scale_v", record.scaleV);
        setFloat(api, "shift_u", record.shiftU);
        setFloat(api, "shift_v", record.shiftV);
        setInt(api, "uv_flags", 62);
    }
    api.endShader();
    return api.currentShader();
}

} // namespace

bool MaterialRecordLess::operator()(const MaterialRecord& a, const MaterialRecord& b) const
{
    // The name buffers are zero-terminated; strcmp compares them as unsigned bytes.
    if (const int c = std::strcmp(a.name, b.name); c != 0)
        return c < 0;
    for (int i = 0; i < 3; ++i)
        if (const int c = compareDouble(a.diffuse[i], b.diffuse[i]); c != 0)
            return c < 0;
    if (const int c = a.texturePath.compare(b.texturePath); c != 0)
        return c < 0;
    const double ka[4] = {a.shiftU, a.shiftV, a.scaleU, a.scaleV};
    const double kb[4] = {b.shiftU, b.shiftV, b.scaleU, b.scaleV};
    for (int i = 0; i < 4; ++i)
        if (const int c = compareDouble(ka[i], kb[i]); c != 0)
            return c < 0;
    return !a.tile && b.tile;
}

MaterialRecord makeMaterialRecord(const double displayColour[3])
{
    MaterialRecord record;
    record.diffuse[0] = displayColour[0];
    record.diffuse[1] = displayColour[1];
    record.diffuse[2] = displayColour[2];
    return record;
}

void setRecordName(MaterialRecord& record, const std::string& name)
{
    const size_t n = tavrin::text::utf8CutLength(name, sizeof record.name - 1);
    std::memcpy(record.name, name.data(), n);
    std::memset(record.name + n, 0, sizeof record.name - n);
}

void displayColour(TranslationContext& context, const host::Object& object, double out[3])
{
    out[0] = out[1] = out[2] = 0.65;
    int32_t mode = 0;
    if (!object.getInt(pid::OBJECT_USECOLOR, mode))
        return;
    host::Vec3 colour{};
    if (mode == 1) {
        if (object.getVector(pid::OBJECT_COLOR, colour))
            setColour(out, colour);
    } else if (mode == 3) {
        const host::Layer layer = object.layer(context.document);
        if (layer && layer.getVector(pid::LAYER_COLOR, colour))
            setColour(out, colour);
    }
}

bool readMaterialTag(TranslationContext& context, const host::Tag& tag, MaterialRecord& record)
{
    if (!tag || tag.type() != host::ids::Ttexture)
        return false;
    const host::Material material = tag.material();
    if (!material)
        return false;
    const std::string name = material.name();
    setRecordName(record, name);
    const char* const instead = "the next texture tag or the display colour is used instead";
    if (record.name[0] == '\0') {
        context.report.leftOut(report::Reason::MaterialNotTranslated, context.objectPath,
                               std::string("a material without a name: ") + instead);
        return false;
    }
    if (name.size() > kMaxNameBytes)
        context.report.leftOut(report::Reason::NameCut, materialLabel(record),
                               "material name of " + std::to_string(name.size()) + " bytes cut to " +
                                   std::to_string(std::strlen(record.name)));
    if (material.type() != host::ids::Mmaterial) {
        context.report.leftOut(report::Reason::MaterialNotTranslated, materialLabel(record),
                               "type ID " + std::to_string(material.type()) + ": " + instead);
        return false;
    }
    if (!readStandardMaterial(context, material, record)) {
        context.report.leftOut(report::Reason::MaterialNotTranslated, materialLabel(record),
                               std::string("no channel or shader gives it a colour: ") + instead);
        return false;
    }

    int32_t projection = 0;
    if (tag.getInt(pid::TAG_PROJECTION, projection))
        record.projection = projection;
    host::Matrix placement{};
    if (tag.placement(placement))
        record.textureMatrix = placement;
    tag.getFloat(pid::TAG_SHIFT_U, record.shiftU);
    tag.getFloat(pid::TAG_SHIFT_V, record.shiftV);
    tag.getFloat(pid::TAG_SCALE_U, record.scaleU);
    tag.getFloat(pid::TAG_SCALE_V, record.scaleV);
    int32_t tile = 0;
    if (tag.getInt(pid::TAG_TILE, tile))
        record.tile = tile != 0;
    return true;
}

bool readStandardMaterial(TranslationContext& context, const host::Material& material,
                          MaterialRecord& record)
{
    if (!material.channelEnabled(channel::Reflection)) {
        bool diffuseSet = false;
        host::Vec3 colour{};
        host::Element link;
        if (material.channelEnabled(channel::Color)) {
            diffuseSet = true;
            if (material.getVector(pid::COLOR_COLOR, colour))
                setColour(record.diffuse, colour);
            double brightness = 0;
            if (material.getFloat(pid::COLOR_BRIGHTNESS, brightness)) {
                const double b = static_cast<float>(brightness);
                for (double& c : record.diffuse)
                    c *= b;
            }
            if (material.getLink(pid::COLOR_SHADER, context.document, link))
                readShader(context, host::Shader(link.handle()), record);
        } else if (material.channelEnabled(channel::Luminance) &&
                   material.getVector(pid::LUMINANCE_COLOR, colour)) {
            setColour(record.diffuse, colour);
            if (material.getLink(pid::LUMINANCE_SHADER, context.document, link))
                readShader(context, host::Shader(link.handle()), record);
            diffuseSet = true;
        }

        if (material.channelEnabled(channel::SpecularColor) ||
            material.channelEnabled(channel::Environment)) {
            if (material.getVector(pid::SPECULAR_COLOR, colour)) {
                setColour(record.specular, colour);
                return true;
            }
        } else if (material.channelEnabled(channel::Specular)) {
            if (material.getVector(pid::SPECULAR_COLOR, colour)) {
                setColour(record.specular, colour);
                return true;
            }
            host::Vec3 data{0, 0, 0};
            if (!material.dataVector(pid::DATA_SPECULAR, data))
                data = host::Vec3{0, 0, 0};
            setColour(record.specular, data);
        }
        if (diffuseSet)
            return true;
    }

    // Shader scan: the first shader that settles the colour ends it.
    bool found = false;
    for (host::Shader shader = material.firstShader(); shader; shader = shader.next()) {
        found = readShader(context, shader, record);
        if (found)
            break;
    }
    return found;
}

bool readShader(TranslationContext& context, const host::Shader& shader, MaterialRecord& record)
{
    if (!shader)
        return false;
    host::Vec3 colour{};
    switch (shader.type()) {
    case host::ids::Xcolor:
        if (shader.getVector(pid::COLORSHADER_COLOR, colour)) {
            setColour(record.diffuse, colour);
            return true;
        }
        return false;
    case host::ids::Xbitmap: {
        std::string full;
        std::string leaf;
        shader.getFilename(pid::BITMAP_FILENAME, full, leaf);
        TextureLookup lookup = resolveTexturePath(context.documentPath, full, leaf);
        if (!lookup.found)
            reportMissingTexture(context, record, shader, full, lookup.tried);
        record.texturePath = std::move(lookup.path);
        return false;
    }
    case host::ids::Xgradient:
    case host::ids::Xgradient2:
        if (shader.getGradientKnot0(shader.type() == host::ids::Xgradient ? pid::GRADIENT : pid::GRADIENT2, colour))
            setColour(record.diffuse, colour);
        context.report.leftOut(report::Reason::ShaderNotTranslated, materialLabel(record),
                               "gradient shader \"" + shader.name() + "\": its first colour is used instead");
        return false;
    default:
        context.report.leftOut(report::Reason::ShaderNotTranslated, materialLabel(record),
                               "shader \"" + shader.name() + "\" of type ID " + std::to_string(shader.type()) +
                                   ": the channel's colour is used instead");
        return false;
    }
}

void emitMaterial(TranslationContext& context, MaterialRecord record)
{
    orvScene_api* api = context.scene != nullptr ? context.scene->api() : nullptr;
    if (api == nullptr)
        return;

    const std::string m = record.name[0] != '\0' ? std::string(record.name) : "Display color";
    auto& variants = context.materialVariants[m];
    const auto [slot, inserted] =
        variants.try_emplace(record, static_cast<int64_t>(variants.size()));
    (void)inserted;
    const std::string sceneName = variantName(m, slot->second);

    ShaderHandle texture = nullptr;
    if (!record.texturePath.empty())
        texture = emitTextureShader(*api, record);

    const double specularLength =
        std::sqrt(record.specular[0] * record.specular[0] + record.specular[1] * record.specular[1] +
                  record.specular[2] * record.specular[2]);
    if (texture != nullptr || specularLength > 1e-06) {
        api->beginShader(nullptr, "orv_advanced");
        setFloat3(*api, "diffuse", record.diffuse);
        setFloat3(*api, "specular", record.specular);
        setBool(*api, "fresnel", true);
        setFloat(*api, "roughness", 0.0);
        setFloat(*api, "ior", 1.5);
        setBool(*api, "glossy", true);
        setInt(*api, "glossy_samples", 9);
        setFloat(*api, "alpha", 1.0);
        if (texture != nullptr)
            api->shaderAttribute("diffuse", texture);
    } else {
        api->beginShader(nullptr, "orv_diffuse");
        setFloat3(*api, "diffuse", record.diffuse);
    }
    api->endShader();
    ShaderHandle surface = api->currentShader();
    api->beginMaterial(sceneName.c_str(), 1);
    api->materialShader(orvChannel::Surface, surface);
    api->endMaterial();
}
