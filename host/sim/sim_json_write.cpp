#include "sim_json_write.h"

#include "sim_internal.h"
#include "sim_json_heavy.h"

#include "files/output_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace sim {

namespace {

using json = nlohmann::ordered_json;

json vec(const Vec3& v) { return json::array({v.x, v.y, v.z}); }

json polygon(const c4d_cpolygon& p) { return json::array({p.a, p.b, p.c, p.d}); }
json normal(const c4d_vec32& n) { return json::array({n.x, n.y, n.z}); }
json uvwRecord(const c4d_uvw& r) { return json::array({vec(r.a), vec(r.b), vec(r.c), vec(r.d)}); }
json segment(const std::pair<int32_t, int32_t>& s) { return json::array({s.first, s.second}); }

// Whether an element holds only finite numbers (JSON has no others: the writer would write
// null, which the loader refuses).
bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
bool finite(const c4d_vec32& n) { return std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z); }
bool finite(const c4d_uvw& r) { return finite(r.a) && finite(r.b) && finite(r.c) && finite(r.d); }
bool finite(const c4d_cpolygon&) { return true; }
bool finite(const std::pair<int32_t, int32_t>&) { return true; }

json time(const Time& t) { return json{{"num", t.num}, {"den", t.den}}; }

template <typename T>
int indexIn(const std::vector<std::unique_ptr<T>>& list, const Element* e)
{
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].get() == e)
            return static_cast<int>(i);
    return -1;
}

// The position of every element of a list, for lists that many links name (materials,
// layers): finding each link's target by scanning would make the writing quadratic.
class Positions {
public:
    template <typename T>
    explicit Positions(const std::vector<std::unique_ptr<T>>& list)
    {
        at_.reserve(list.size());
        for (size_t i = 0; i < list.size(); ++i)
            at_.try_emplace(list[i].get(), static_cast<int>(i));
    }
    // The first position of `e`, or -1.
    int of(const Element* e) const
    {
        const auto it = at_.find(e);
        return it == at_.end() ? -1 : it->second;
    }

private:
    std::unordered_map<const Element*, int> at_;
};

class Writer {
public:
    // With `packed`, long arrays of finite numbers are left out as placeholders and listed there.
    Writer(const Document& doc, std::vector<PackedArray>* packed)
        : doc_(doc), materials_(doc.materials), layers_(doc.layers), packed_(packed)
    {
        // Objects that links or the selection name get an id.
        for (const auto& o : doc.objects)
            collectTargets(*o);
        for (const auto& m : doc.materials) {
            noteTarget(*m);
            for (const auto& s : m->shaders)
                noteTarget(*s);
        }
        for (const auto& l : doc.layers)
            noteTarget(*l);
        for (Element* e : doc.selection)
            if (dynamic_cast<Object*>(e))
                idOf(e);
            else if (auto* t = dynamic_cast<Tag*>(e))
                idOf(owners_[t]);
    }

    json document()
    {
        json j;
        j["name"] = doc_.docName;
        j["path"] = doc_.path;
        j["time"] = time(doc_.time);
        j["minTime"] = time(doc_.minTime);
        if (!doc_.params.empty())
            j["params"] = params(doc_, nullptr);
        json layers = json::array();
        for (const auto& l : doc_.layers) {
            json lj{{"name", l->name}};
            if (!l->params.empty())
                lj["params"] = params(*l, nullptr);
            layers.push_back(std::move(lj));
        }
        j["layers"] = std::move(layers);
        json materials = json::array();
        for (const auto& m : doc_.materials)
            materials.push_back(material(*m));
        j["materials"] = std::move(materials);
        json objects = json::array();
        for (const auto& o : doc_.objects)
            objects.push_back(object(*o));
        j["objects"] = std::move(objects);
        if (!doc_.hasSelection) {
            j["selection"] = nullptr;
        } else {
            json selection = json::array();
            for (Element* e : doc_.selection) {
                if (dynamic_cast<Object*>(e)) {
                    selection.push_back(json{{"object", idOf(e)}});
                } else if (auto* t = dynamic_cast<Tag*>(e)) {
                    const Object* owner = owners_[t];
                    if (owner)
                        selection.push_back(json{{"object", idOf(owner)}, {"tag", indexIn(owner->tags, t)}});
                }
            }
            j["selection"] = std::move(selection);
        }
        return j;
    }

private:
    void noteTarget(const Element& e)
    {
        for (const auto& [id, v] : e.params)
            if (auto* link = std::get_if<Link>(&v))
                if (dynamic_cast<Object*>(link->target))
                    idOf(link->target);
    }

