// The plug-in side of the host interface: every call checks the bound table and the handle
// before it reaches the host, so a null handle or a missing table answers a failure, an
// empty text or a null handle. Host-allocated texts are copied and released with free_mem.
#include "c4d_host.h"

#include <exception>
#include <string>

namespace host {

namespace {

const c4d_host_table* g_table = nullptr;

// Frees a host allocation through the bound table (no-op without one).
void hostFree(void* p)
{
    if (p != nullptr && g_table != nullptr && g_table->free_mem != nullptr)
        g_table->free_mem(p);
}

// The bound table when it offers the given function, else null. Used as
//   if (auto* t = with(&c4d_host_table::fn)) t->fn(...)
template <typename F>
const c4d_host_table* with(F c4d_host_table::*fn)
{
    if (g_table == nullptr || g_table->*fn == nullptr)
        return nullptr;
    return g_table;
}

// Like with, for entries appended to the table later: a host built before them hands over
// a table that ends earlier, and its size tells whether the entry lies inside it.
template <typename F>
const c4d_host_table* withAppended(F c4d_host_table::*fn)
{
    if (g_table == nullptr)
        return nullptr;
    const size_t end = reinterpret_cast<const char*>(&(g_table->*fn)) -
                       reinterpret_cast<const char*>(g_table) + sizeof(F);
    if (g_table->size < end || g_table->*fn == nullptr)
        return nullptr;
    return g_table;
}

// Copies a host-allocated text into a string and frees the host copy.
bool takeInto(int ok, char* text, std::string& out)
{
    out = takeString(text);
    return ok != 0;
}

} // namespace

const c4d_host_table* table() { return g_table; }
void bind(const c4d_host_table* t) { g_table = t; }
void unbind() { g_table = nullptr; }

std::string takeString(char* hostText)
{
    if (hostText == nullptr)
        return {};
    std::string s(hostText);
    hostFree(hostText);
    return s;
}

// ---- Element ----

int32_t Element::type() const
{
    auto* t = with(&c4d_host_table::base_type);
    return (t && h_) ? t->base_type(h_) : 0;
}

std::string Element::name() const
{
    auto* t = with(&c4d_host_table::base_name);
    return (t && h_) ? takeString(t->base_name(h_)) : std::string();
}

uint64_t Element::key() const
{
    auto* t = with(&c4d_host_table::base_key);
    return (t && h_) ? t->base_key(h_) : 0;
}

bool Element::getInt(int32_t id, int32_t& out) const
{
    auto* t = with(&c4d_host_table::get_int);
    return t && h_ && t->get_int(h_, id, &out) != 0;
}

bool Element::getFloat(int32_t id, double& out) const
{
    auto* t = with(&c4d_host_table::get_float);
    return t && h_ && t->get_float(h_, id, &out) != 0;
}

bool Element::getVector(int32_t id, Vec3& out) const
{
    auto* t = with(&c4d_host_table::get_vector);
    return t && h_ && t->get_vector(h_, id, &out) != 0;
}

bool Element::getTime(int32_t id, Time& out) const
{
    auto* t = with(&c4d_host_table::get_time);
    if (!t || !h_)
        return false;
    c4d_time v{0, 1};
    if (t->get_time(h_, id, &v) == 0)
        return false;
    out = Time{v.num, v.den};
    return true;
}

bool Element::setTime(int32_t id, const Time& value) const
{
    auto* t = with(&c4d_host_table::set_time);
    return t && h_ && t->set_time(h_, id, c4d_time{value.num, value.den}) != 0;
}

bool Element::getString(int32_t id, std::string& out) const
{
    auto* t = with(&c4d_host_table::get_string);
    if (!t || !h_)
        return false;
    char* text = nullptr;
    const int ok = t->get_string(h_, id, &text);
    return takeInto(ok, text, out);
}

bool Element::getLink(int32_t id, const Document& doc, Element& out) const
{
    out = Element();
    auto* t = with(&c4d_host_table::get_link);
    if (!t || !h_)
        return false;
    c4d_base* target = nullptr;
    if (t->get_link(h_, id, doc.handle(), &target) == 0)
        return false;
    out = Element(target);
    return true;
}

bool Element::getFilename(int32_t id, std::string& full, std::string& leaf) const
{
    auto* t = with(&c4d_host_table::get_filename);
    if (!t || !h_)
        return false;
    char* f = nullptr;
    char* l = nullptr;
    const int ok = t->get_filename(h_, id, &f, &l);
    full = takeString(f);
    leaf = takeString(l);
    return ok != 0;
}

bool Element::getGradientKnot0(int32_t id, Vec3& colour) const
{
    auto* t = with(&c4d_host_table::get_gradient_knot0);
    return t && h_ && t->get_gradient_knot0(h_, id, &colour) != 0;
}

// ---- Document ----

Object Document::firstObject() const
{
    auto* t = with(&c4d_host_table::doc_first_object);
    return Object((t && h_) ? t->doc_first_object(h_) : nullptr);
}

bool Document::executePasses(bool animation, bool expressions, bool caches) const
{
    auto* t = with(&c4d_host_table::doc_execute_passes);
    return t && h_ &&
           t->doc_execute_passes(h_, nullptr, animation ? 1 : 0, expressions ? 1 : 0,
                                 caches ? 1 : 0, 0) != 0;
}

std::vector<Element> Document::selection(bool& ok) const
{
    std::vector<Element> result;
    ok = false;
    auto* t = g_table;
    if (!t || !h_ || !t->doc_selection || !t->array_count || !t->array_get || !t->array_free)
        return result;
    c4d_array* a = t->doc_selection(h_);
    if (a == nullptr)
        return result;
    const int32_t n = t->array_count(a);
    if (n > 0)
        result.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        result.emplace_back(t->array_get(a, i));
    t->array_free(a);
    ok = true;
    return result;
}

// ---- Shader, Material ----

Shader Shader::next() const
{
    auto* t = with(&c4d_host_table::shader_next);
    return Shader((t && h_) ? t->shader_next(h_) : nullptr);
}

bool Material::channelEnabled(int32_t channel) const
{
    auto* t = with(&c4d_host_table::material_channel_enabled);
    return t && h_ && t->material_channel_enabled(h_, channel) != 0;
}

bool Material::dataVector(int32_t id, Vec3& out) const
{
    auto* t = with(&c4d_host_table::material_data_vector);
    return t && h_ && t->material_data_vector(h_, id, &out) != 0;
}

Shader Material::firstShader() const
{
    auto* t = with(&c4d_host_table::material_first_shader);
    return Shader((t && h_) ? t->material_first_shader(h_) : nullptr);
}

// ---- Selection ----

int32_t Selection::segments() const
{
    auto* t = with(&c4d_host_table::select_segments);
    return (t && s_) ? t->select_segments(s_) : 0;
}

bool Selection::range(int32_t segment, int32_t maxElements, int32_t& first, int32_t& last) const
{
    auto* t = with(&c4d_host_table::select_range);
    return t && s_ && t->select_range(s_, segment, maxElements, &first, &last) != 0;
}

// ---- Tag ----

Tag Tag::next() const
{
    auto* t = with(&c4d_host_table::tag_next);
    return Tag((t && h_) ? t->tag_next(h_) : nullptr);
}

int32_t Tag::uvwCount() const
{
    auto* t = with(&c4d_host_table::uvw_count);
    return (t && h_) ? t->uvw_count(h_) : 0;
}

const UVWStruct* Tag::uvwData(int32_t& count) const
{
    count = 0;
    auto* t = withAppended(&c4d_host_table::uvw_data);
    const UVWStruct* data = (t && h_) ? t->uvw_data(h_, &count) : nullptr;
    if (data == nullptr || count <= 0) {
        count = 0;
        return nullptr;
    }
    return data;
}

bool Tag::uvw(int32_t polygon, UVWStruct& out) const
{
    auto* t = with(&c4d_host_table::uvw_get);
    return t && h_ && t->uvw_get(h_, polygon, &out) != 0;
}

Selection Tag::selection() const
{
    auto* t = with(&c4d_host_table::selection_tag_select);
    return Selection((t && h_) ? t->selection_tag_select(h_) : nullptr);
}

Material Tag::material() const
{
    auto* t = with(&c4d_host_table::texture_tag_material);
    return Material((t && h_) ? t->texture_tag_material(h_) : nullptr);
}

bool Tag::placement(Matrix& out) const
{
    auto* t = with(&c4d_host_table::texture_tag_matrix);
    return t && h_ && t->texture_tag_matrix(h_, &out) != 0;
}

// ---- Curve, Track ----

int32_t Curve::keyCount() const
{
    auto* t = with(&c4d_host_table::curve_key_count);
    return (t && c_) ? t->curve_key_count(c_) : 0;
}

bool Curve::keyTime(int32_t index, Time& out) const
{
    auto* t = with(&c4d_host_table::curve_key_time);
    if (!t || !c_)
        return false;
    c4d_time v{0, 1};
    if (t->curve_key_time(c_, index, &v) == 0)
        return false;
    out = Time{v.num, v.den};
    return true;
}

Track Track::next() const
{
    auto* t = with(&c4d_host_table::track_next);
    return Track((t && h_) ? t->track_next(h_) : nullptr);
}

int32_t Track::descDepth() const
{
    auto* t = with(&c4d_host_table::track_desc_depth);
    return (t && h_) ? t->track_desc_depth(h_) : 0;
}

int32_t Track::descId(int32_t level) const
{
    auto* t = with(&c4d_host_table::track_desc_id);
    return (t && h_) ? t->track_desc_id(h_, level) : 0;
}

Curve Track::curve(int32_t type, bool create) const
{
    auto* t = with(&c4d_host_table::track_curve);
    return Curve((t && h_) ? t->track_curve(h_, type, create ? 1 : 0) : nullptr);
}

double Track::value(const Document& doc, const Time& time, int32_t fps) const
{
    auto* t = with(&c4d_host_table::track_value);
    if (!t || !h_)
        return 0.0;
    return t->track_value(h_, doc.handle(), c4d_time{time.num, time.den}, fps);
}

// ---- PhongNormals ----

PhongNormals::PhongNormals(Vec32* allocated, int32_t count)
    : owned_(allocated), data_(allocated), count_(allocated ? count : 0)
{
}

PhongNormals PhongNormals::borrowed(const Vec32* data, int32_t count)
{
    PhongNormals normals;
    normals.data_ = data;
    normals.count_ = data ? count : 0;
    return normals;
}

void PhongNormals::Free::operator()(Vec32* p) const { hostFree(p); }

// ---- Object ----

Object Object::next() const
{
    auto* t = with(&c4d_host_table::object_next);
    return Object((t && h_) ? t->object_next(h_) : nullptr);
}

Object Object::down() const
{
    auto* t = with(&c4d_host_table::object_down);
    return Object((t && h_) ? t->object_down(h_) : nullptr);
}

Tag Object::firstTag() const
{
    auto* t = with(&c4d_host_table::object_first_tag);
    return Tag((t && h_) ? t->object_first_tag(h_) : nullptr);
}

bool Object::ml(Matrix& out) const
{
    auto* t = with(&c4d_host_table::object_ml);
    return t && h_ && t->object_ml(h_, &out) != 0;
}

bool Object::mg(Matrix& out) const
{
    auto* t = with(&c4d_host_table::object_mg);
    return t && h_ && t->object_mg(h_, &out) != 0;
}

bool Object::vector(c4d_object_vector which, Vec3& out) const
{
    auto* t = with(&c4d_host_table::object_vector);
    return t && h_ && t->object_vector(h_, static_cast<int32_t>(which), &out) != 0;
}

int32_t Object::rotationOrder() const
{
    auto* t = with(&c4d_host_table::object_rotation_order);
    return (t && h_) ? t->object_rotation_order(h_) : 0;
}

uint32_t Object::bits() const
{
    auto* t = with(&c4d_host_table::object_bits);
    return (t && h_) ? t->object_bits(h_) : 0u;
}

Object Object::deformCache() const
{
    auto* t = with(&c4d_host_table::object_deform_cache);
    return Object((t && h_) ? t->object_deform_cache(h_) : nullptr);
}

Object Object::cache() const
{
    auto* t = with(&c4d_host_table::object_cache);
    return Object((t && h_) ? t->object_cache(h_) : nullptr);
}

Layer Object::layer(const Document& doc) const
{
    auto* t = with(&c4d_host_table::object_layer);
    return Layer((t && h_) ? t->object_layer(h_, doc.handle()) : nullptr);
}

Track Object::firstTrack() const
{
    auto* t = with(&c4d_host_table::object_first_track);
    return Track((t && h_) ? t->object_first_track(h_) : nullptr);
}

const Vec3* Object::points(int32_t& count) const
{
    count = 0;
    auto* t = with(&c4d_host_table::object_points);
    if (!t || !h_)
        return nullptr;
    const Vec3* p = t->object_points(h_, &count);
    if (p == nullptr || count < 0)
        count = 0;
    return count > 0 ? p : nullptr;
}

const CPolygon* Object::polygons(int32_t& count) const
{
    count = 0;
    auto* t = with(&c4d_host_table::object_polygons);
    if (!t || !h_)
        return nullptr;
    const CPolygon* p = t->object_polygons(h_, &count);
    if (p == nullptr || count < 0)
        count = 0;
    return count > 0 ? p : nullptr;
}

PhongNormals Object::phongNormals() const
{
    if (!h_)
        return {};
    int32_t count = 0;
    // The host's own array where it offers one: a heavy mesh's normals are not copied.
    if (auto* kept = withAppended(&c4d_host_table::object_phong_normals_data)) {
        const Vec32* data = kept->object_phong_normals_data(h_, &count);
        if (data != nullptr && count > 0)
            return PhongNormals::borrowed(data, count);
        count = 0;
    }
    auto* t = with(&c4d_host_table::object_phong_normals);
    if (!t)
        return {};
    Vec32* data = t->object_phong_normals(h_, &count);
    return PhongNormals(data, count < 0 ? 0 : count);
}

// ---- Hair ----

int32_t HairGuides::strandCount() const
{
    auto* t = with(&c4d_host_table::hair_strand_count);
    return (t && h_) ? t->hair_strand_count(h_) : 0;
}

int32_t HairGuides::segmentCount() const
{
    auto* t = with(&c4d_host_table::hair_segment_count);
    return (t && h_) ? t->hair_segment_count(h_) : 0;
}

const Vec3* HairGuides::points(int32_t& count) const
{
    count = 0;
    auto* t = with(&c4d_host_table::hair_points);
    if (!t || !h_)
        return nullptr;
    const Vec3* p = t->hair_points(h_, &count);
    if (p == nullptr || count < 0)
        count = 0;
    return count > 0 ? p : nullptr;
}

bool HairGuides::rootUV(int32_t strand, Vec3& out) const
{
    auto* t = with(&c4d_host_table::hair_root_uv);
    return t && h_ && t->hair_root_uv(h_, strand, &out) != 0;
}

HairLock::HairLock(const Object& hair, const Document& doc) : doc_(doc)
{
    auto* t = with(&c4d_host_table::hair_lock);
    // Only a successful lock is undone in the destructor.
    if (t && hair && t->hair_lock(hair.handle(), doc.handle()) != 0)
        hair_ = hair;
}

HairLock::~HairLock()
{
    auto* t = with(&c4d_host_table::hair_unlock);
    if (t && hair_)
        t->hair_unlock(hair_.handle());
}

HairGuides HairLock::generate(int32_t strands, int32_t segments, uint32_t flags) const
{
    auto* t = with(&c4d_host_table::hair_generate);
    if (!t || !hair_)
        return {};
    return HairGuides(t->hair_generate(hair_.handle(), doc_.handle(), strands, segments, flags));
}

// ---- Filename ----

Filename::Filename()
{
    if (auto* t = with(&c4d_host_table::filename_new))
        f_ = t->filename_new();
}

Filename::~Filename()
{
    auto* t = with(&c4d_host_table::filename_free);
    if (t && f_)
        t->filename_free(f_);
}

void Filename::setDirectory(const std::string& dir)
{
    auto* t = with(&c4d_host_table::filename_set_directory);
    if (t && f_)
        t->filename_set_directory(f_, dir.c_str());
}

void Filename::setFile(const std::string& file)
{
    auto* t = with(&c4d_host_table::filename_set_file);
    if (t && f_)
        t->filename_set_file(f_, file.c_str());
}

void Filename::setSuffix(const std::string& suffix)
{
    auto* t = with(&c4d_host_table::filename_set_suffix);
    if (t && f_)
        t->filename_set_suffix(f_, suffix.c_str());
}

bool Filename::content() const
{
    auto* t = with(&c4d_host_table::filename_content);
    return t && f_ && t->filename_content(f_) != 0;
}

bool Filename::select(int32_t type, int32_t flags, const std::string& title,
                      const std::string& forceSuffix)
{
    auto* t = with(&c4d_host_table::filename_select);
    return t && f_ &&
           t->filename_select(f_, type, flags, title.c_str(), forceSuffix.c_str()) != 0;
}

std::string Filename::utf8(bool& ok) const
{
    ok = false;
    auto* t = g_table;
    if (!t || !f_ || !t->filename_get_string || !t->string_copy_cstring || !t->string_free)
        return {};
    c4d_string* s = t->filename_get_string(f_);
    if (s == nullptr)
        return {};
    char* text = t->string_copy_cstring(s, C4D_STRINGENCODING_UTF8);
    t->string_free(s);
    if (text == nullptr)
        return {};
    std::string result = takeString(text);
    ok = true;
    return result;
}

uint32_t Element::dirty(uint32_t mask) const
{
    auto* t = withAppended(&c4d_host_table::base_dirty);
    return (t && h_) ? t->base_dirty(h_, mask) : 0;
}

// ---- registration and user interface ----

namespace {

void messageTrampoline(void* self, int32_t id, c4d_base* doc)
{
    try {
        if (auto* handler = static_cast<MessageData*>(self))
            handler->CoreMessage(id, Document(doc));
    } catch (...) {
        // The handler reports its own failures; the host's loop must go on.
    }
}

int32_t timerTrampoline(void* self)
{
    try {
        auto* handler = static_cast<MessageData*>(self);
        return handler ? handler->GetTimer() : 0;
    } catch (...) {
        return 0;
    }
}

int32_t stateTrampoline(void* self, c4d_base* doc)
{
    try {
        auto* command = static_cast<CommandData*>(self);
        return command ? command->GetState(Document(doc)) : 0;
    } catch (...) {
        return 0;
    }
}

// Runs a registered command; no exception reaches the host.
int executeTrampoline(void* self, c4d_base* document)
{
    auto* command = static_cast<CommandData*>(self);
    if (command == nullptr)
        return 1;
    try {
        command->Execute(Document(document));
    } catch (const std::exception& e) {
        try {
            messageDialog(e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            messageDialog("The command failed with an unknown error.");
        } catch (...) {
        }
    }
    return 1;
}

} // namespace

c4d_bitmap* autoBitmap(const std::string& file, double pixelRatio)
{
    auto* t = with(&c4d_host_table::load_icon);
    return t ? t->load_icon(file.c_str(), pixelRatio) : nullptr;
}

bool registerCommand(int32_t id, const std::string& name, int32_t info, c4d_bitmap* icon,
                     const std::string& help, CommandData* command)
{
    auto* t = with(&c4d_host_table::register_command);
    if (!t || command == nullptr)
        return false;
    c4d_command c{command, &executeTrampoline};
    return t->register_command(id, name.c_str(), info, icon, help.c_str(), c) != 0;
}

bool hasChangeMessages()
{
    return withAppended(&c4d_host_table::register_message_handler) != nullptr &&
           withAppended(&c4d_host_table::base_dirty) != nullptr;
}

bool registerMessageHandler(int32_t id, MessageData* handler)
{
    auto* t = withAppended(&c4d_host_table::register_message_handler);
    if (!t || handler == nullptr)
        return false;
    return t->register_message_handler(id, c4d_message_handler{handler, &messageTrampoline, &timerTrampoline}) != 0;
}

Document activeDocument()
{
    auto* t = withAppended(&c4d_host_table::active_document);
    return Document(t ? t->active_document() : nullptr);
}

bool registerCommandState(int32_t id, CommandData* command)
{
    auto* t = withAppended(&c4d_host_table::register_command_state);
    if (!t || command == nullptr)
        return false;
    return t->register_command_state(id, command, &stateTrampoline) != 0;
}

void messageDialog(const std::string& text)
{
    if (auto* t = with(&c4d_host_table::message_dialog))
        t->message_dialog(text.c_str());
}

void consoleLine(const std::string& text)
{
    if (auto* t = withAppended(&c4d_host_table::console_line))
        t->console_line(text.c_str());
}

void statusBar(double fraction, const std::string& text)
{
    if (auto* t = withAppended(&c4d_host_table::status_bar))
        t->status_bar(fraction, text.c_str());
}

void statusClear()
{
    if (auto* t = withAppended(&c4d_host_table::status_clear))
        t->status_clear();
}

bool commandReport(const std::string& json)
{
    auto* t = withAppended(&c4d_host_table::command_report);
    if (t == nullptr)
        return false;
    t->command_report(json.c_str());
    return true;
}

} // namespace host
