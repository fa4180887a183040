// The JSON document loader (format in docs/document-format.md). It checks every value it
// reads and rejects a malformed document with a message that names the JSON path of the
// offending value; odd but well-formed host data (empty names, indices past the points,
// single-key tracks, dangling links) is kept as given.
#include "sim_host.h"
#include "sim_internal.h"
#include "sim_text_position.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

using json = nlohmann::json;

constexpr int kMaxObjectDepth = 256;   // levels of children and caches
constexpr int kMaxJsonDepth = 1024;    // nesting of JSON values
constexpr std::uintmax_t kMaxFileSize = std::uintmax_t(1) << 31;

struct LoadError {
    std::string message;
};

[[noreturn]] void fail(const std::string& path, const std::string& what)
{
    throw LoadError{path.empty() ? what : path + ": " + what};
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string at(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}
std::string at(const std::string& path, size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

// ---- well-known names ----

struct Name {
    const char* name;
    int32_t id;
};

int32_t lookup(std::initializer_list<Name> table, const std::string& name, bool& found)
{
    for (const Name& n : table)
        if (name == n.name) {
            found = true;
            return n.id;
        }
    found = false;
    return 0;
}

const std::initializer_list<Name> kObjectTypes = {
    {"polygon", 5100}, {"light", 5102}, {"camera", 5103}, {"null", 5140}, {"hair", 1017305},
    {"instance", 5126}, {"bend", 5128}, {"cube", 5159}, {"sphere", 5160}, {"plane", 5168},
    {"cylinder", 5170}, {"symmetry", 5142}, {"subdivision", 1007455}, {"connect", 1011010},
};
const std::initializer_list<Name> kTagTypes = {
    {"point", 5600}, {"polygon", 5604}, {"phong", 5612}, {"texture", 5616}, {"uvw", 5671},
    {"polygonselection", 5673}, {"normal", 5711}, {"hairmaterial", 1017729},
};
const std::initializer_list<Name> kMaterialTypes = {{"standard", 5703}, {"hair", 1017730}};
const std::initializer_list<Name> kShaderTypes = {
    {"color", 5832}, {"bitmap", 5833}, {"gradient", 1011100}, {"gradient2", 1012158},
};
const std::initializer_list<Name> kChannels = {
    {"color", 0}, {"luminance", 1}, {"transparency", 2}, {"reflection", 3}, {"environment", 4},
    {"fog", 5}, {"bump", 6}, {"alpha", 7}, {"specular", 8}, {"specularcolor", 9}, {"glow", 10},
    {"displacement", 11}, {"diffusion", 12},
};

const std::initializer_list<Name> kObjectParams = {
    {"visibility_editor", 901}, {"visibility_render", 902}, {"use_color", 907}, {"color", 908},
    {"fov", 1008}, {"light_color", 90000}, {"brightness", 90001}, {"light_type", 90002},
    {"photometric_unit", 90037}, {"photometric_intensity", 90043}, {"photometric", 90046},
    {"area_size_x", 100010}, {"area_size_y", 100011}, {"area_size_z", 100012},
};
const std::initializer_list<Name> kTagParams = {
    {"name", 900}, {"offset_u", 1000}, {"offset_v", 1001}, {"length_u", 1002}, {"length_v", 1003},
    {"projection", 1004}, {"restriction", 1006}, {"tile", 1007}, {"hair_material", 1000},
};
const std::initializer_list<Name> kMaterialParams = {
    {"color", 2100}, {"brightness", 2101}, {"luminance_color", 2300}, {"specular_color", 3100},
    {"color_shader", 8000}, {"luminance_shader", 8002}, {"hair_color_shader", 3000},
    {"root_radius", 3009}, {"tip_radius", 3010}, {"hair_gradient", 3139},
};
const std::initializer_list<Name> kShaderParams = {
    {"color", 1000}, {"file", 1000}, {"gradient", 1007}, {"gradient2", 10001},
};
const std::initializer_list<Name> kLayerParams = {{"view", 1001}, {"render", 1002}, {"color", 1009}};
const std::initializer_list<Name> kTrackParams = {{"on", 904}};
const std::initializer_list<Name> kDocumentParams = {};

// ---- the loader ----

enum class LinkKind { Object, Material, Layer, Shader };

// A reference to resolve once the whole document is read.
struct PendingLink {
    std::string path;     // JSON path of the reference, for messages
    LinkKind kind;
    json ref;             // name, id or index (objects: path or id)
    std::function<void(Element*)> assign; // stores the target
    Material* scope;      // shader references resolve within this material
};

struct PendingSelection {
    std::string path;
    json entry;
};

class Loader {
public:
    explicit Loader(Document& doc) : doc_(doc) {}

    void load(const json& root, const std::string& folder)
    {
        if (!root.is_object())
            fail("", "the document must be a JSON object");
        checkKeys(root, "", {"name", "path", "time", "minTime", "layers", "materials", "objects",
                             "selection", "params"});
        doc_.type = 110059;
        doc_.path = folder;
        if (auto* v = find(root, "name"))
            doc_.docName = string(*v, "name");
        if (auto* v = find(root, "path"))
            doc_.path = string(*v, "path");
        if (auto* v = find(root, "time"))
            doc_.time = time(*v, "time");
        if (auto* v = find(root, "minTime"))
            doc_.minTime = time(*v, "minTime");
        if (auto* v = find(root, "params"))
            params(*v, "params", doc_, kDocumentParams, nullptr);

        if (auto* v = find(root, "layers")) {
            const auto& list = array(*v, "layers");
            for (size_t i = 0; i < list.size(); ++i)
                doc_.layers.push_back(layer(list[i], at("layers", i)));
        }
        if (auto* v = find(root, "materials")) {
            const auto& list = array(*v, "materials");
            for (size_t i = 0; i < list.size(); ++i)
                doc_.materials.push_back(material(list[i], at("materials", i)));
        }
        if (auto* v = find(root, "objects")) {
            const auto& list = array(*v, "objects");
            for (size_t i = 0; i < list.size(); ++i)
                doc_.objects.push_back(object(list[i], at("objects", i), 0));
        }
        if (auto* v = find(root, "selection")) {
            if (v->is_null()) {
                doc_.hasSelection = false;
            } else {
                const auto& list = array(*v, "selection");
                for (size_t i = 0; i < list.size(); ++i)
                    selections_.push_back({at("selection", i), list[i]});
            }
        }
        for (auto& link : links_)
            link.assign(resolve(link));
        for (auto& s : selections_)
            doc_.selection.push_back(selected(s));
        finalize(doc_);
    }

private:
    Document& doc_;
    std::vector<PendingLink> links_;
    std::vector<PendingSelection> selections_;
    std::unordered_map<std::string, Element*> ids_;

    // ---- JSON value helpers ----

    static const json* find(const json& obj, const char* key)
    {
        auto it = obj.find(key);
        return it == obj.end() ? nullptr : &*it;
    }

    static void checkKeys(const json& obj, const std::string& path,
                          std::initializer_list<const char*> allowed)
    {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            bool ok = false;
            for (const char* a : allowed)
                ok = ok || it.key() == a;
            if (!ok)
                fail(path, "unknown key " + quoted(it.key()));
        }
    }

    static const json& object(const json& j, const std::string& path, const char* what)
    {
        if (!j.is_object())
            fail(path, std::string("expected ") + what);
        return j;
    }

    static const json& array(const json& j, const std::string& path)
    {
        if (!j.is_array())
            fail(path, "expected an array");
        return j;
    }

    static std::string string(const json& j, const std::string& path)
    {
        if (!j.is_string())
            fail(path, "expected a string");
        return j.get<std::string>();
    }

    static bool boolean(const json& j, const std::string& path)
    {
        if (!j.is_boolean())
            fail(path, "expected true or false");
        return j.get<bool>();
    }

    static double number(const json& j, const std::string& path)
    {
        if (!j.is_number())
            fail(path, "expected a number");
        const double d = j.get<double>();
        if (!std::isfinite(d))
            fail(path, "expected a finite number");
        return d;
    }

    static int32_t integer(const json& j, const std::string& path)
    {
        if (j.is_number_integer()) {
            if (j.is_number_unsigned()) {
                const auto u = j.get<uint64_t>();
                if (u <= static_cast<uint64_t>(INT32_MAX))
                    return static_cast<int32_t>(u);
            } else {
                const auto i = j.get<int64_t>();
                if (i >= INT32_MIN && i <= INT32_MAX)
                    return static_cast<int32_t>(i);
            }
            fail(path, "integer out of the 32-bit range");
        }
        fail(path, "expected an integer");
    }

    static Vec3 vec3(const json& j, const std::string& path)
    {
        if (!j.is_array() || j.size() != 3)
            fail(path, "expected an array of 3 numbers");
        return Vec3{number(j[0], at(path, 0)), number(j[1], at(path, 1)), number(j[2], at(path, 2))};
    }

    // [u, v] or [u, v, w]
    static Vec3 uvw(const json& j, const std::string& path)
    {
        if (!j.is_array() || j.size() < 2 || j.size() > 3)
            fail(path, "expected an array of 2 or 3 numbers");
        return Vec3{number(j[0], at(path, 0)), number(j[1], at(path, 1)),
                    j.size() == 3 ? number(j[2], at(path, 2)) : 0.0};
    }

    static Time time(const json& j, const std::string& path)
    {
        if (j.is_number())
            return Time{number(j, path), 1.0};
        if (j.is_object()) {
            checkKeys(j, path, {"num", "den"});
            auto* num = find(j, "num");
            auto* den = find(j, "den");
            if (!num || !den)
                fail(path, "a time needs \"num\" and \"den\"");
            return Time{number(*num, at(path, "num")), number(*den, at(path, "den"))};
        }
        fail(path, "expected seconds or {\"num\", \"den\"}");
    }

    static int32_t typeId(const json& j, const std::string& path, std::initializer_list<Name> names,
                          const char* what)
    {
        if (j.is_string()) {
            bool found = false;
            const int32_t id = lookup(names, j.get<std::string>(), found);
            if (!found)
                fail(path, std::string("unknown ") + what + " " + quoted(j.get<std::string>()));
            return id;
        }
        return integer(j, path);
    }

    // ---- common element fields ----

    void nameAndId(const json& j, const std::string& path, Element& e)
    {
        if (auto* v = find(j, "name"))
            e.name = string(*v, at(path, "name"));
        if (auto* v = find(j, "id")) {
            const std::string id = string(*v, at(path, "id"));
            if (id.empty())
                fail(at(path, "id"), "an id must not be empty");
            if (!ids_.emplace(id, &e).second)
                fail(at(path, "id"), "duplicate id " + quoted(id));
        }
    }

    void params(const json& j, const std::string& path, Element& e, std::initializer_list<Name> names,
                Material* scope)
    {
        object(j, path, "an object of parameters");
        for (auto it = j.begin(); it != j.end(); ++it) {
            const std::string key = it.key();
            const std::string p = at(path, key);
            bool found = false;
            int32_t id = lookup(names, key, found);
            if (!found) {
                char* end = nullptr;
                errno = 0;
                const long v = std::strtol(key.c_str(), &end, 10);
                if (key.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
                    fail(p, "unknown parameter " + quoted(key));
                id = static_cast<int32_t>(v);
            }
            if (e.params.count(id))
                fail(p, "parameter " + std::to_string(id) + " is given twice");
            e.params[id] = value(*it, p);
            if (pendingRef_) {
                Link* link = &std::get<Link>(e.params[id]);
                addLink(p, *pendingRef_, [link](Element* t) { link->target = t; }, scope);
                pendingRef_.reset();
            }
        }
    }

    std::optional<json> pendingRef_; // set by value() for a link with a target

    Value value(const json& j, const std::string& path)
    {
        pendingRef_.reset();
        if (j.is_boolean())
            return int32_t(j.get<bool>() ? 1 : 0);
        if (j.is_number_integer()) {
            if (j.is_number_unsigned() ? j.get<uint64_t>() <= uint64_t(INT32_MAX)
                                       : (j.get<int64_t>() >= INT32_MIN && j.get<int64_t>() <= INT32_MAX))
                return integer(j, path);
            return number(j, path);
        }
        if (j.is_number())
            return number(j, path);
        if (j.is_string())
            return j.get<std::string>();
        if (j.is_array())
            return vec3(j, path);
        if (!j.is_object() || j.size() != 1)
            fail(path, "expected a number, true/false, a vector, a text or an object with one of "
                       "\"int\", \"float\", \"vector\", \"string\", \"file\", \"link\", \"gradient\", \"time\"");
        const std::string kind = j.begin().key();
        const json& v = j.begin().value();
        const std::string p = at(path, kind);
        if (kind == "int")
            return integer(v, p);
        if (kind == "float")
            return number(v, p);
        if (kind == "vector")
            return vec3(v, p);
        if (kind == "string")
            return string(v, p);
        if (kind == "file")
            return FilenameValue{string(v, p)};
        if (kind == "time")
            return time(v, p);
        if (kind == "gradient") {
            Gradient g;
            const auto& knots = array(v, p);
            g.knots.reserve(knots.size());
            for (size_t i = 0; i < knots.size(); ++i)
                g.knots.push_back(vec3(knots[i], at(p, i)));
            return g;
        }
        if (kind == "link") {
            // null: an empty link; "dangling": a link whose target is gone.
            if (v.is_null() || (v.is_string() && v.get<std::string>() == "dangling"))
                return Link{};
            object(v, p, "null, \"dangling\" or an object with one of \"object\", \"material\", \"layer\", \"shader\"");
            if (v.size() != 1)
                fail(p, "a link names exactly one of \"object\", \"material\", \"layer\", \"shader\"");
            pendingRef_ = v;
            return Link{};
        }
        fail(path, "unknown value kind " + quoted(kind));
    }

    void addLink(const std::string& path, const json& spec, std::function<void(Element*)> assign,
                 Material* scope)
    {
        const std::string kind = spec.begin().key();
        const std::string p = at(path, "link");
        LinkKind k;
        if (kind == "object")
            k = LinkKind::Object;
        else if (kind == "material")
            k = LinkKind::Material;
        else if (kind == "layer")
            k = LinkKind::Layer;
        else if (kind == "shader") {
            if (!scope)
                fail(at(p, kind), "shader links are only possible in material parameters");
            k = LinkKind::Shader;
        } else
            fail(p, "unknown link target kind " + quoted(kind));
        links_.push_back({at(p, kind), k, spec.begin().value(), std::move(assign), scope});
    }

    // ---- layers, materials, shaders ----

    std::unique_ptr<Layer> layer(const json& j, const std::string& path)
    {
        object(j, path, "a layer object");
        checkKeys(j, path, {"name", "id", "view", "render", "color", "params"});
        auto l = std::make_unique<Layer>();
        l->type = 100004801;
        nameAndId(j, path, *l);
        if (auto* v = find(j, "view"))
            l->params[1001] = int32_t(boolean(*v, at(path, "view")) ? 1 : 0);
        if (auto* v = find(j, "render"))
            l->params[1002] = int32_t(boolean(*v, at(path, "render")) ? 1 : 0);
        if (auto* v = find(j, "color"))
            l->params[1009] = vec3(*v, at(path, "color"));
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *l, kLayerParams, nullptr);
        return l;
    }

    std::unique_ptr<Material> material(const json& j, const std::string& path)
    {
        object(j, path, "a material object");
        checkKeys(j, path, {"name", "id", "type", "channels", "params", "data", "shaders"});
        auto m = std::make_unique<Material>();
        m->type = 5703;
        nameAndId(j, path, *m);
        if (auto* v = find(j, "type"))
            m->type = typeId(*v, at(path, "type"), kMaterialTypes, "material type");
        if (auto* v = find(j, "channels")) {
            const std::string p = at(path, "channels");
            object(*v, p, "an object of channels");
            for (auto it = v->begin(); it != v->end(); ++it) {
                bool found = false;
                int32_t id = lookup(kChannels, it.key(), found);
                if (!found)
                    id = numericKey(it.key(), at(p, it.key()), "channel");
                m->channels[id] = boolean(*it, at(p, it.key()));
            }
        }
        // Shaders first, so that shader links in the parameters can name them.
        if (auto* v = find(j, "shaders")) {
            const std::string p = at(path, "shaders");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i)
                m->shaders.push_back(shader(list[i], at(p, i), m.get()));
        }
        if (auto* v = find(j, "data")) {
            const std::string p = at(path, "data");
            object(*v, p, "an object of data entries");
            for (auto it = v->begin(); it != v->end(); ++it)
                m->data[numericKey(it.key(), at(p, it.key()), "data entry")] = vec3(*it, at(p, it.key()));
        }
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *m, kMaterialParams, m.get());
        return m;
    }

    static int32_t numericKey(const std::string& key, const std::string& path, const char* what)
    {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(key.c_str(), &end, 10);
        if (key.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
            fail(path, std::string("unknown ") + what + " " + quoted(key));
        return static_cast<int32_t>(v);
    }

    std::unique_ptr<Shader> shader(const json& j, const std::string& path, Material* owner)
    {
        object(j, path, "a shader object");
        checkKeys(j, path, {"name", "id", "type", "color", "file", "gradient", "params"});
        auto s = std::make_unique<Shader>();
        auto* type = find(j, "type");
        if (!type)
            fail(path, "a shader needs a \"type\"");
        s->type = typeId(*type, at(path, "type"), kShaderTypes, "shader type");
        nameAndId(j, path, *s);
        if (auto* v = find(j, "color"))
            s->params[1000] = vec3(*v, at(path, "color"));
        if (auto* v = find(j, "file"))
            s->params[1000] = FilenameValue{string(*v, at(path, "file"))};
        if (auto* v = find(j, "gradient")) {
            const std::string p = at(path, "gradient");
            Gradient g;
            const auto& knots = array(*v, p);
            for (size_t i = 0; i < knots.size(); ++i)
                g.knots.push_back(vec3(knots[i], at(p, i)));
            s->params[s->type == 1012158 ? 10001 : 1007] = std::move(g);
        }
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *s, kShaderParams, owner);
        return s;
    }

    // ---- objects ----

    std::unique_ptr<Object> object(const json& j, const std::string& path, int depth)
    {
        if (depth > kMaxObjectDepth)
            fail(path, "objects nested deeper than " + std::to_string(kMaxObjectDepth) + " levels");
        object(j, path, "an object");
        checkKeys(j, path, {"type", "name", "id", "position", "rotation", "scale", "rotationOrder",
                            "bits", "controlObject", "layer", "params", "points", "polygons",
                            "phongNormals", "tags", "tracks", "children", "cache", "deformCache",
                            "hair"});
        auto o = std::make_unique<Object>();
        o->type = 5140;
        if (auto* v = find(j, "type"))
            o->type = typeId(*v, at(path, "type"), kObjectTypes, "object type");
        nameAndId(j, path, *o);
        if (auto* v = find(j, "position"))
            o->pos = vec3(*v, at(path, "position"));
        if (auto* v = find(j, "rotation"))
            o->rot = vec3(*v, at(path, "rotation"));
        if (auto* v = find(j, "scale"))
            o->scale = vec3(*v, at(path, "scale"));
        if (auto* v = find(j, "rotationOrder")) {
            if (v->is_string() && v->get<std::string>() == "hpb")
                o->rotationOrder = 6;
            else
                o->rotationOrder = integer(*v, at(path, "rotationOrder"));
        }
        if (auto* v = find(j, "bits")) {
            const std::string p = at(path, "bits");
            if (!v->is_number_integer() || (!v->is_number_unsigned() && v->get<int64_t>() < 0) ||
                v->get<uint64_t>() > UINT32_MAX)
                fail(p, "expected an unsigned 32-bit integer");
            o->bits = static_cast<uint32_t>(v->get<uint64_t>());
        }
        if (auto* v = find(j, "controlObject"))
            if (boolean(*v, at(path, "controlObject")))
                o->bits |= 1u << 9;
        if (auto* v = find(j, "layer")) {
            if (!v->is_null())
                links_.push_back({at(path, "layer"), LinkKind::Layer, *v,
                                  [obj = o.get()](Element* l) { obj->layer = static_cast<Layer*>(l); },
                                  nullptr});
        }
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *o, kObjectParams, nullptr);
        if (auto* v = find(j, "points")) {
            const std::string p = at(path, "points");
            const auto& list = array(*v, p);
            o->points.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i)
                o->points.push_back(vec3(list[i], at(p, i)));
            o->hasPointTag = true;
        }
        if (auto* v = find(j, "polygons")) {
            const std::string p = at(path, "polygons");
            const auto& list = array(*v, p);
            o->polygons.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i)
                o->polygons.push_back(polygon(list[i], at(p, i)));
            o->hasPolygonTag = true;
        }
        if (auto* v = find(j, "phongNormals")) {
            const std::string p = at(path, "phongNormals");
            const auto& list = array(*v, p);
            std::vector<c4d_vec32> normals;
            normals.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i) {
                const Vec3 n = vec3(list[i], at(p, i));
                normals.push_back({static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)});
            }
            o->phongNormals = std::move(normals);
        }
        if (auto* v = find(j, "hair"))
            hair(*v, at(path, "hair"), o->hair);
        if (auto* v = find(j, "tags")) {
            const std::string p = at(path, "tags");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i)
                o->tags.push_back(tag(list[i], at(p, i)));
        }
        if (auto* v = find(j, "tracks")) {
            const std::string p = at(path, "tracks");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i)
                o->tracks.push_back(track(list[i], at(p, i)));
        }
        if (auto* v = find(j, "deformCache"))
            o->deformCache = object(*v, at(path, "deformCache"), depth + 1);
        if (auto* v = find(j, "cache"))
            o->cache = object(*v, at(path, "cache"), depth + 1);
        if (auto* v = find(j, "children")) {
            const std::string p = at(path, "children");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i)
                o->children.push_back(object(list[i], at(p, i), depth + 1));
        }
        return o;
    }

    static c4d_cpolygon polygon(const json& j, const std::string& path)
    {
        if (!j.is_array() || j.size() < 3 || j.size() > 4)
            fail(path, "expected 3 or 4 point indices");
        c4d_cpolygon p;
        p.a = integer(j[0], at(path, 0));
        p.b = integer(j[1], at(path, 1));
        p.c = integer(j[2], at(path, 2));
        p.d = j.size() == 4 ? integer(j[3], at(path, 3)) : p.c;
        return p;
    }

    static void hair(const json& j, const std::string& path, Hair& h)
    {
        object(j, path, "a hair object");
        checkKeys(j, path, {"generates", "strandCount", "segmentCount", "points", "rootUV"});
        if (auto* v = find(j, "generates"))
            h.generates = boolean(*v, at(path, "generates"));
        if (auto* v = find(j, "points")) {
            const std::string p = at(path, "points");
            const auto& list = array(*v, p);
            h.points.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i)
                h.points.push_back(vec3(list[i], at(p, i)));
        }
        if (auto* v = find(j, "rootUV")) {
            const std::string p = at(path, "rootUV");
            const auto& list = array(*v, p);
            h.rootUV.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i)
                h.rootUV.push_back(uvw(list[i], at(p, i)));
        }
        // Counts default to what the arrays give; given counts are kept even when the
        // arrays disagree.
        h.strandCount = static_cast<int32_t>(std::min<size_t>(h.rootUV.size(), INT32_MAX));
        if (auto* v = find(j, "strandCount"))
            h.strandCount = integer(*v, at(path, "strandCount"));
        h.segmentCount = 0;
        if (h.strandCount > 0 && h.points.size() >= static_cast<size_t>(h.strandCount))
            h.segmentCount = static_cast<int32_t>(
                std::min<size_t>(h.points.size() / static_cast<size_t>(h.strandCount) - 1, INT32_MAX));
        if (auto* v = find(j, "segmentCount"))
            h.segmentCount = integer(*v, at(path, "segmentCount"));
    }

    std::unique_ptr<Tag> tag(const json& j, const std::string& path)
    {
        object(j, path, "a tag object");
        checkKeys(j, path, {"type", "name", "id", "params", "material", "placement", "uvw", "segments"});
        auto t = std::make_unique<Tag>();
        auto* type = find(j, "type");
        if (!type)
            fail(path, "a tag needs a \"type\"");
        t->type = typeId(*type, at(path, "type"), kTagTypes, "tag type");
        nameAndId(j, path, *t);
        if (auto* v = find(j, "material")) {
            if (!v->is_null())
                links_.push_back({at(path, "material"), LinkKind::Material, *v,
                                  [tag = t.get()](Element* m) { tag->material = static_cast<Material*>(m); },
                                  nullptr});
        }
        if (auto* v = find(j, "placement"))
            t->placement = matrix(*v, at(path, "placement"));
        if (auto* v = find(j, "uvw")) {
            const std::string p = at(path, "uvw");
            const auto& list = array(*v, p);
            t->uvw.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string pi = at(p, i);
                const json& corners = list[i];
                if (!corners.is_array() || corners.size() < 3 || corners.size() > 4)
                    fail(pi, "expected the UVW of 3 or 4 corners");
                c4d_uvw r;
                r.a = uvw(corners[0], at(pi, 0));
                r.b = uvw(corners[1], at(pi, 1));
                r.c = uvw(corners[2], at(pi, 2));
                r.d = corners.size() == 4 ? uvw(corners[3], at(pi, 3)) : r.c;
                t->uvw.push_back(r);
            }
        }
        if (auto* v = find(j, "segments")) {
            const std::string p = at(path, "segments");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string pi = at(p, i);
                if (!list[i].is_array() || list[i].size() != 2)
                    fail(pi, "expected [first, last]");
                t->segments.emplace_back(integer(list[i][0], at(pi, 0)), integer(list[i][1], at(pi, 1)));
            }
        }
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *t, kTagParams, nullptr);
        return t;
    }

    static Matrix matrix(const json& j, const std::string& path)
    {
        object(j, path, "an object with \"offset\", \"x\", \"y\", \"z\"");
        checkKeys(j, path, {"offset", "x", "y", "z"});
        Matrix m{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        if (auto* v = find(j, "offset"))
            m.off = vec3(*v, at(path, "offset"));
        if (auto* v = find(j, "x"))
            m.v1 = vec3(*v, at(path, "x"));
        if (auto* v = find(j, "y"))
            m.v2 = vec3(*v, at(path, "y"));
        if (auto* v = find(j, "z"))
            m.v3 = vec3(*v, at(path, "z"));
        return m;
    }

    std::unique_ptr<Track> track(const json& j, const std::string& path)
    {
        object(j, path, "a track object");
        checkKeys(j, path, {"name", "id", "parameter", "component", "descId", "keys", "hasCurve", "on", "params"});
        auto t = std::make_unique<Track>();
        t->type = 5350;
        nameAndId(j, path, *t);
        if (auto* v = find(j, "descId")) {
            const std::string p = at(path, "descId");
            const auto& list = array(*v, p);
            for (size_t i = 0; i < list.size(); ++i)
                t->descId.push_back(integer(list[i], at(p, i)));
            if (find(j, "parameter") || find(j, "component"))
                fail(path, "give either \"descId\" or \"parameter\" and \"component\"");
        } else {
            auto* param = find(j, "parameter");
            auto* comp = find(j, "component");
            if (!param || !comp)
                fail(path, "a track needs \"parameter\" and \"component\" (or \"descId\")");
            t->descId.push_back(typeId(*param, at(path, "parameter"),
                                       {{"position", 903}, {"rotation", 904}, {"scale", 905}}, "parameter"));
            t->descId.push_back(typeId(*comp, at(path, "component"), {{"x", 1000}, {"y", 1001}, {"z", 1002}},
                                       "component"));
        }
        if (auto* v = find(j, "hasCurve"))
            t->hasCurve = boolean(*v, at(path, "hasCurve"));
        if (auto* v = find(j, "on"))
            t->params[904] = int32_t(boolean(*v, at(path, "on")) ? 1 : 0);
        if (auto* v = find(j, "params"))
            params(*v, at(path, "params"), *t, kTrackParams, nullptr);
        if (auto* v = find(j, "keys")) {
            const std::string p = at(path, "keys");
            const auto& list = array(*v, p);
            t->keys.reserve(list.size());
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string pi = at(p, i);
                Key k;
                if (list[i].is_array()) {
                    if (list[i].size() != 2)
                        fail(pi, "expected [time, value]");
                    k.time = time(list[i][0], at(pi, 0));
                    k.value = number(list[i][1], at(pi, 1));
                } else {
                    object(list[i], pi, "[time, value] or {\"time\", \"value\"}");
                    checkKeys(list[i], pi, {"time", "value"});
                    auto* kt = find(list[i], "time");
                    auto* kv = find(list[i], "value");
                    if (!kt || !kv)
                        fail(pi, "a key needs \"time\" and \"value\"");
                    k.time = time(*kt, at(pi, "time"));
                    k.value = number(*kv, at(pi, "value"));
                }
                t->keys.push_back(k);
            }
            // The host keeps a curve's keys in time order.
            std::stable_sort(t->keys.begin(), t->keys.end(), [](const Key& a, const Key& b) {
                return seconds(a.time) < seconds(b.time);
            });
        }
        return t;
    }

    // ---- references ----

    template <typename T>
    Element* byRef(const std::vector<std::unique_ptr<T>>& list, const json& ref, const PendingLink& link,
                   const char* what)
    {
        if (ref.is_number_integer()) {
            // Non-negative JSON integers are unsigned, negative ones signed.
            const bool negative = !ref.is_number_unsigned() && ref.get<int64_t>() < 0;
            const uint64_t i = negative ? 0 : ref.get<uint64_t>();
            if (negative || i >= list.size())
                fail(link.path, std::string("no ") + what + " number " + ref.dump());
            return list[static_cast<size_t>(i)].get();
        }
        if (!ref.is_string())
            fail(link.path, std::string("expected the name, id or number of a ") + what);
        const std::string key = ref.get<std::string>();
        auto it = ids_.find(key);
        if (it != ids_.end())
            for (auto& e : list)
                if (e.get() == it->second)
                    return e.get();
        for (auto& e : list)
            if (e && e->name == key)
                return e.get();
        fail(link.path, std::string("no ") + what + " named " + quoted(key));
    }

    // An object by id, or by the path of names from a top-level object ("Null/Cube").
    Object* objectByRef(const json& ref, const std::string& path)
    {
        if (!ref.is_string())
            fail(path, "expected an object path or id");
        const std::string key = ref.get<std::string>();
        auto it = ids_.find(key);
        if (it != ids_.end()) {
            if (auto* o = dynamic_cast<Object*>(it->second))
                return o;
            fail(path, "id " + quoted(key) + " is not an object");
        }
        const std::vector<std::unique_ptr<Object>>* level = &doc_.objects;
        Object* found = nullptr;
        size_t start = 0;
        while (true) {
            const size_t slash = key.find('/', start);
            const std::string part = key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            found = nullptr;
            for (auto& o : *level)
                if (o && o->name == part) {
                    found = o.get();
                    break;
                }
            if (!found)
                fail(path, "no object at " + quoted(key));
            if (slash == std::string::npos)
                return found;
            level = &found->children;
            start = slash + 1;
        }
    }

    Element* resolve(const PendingLink& link)
    {
        switch (link.kind) {
        case LinkKind::Object: return objectByRef(link.ref, link.path);
        case LinkKind::Material: return byRef(doc_.materials, link.ref, link, "material");
        case LinkKind::Layer: return byRef(doc_.layers, link.ref, link, "layer");
        case LinkKind::Shader: return byRef(link.scope->shaders, link.ref, link, "shader");
        }
        return nullptr;
    }

    Element* selected(const PendingSelection& s)
    {
        if (s.entry.is_string())
            return objectByRef(s.entry, s.path);
        object(s.entry, s.path, "an object path or {\"object\", \"tag\"}");
        checkKeys(s.entry, s.path, {"object", "tag"});
        auto* obj = find(s.entry, "object");
        if (!obj)
            fail(s.path, "a selection entry needs \"object\"");
        Object* o = objectByRef(*obj, at(s.path, "object"));
        auto* tagRef = find(s.entry, "tag");
        if (!tagRef)
            return o;
        PendingLink l{at(s.path, "tag"), LinkKind::Object, *tagRef, {}, nullptr};
        return byRef(o->tags, *tagRef, l, "tag");
    }
};