    void collectTargets(const Object& o)
    {
        noteTarget(o);
        for (const auto& t : o.tags) {
            owners_[t.get()] = &o;
            noteTarget(*t);
        }
        for (const auto& t : o.tracks)
            noteTarget(*t);
        for (const auto& c : o.children)
            collectTargets(*c);
        if (o.cache)
            collectTargets(*o.cache);
        if (o.deformCache)
            collectTargets(*o.deformCache);
    }

    // A long array: its placeholder when packing, else its elements written by `write`.
    template <typename T, typename Write>
    json longArray(PackedKind kind, const std::vector<T>& list, Write write)
    {
        if (packed_ && !list.empty() &&
            std::all_of(list.begin(), list.end(), [](const T& e) { return finite(e); })) {
            packed_->push_back({kind, list.data(), list.size()});
            return HeavyArrays::placeholder(packed_->size() - 1);
        }
        json a = json::array();
        for (const T& e : list)
            a.push_back(write(e));
        return a;
    }

    std::string idOf(const Element* e)
    {
        auto it = ids_.find(e);
        if (it == ids_.end())
            it = ids_.emplace(e, "object" + std::to_string(ids_.size())).first;
        return it->second;
    }

    json value(const Value& v, const Material* scope)
    {
        return std::visit(
            [&](const auto& x) -> json {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, int32_t>)
                    return json{{"int", x}};
                else if constexpr (std::is_same_v<T, double>)
                    return json{{"float", x}};
                else if constexpr (std::is_same_v<T, Vec3>)
                    return json{{"vector", vec(x)}};
                else if constexpr (std::is_same_v<T, std::string>)
                    return json{{"string", x}};
                else if constexpr (std::is_same_v<T, FilenameValue>)
                    return json{{"file", x.full}};
                else if constexpr (std::is_same_v<T, Time>)
                    return json{{"time", time(x)}};
                else if constexpr (std::is_same_v<T, Gradient>) {
                    json knots = json::array();
                    for (const Vec3& k : x.knots)
                        knots.push_back(vec(k));
                    return json{{"gradient", std::move(knots)}};
                } else {
                    return json{{"link", link(x, scope)}};
                }
            },
            v);
    }

    json link(const Link& l, const Material* scope)
    {
        const Element* t = l.target;
        if (!t)
            return nullptr;
        if (dynamic_cast<const Object*>(t))
            return json{{"object", idOf(t)}};
        if (int i = materials_.of(t); i >= 0)
            return json{{"material", i}};
        if (int i = layers_.of(t); i >= 0)
            return json{{"layer", i}};
        if (scope)
            if (int i = indexIn(scope->shaders, t); i >= 0)
                return json{{"shader", i}};
        return "dangling";
    }

    json params(const Element& e, const Material* scope)
    {
        json j = json::object();
        for (const auto& [id, v] : e.params)
            j[std::to_string(id)] = value(v, scope);
        return j;
    }

    json material(const Material& m)
    {
        json j{{"name", m.name}, {"type", m.type}};
        json channels = json::object();
        for (const auto& [id, on] : m.channels)
            channels[std::to_string(id)] = on;
        j["channels"] = std::move(channels);
        if (!m.data.empty()) {
            json data = json::object();
            for (const auto& [id, v] : m.data)
                data[std::to_string(id)] = vec(v);
            j["data"] = std::move(data);
        }
        json shaders = json::array();
        for (const auto& s : m.shaders) {
            json sj{{"type", s->type}, {"name", s->name}};
            if (!s->params.empty())
                sj["params"] = params(*s, &m);
            shaders.push_back(std::move(sj));
        }
        j["shaders"] = std::move(shaders);
        if (!m.params.empty())
            j["params"] = params(m, &m);
        return j;
    }

    json tag(const Tag& t)
    {
        json j{{"type", t.type}, {"name", t.name}};
        if (t.material)
            j["material"] = materials_.of(t.material);
        const Matrix& p = t.placement;
        j["placement"] = json{{"offset", vec(p.off)}, {"x", vec(p.v1)}, {"y", vec(p.v2)}, {"z", vec(p.v3)}};
        if (!t.uvw.empty())
            j["uvw"] = longArray(PackedKind::Uvw, t.uvw, uvwRecord);
        if (!t.segments.empty())
            j["segments"] = longArray(PackedKind::Segments, t.segments, segment);
        if (!t.params.empty())
            j["params"] = params(t, nullptr);
        return j;
    }

    json track(const Track& t)
    {
        json j{{"name", t.name}, {"descId", t.descId}, {"hasCurve", t.hasCurve}};
        json keys = json::array();
        for (const Key& k : t.keys)
            keys.push_back(json{{"time", time(k.time)}, {"value", k.value}});
        j["keys"] = std::move(keys);
        if (!t.params.empty())
            j["params"] = params(t, nullptr);
        return j;
    }

    json object(const Object& o)
    {
        json j{{"type", o.type}, {"name", o.name}};
        if (auto it = ids_.find(&o); it != ids_.end())
            j["id"] = it->second;
        j["position"] = vec(o.pos);
        j["rotation"] = vec(o.rot);
        j["scale"] = vec(o.scale);
        j["rotationOrder"] = o.rotationOrder;
        if (o.bits)
            j["bits"] = o.bits;
        if (o.layer)
            j["layer"] = layers_.of(o.layer);
        if (!o.params.empty())
            j["params"] = params(o, nullptr);
        if (o.hasPointTag)
            j["points"] = longArray(PackedKind::Points, o.points, vec);
        if (o.hasPolygonTag)
            j["polygons"] = longArray(PackedKind::Polygons, o.polygons, polygon);
        if (o.phongNormals)
            j["phongNormals"] = longArray(PackedKind::Normals, *o.phongNormals, normal);
        if (o.type == 1017305) {
            json hair{{"generates", o.hair.generates}, {"strandCount", o.hair.strandCount},
                      {"segmentCount", o.hair.segmentCount}};
            hair["points"] = longArray(PackedKind::HairPoints, o.hair.points, vec);
            hair["rootUV"] = longArray(PackedKind::RootUV, o.hair.rootUV, vec);
            j["hair"] = std::move(hair);
        }
        json tags = json::array(), tracks = json::array(), children = json::array();
        for (const auto& t : o.tags)
            tags.push_back(tag(*t));
        for (const auto& t : o.tracks)
            tracks.push_back(track(*t));
        for (const auto& c : o.children)
            children.push_back(object(*c));
        j["tags"] = std::move(tags);
        j["tracks"] = std::move(tracks);
        j["children"] = std::move(children);
        if (o.cache)
            j["cache"] = object(*o.cache);
        if (o.deformCache)
            j["deformCache"] = object(*o.deformCache);
        return j;
    }

    const Document& doc_;
    const Positions materials_;
    const Positions layers_;
    std::vector<PackedArray>* packed_;
    std::unordered_map<const Element*, std::string> ids_;
    std::unordered_map<const Tag*, const Object*> owners_;
};

