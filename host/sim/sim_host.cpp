// The simulated host's function table, answered from the document model. Every function
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

// ---- host-side state ----

struct SimArray {
    std::vector<Element*> items;
};

struct SimFilename {
    std::string path;
};

struct SimBitmap {
    std::string file;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgba;
};

struct HostState {
    SaveDialog dialog;
    SaveDialogRequest request;
    std::vector<RegisteredCommand> commands;
    // Commands dropped by clearHostState: the host keeps every command it was given for the
    // life of the process, so the plug-in's command objects stay reachable.
    std::vector<RegisteredCommand> retired;
    std::vector<std::string> messages;
    std::vector<std::string> consoleLines;
    std::string report;
    bool progressForced = false;
    bool consoleQuiet = false; // console lines are kept but not printed
    int progressDrawn = 0;
    size_t progressWidth = 0; // length of the progress line on screen; 0 when none is shown
    std::string pluginFolder;
    std::string pendingIcon; // the last icon asked for since the last registration
    std::vector<std::unique_ptr<SimBitmap>> bitmaps;
    std::unordered_map<const Object*, int> hairLocks;
};

HostState& state()
{
    static HostState s;
    return s;
}

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

// A host-allocated copy of a text; null for an empty one.
char* copyText(const std::string& s)
{
    if (s.empty())
        return nullptr;
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

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

std::string leafOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
bool hasSuffix(const std::string& path)
{
    const std::string leaf = leafOf(path);
    const size_t dot = leaf.find_last_of('.');
    return dot != std::string::npos && dot > 0 && dot + 1 < leaf.size();
}

// ---- memory, registration, user interface ----

void hFreeMem(void* p) { std::free(p); }

c4d_bitmap* hLoadIcon(const char* file, double /*pixelRatio*/)
{
    HostState& s = state();
    s.pendingIcon = file ? file : "";
    if (!file || !*file || s.pluginFolder.empty())
        return nullptr;
    const std::string name(file);
    // Only files inside the resource folder: no absolute paths, no way up.
    if (name.front() == '/' || name == ".." || name.find("../") != std::string::npos ||
        name.find("/..") != std::string::npos)
        return nullptr;
    auto bitmap = std::make_unique<SimBitmap>();
    bitmap->file = name;
    if (!decodePng(s.pluginFolder + "/res/" + name, bitmap->width, bitmap->height, bitmap->rgba))
        return nullptr;
    s.bitmaps.push_back(std::move(bitmap));
    return reinterpret_cast<c4d_bitmap*>(s.bitmaps.back().get());
}

const SimBitmap* findBitmap(const c4d_bitmap* b)
{
    if (!b)
        return nullptr;
    for (auto& p : state().bitmaps)
        if (reinterpret_cast<const c4d_bitmap*>(p.get()) == b)
            return p.get();
    return nullptr;
}

int hRegisterCommand(int32_t id, const char* name, int32_t /*info*/, c4d_bitmap* icon,
                     const char* help, c4d_command command)
{
    HostState& s = state();
    const std::string pending = s.pendingIcon;
    s.pendingIcon.clear();
    if (!command.execute)
        return 0;
    for (auto& c : s.commands)
        if (c.id == id)
            return 0; // IDs are unique in the host
    RegisteredCommand rc;
    rc.id = id;
    rc.name = name ? name : "";
    rc.help = help ? help : "";
    const SimBitmap* bitmap = findBitmap(icon);
    rc.iconFile = bitmap ? bitmap->file : pending;
    rc.iconLoaded = bitmap != nullptr;
    rc.command = command;
    s.commands.push_back(std::move(rc));
    return 1;
}

void eraseProgressLine();

void hMessageDialog(const char* utf8)
{
    const std::string text = utf8 ? utf8 : "";
    eraseProgressLine();
    state().messages.push_back(text);
    std::fprintf(stderr, "%s\n", text.c_str());
}

// ---- console and status bar ----

// Removes the progress line from the screen, so that other text starts on a clean line.
void eraseProgressLine()
{
    HostState& s = state();
    if (s.progressWidth == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(s.progressWidth), "");
    s.progressWidth = 0;
}

void hConsoleLine(const char* utf8)
{
    const std::string text = utf8 ? utf8 : "";
    eraseProgressLine();
    state().consoleLines.push_back(text);
    if (!state().consoleQuiet)
        std::fprintf(stderr, "%s\n", text.c_str());
}

void hStatusBar(double fraction, const char* utf8)
{
    HostState& s = state();
    if (!s.progressForced && (s.consoleQuiet || isatty(fileno(stderr)) == 0))
        return;
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    // The text is cut to keep the line within a narrow terminal, at a character boundary.
    std::string text = utf8 ? utf8 : "";
    constexpr size_t kMaxText = 60;
    if (text.size() > kMaxText) {
        size_t cut = kMaxText;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    char line[96];
    const int n = std::snprintf(line, sizeof line, "%3d%% %s", static_cast<int>(fraction * 100.0), text.c_str());
    const size_t width = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    // Spaces cover what is left of a longer line drawn before.
    const int pad = s.progressWidth > width ? static_cast<int>(s.progressWidth - width) : 0;
    std::fprintf(stderr, "\r%s%*s", line, pad, "");
    std::fflush(stderr);
    s.progressWidth = width + static_cast<size_t>(pad);
    ++s.progressDrawn;
}

void hStatusClear() { eraseProgressLine(); }

void hCommandReport(const char* json) { state().report = json ? json : ""; }

// ---- strings and file names ----

c4d_string* hStringNew(const char* utf8)
{
    return reinterpret_cast<c4d_string*>(new std::string(utf8 ? utf8 : ""));
}

void hStringFree(c4d_string* s) { delete reinterpret_cast<std::string*>(s); }

char* hStringCopy(const c4d_string* s, int32_t encoding)
{
    if (!s || encoding != C4D_STRINGENCODING_UTF8)
        return nullptr;
    return copyText(*reinterpret_cast<const std::string*>(s));
}

SimFilename* fn(const c4d_filename* f) { return reinterpret_cast<SimFilename*>(const_cast<c4d_filename*>(f)); }

c4d_filename* hFilenameNew() { return reinterpret_cast<c4d_filename*>(new SimFilename); }
void hFilenameFree(c4d_filename* f) { delete fn(f); }

void hFilenameSetDirectory(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    std::string dir = utf8 ? utf8 : "";
    const std::string leaf = leafOf(fn(f)->path);
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    fn(f)->path = dir + leaf;
}

void hFilenameSetFile(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    const std::string folder = folderOf(fn(f)->path);
    const std::string file = utf8 ? utf8 : "";
    fn(f)->path = folder.empty() && fn(f)->path.find('/') == std::string::npos ? file : folder + "/" + file;
}

void hFilenameSetSuffix(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    std::string& path = fn(f)->path;
    const size_t slash = path.find_last_of('/');
    const size_t leafStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && dot > leafStart)
        path.erase(dot);
    const std::string suffix = utf8 ? utf8 : "";
    if (!suffix.empty())
        path += "." + suffix;
}

int hFilenameContent(const c4d_filename* f) { return f && !fn(f)->path.empty() ? 1 : 0; }

c4d_string* hFilenameGetString(const c4d_filename* f)
{
    return f ? hStringNew(fn(f)->path.c_str()) : nullptr;
}

int hFilenameSelect(c4d_filename* f, int32_t type, int32_t flags, const char* title,
                    const char* forceSuffix)
{
    if (!f)
        return 0;
    HostState& s = state();
    s.request.calls++;
    s.request.type = type;
    s.request.flags = flags;
    s.request.title = title ? title : "";
    s.request.forceSuffix = forceSuffix ? forceSuffix : "";
    s.request.suggested = fn(f)->path;
    if (s.dialog.cancel || s.dialog.path.empty())
        return 0;
    std::string chosen = s.dialog.path;
    // "-" (standard output) is a stream, not a file name to complete.
    if (!s.request.forceSuffix.empty() && !hasSuffix(chosen) && chosen != "-")
        chosen += "." + s.request.forceSuffix;
    fn(f)->path = chosen;
    return 1;
}

// ---- elements ----

int32_t hBaseType(const c4d_base* e) { return e ? elem(e)->type : 0; }
char* hBaseName(const c4d_base* e) { return e ? copyText(elem(e)->name) : nullptr; }
uint64_t hBaseKey(const c4d_base* e) { return e ? elem(e)->key : 0; }

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
    state().hairLocks[o]++;
    return 1;
}

