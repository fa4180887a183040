// The JSON document loader (format in docs/document-format.md). It checks every value it
// reads and rejects a malformed document with a message that names the JSON path of the
// offending value; odd but well-formed host data (empty names, indices past the points,
// single-key tracks, dangling links) is kept as given.
#include "sim_json_loader.h"

#include "sim_json_layout.h"

#include "sim_host.h"
#include "sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace sim {

namespace {

// Where a value sits in the document ("objects[0].tags[1].uvw"). Built on the stack while
// the loader descends and turned into text only for a message.
class Path {
public:
    Path() = default;
    Path(const Path& parent, std::string_view key) : parent_(&parent), key_(key) {}
    Path(const Path& parent, size_t index) : parent_(&parent), index_(index), isIndex_(true) {}

    std::string str() const
    {
        if (!parent_)
            return std::string(key_);
        std::string s = parent_->str();
        if (isIndex_)
            return s + "[" + std::to_string(index_) + "]";
        return s.empty() ? std::string(key_) : s + "." + std::string(key_);
    }

private:
    const Path* parent_ = nullptr;
    std::string_view key_;
    size_t index_ = 0;
    bool isIndex_ = false;
};

const Path kRoot;

[[noreturn]] void fail(const std::string& path, const std::string& what)
{
    throw LoadError{path.empty() ? what : path + ": " + what};
}
[[noreturn]] void fail(const Path& path, const std::string& what) { fail(path.str(), what); }

std::string quote(std::string_view s)
{
    std::string q;
    q.reserve(s.size() + 2);
    q += '"';
    q.append(s);
    q += '"';
    return q;
}

Path at(const Path& path, std::string_view key) { return Path(path, key); }
Path at(const Path& path, size_t index) { return Path(path, index); }

// ---- well-known names ----

struct Name {
    const char* name;
    int32_t id;
};

int32_t lookup(std::initializer_list<Name> table, std::string_view name, bool& found)
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
    Json ref;             // name, id or index (objects: path or id)
    std::function<void(Element*)> assign; // stores the target
    Material* scope;      // shader references resolve within this material
};

struct PendingSelection {
    size_t index; // in "selection"
    Json entry;
};

class Loader {
public:
    // `heavy`: arrays read ahead by the fast pass, which the text names by placeholders.
    Loader(Document& doc, HeavyArrays& heavy) : doc_(doc), heavy_(heavy) {}

