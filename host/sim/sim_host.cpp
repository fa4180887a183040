// The simulated host's function table for the document: elements, parameters, objects,
// geometry, tags, materials, tracks and hair, answered from the document model; the
// session's functions (sim_host_session.cpp) fill the rest of the table. Every function
// checks its handles (a null handle or a handle of the wrong kind answers failure or null)
// and allocates what it hands over with malloc, so free_mem is free.
#include "sim_host.h"
#include "sim_internal.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

namespace sim {

namespace {

// ---- handle conversions ----

Element* elem(const c4d_base* h) { return element(const_cast<c4d_base*>(h)); }

template <typename T>
T* as(const c4d_base* h)
{
    return dynamic_cast<T*>(elem(h));
}

// Curves, selections and hair guides are handed out as their track, tag or hair object.
template <typename T, typename H>
T* fromHandle(const H* h)
{
    return h ? dynamic_cast<T*>(reinterpret_cast<Element*>(const_cast<H*>(h))) : nullptr;
}
template <typename H>
H* toHandle(Element* e)
{
    return reinterpret_cast<H*>(e);
}

// ---- values ----

int32_t clampCount(size_t n) { return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n); }

const Value* findParam(const Element& e, int32_t id)
{
    auto it = e.params.find(id);
    return it == e.params.end() ? nullptr : &it->second;
}

bool toInt(const Value& v, int32_t& out)
{
    if (auto* i = std::get_if<int32_t>(&v)) {
        out = *i;
        return true;
    }
    if (auto* d = std::get_if<double>(&v)) {
        if (std::isnan(*d))
            return false;
        if (*d >= 2147483647.0)
            out = INT32_MAX;
        else if (*d <= -2147483648.0)
            out = INT32_MIN;
        else
            out = static_cast<int32_t>(*d);
        return true;
    }
    return false;
}

bool toDouble(const Value& v, double& out)
{
    if (auto* i = std::get_if<int32_t>(&v)) {
        out = *i;
        return true;
    }
    if (auto* d = std::get_if<double>(&v)) {
        out = *d;
        return true;
    }
    return false;
}

// Object parameters that the host derives from the object's own fields.
bool objectVectorParam(const Object& o, int32_t id, Vec3& out)
{
    switch (id) {
    case 903: out = o.pos; return true;
    case 904: out = o.rot; return true;
    case 905: out = o.scale; return true;
    default: return false;
    }
}

// Objects whose hair is locked, with their lock counts: guides exist only while locked.
std::unordered_map<const Object*, int>& hairLocks()
{
    static std::unordered_map<const Object*, int> locks;
    return locks;
}

struct SimArray {
    std::vector<Element*> items;
};

// ---- elements ----

int32_t hBaseType(const c4d_base* e) { return e ? elem(e)->type : 0; }
char* hBaseName(const c4d_base* e) { return e ? copyText(elem(e)->name) : nullptr; }
uint64_t hBaseKey(const c4d_base* e) { return e ? elem(e)->key : 0; }

uint32_t hBaseDirty(const c4d_base* h, uint32_t mask)
{
    if (!h)
        return 0;
    const Element& e = *elem(h);
    uint32_t sum = 0;
    if (mask & C4D_DIRTY_MATRIX)
        sum += e.dirtyMatrix;
    if (mask & C4D_DIRTY_DATA)
        sum += e.dirtyData;
    if (mask & C4D_DIRTY_CACHE)
        sum += e.dirtyCache;
    if (auto* d = dynamic_cast<const Document*>(&e); d && (mask & C4D_DIRTY_CHILDREN))
        sum += d->dirtyChildren;
    return sum;
}

// Integer parameters with a host default when the document does not set them.
bool defaultInt(const Element& e, int32_t id, int32_t& out)
{
    if (dynamic_cast<const Object*>(&e)) {
        if (id == 901 || id == 902) {
            out = 2;
            return true;
        }
        if (id == 907) {
            out = 0;
            return true;
        }
    }
    // Layers are shown and rendered unless the document says otherwise.
    if (dynamic_cast<const Layer*>(&e) && (id == 1001 || id == 1002)) {
        out = 1;
        return true;
    }
    if (auto* t = dynamic_cast<const Track*>(&e); t && id == 904) {
        out = trackParameterOn(*t);
        return true;
    }
    return false;
}

int hGetInt(const c4d_base* h, int32_t id, int32_t* out)
{
    if (!h || !out)
        return 0;
    const Element& e = *elem(h);
    if (const Value* v = findParam(e, id))
        return toInt(*v, *out) ? 1 : 0;
    return defaultInt(e, id, *out) ? 1 : 0;
}

int hGetFloat(const c4d_base* h, int32_t id, double* out)
{
    if (!h || !out)
        return 0;
    const Element& e = *elem(h);
    if (const Value* v = findParam(e, id))
        return toDouble(*v, *out) ? 1 : 0;
    int32_t i = 0;
    if (defaultInt(e, id, i)) {
        *out = i;
        return 1;
    }
    return 0;
}

int hGetVector(const c4d_base* h, int32_t id, c4d_vec* out)
{
    if (!h || !out)
        return 0;
    const Element& e = *elem(h);
    if (auto* o = dynamic_cast<const Object*>(&e); o && objectVectorParam(*o, id, *out))
        return 1;
    const Value* v = findParam(e, id);
    if (!v)
        return 0;
    if (auto* vec = std::get_if<Vec3>(v)) {
        *out = *vec;
        return 1;
    }
    return 0;
}

int hGetTime(const c4d_base* h, int32_t id, c4d_time* out)
{
    if (!h || !out)
        return 0;
    const Element& e = *elem(h);
    if (auto* d = dynamic_cast<const Document*>(&e)) {
        if (id == 1000) {
            *out = d->time;
            return 1;
        }
        if (id == 1002) {
            *out = d->minTime;
            return 1;
        }
    }
    const Value* v = findParam(e, id);
    if (!v)
        return 0;
    if (auto* t = std::get_if<Time>(v)) {
        *out = *t;
        return 1;
    }
    return 0;
}

int hSetTime(c4d_base* h, int32_t id, c4d_time value)
{
    if (!h)
        return 0;
    Element& e = *elem(h);
    if (auto* d = dynamic_cast<Document*>(&e)) {
        if (id == 1000) {
            d->time = value;
            return 1;
        }
        if (id == 1002) {
            d->minTime = value;
            return 1;
        }
    }
    auto it = e.params.find(id);
    if (it == e.params.end() || !std::holds_alternative<Time>(it->second))
        return 0;
    it->second = value;
    return 1;
}

int hGetString(const c4d_base* h, int32_t id, char** out)
{
    if (!h || !out)
        return 0;
    *out = nullptr;
    const Element& e = *elem(h);
    if (auto* d = dynamic_cast<const Document*>(&e)) {
        if (id == 1012) {
            *out = copyText(d->path);
            return 1;
        }
        if (id == 1013) {
            *out = copyText(d->docName);
            return 1;
        }
    }
    const Value* v = findParam(e, id);
    if (!v) {
        if (id == 900) { // every element's name
            *out = copyText(e.name);
            return 1;
        }
        return 0;
    }
    if (auto* s = std::get_if<std::string>(v)) {
        *out = copyText(*s);
        return 1;
    }
    if (auto* f = std::get_if<FilenameValue>(v)) {
        *out = copyText(f->full);
        return 1;
    }
    return 0;
}

int hGetLink(const c4d_base* h, int32_t id, const c4d_base* doc, c4d_base** out)
{
    if (!out)
        return 0;
    *out = nullptr;
    if (!h || !doc)
        return 0;
    const Value* v = findParam(*elem(h), id);
    if (!v)
        return 0;
    auto* link = std::get_if<Link>(v);
    if (!link)
        return 0;
    // A target outside the given document is dangling: the read succeeds with null.
    if (link->target && link->target->owner == as<Document>(doc))
        *out = handle(link->target);
    return 1;
}

int hGetFilename(const c4d_base* h, int32_t id, char** full, char** leaf)
{
    if (full)
        *full = nullptr;
    if (leaf)
        *leaf = nullptr;
    if (!h)
        return 0;
    const Value* v = findParam(*elem(h), id);
    if (!v)
        return 0;
    std::string path;
    if (auto* f = std::get_if<FilenameValue>(v))
        path = f->full;
    else if (auto* s = std::get_if<std::string>(v))
        path = *s;
    else
        return 0;
    if (full)
        *full = copyText(path);
    if (leaf)
        *leaf = copyText(leafOf(path));
    return 1;
}

int hGetGradientKnot0(const c4d_base* h, int32_t id, c4d_vec* colour)
{
    if (!h || !colour)
        return 0;
    const Value* v = findParam(*elem(h), id);
    if (!v)
        return 0;
    auto* g = std::get_if<Gradient>(v);
    if (!g || g->knots.empty())
        return 0;
    *colour = g->knots.front();
    return 1;
}

// ---- documents ----

template <typename T>
c4d_base* firstOf(const std::vector<std::unique_ptr<T>>& list)
{
    for (auto& e : list)
        if (e)
            return handle(e.get());
    return nullptr;
}

c4d_base* hDocFirstObject(const c4d_base* h)
{
    auto* d = as<Document>(h);
    return d ? firstOf(d->objects) : nullptr;
}

int hDocExecutePasses(c4d_base* h, void* /*thread*/, int animation, int /*expressions*/,
                      int /*caches*/, uint32_t /*flags*/)
{
    auto* d = as<Document>(h);
    if (!d)
        return 0;
    if (animation)
        evaluate(*d);
    return 1;
}

c4d_array* hDocSelection(const c4d_base* h)
{
    auto* d = as<Document>(h);
    if (!d || !d->hasSelection)
        return nullptr;
    auto* a = new SimArray;
    a->items = d->selection;
    return reinterpret_cast<c4d_array*>(a);
}

int32_t hArrayCount(const c4d_array* a)
{
    return a ? clampCount(reinterpret_cast<const SimArray*>(a)->items.size()) : 0;
}

c4d_base* hArrayGet(const c4d_array* a, int32_t index)
{
    if (!a || index < 0)
        return nullptr;
    auto& items = reinterpret_cast<const SimArray*>(a)->items;
    return static_cast<size_t>(index) < items.size() ? handle(items[static_cast<size_t>(index)]) : nullptr;
}

void hArrayFree(c4d_array* a) { delete reinterpret_cast<SimArray*>(a); }

// ---- objects ----

c4d_base* nextOf(const c4d_base* h) { return h ? handle(elem(h)->next) : nullptr; }

c4d_base* hObjectNext(const c4d_base* h) { return as<Object>(h) ? nextOf(h) : nullptr; }

c4d_base* hObjectDown(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o ? firstOf(o->children) : nullptr;
}

c4d_base* hObjectFirstTag(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o ? firstOf(o->tags) : nullptr;
}

c4d_base* hTagNext(const c4d_base* h) { return as<Tag>(h) ? nextOf(h) : nullptr; }

int hObjectMl(const c4d_base* h, c4d_matrix* out)
{
    auto* o = as<Object>(h);
    if (!o || !out)
        return 0;
    *out = localMatrix(*o);
    return 1;
}

int hObjectMg(const c4d_base* h, c4d_matrix* out)
{
    auto* o = as<Object>(h);
    if (!o || !out)
        return 0;
    *out = globalMatrix(*o);
    return 1;
}

int hObjectVector(const c4d_base* h, int32_t which, c4d_vec* out)
{
    auto* o = as<Object>(h);
    if (!o || !out)
        return 0;
    // No frozen transforms: the absolute vectors are the relative ones.
    switch (which) {
    case C4D_REL_POS:
    case C4D_ABS_POS: *out = o->pos; return 1;
    case C4D_REL_ROT:
    case C4D_ABS_ROT: *out = o->rot; return 1;
    case C4D_REL_SCALE:
    case C4D_ABS_SCALE: *out = o->scale; return 1;
    default: return 0;
    }
}

int32_t hObjectRotationOrder(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o ? o->rotationOrder : 0;
}

uint32_t hObjectBits(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o ? o->bits : 0u;
}

c4d_base* hObjectDeformCache(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o && o->deformCache ? handle(o->deformCache.get()) : nullptr;
}

c4d_base* hObjectCache(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o && o->cache ? handle(o->cache.get()) : nullptr;
}

c4d_base* hObjectLayer(const c4d_base* h, const c4d_base* doc)
{
    auto* o = as<Object>(h);
    if (!o || !doc || !o->layer || o->layer->owner != as<Document>(doc))
        return nullptr;
    return handle(o->layer);
}

// ---- geometry ----

const c4d_vec* hObjectPoints(const c4d_base* h, int32_t* count)
{
    if (count)
        *count = 0;
    auto* o = as<Object>(h);
    if (!o || o->points.empty())
        return nullptr;
    if (count)
        *count = clampCount(o->points.size());
    return o->points.data();
}

const c4d_cpolygon* hObjectPolygons(const c4d_base* h, int32_t* count)
{
    if (count)
        *count = 0;
    auto* o = as<Object>(h);
    if (!o || o->polygons.empty())
        return nullptr;
    if (count)
        *count = clampCount(o->polygons.size());
    return o->polygons.data();
}

// Memory handed to the plug-in (released with free_mem, that is free). Large blocks are
// aligned for transparent huge pages, so that handing over the normals of a heavy mesh
// does not cost one page fault per 4 KiB.
void* allocateLarge(size_t bytes)
{
    constexpr size_t kHugePage = size_t(2) << 20;
    if (bytes < kHugePage)
        return std::malloc(bytes);
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p)
        madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

c4d_vec32* hObjectPhongNormals(const c4d_base* h, int32_t* count)
{
    if (count)
        *count = 0;
    auto* o = as<Object>(h);
    if (!o || !o->phongNormals || o->phongNormals->empty())
        return nullptr;
    const auto& n = *o->phongNormals;
    auto* copy = static_cast<c4d_vec32*>(allocateLarge(n.size() * sizeof(c4d_vec32)));
    if (!copy)
        return nullptr;
    std::memcpy(copy, n.data(), n.size() * sizeof(c4d_vec32));
    if (count)
        *count = clampCount(n.size());
    return copy;
}

const c4d_vec32* hObjectPhongNormalsData(const c4d_base* h, int32_t* count)
{
    if (count)
        *count = 0;
    auto* o = as<Object>(h);
    if (!o || !o->phongNormals || o->phongNormals->empty())
        return nullptr;
    if (count)
        *count = clampCount(o->phongNormals->size());
    return o->phongNormals->data();
}

int32_t hUvwCount(const c4d_base* h)
{
    auto* t = as<Tag>(h);
    return t ? clampCount(t->uvw.size()) : 0;
}

int hUvwGet(const c4d_base* h, int32_t polygon, c4d_uvw* out)
{
    auto* t = as<Tag>(h);
    if (!t || !out || polygon < 0 || static_cast<size_t>(polygon) >= t->uvw.size())
        return 0;
    *out = t->uvw[static_cast<size_t>(polygon)];
    return 1;
}

const c4d_uvw* hUvwData(const c4d_base* h, int32_t* count)
{
    auto* t = as<Tag>(h);
    const int32_t n = t ? clampCount(t->uvw.size()) : 0;
    if (count)
        *count = n;
    return n > 0 ? t->uvw.data() : nullptr;
}

c4d_select* hSelectionTagSelect(const c4d_base* h)
{
    auto* t = as<Tag>(h);
    return t && t->type == 5673 ? toHandle<c4d_select>(t) : nullptr;
}

int32_t hSelectSegments(const c4d_select* s)
{
    auto* t = fromHandle<Tag>(s);
    return t ? clampCount(t->segments.size()) : 0;
}

int hSelectRange(const c4d_select* s, int32_t segment, int32_t maxElements, int32_t* first,
                 int32_t* last)
{
    auto* t = fromHandle<Tag>(s);
    if (!t || !first || !last || segment < 0 || static_cast<size_t>(segment) >= t->segments.size() ||
        maxElements <= 0)
        return 0;
    const auto& r = t->segments[static_cast<size_t>(segment)];
    const int32_t a = r.first;
    const int32_t b = std::min(r.second, maxElements - 1);
    if (a > b)
        return 0;
    *first = a;
    *last = b;
    return 1;
}

// ---- texture tags, materials, shaders ----

c4d_base* hTextureTagMaterial(const c4d_base* h)
{
    auto* t = as<Tag>(h);
    if (!t || !t->material || t->material->owner != t->owner)
        return nullptr;
    return handle(t->material);
}

int hTextureTagMatrix(const c4d_base* h, c4d_matrix* out)
{
    auto* t = as<Tag>(h);
    if (!t || !out || t->type != 5616)
        return 0;
    *out = t->placement;
    return 1;
}

int hMaterialChannelEnabled(const c4d_base* h, int32_t channel)
{
    auto* m = as<Material>(h);
    if (!m)
        return 0;
    auto it = m->channels.find(channel);
    return it != m->channels.end() && it->second ? 1 : 0;
}

int hMaterialDataVector(const c4d_base* h, int32_t id, c4d_vec* out)
{
    auto* m = as<Material>(h);
    if (!m || !out)
        return 0;
    auto it = m->data.find(id);
    if (it == m->data.end())
        return 0;
    *out = it->second;
    return 1;
}

c4d_base* hMaterialFirstShader(const c4d_base* h)
{
    auto* m = as<Material>(h);
    return m ? firstOf(m->shaders) : nullptr;
}

c4d_base* hShaderNext(const c4d_base* h) { return as<Shader>(h) ? nextOf(h) : nullptr; }

// ---- animation ----

c4d_base* hObjectFirstTrack(const c4d_base* h)
{
    auto* o = as<Object>(h);
    return o ? firstOf(o->tracks) : nullptr;
}

c4d_base* hTrackNext(const c4d_base* h) { return as<Track>(h) ? nextOf(h) : nullptr; }

int32_t hTrackDescDepth(const c4d_base* h)
{
    auto* t = as<Track>(h);
    return t ? clampCount(t->descId.size()) : 0;
}

int32_t hTrackDescId(const c4d_base* h, int32_t level)
{
    auto* t = as<Track>(h);
    if (!t || level < 0 || static_cast<size_t>(level) >= t->descId.size())
        return 0;
    return t->descId[static_cast<size_t>(level)];
}

c4d_curve* hTrackCurve(c4d_base* h, int32_t /*type*/, int /*create*/)
{
    auto* t = as<Track>(h);
    return t && t->hasCurve ? toHandle<c4d_curve>(t) : nullptr;
}

int32_t hCurveKeyCount(const c4d_curve* c)
{
    auto* t = fromHandle<Track>(c);
    return t ? clampCount(t->keys.size()) : 0;
}

int hCurveKeyTime(const c4d_curve* c, int32_t index, c4d_time* out)
{
    auto* t = fromHandle<Track>(c);
    if (!t || !out || index < 0 || static_cast<size_t>(index) >= t->keys.size())
        return 0;
    *out = t->keys[static_cast<size_t>(index)].time;
    return 1;
}

double hTrackValue(c4d_base* h, const c4d_base* /*doc*/, c4d_time time, int32_t /*fps*/)
{
    auto* t = as<Track>(h);
    return t ? trackValueAt(*t, seconds(time)) : 0.0;
}

// ---- hair ----

int hHairLock(c4d_base* h, const c4d_base* doc)
{
    auto* o = as<Object>(h);
    if (!o || !doc)
        return 0;
    hairLocks()[o]++;
    return 1;
}

void hHairUnlock(c4d_base* h)
{
    auto* o = as<Object>(h);
    if (!o)
        return;
    auto& locks = hairLocks();
    auto it = locks.find(o);
    if (it != locks.end() && --it->second <= 0)
        locks.erase(it);
}

c4d_hair* hHairGenerate(c4d_base* h, const c4d_base* doc, int32_t /*strands*/,
                        int32_t /*segments*/, uint32_t /*flags*/)
{
    auto* o = as<Object>(h);
    // Guides exist only while the object is locked.
    if (!o || !doc || !o->hair.generates || hairLocks().count(o) == 0)
        return nullptr;
    return toHandle<c4d_hair>(o);
}

int32_t hHairStrandCount(const c4d_hair* h)
{
    auto* o = fromHandle<Object>(h);
    return o ? o->hair.strandCount : 0;
}

int32_t hHairSegmentCount(const c4d_hair* h)
{
    auto* o = fromHandle<Object>(h);
    return o ? o->hair.segmentCount : 0;
}

const c4d_vec* hHairPoints(const c4d_hair* h, int32_t* count)
{
    if (count)
        *count = 0;
    auto* o = fromHandle<Object>(h);
    if (!o || o->hair.points.empty())
        return nullptr;
    if (count)
        *count = clampCount(o->hair.points.size());
    return o->hair.points.data();
}

int hHairRootUv(const c4d_hair* h, int32_t strand, c4d_vec* out)
{
    auto* o = fromHandle<Object>(h);
    if (!o || !out || strand < 0 || static_cast<size_t>(strand) >= o->hair.rootUV.size())
        return 0;
    *out = o->hair.rootUV[static_cast<size_t>(strand)];
    return 1;
}

c4d_host_table makeTable()
{
    c4d_host_table t{};
    t.version = C4D_HOST_API_VERSION;
    t.size = sizeof(c4d_host_table);
    fillSessionFunctions(t);
    t.base_type = hBaseType;
    t.base_name = hBaseName;
    t.base_key = hBaseKey;
    t.base_dirty = hBaseDirty;
    t.get_int = hGetInt;
    t.get_float = hGetFloat;
    t.get_vector = hGetVector;
    t.get_time = hGetTime;
    t.set_time = hSetTime;
    t.get_string = hGetString;
    t.get_link = hGetLink;
    t.get_filename = hGetFilename;
    t.get_gradient_knot0 = hGetGradientKnot0;
    t.doc_first_object = hDocFirstObject;
    t.doc_execute_passes = hDocExecutePasses;
    t.doc_selection = hDocSelection;
    t.array_count = hArrayCount;
    t.array_get = hArrayGet;
    t.array_free = hArrayFree;
    t.object_next = hObjectNext;
    t.object_down = hObjectDown;
    t.object_first_tag = hObjectFirstTag;
    t.tag_next = hTagNext;
    t.object_ml = hObjectMl;
    t.object_mg = hObjectMg;
    t.object_vector = hObjectVector;
    t.object_rotation_order = hObjectRotationOrder;
    t.object_bits = hObjectBits;
    t.object_deform_cache = hObjectDeformCache;
    t.object_cache = hObjectCache;
    t.object_layer = hObjectLayer;
    t.object_points = hObjectPoints;
    t.object_polygons = hObjectPolygons;
    t.object_phong_normals = hObjectPhongNormals;
    t.uvw_count = hUvwCount;
    t.uvw_get = hUvwGet;
    t.uvw_data = hUvwData;
    t.object_phong_normals_data = hObjectPhongNormalsData;
    t.selection_tag_select = hSelectionTagSelect;
    t.select_segments = hSelectSegments;
    t.select_range = hSelectRange;
    t.texture_tag_material = hTextureTagMaterial;
    t.texture_tag_matrix = hTextureTagMatrix;
    t.material_channel_enabled = hMaterialChannelEnabled;
    t.material_data_vector = hMaterialDataVector;
    t.material_first_shader = hMaterialFirstShader;
    t.shader_next = hShaderNext;
    t.object_first_track = hObjectFirstTrack;
    t.track_next = hTrackNext;
    t.track_desc_depth = hTrackDescDepth;
    t.track_desc_id = hTrackDescId;
    t.track_curve = hTrackCurve;
    t.curve_key_count = hCurveKeyCount;
    t.curve_key_time = hCurveKeyTime;
    t.track_value = hTrackValue;
    t.hair_lock = hHairLock;
    t.hair_unlock = hHairUnlock;
    t.hair_generate = hHairGenerate;
    t.hair_strand_count = hHairStrandCount;
    t.hair_segment_count = hHairSegmentCount;
    t.hair_points = hHairPoints;
    t.hair_root_uv = hHairRootUv;
    return t;
}

} // namespace

const c4d_host_table* hostTable()
{
    static const c4d_host_table table = makeTable();
    return &table;
}

c4d_base* handle(Element* e) { return reinterpret_cast<c4d_base*>(e); }
Element* element(c4d_base* h) { return reinterpret_cast<Element*>(h); }

void clearHairLocks() { hairLocks().clear(); }

} // namespace sim
