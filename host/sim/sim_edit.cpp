// Applies a new version of a document to the open one (see sim_edit.h): matching by id or
// path, then comparing each continued element with the one it continues.
#include "sim_edit.h"

#include "sim_host.h"

#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

namespace {

bool same(const Vec3& a, const Vec3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
bool same(const Matrix& a, const Matrix& b)
{
    return same(a.off, b.off) && same(a.v1, b.v1) && same(a.v2, b.v2) && same(a.v3, b.v3);
}
bool same(const Time& a, const Time& b) { return a.num == b.num && a.den == b.den; }

// Plain records compared by their bytes (points, polygons, UVW records, normals).
template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b)
{
    static_assert(std::is_trivially_copyable_v<T>);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

uint64_t keyOf(const Element* e) { return e ? e->key : 0; }

bool sameValue(const Value& a, const Value& b)
{
    if (a.index() != b.index())
        return false;
    return std::visit(
        [&b](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b);
            if constexpr (std::is_same_v<T, Vec3>)
                return same(x, y);
            else if constexpr (std::is_same_v<T, Time>)
                return same(x, y);
            else if constexpr (std::is_same_v<T, Link>)
                return keyOf(x.target) == keyOf(y.target);
            else if constexpr (std::is_same_v<T, FilenameValue>)
                return x.full == y.full;
            else if constexpr (std::is_same_v<T, Gradient>)
                return sameBytes(x.knots, y.knots);
            else
                return x == y;
        },
        a);
}

bool sameParams(const Element& a, const Element& b)
{
    if (a.params.size() != b.params.size())
        return false;
    for (auto i = a.params.begin(), j = b.params.begin(); i != a.params.end(); ++i, ++j)
        if (i->first != j->first || !sameValue(i->second, j->second))
            return false;
    return true;
}

bool sameOwn(const Element& a, const Element& b) { return a.name == b.name && a.type == b.type && sameParams(a, b); }

// One element of either version with the path it is matched by.
struct Visit {
    Element* element;
    std::string path;
};

// Every element of a document with its matching path: kind, then the names from the top
// with each one's index among same-named siblings ("o/World#0/Box#1", "t/..." for tags).
class PathWalk {
public:
    std::vector<Visit> visits;

    void run(Document& doc)
    {
        list(doc.layers, "l/");
        listMaterials(doc.materials);
        objects(doc.objects, "o/");
    }

private:
    template <typename T>
    std::vector<std::string> names(const std::vector<std::unique_ptr<T>>& items, const std::string& prefix)
    {
        std::unordered_map<std::string, int> seen;
        std::vector<std::string> paths;
        paths.reserve(items.size());
        for (const auto& item : items)
            paths.push_back(item ? prefix + item->name + "#" + std::to_string(seen[item->name]++) : std::string());
        return paths;
    }
    template <typename T>
    void list(std::vector<std::unique_ptr<T>>& items, const std::string& prefix)
    {
        const std::vector<std::string> paths = names(items, prefix);
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i])
                visits.push_back({items[i].get(), paths[i]});
    }
    void listMaterials(std::vector<std::unique_ptr<Material>>& materials)
    {
        const std::vector<std::string> paths = names(materials, "m/");
        for (size_t i = 0; i < materials.size(); ++i) {
            if (!materials[i])
                continue;
            visits.push_back({materials[i].get(), paths[i]});
            list(materials[i]->shaders, "s/" + paths[i].substr(2) + "/");
        }
    }
    void objects(std::vector<std::unique_ptr<Object>>& items, const std::string& prefix)
    {
        const std::vector<std::string> paths = names(items, prefix);
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i])
                object(*items[i], paths[i]);
    }
    void object(Object& o, const std::string& path)
    {
        visits.push_back({&o, path});
        const std::string below = path.substr(2) + "/";
        list(o.tags, "t/" + below);
        list(o.tracks, "k/" + below);
        if (o.deformCache)
            object(*o.deformCache, "o/" + below + "deformed");
        if (o.cache)
            object(*o.cache, "o/" + below + "cache");
        objects(o.children, "o/" + below);
    }
};