    void load(Json root, const std::string& folder)
    {
        if (!root.is_object())
            fail("", "the document must be a JSON object");
        checkKeys(root, kRoot, {"name", "path", "time", "minTime", "layers", "materials", layout::kObjects,
                                "selection", "params"});
        doc_.type = 110059;
        doc_.path = folder;
        if (auto v = find(root, "name"))
            doc_.docName = string(*v, at(kRoot, "name"));
        if (auto v = find(root, "path"))
            doc_.path = string(*v, at(kRoot, "path"));
        if (auto v = find(root, "time"))
            doc_.time = time(*v, at(kRoot, "time"));
        if (auto v = find(root, "minTime"))
            doc_.minTime = time(*v, at(kRoot, "minTime"));
        if (auto v = find(root, "params"))
            params(*v, at(kRoot, "params"), doc_, kDocumentParams, nullptr);

        if (auto v = find(root, "layers"))
            list(*v, at(kRoot, "layers"), doc_.layers, [&](Json item, const Path& p) { return layer(item, p); });
        if (auto v = find(root, "materials"))
            list(*v, at(kRoot, "materials"), doc_.materials,
                 [&](Json item, const Path& p) { return material(item, p); });
        if (auto v = find(root, layout::kObjects))
            list(*v, at(kRoot, layout::kObjects), doc_.objects,
                 [&](Json item, const Path& p) { return object(item, p, 0); });
        if (auto v = find(root, "selection")) {
            if (v->is_null()) {
                doc_.hasSelection = false;
            } else {
                const Path p = at(kRoot, "selection");
                for (auto [i, item] : array(*v, p).indexed())
                    selections_.push_back({i, item});
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
    HeavyArrays& heavy_;
    std::vector<PendingLink> links_;
    std::vector<PendingSelection> selections_;
    std::unordered_map<std::string, Element*> ids_;

    // A list that links name by id or by name, indexed on first use: scanning it for every
    // link would make a document whose tags each name a material quadratic in time.
    struct ListIndex {
        std::unordered_set<const Element*> members;
        std::unordered_map<std::string_view, Element*> byName; // the first element of each name
    };
    std::unordered_map<const void*, ListIndex> listIndexes_;
    // Lists this short are scanned rather than indexed.
    static constexpr size_t kScannedList = 8;

    template <typename T>
    const ListIndex& indexOf(const std::vector<std::unique_ptr<T>>& list)
    {
        auto [it, added] = listIndexes_.try_emplace(&list);
        if (added) {
            it->second.members.reserve(list.size());
            it->second.byName.reserve(list.size());
            for (const auto& e : list)
                if (e) {
                    it->second.members.insert(e.get());
                    it->second.byName.try_emplace(e->name, e.get());
                }
        }
        return it->second;
    }

    // Whether `e` is an element of `list`.
    template <typename T>
    bool holds(const std::vector<std::unique_ptr<T>>& list, const Element* e)
    {
        if (list.size() <= kScannedList)
            return std::any_of(list.begin(), list.end(), [e](const auto& x) { return x.get() == e; });
        return indexOf(list).members.count(e) != 0;
    }

    // The first element of `list` named `name`, or null.
    template <typename T>
    T* named(const std::vector<std::unique_ptr<T>>& list, std::string_view name)
    {
        if (list.size() <= kScannedList) {
            for (const auto& e : list)
                if (e && e->name == name)
                    return e.get();
            return nullptr;
        }
        const auto& byName = indexOf(list).byName;
        const auto it = byName.find(name);
        return it == byName.end() ? nullptr : static_cast<T*>(it->second);
    }

    // ---- JSON value helpers ----

    static std::optional<Json> find(Json obj, std::string_view key) { return obj.find(key); }

    // The array read ahead for a placeholder of this kind, or nullptr.
    HeavyArrays::Entry* heavy(Json j, HeavyArrays::Kind kind)
    {
        return j.is_string() ? heavy_.take(j.text(), kind) : nullptr;
    }

    static void checkKeys(Json obj, const Path& path, std::initializer_list<std::string_view> allowed)
    {
        auto known = [&](std::string_view key) {
            for (std::string_view a : allowed)
                if (key == a)
                    return true;
            return false;
        };
        std::optional<std::string_view> unknown;
        for (auto field : obj.fields())
            if (!known(field.key) && (!unknown || field.key < *unknown))
                unknown = field.key;
        if (unknown)
            fail(path, "unknown key " + quote(*unknown));
    }

    static Json object(Json j, const Path& path, const char* what)
    {
        if (!j.is_object())
            fail(path, std::string("expected ") + what);
        return j;
    }

    static Json array(Json j, const Path& path)
    {
        if (!j.is_array())
            fail(path, "expected an array");
        return j;
    }

    // Reads an array of elements into `out`, each by `read(item, path)`. The list is sized
    // once: growing it element by element leaves the allocator a trail of freed blocks that
    // makes every later allocation slower on wide lists.
    template <typename T, typename Read>
    static void list(Json j, const Path& path, std::vector<std::unique_ptr<T>>& out, Read&& read)
    {
        const Json items = array(j, path);
        out.reserve(out.size() + items.size());
        for (auto [i, item] : items.indexed())
            out.push_back(read(item, at(path, i)));
    }

    static std::string string(Json j, const Path& path)
    {
        if (!j.is_string())
            fail(path, "expected a string");
        return j.str();
    }

    static bool boolean(Json j, const Path& path)
    {
        if (!j.is_boolean())
            fail(path, "expected true or false");
        return j.boolean();
    }

    static double number(Json j, const Path& path)
    {
        if (!j.is_number())
            fail(path, "expected a number");
        const double d = j.number();
        if (!std::isfinite(d))
            fail(path, "expected a finite number");
        return d;
    }

    static int32_t integer(Json j, const Path& path)
    {
        if (j.is_number_integer()) {
            if (j.is_number_unsigned()) {
                const auto u = j.uint64();
                if (u <= static_cast<uint64_t>(INT32_MAX))
                    return static_cast<int32_t>(u);
            } else {
                const auto i = j.int64();
                if (i >= INT32_MIN && i <= INT32_MAX)
                    return static_cast<int32_t>(i);
            }
            fail(path, "integer out of the 32-bit range");
        }
        fail(path, "expected an integer");
    }

    static Vec3 vec3(Json j, const Path& path)
    {
        Json e[3];
        if (!j.is_array() || j.elements(e, 3) != 3)
            fail(path, "expected an array of 3 numbers");
        return Vec3{number(e[0], at(path, 0)), number(e[1], at(path, 1)), number(e[2], at(path, 2))};
    }

    // [u, v] or [u, v, w]
    static Vec3 uvw(Json j, const Path& path)
    {
        Json e[3];
        const size_t n = j.is_array() ? j.elements(e, 3) : 0;
        if (n < 2 || n > 3)
            fail(path, "expected an array of 2 or 3 numbers");
        return Vec3{number(e[0], at(path, 0)), number(e[1], at(path, 1)), n == 3 ? number(e[2], at(path, 2)) : 0.0};
    }

    static Time time(Json j, const Path& path)
    {
        if (j.is_number())
            return Time{number(j, path), 1.0};
        if (j.is_object()) {
            checkKeys(j, path, {"num", "den"});
            auto num = find(j, "num");
            auto den = find(j, "den");
            if (!num || !den)
                fail(path, "a time needs \"num\" and \"den\"");
            return Time{number(*num, at(path, "num")), number(*den, at(path, "den"))};
        }
        fail(path, "expected seconds or {\"num\", \"den\"}");
    }

    static int32_t typeId(Json j, const Path& path, std::initializer_list<Name> names,
                          const char* what)
    {
        if (j.is_string()) {
            bool found = false;
            const int32_t id = lookup(names, j.text(), found);
            if (!found)
                fail(path, std::string("unknown ") + what + " " + quote(j.text()));
            return id;
        }
        return integer(j, path);
    }

    // ---- common element fields ----

    void nameAndId(Json j, const Path& path, Element& e)
    {
        if (auto v = find(j, "name"))
            e.name = string(*v, at(path, "name"));
        if (auto v = find(j, "id")) {
            const std::string id = string(*v, at(path, "id"));
            if (id.empty())
                fail(at(path, "id"), "an id must not be empty");
            if (!ids_.emplace(id, &e).second)
                fail(at(path, "id"), "duplicate id " + quote(id));
            e.id = id;
        }
    }

    void params(Json j, const Path& path, Element& e, std::initializer_list<Name> names,
                Material* scope)
    {
        object(j, path, "an object of parameters");
        for (const auto& [keyView, item] : j.members()) {
            const std::string key(keyView);
            const Path p = at(path, keyView);
            bool found = false;
            int32_t id = lookup(names, key, found);
            if (!found) {
                char* end = nullptr;
                errno = 0;
                const long v = std::strtol(key.c_str(), &end, 10);
                if (key.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
                    fail(p, "unknown parameter " + quote(key));
                id = static_cast<int32_t>(v);
            }
            if (e.params.count(id))
                fail(p, "parameter " + std::to_string(id) + " is given twice");
            e.params[id] = value(item, p);
            if (pendingRef_) {
                Link* link = &std::get<Link>(e.params[id]);
                addLink(p, *pendingRef_, [link](Element* t) { link->target = t; }, scope);
                pendingRef_.reset();
            }
        }
    }

    std::optional<Json> pendingRef_; // set by value() for a link with a target

    Value value(Json j, const Path& path)
    {
        pendingRef_.reset();
        if (j.is_boolean())
            return int32_t(j.boolean() ? 1 : 0);
        if (j.is_number_integer()) {
            if (j.is_number_unsigned() ? j.uint64() <= uint64_t(INT32_MAX)
                                       : (j.int64() >= INT32_MIN && j.int64() <= INT32_MAX))
                return integer(j, path);
            return number(j, path);
        }
        if (j.is_number())
            return number(j, path);
        if (j.is_string())
            return j.str();
        if (j.is_array())
            return vec3(j, path);
        const auto members = j.is_object() ? j.members() : std::vector<Json::Member>{};
        if (members.size() != 1)
            fail(path, "expected a number, true/false, a vector, a text or an object with one of "
                       "\"int\", \"float\", \"vector\", \"string\", \"file\", \"link\", \"gradient\", \"time\"");
        const std::string_view kind = members[0].first;
        const Json v = members[0].second;
        const Path p = at(path, kind);
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
            const Json knots = array(v, p);
            g.knots.reserve(knots.size());
            for (auto [i, knot] : knots.indexed())
                g.knots.push_back(vec3(knot, at(p, i)));
            return g;
        }
        if (kind == "link") {
            // null: an empty link; "dangling": a link whose target is gone.
            if (v.is_null() || (v.is_string() && v.text() == "dangling"))
                return Link{};
            object(v, p, "null, \"dangling\" or an object with one of \"object\", \"material\", \"layer\", \"shader\"");
            if (v.size() != 1)
                fail(p, "a link names exactly one of \"object\", \"material\", \"layer\", \"shader\"");
            pendingRef_ = v;
            return Link{};
        }
        fail(path, "unknown value kind " + quote(kind));
    }

    void addLink(const Path& path, Json spec, std::function<void(Element*)> assign,
                 Material* scope)
    {
        const auto members = spec.members();
        const std::string_view kind = members[0].first;
        const Path p = at(path, "link");
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
            fail(p, "unknown link target kind " + quote(kind));
        links_.push_back({at(p, kind).str(), k, members[0].second, std::move(assign), scope});
    }

    // ---- layers, materials, shaders ----

    std::unique_ptr<Layer> layer(Json j, const Path& path)
    {
        object(j, path, "a layer object");
        checkKeys(j, path, {"name", "id", "view", "render", "color", "params"});
        auto l = std::make_unique<Layer>();
        l->type = 100004801;
        nameAndId(j, path, *l);
        if (auto v = find(j, "view"))
            l->params[1001] = int32_t(boolean(*v, at(path, "view")) ? 1 : 0);
        if (auto v = find(j, "render"))
            l->params[1002] = int32_t(boolean(*v, at(path, "render")) ? 1 : 0);
        if (auto v = find(j, "color"))
            l->params[1009] = vec3(*v, at(path, "color"));
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *l, kLayerParams, nullptr);
        return l;
    }

    std::unique_ptr<Material> material(Json j, const Path& path)
    {
        object(j, path, "a material object");
        checkKeys(j, path, {"name", "id", "type", "channels", "params", "data", "shaders"});
        auto m = std::make_unique<Material>();
        m->type = 5703;
        nameAndId(j, path, *m);
        if (auto v = find(j, "type"))
            m->type = typeId(*v, at(path, "type"), kMaterialTypes, "material type");
        if (auto v = find(j, "channels")) {
            const Path p = at(path, "channels");
            object(*v, p, "an object of channels");
            for (const auto& [key, item] : v->members()) {
                bool found = false;
                int32_t id = lookup(kChannels, key, found);
                if (!found)
                    id = numericKey(std::string(key), at(p, key), "channel");
                m->channels[id] = boolean(item, at(p, key));
            }
        }
        // Shaders first, so that shader links in the parameters can name them.
        if (auto v = find(j, "shaders"))
            list(*v, at(path, "shaders"), m->shaders,
                 [&](Json item, const Path& p) { return shader(item, p, m.get()); });
        if (auto v = find(j, "data")) {
            const Path p = at(path, "data");
            object(*v, p, "an object of data entries");
            for (const auto& [key, item] : v->members())
                m->data[numericKey(std::string(key), at(p, key), "data entry")] = vec3(item, at(p, key));
        }
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *m, kMaterialParams, m.get());
        return m;
    }

    static int32_t numericKey(const std::string& key, const Path& path, const char* what)
    {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(key.c_str(), &end, 10);
        if (key.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
            fail(path, std::string("unknown ") + what + " " + quote(key));
        return static_cast<int32_t>(v);
    }

    std::unique_ptr<Shader> shader(Json j, const Path& path, Material* owner)
    {
        object(j, path, "a shader object");
        checkKeys(j, path, {"name", "id", "type", "color", "file", "gradient", "params"});
        auto s = std::make_unique<Shader>();
        auto type = find(j, "type");
        if (!type)
            fail(path, "a shader needs a \"type\"");
        s->type = typeId(*type, at(path, "type"), kShaderTypes, "shader type");
        nameAndId(j, path, *s);
        if (auto v = find(j, "color"))
            s->params[1000] = vec3(*v, at(path, "color"));
        if (auto v = find(j, "file"))
            s->params[1000] = FilenameValue{string(*v, at(path, "file"))};
        if (auto v = find(j, "gradient")) {
            const Path p = at(path, "gradient");
            Gradient g;
            const auto& knots = array(*v, p);
            for (size_t i = 0; i < knots.size(); ++i)
                g.knots.push_back(vec3(knots[i], at(p, i)));
            s->params[s->type == 1012158 ? 10001 : 1007] = std::move(g);
        }
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *s, kShaderParams, owner);
        return s;
    }

    // ---- objects ----

    std::unique_ptr<Object> object(Json j, const Path& path, int depth)
    {
        if (depth > kMaxObjectDepth)
            fail(path, "objects nested deeper than " + std::to_string(kMaxObjectDepth) + " levels");
        object(j, path, "an object");
        checkKeys(j, path, {"type", "name", "id", "position", "rotation", "scale", "rotationOrder", "bits",
                            "controlObject", "layer", "params", "tracks", layout::kPoints, layout::kPolygons,
                            layout::kPhongNormals, layout::kTags, layout::kChildren, layout::kCache,
                            layout::kDeformCache, layout::kHair});
        auto o = std::make_unique<Object>();
        o->type = 5140;
        if (auto v = find(j, "type"))
            o->type = typeId(*v, at(path, "type"), kObjectTypes, "object type");
        nameAndId(j, path, *o);
        if (auto v = find(j, "position"))
            o->pos = vec3(*v, at(path, "position"));
        if (auto v = find(j, "rotation"))
            o->rot = vec3(*v, at(path, "rotation"));
        if (auto v = find(j, "scale"))
            o->scale = vec3(*v, at(path, "scale"));
        if (auto v = find(j, "rotationOrder")) {
            if (v->is_string() && v->text() == "hpb")
                o->rotationOrder = 6;
            else
                o->rotationOrder = integer(*v, at(path, "rotationOrder"));
        }
        if (auto v = find(j, "bits")) {
            const Path p = at(path, "bits");
            if (!v->is_number_integer() || !v->is_number_unsigned() || v->uint64() > UINT32_MAX)
                fail(p, "expected an unsigned 32-bit integer");
            o->bits = static_cast<uint32_t>(v->uint64());
        }
        if (auto v = find(j, "controlObject"))
            if (boolean(*v, at(path, "controlObject")))
                o->bits |= 1u << 9;
        if (auto v = find(j, "layer")) {
            if (!v->is_null())
                links_.push_back({at(path, "layer").str(), LinkKind::Layer, *v,
                                  [obj = o.get()](Element* l) { obj->layer = static_cast<Layer*>(l); },
                                  nullptr});
        }
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *o, kObjectParams, nullptr);
        if (auto v = find(j, layout::kPoints)) {
            if (auto* h = heavy(*v, HeavyArrays::Kind::Points))
                o->points = std::move(h->vec3);
            else
                vec3List(*v, at(path, layout::kPoints), o->points);
            o->hasPointTag = true;
        }
        if (auto v = find(j, layout::kPolygons)) {
            if (auto* h = heavy(*v, HeavyArrays::Kind::Polygons)) {
                o->polygons = std::move(h->polygons);
            } else {
                const Path p = at(path, layout::kPolygons);
                const Json list = array(*v, p);
                o->polygons.reserve(list.size());
                for (auto [i, item] : list.indexed())
                    o->polygons.push_back(polygon(item, at(p, i)));
            }
            o->hasPolygonTag = true;
        }
        if (auto v = find(j, layout::kPhongNormals)) {
            std::vector<c4d_vec32> normals;
            if (auto* h = heavy(*v, HeavyArrays::Kind::Normals)) {
                normals = std::move(h->normals);
            } else {
                const Path p = at(path, layout::kPhongNormals);
                const Json list = array(*v, p);
                normals.reserve(list.size());
                for (auto [i, item] : list.indexed()) {
                    const Vec3 n = vec3(item, at(p, i));
                    normals.push_back({static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)});
                }
            }
            o->phongNormals = std::move(normals);
        }
        if (auto v = find(j, layout::kHair))
            hair(*v, at(path, layout::kHair), o->hair);
        if (auto v = find(j, layout::kTags))
            list(*v, at(path, layout::kTags), o->tags, [&](Json item, const Path& p) { return tag(item, p); });
        if (auto v = find(j, "tracks"))
            list(*v, at(path, "tracks"), o->tracks, [&](Json item, const Path& p) { return track(item, p); });
        if (auto v = find(j, layout::kDeformCache))
            o->deformCache = object(*v, at(path, layout::kDeformCache), depth + 1);
        if (auto v = find(j, layout::kCache))
            o->cache = object(*v, at(path, layout::kCache), depth + 1);
        if (auto v = find(j, layout::kChildren))
            list(*v, at(path, layout::kChildren), o->children,
                 [&](Json item, const Path& p) { return object(item, p, depth + 1); });
        return o;
    }

    static c4d_cpolygon polygon(Json j, const Path& path)
    {
        Json e[4];
        const size_t n = j.is_array() ? j.elements(e, 4) : 0;
        if (n < 3 || n > 4)
            fail(path, "expected 3 or 4 point indices");
        c4d_cpolygon p;
        p.a = integer(e[0], at(path, 0));
        p.b = integer(e[1], at(path, 1));
        p.c = integer(e[2], at(path, 2));
        p.d = n == 4 ? integer(e[3], at(path, 3)) : p.c;
        return p;
    }

    // An array of vectors, read into `out`.
    static void vec3List(Json j, const Path& path, std::vector<Vec3>& out)
    {
        const Json list = array(j, path);
        out.reserve(list.size());
        for (auto [i, item] : list.indexed())
            out.push_back(vec3(item, at(path, i)));
    }

    void hair(Json j, const Path& path, Hair& h)
    {
        object(j, path, "a hair object");
        checkKeys(j, path, {"generates", "strandCount", "segmentCount", layout::kHairPoints, layout::kRootUV});
        if (auto v = find(j, "generates"))
            h.generates = boolean(*v, at(path, "generates"));
        if (auto v = find(j, layout::kHairPoints)) {
            if (auto* e = heavy(*v, HeavyArrays::Kind::HairPoints))
                h.points = std::move(e->vec3);
            else
                vec3List(*v, at(path, layout::kHairPoints), h.points);
        }
        auto roots = find(j, layout::kRootUV);
        if (auto* e = roots ? heavy(*roots, HeavyArrays::Kind::RootUV) : nullptr) {
            h.rootUV = std::move(e->vec3);
        } else if (auto v = roots) {
            const Path p = at(path, layout::kRootUV);
            const Json list = array(*v, p);
            h.rootUV.reserve(list.size());
            for (auto [i, item] : list.indexed())
                h.rootUV.push_back(uvw(item, at(p, i)));
        }
        // Counts default to what the arrays give; given counts are kept even when the
        // arrays disagree.
        h.strandCount = static_cast<int32_t>(std::min<size_t>(h.rootUV.size(), INT32_MAX));
        if (auto v = find(j, "strandCount"))
            h.strandCount = integer(*v, at(path, "strandCount"));
        h.segmentCount = 0;
        if (h.strandCount > 0 && h.points.size() >= static_cast<size_t>(h.strandCount))
            h.segmentCount = static_cast<int32_t>(
                std::min<size_t>(h.points.size() / static_cast<size_t>(h.strandCount) - 1, INT32_MAX));
        if (auto v = find(j, "segmentCount"))
            h.segmentCount = integer(*v, at(path, "segmentCount"));
    }

    std::unique_ptr<Tag> tag(Json j, const Path& path)
    {
        object(j, path, "a tag object");
        checkKeys(j, path, {"type", "name", "id", "params", "material", "placement", layout::kUvw, layout::kSegments});
        auto t = std::make_unique<Tag>();
        auto type = find(j, "type");
        if (!type)
            fail(path, "a tag needs a \"type\"");
        t->type = typeId(*type, at(path, "type"), kTagTypes, "tag type");
        nameAndId(j, path, *t);
        if (auto v = find(j, "material")) {
            if (!v->is_null())
                links_.push_back({at(path, "material").str(), LinkKind::Material, *v,
                                  [tag = t.get()](Element* m) { tag->material = static_cast<Material*>(m); },
                                  nullptr});
        }
        if (auto v = find(j, "placement"))
            t->placement = matrix(*v, at(path, "placement"));
        auto uvwList = find(j, layout::kUvw);
        if (auto* h = uvwList ? heavy(*uvwList, HeavyArrays::Kind::Uvw) : nullptr) {
            t->uvw = std::move(h->uvw);
        } else if (auto v = uvwList) {
            const Path p = at(path, layout::kUvw);
            const Json list = array(*v, p);
            t->uvw.reserve(list.size());
            for (auto [i, item] : list.indexed()) {
                const Path pi = at(p, i);
                Json corners[4];
                const size_t n = item.is_array() ? item.elements(corners, 4) : 0;
                if (n < 3 || n > 4)
                    fail(pi, "expected the UVW of 3 or 4 corners");
                c4d_uvw r;
                r.a = uvw(corners[0], at(pi, 0));
                r.b = uvw(corners[1], at(pi, 1));
                r.c = uvw(corners[2], at(pi, 2));
                r.d = n == 4 ? uvw(corners[3], at(pi, 3)) : r.c;
                t->uvw.push_back(r);
            }
        }
        auto segmentList = find(j, layout::kSegments);
        if (auto* h = segmentList ? heavy(*segmentList, HeavyArrays::Kind::Segments) : nullptr) {
            t->segments = std::move(h->segments);
        } else if (auto v = segmentList) {
            const Path p = at(path, layout::kSegments);
            const Json list = array(*v, p);
            for (auto [i, item] : list.indexed()) {
                const Path pi = at(p, i);
                if (!item.is_array() || item.size() != 2)
                    fail(pi, "expected [first, last]");
                t->segments.emplace_back(integer(item[0], at(pi, 0)), integer(item[1], at(pi, 1)));
            }
        }
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *t, kTagParams, nullptr);
        return t;
    }

    static Matrix matrix(Json j, const Path& path)
    {
        object(j, path, "an object with \"offset\", \"x\", \"y\", \"z\"");
        checkKeys(j, path, {"offset", "x", "y", "z"});
        Matrix m{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        if (auto v = find(j, "offset"))
            m.off = vec3(*v, at(path, "offset"));
        if (auto v = find(j, "x"))
            m.v1 = vec3(*v, at(path, "x"));
        if (auto v = find(j, "y"))
            m.v2 = vec3(*v, at(path, "y"));
        if (auto v = find(j, "z"))
            m.v3 = vec3(*v, at(path, "z"));
        return m;
    }

    std::unique_ptr<Track> track(Json j, const Path& path)
    {
        object(j, path, "a track object");
        checkKeys(j, path, {"name", "id", "parameter", "component", "descId", "keys", "hasCurve", "on", "params"});
        auto t = std::make_unique<Track>();
        t->type = 5350;
        nameAndId(j, path, *t);
        if (auto v = find(j, "descId")) {
            const Path p = at(path, "descId");
            const Json list = array(*v, p);
            for (auto [i, item] : list.indexed())
                t->descId.push_back(integer(item, at(p, i)));
            if (find(j, "parameter") || find(j, "component"))
                fail(path, "give either \"descId\" or \"parameter\" and \"component\"");
        } else {
            auto param = find(j, "parameter");
            auto comp = find(j, "component");
            if (!param || !comp)
                fail(path, "a track needs \"parameter\" and \"component\" (or \"descId\")");
            t->descId.push_back(typeId(*param, at(path, "parameter"),
                                       {{"position", 903}, {"rotation", 904}, {"scale", 905}}, "parameter"));
            t->descId.push_back(typeId(*comp, at(path, "component"), {{"x", 1000}, {"y", 1001}, {"z", 1002}},
                                       "component"));
        }
        if (auto v = find(j, "hasCurve"))
            t->hasCurve = boolean(*v, at(path, "hasCurve"));
        if (auto v = find(j, "on"))
            t->params[904] = int32_t(boolean(*v, at(path, "on")) ? 1 : 0);
        if (auto v = find(j, "params"))
            params(*v, at(path, "params"), *t, kTrackParams, nullptr);
        if (auto v = find(j, "keys")) {
            const Path p = at(path, "keys");
            const Json list = array(*v, p);
            t->keys.reserve(list.size());
            for (auto [i, item] : list.indexed()) {
                const Path pi = at(p, i);
                Key k;
                if (item.is_array()) {
                    if (item.size() != 2)
                        fail(pi, "expected [time, value]");
                    k.time = time(item[0], at(pi, 0));
                    k.value = number(item[1], at(pi, 1));
                } else {
                    object(item, pi, "[time, value] or {\"time\", \"value\"}");
                    checkKeys(item, pi, {"time", "value"});
                    auto kt = find(item, "time");
                    auto kv = find(item, "value");
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
    Element* byRef(const std::vector<std::unique_ptr<T>>& list, Json ref, const PendingLink& link,
                   const char* what)
    {
        if (ref.is_number_integer()) {
            // Non-negative JSON integers are unsigned, negative ones signed.
            const bool negative = !ref.is_number_unsigned();
            const uint64_t i = negative ? 0 : ref.uint64();
            if (negative || i >= list.size())
                fail(link.path, std::string("no ") + what + " number " + ref.integerText());
            return list[static_cast<size_t>(i)].get();
        }
        if (!ref.is_string())
            fail(link.path, std::string("expected the name, id or number of a ") + what);
        const std::string key = ref.str();
        auto it = ids_.find(key);
        if (it != ids_.end() && holds(list, it->second))
            return it->second;
        if (T* e = named(list, key))
            return e;
        fail(link.path, std::string("no ") + what + " named " + quote(key));
    }

    // An object by id, or by the path of names from a top-level object ("Null/Cube").
    Object* objectByRef(Json ref, const std::string& path)
    {
        if (!ref.is_string())
            fail(path, "expected an object path or id");
        const std::string key = ref.str();
        auto it = ids_.find(key);
        if (it != ids_.end()) {
            if (auto* o = dynamic_cast<Object*>(it->second))
                return o;
            fail(path, "id " + quote(key) + " is not an object");
        }
        const std::vector<std::unique_ptr<Object>>* level = &doc_.objects;
        Object* found = nullptr;
        size_t start = 0;
        while (true) {
            const size_t slash = key.find('/', start);
            const std::string part = key.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            found = named(*level, part);
            if (!found)
                fail(path, "no object at " + quote(key));
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
        const Path list = at(kRoot, "selection");
        const Path path = at(list, s.index);
        if (s.entry.is_string())
            return objectByRef(s.entry, path.str());
        object(s.entry, path, "an object path or {\"object\", \"tag\"}");
        checkKeys(s.entry, path, {"object", "tag"});
        auto obj = find(s.entry, "object");
        if (!obj)
            fail(path, "a selection entry needs \"object\"");
        Object* o = objectByRef(*obj, at(path, "object").str());
        auto tagRef = find(s.entry, "tag");
        if (!tagRef)
            return o;
        PendingLink l{at(path, "tag").str(), LinkKind::Object, *tagRef, {}, nullptr};
        return byRef(o->tags, *tagRef, l, "tag");
    }
};

} // namespace

void readDocumentModel(Json root, const std::string& folder, Document& doc, HeavyArrays& heavy)
{
    Loader(doc, heavy).load(root, folder);
}

} // namespace sim