void hHairUnlock(c4d_base* h)
{
    auto* o = as<Object>(h);
    if (!o)
        return;
    auto& locks = state().hairLocks;
    auto it = locks.find(o);
    if (it != locks.end() && --it->second <= 0)
        locks.erase(it);
}

c4d_hair* hHairGenerate(c4d_base* h, const c4d_base* doc, int32_t /*strands*/,
                        int32_t /*segments*/, uint32_t /*flags*/)
{
    auto* o = as<Object>(h);
    // Guides exist only while the object is locked.
    if (!o || !doc || !o->hair.generates || state().hairLocks.count(o) == 0)
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
    t.free_mem = hFreeMem;
    t.load_icon = hLoadIcon;
    t.register_command = hRegisterCommand;
    t.message_dialog = hMessageDialog;
    t.string_new = hStringNew;
    t.string_free = hStringFree;
    t.string_copy_cstring = hStringCopy;
    t.filename_new = hFilenameNew;
    t.filename_free = hFilenameFree;
    t.filename_set_directory = hFilenameSetDirectory;
    t.filename_set_file = hFilenameSetFile;
    t.filename_set_suffix = hFilenameSetSuffix;
    t.filename_content = hFilenameContent;
    t.filename_get_string = hFilenameGetString;
    t.filename_select = hFilenameSelect;
    t.base_type = hBaseType;
    t.base_name = hBaseName;
    t.base_key = hBaseKey;
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
    t.console_line = hConsoleLine;
    t.status_bar = hStatusBar;
    t.status_clear = hStatusClear;
    t.command_report = hCommandReport;
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

void setSaveDialog(const SaveDialog& answer) { state().dialog = answer; }
const SaveDialogRequest& lastSaveDialogRequest() { return state().request; }
const std::vector<RegisteredCommand>& registeredCommands() { return state().commands; }
void setPluginFolder(const std::string& folder) { state().pluginFolder = folder; }

bool bitmapSize(const c4d_bitmap* bitmap, int32_t& width, int32_t& height)
{
    const SimBitmap* b = findBitmap(bitmap);
    if (!b)
        return false;
    width = b->width;
    height = b->height;
    return true;
}

const std::vector<std::string>& messages() { return state().messages; }
const std::vector<std::string>& consoleLines() { return state().consoleLines; }
const std::string& commandReport() { return state().report; }
void setProgressLineForced(bool forced) { state().progressForced = forced; }
void setConsoleQuiet(bool quiet) { state().consoleQuiet = quiet; }
int progressLinesDrawn() { return state().progressDrawn; }

void clearHostState()
{
    HostState& s = state();
    s.dialog = SaveDialog{};
    s.request = SaveDialogRequest{};
    s.retired.insert(s.retired.end(), s.commands.begin(), s.commands.end());
    s.commands.clear();
    s.messages.clear();
    s.consoleLines.clear();
    s.report.clear();
    s.progressForced = false;
    s.consoleQuiet = false;
    s.progressDrawn = 0;
    s.progressWidth = 0;
    s.pluginFolder.clear();
    s.pendingIcon.clear();
    s.hairLocks.clear();
    // Bitmaps stay: the host owns icons for the life of the process.
}

} // namespace sim