// The kind an element's id is unique in.
char kindOf(const Element& e)
{
    if (dynamic_cast<const Object*>(&e))
        return 'o';
    if (dynamic_cast<const Tag*>(&e))
        return 't';
    if (dynamic_cast<const Track*>(&e))
        return 'k';
    if (dynamic_cast<const Material*>(&e))
        return 'm';
    if (dynamic_cast<const Shader*>(&e))
        return 's';
    return 'l';
}

// Pre-order of (object key, parent key): equal before and after when no object was added,
// removed or moved in the tree. Caches are the host's, not the tree's.
void treeShape(const std::vector<std::unique_ptr<Object>>& objects, uint64_t parent, std::vector<uint64_t>& out)
{
    for (const auto& o : objects) {
        if (!o)
            continue;
        out.push_back(o->key);
        out.push_back(parent);
        treeShape(o->children, o->key, out);
    }
}

bool sameHair(const Hair& a, const Hair& b)
{
    return a.generates == b.generates && a.strandCount == b.strandCount && a.segmentCount == b.segmentCount &&
           sameBytes(a.points, b.points) && sameBytes(a.rootUV, b.rootUV);
}

bool sameObjectData(const Object& a, const Object& b)
{
    if (!sameOwn(a, b) || a.bits != b.bits || keyOf(a.layer) != keyOf(b.layer) ||
        a.hasPointTag != b.hasPointTag || a.hasPolygonTag != b.hasPolygonTag || !sameBytes(a.points, b.points) ||
        !sameBytes(a.polygons, b.polygons) || a.phongNormals.has_value() != b.phongNormals.has_value() ||
        !sameHair(a.hair, b.hair))
        return false;
    return !a.phongNormals || sameBytes(*a.phongNormals, *b.phongNormals);
}

bool sameMatrix(const Object& a, const Object& b)
{
    return same(a.pos, b.pos) && same(a.rot, b.rot) && same(a.scale, b.scale) && a.rotationOrder == b.rotationOrder;
}

bool sameTag(const Tag& a, const Tag& b)
{
    return sameOwn(a, b) && sameBytes(a.uvw, b.uvw) && a.segments == b.segments &&
           keyOf(a.material) == keyOf(b.material) && same(a.placement, b.placement);
}

bool sameTrack(const Track& a, const Track& b)
{
    if (!sameOwn(a, b) || a.descId != b.descId || a.hasCurve != b.hasCurve || a.keys.size() != b.keys.size())
        return false;
    for (size_t i = 0; i < a.keys.size(); ++i)
        if (!same(a.keys[i].time, b.keys[i].time) || a.keys[i].value != b.keys[i].value)
            return false;
    return true;
}

bool sameMaterial(const Material& a, const Material& b)
{
    if (!sameOwn(a, b) || a.channels != b.channels || a.data.size() != b.data.size() ||
        a.shaders.size() != b.shaders.size())
        return false;
    for (auto i = a.data.begin(), j = b.data.begin(); i != a.data.end(); ++i, ++j)
        if (i->first != j->first || !same(i->second, j->second))
            return false;
    return true;
}

bool sameDocument(const Document& a, const Document& b)
{
    return sameOwn(a, b) && a.docName == b.docName && a.path == b.path && same(a.time, b.time) &&
           same(a.minTime, b.minTime);
}

// Compares a continued element with the one it continues and raises its counters. True
// when anything of it differs.
bool compare(const Element& before, Element& after)
{
    bool changed = false;
    auto raise = [&changed](uint32_t& counter, bool same) {
        if (!same) {
            ++counter;
            changed = true;
        }
    };
    if (auto* a = dynamic_cast<const Object*>(&before)) {
        auto& b = static_cast<Object&>(after);
        raise(b.dirtyMatrix, sameMatrix(*a, b));
        raise(b.dirtyData, sameObjectData(*a, b));
    } else if (auto* t = dynamic_cast<const Tag*>(&before)) {
        raise(after.dirtyData, sameTag(*t, static_cast<const Tag&>(after)));
    } else if (auto* k = dynamic_cast<const Track*>(&before)) {
        raise(after.dirtyData, sameTrack(*k, static_cast<const Track&>(after)));
    } else if (auto* m = dynamic_cast<const Material*>(&before)) {
        raise(after.dirtyData, sameMaterial(*m, static_cast<const Material&>(after)));
    } else {
        raise(after.dirtyData, sameOwn(before, after));
    }
    return changed;
}