// The JSON library's message without its "[json.exception...]" tag and, for syntax
// errors, without its own "parse error at line L, column C: " (the caller says where).
std::string jsonMessage(const json::exception& e)
{
    std::string_view text = e.what();
    if (const size_t tag = text.find("] "); !text.empty() && text[0] == '[' && tag != std::string_view::npos)
        text.remove_prefix(tag + 2);
    if (text.rfind("parse error", 0) == 0)
        if (const size_t colon = text.find(": "); colon != std::string_view::npos)
            text.remove_prefix(colon + 2);
    return std::string(text);
}

// Reads a whole document file, or standard input for "-", refusing files past
// kMaxFileSize. On failure sets error to the system's reason.
bool readDocumentText(const std::string& path, std::string& text, std::string& error)
{
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "standard input" : "document " + quoted(path);
    const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + shown + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    int reason = 0;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        reason = EISDIR;
    else if (S_ISREG(info.st_mode) && std::uintmax_t(info.st_size) <= kMaxFileSize)
        text.reserve(size_t(info.st_size));
    char chunk[1 << 16];
    while (reason == 0) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            reason = errno;
        else if (got == 0)
            break;
        else if (text.size() + size_t(got) > kMaxFileSize)
            reason = EFBIG;
        else
            text.append(chunk, size_t(got));
    }
    if (!standardInput)
        ::close(fd);
    if (reason != 0) {
        error = "cannot read " + shown + ": " + std::strerror(reason);
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<Document> parseDocument(const std::string& jsonText, const std::string& folder,
                                        std::string& error, const std::string& name)
{
    error.clear();
    const std::string prefix = name.empty() ? std::string() : name + ": ";
    try {
        json root;
        try {
            // The callback bounds the nesting so that a hostile file cannot make the
            // loader recurse without limit.
            root = json::parse(jsonText, [](int depth, json::parse_event_t, json&) {
                if (depth > kMaxJsonDepth)
                    throw LoadError{"JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels"};
                return true;
            });
        } catch (const json::parse_error& e) {
            // e.byte counts from 1 and names the byte the parser stopped at.
            const TextPosition at = textPosition(jsonText, e.byte > 0 ? e.byte - 1 : 0);
            error = (name.empty() ? std::string() : name + ":") + std::to_string(at.line) + ":" +
                    std::to_string(at.column) + ": " + jsonMessage(e);
            return nullptr;
        } catch (const json::exception& e) {
            error = prefix + "not valid JSON: " + jsonMessage(e);
            return nullptr;
        }
        auto doc = std::make_unique<Document>();
        Loader(*doc).load(root, folder);
        return doc;
    } catch (const LoadError& e) {
        error = prefix + e.message;
    } catch (const std::exception& e) {
        error = prefix + "cannot read the document: " + e.what();
    }
    return nullptr;
}

std::unique_ptr<Document> loadDocument(const std::string& path, std::string& error)
{
    error.clear();
    namespace fs = std::filesystem;
    const bool standardInput = path == "-";
    std::string text;
    if (!readDocumentText(path, text, error))
        return nullptr;
    // A document read from standard input stands in the working folder.
    std::error_code ec;
    fs::path folder = standardInput ? fs::current_path(ec)
                                    : fs::absolute(path, ec).lexically_normal().parent_path();
    if (ec)
        folder = standardInput ? fs::path() : fs::path(path).parent_path();
    return parseDocument(text, folder.generic_string(), error, standardInput ? "<stdin>" : path);
}

} // namespace sim