// Puts every array that holds only scalars on one line ([1.0, 2.0, 3.0]), so that points,
// polygons and keys read one per line while the structure stays indented.
std::string compactScalarArrays(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    bool inString = false;
    size_t open = std::string::npos; // where the innermost array opened in `out`
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < text.size())
                out += text[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            out += c;
            break;
        case '[':
            open = out.size();
            out += c;
            break;
        case '{':
            open = std::string::npos;
            out += c;
            break;
        case ']':
            if (open != std::string::npos) {
                // Collapse the line breaks and indentation written since the bracket.
                std::string inner;
                bool space = false;
                for (size_t k = open + 1; k < out.size(); ++k) {
                    const char d = out[k];
                    if (d == '\n' || d == ' ') {
                        space = !inner.empty() && inner.back() == ',';
                        continue;
                    }
                    if (space)
                        inner += ' ';
                    space = false;
                    inner += d;
                }
                out.resize(open + 1);
                out += inner;
            }
            open = std::string::npos;
            out += c;
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

std::string documentJson(const Document& doc)
{
    // Names from older model formats may not be UTF-8; JSON text must be, so such bytes are
    // written as U+FFFD.
    return compactScalarArrays(Writer(doc, nullptr).document().dump(1, ' ', false, json::error_handler_t::replace)) +
           "\n";
}

std::string packedDocumentJson(const Document& doc, std::vector<PackedArray>& arrays)
{
    // Read by the loader only: no line breaks or indentation.
    return Writer(doc, &arrays).document().dump(-1, ' ', false, json::error_handler_t::replace);
}

bool saveDocument(const Document& doc, const std::string& path, std::string& error)
{
    // Written as every output the user names: never into a FIFO or a device, and complete
    // or not at all.
    const std::string text = documentJson(doc);
    std::string why;
    if (!tavrin::files::writeOutputFile(path, text, &why)) {
        error = "cannot write document: " + why;
        return false;
    }
    return true;
}

} // namespace sim