// Raises the cache counter of every object whose cache holds a new or changed element.
// True when anything in the object's subtree (itself, its tags, caches, children) changed.
bool raiseCaches(Object& o, const std::unordered_set<const Element*>& changed)
{
    bool inCache = false;
    if (o.deformCache)
        inCache = raiseCaches(*o.deformCache, changed) || inCache;
    if (o.cache)
        inCache = raiseCaches(*o.cache, changed) || inCache;
    if (inCache)
        ++o.dirtyCache;
    bool any = inCache || changed.count(&o) > 0;
    for (auto& t : o.tags)
        any = any || (t && changed.count(t.get()) > 0);
    for (auto& c : o.children)
        if (c)
            any = raiseCaches(*c, changed) || any;
    return any;
}

} // namespace

EditResult applyEdit(Document& open, std::unique_ptr<Document> next)
{
    EditResult result;
    if (!next)
        return result;
    PathWalk before;
    before.run(open);
    std::unordered_map<std::string, Element*> byId;
    std::unordered_map<std::string, Element*> byPath;
    for (const Visit& v : before.visits) {
        if (!v.element->id.empty())
            byId.emplace(std::string(1, kindOf(*v.element)) + v.element->id, v.element);
        else
            byPath.emplace(v.path, v.element);
    }
    std::vector<uint64_t> shapeBefore;
    treeShape(open.objects, 0, shapeBefore);

    // First every key, so that links compare by the keys of their targets.
    PathWalk after;
    after.run(*next);
    std::vector<const Element*> continued(after.visits.size(), nullptr);
    std::unordered_set<const Element*> used;
    for (size_t i = 0; i < after.visits.size(); ++i) {
        Element& e = *after.visits[i].element;
        e.key = 0;
        Element* match = nullptr;
        if (!e.id.empty()) {
            auto it = byId.find(std::string(1, kindOf(e)) + e.id);
            match = it == byId.end() ? nullptr : it->second;
        } else {
            auto it = byPath.find(after.visits[i].path);
            match = it == byPath.end() ? nullptr : it->second;
        }
        if (match == nullptr || match->type != e.type || kindOf(*match) != kindOf(e) || !used.insert(match).second) {
            ++result.added;
            continue;
        }
        continued[i] = match;
        e.key = match->key;
        e.dirtyMatrix = match->dirtyMatrix;
        e.dirtyData = match->dirtyData;
        e.dirtyCache = match->dirtyCache;
    }
    result.removed = static_cast<int>(before.visits.size() - used.size());

    std::unordered_set<const Element*> changed;
    for (size_t i = 0; i < after.visits.size(); ++i) {
        Element* e = after.visits[i].element;
        if (continued[i] == nullptr)
            changed.insert(e);
        else if (compare(*continued[i], *e)) {
            changed.insert(e);
            ++result.touched;
        }
    }
    for (auto& o : next->objects)
        if (o)
            raiseCaches(*o, changed);

    // The document itself stays the open one; its content becomes the new version's.
    Document& doc = *next;
    if (!sameDocument(open, doc)) {
        ++open.dirtyData;
        ++result.touched;
    }
    open.name = doc.name;
    open.params = std::move(doc.params);
    open.docName = doc.docName;
    open.path = doc.path;
    open.time = doc.time;
    open.minTime = doc.minTime;
    open.hasSelection = doc.hasSelection;
    open.selection = std::move(doc.selection);
    open.objects = std::move(doc.objects);
    open.materials = std::move(doc.materials);
    open.layers = std::move(doc.layers);
    finalize(open);

    std::vector<uint64_t> shapeAfter;
    treeShape(open.objects, 0, shapeAfter);
    if (shapeAfter != shapeBefore) {
        ++open.dirtyChildren;
        result.structure = true;
    }
    return result;
}

} // namespace sim
