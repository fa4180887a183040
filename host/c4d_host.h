// The plug-in's view of the Cinema 4D host: thin value types over the host function table
// (c4d_host_abi.h). Translators reach the host only through these types. Each type wraps
// one opaque handle; a default-constructed (null) handle answers every query with a
// failure, an empty result or a null handle, so callers never touch a null host pointer.
//
// Texts and arrays the host allocates are copied into std::string / owned wrappers and
// released with the host's free_mem at once.
#pragma once

#include "c4d_host_abi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// The table handed over by message 1 of c4d_main (or by a test). Null before bind.
const c4d_host_table* table();
void bind(const c4d_host_table* table);
void unbind();

using Vec3 = c4d_vec;
using Vec32 = c4d_vec32;
using Matrix = c4d_matrix;
using CPolygon = c4d_cpolygon;
using UVWStruct = c4d_uvw;

struct Time {
    double num = 0;
    double den = 1;
    // Seconds as a double; 0 when the denominator is 0.
    double seconds() const { return den == 0 ? 0.0 : num / den; }
    static Time fromSeconds(double s) { return Time{s, 1.0}; }
};

namespace ids {
// Object types
constexpr int32_t Opolygon = 5100;
constexpr int32_t Olight = 5102;
constexpr int32_t Ocamera = 5103;
constexpr int32_t Ohair = 1017305;
// Tag types
constexpr int32_t Tpoint = 5600;
constexpr int32_t Tpolygon = 5604;
constexpr int32_t Ttexture = 5616;
constexpr int32_t Tuvw = 5671;
constexpr int32_t Tpolygonselection = 5673;
constexpr int32_t Tnormal = 5711;
constexpr int32_t Thairmaterial = 1017729;
// Material and shader types
constexpr int32_t Mmaterial = 5703;
constexpr int32_t Mhair = 1017730;
constexpr int32_t Xcolor = 5832;
constexpr int32_t Xbitmap = 5833;
constexpr int32_t Xgradient = 1011100;
constexpr int32_t Xgradient2 = 1012158;
// Document parameters
constexpr int32_t DOCUMENT_TIME = 1000;
constexpr int32_t DOCUMENT_MINTIME = 1002;
constexpr int32_t DOCUMENT_PATH = 1012;
constexpr int32_t DOCUMENT_NAME = 1013;
// Object parameters
constexpr int32_t ID_BASEOBJECT_VISIBILITY_EDITOR = 901;
constexpr int32_t ID_BASEOBJECT_VISIBILITY_RENDER = 902;
constexpr int32_t ID_BASEOBJECT_REL_POSITION = 903;
constexpr int32_t ID_BASEOBJECT_REL_ROTATION = 904;
constexpr int32_t ID_BASEOBJECT_REL_SCALE = 905;
constexpr int32_t ID_BASEOBJECT_USECOLOR = 907;
constexpr int32_t ID_BASEOBJECT_COLOR = 908;
constexpr int32_t VECTOR_X = 1000;
constexpr int32_t VECTOR_Y = 1001;
constexpr int32_t VECTOR_Z = 1002;
// Bit of object_bits marking objects that are not translated as meshes.
constexpr uint32_t BIT_CONTROLOBJECT = 1u << 9;
} // namespace ids

// Copies a host-allocated UTF-8 text and frees it; null gives "".
std::string takeString(char* hostText);

class Document;

// Any element with parameters: document, object, tag, material, shader, layer, track.
class Element {
public:
    Element() = default;
    explicit Element(c4d_base* handle) : h_(handle) {}

    c4d_base* handle() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    bool operator==(const Element& o) const { return h_ == o.h_; }

    int32_t type() const;
    // The name as UTF-8; "" when the host gives none.
    std::string name() const;
    uint64_t key() const;

    bool getInt(int32_t id, int32_t& out) const;
    bool getFloat(int32_t id, double& out) const;
    bool getVector(int32_t id, Vec3& out) const;
    bool getTime(int32_t id, Time& out) const;
    bool setTime(int32_t id, const Time& value) const;
    bool getString(int32_t id, std::string& out) const;
    // Succeeds with a null out when the link is empty or dangling.
    bool getLink(int32_t id, const Document& doc, Element& out) const;
    bool getFilename(int32_t id, std::string& full, std::string& leaf) const;
    bool getGradientKnot0(int32_t id, Vec3& colour) const;
    // The sum of the dirty counters the mask names (C4D_DIRTY_*); 0 when the host keeps none.
    uint32_t dirty(uint32_t mask) const;

protected:
    c4d_base* h_ = nullptr;
};

class Object;
class Tag;
class Track;

class Document : public Element {
public:
    using Element::Element;
    Object firstObject() const;
    bool executePasses(bool animation = true, bool expressions = true, bool caches = true) const;
    // The current selection; ok is false when the host gives no list.
    std::vector<Element> selection(bool& ok) const;
};

class Layer : public Element {
public:
    using Element::Element;
};

class Shader : public Element {
public:
    using Element::Element;
    Shader next() const;
};

class Material : public Element {
public:
    using Element::Element;
    bool channelEnabled(int32_t channel) const;
    bool dataVector(int32_t id, Vec3& out) const;
    Shader firstShader() const;
};

// A polygon selection of a polygon selection tag.
class Selection {
public:
    Selection() = default;
    explicit Selection(c4d_select* s) : s_(s) {}
    explicit operator bool() const { return s_ != nullptr; }
    int32_t segments() const;
    bool range(int32_t segment, int32_t maxElements, int32_t& first, int32_t& last) const;

private:
    c4d_select* s_ = nullptr;
};

class Tag : public Element {
public:
    using Element::Element;
    Tag next() const;
    // UVW tag
    int32_t uvwCount() const;
    bool uvw(int32_t polygon, UVWStruct& out) const;
    // All entries at once (owned by the tag), or null when the host offers no bulk access
    // or the tag holds none; then uvw() answers per polygon.
    const UVWStruct* uvwData(int32_t& count) const;
    // Polygon selection tag
    Selection selection() const;
    // Texture tag
    Material material() const;
    bool placement(Matrix& out) const;
};

class Curve {
public:
    Curve() = default;
    explicit Curve(c4d_curve* c) : c_(c) {}
    explicit operator bool() const { return c_ != nullptr; }
    int32_t keyCount() const;
    bool keyTime(int32_t index, Time& out) const;

private:
    c4d_curve* c_ = nullptr;
};

class Track : public Element {
public:
    using Element::Element;
    Track next() const;
    int32_t descDepth() const;
    int32_t descId(int32_t level) const;
    Curve curve(int32_t type = 1, bool create = true) const;
    double value(const Document& doc, const Time& t, int32_t fps) const;
};

// Phong normals: either the host's own array (valid until the document changes) or a copy
// the host allocated for the caller, freed with the host's free_mem.
class PhongNormals {
public:
    PhongNormals() = default;
    // A host allocation, owned from now on.
    PhongNormals(Vec32* allocated, int32_t count);
    // The host's own array, borrowed.
    static PhongNormals borrowed(const Vec32* data, int32_t count);
    const Vec32* data() const { return data_; }
    int32_t count() const { return count_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    struct Free {
        void operator()(Vec32* p) const;
    };
    std::unique_ptr<Vec32, Free> owned_;
    const Vec32* data_ = nullptr;
    int32_t count_ = 0;
};

class Object : public Element {
public:
    using Element::Element;
    Object next() const;
    Object down() const;
    Tag firstTag() const;
    bool ml(Matrix& out) const;
    bool mg(Matrix& out) const;
    bool vector(c4d_object_vector which, Vec3& out) const;
    int32_t rotationOrder() const;
    uint32_t bits() const;
    Object deformCache() const;
    Object cache() const;
    Layer layer(const Document& doc) const;
    Track firstTrack() const;

    // Polygon objects
    const Vec3* points(int32_t& count) const;
    const CPolygon* polygons(int32_t& count) const;
    PhongNormals phongNormals() const;
};

class HairGuides {
public:
    HairGuides() = default;
    explicit HairGuides(c4d_hair* h) : h_(h) {}
    explicit operator bool() const { return h_ != nullptr; }
    int32_t strandCount() const;
    int32_t segmentCount() const;
    const Vec3* points(int32_t& count) const;
    bool rootUV(int32_t strand, Vec3& out) const;

private:
    c4d_hair* h_ = nullptr;
};

// Locks a hair object for the scope and unlocks it in every case.
class HairLock {
public:
    HairLock(const Object& hair, const Document& doc);
    ~HairLock();
    HairLock(const HairLock&) = delete;
    HairLock& operator=(const HairLock&) = delete;
    HairGuides generate(int32_t strands = -1, int32_t segments = -1, uint32_t flags = 0) const;

private:
    Object hair_;
    Document doc_;
};

// File names and the save dialog.
class Filename {
public:
    Filename();
    ~Filename();
    Filename(const Filename&) = delete;
    Filename& operator=(const Filename&) = delete;
    void setDirectory(const std::string& dir);
    void setFile(const std::string& file);
    void setSuffix(const std::string& suffix);
    bool content() const;
    // Shows the file selection dialog; false when cancelled.
    bool select(int32_t type, int32_t flags, const std::string& title,
                const std::string& forceSuffix);
    // The whole name converted to UTF-8 through a host string; "" (and ok false) when
    // the conversion yields nothing.
    std::string utf8(bool& ok) const;

private:
    c4d_filename* f_ = nullptr;
};

// Base of the plug-in's menu commands. The host owns a registered command.
class CommandData {
public:
    virtual ~CommandData() = default;
    virtual bool Execute(Document doc) = 0;
    // The command's menu state, a mask of C4D_CMD_ENABLED and C4D_CMD_CHECKED; asked only
    // for commands registered with registerCommandState.
    virtual int32_t GetState(Document /*doc*/) { return C4D_CMD_ENABLED; }
};

// Base of a plug-in's message handler: the host's change and timer messages (C4D_MSG_*),
// delivered on the main thread. Exceptions never reach the host.
class MessageData {
public:
    virtual ~MessageData() = default;
    virtual void CoreMessage(int32_t id, Document doc) = 0;
    // Milliseconds until the next timer message; 0 for none. Asked after every message.
    virtual int32_t GetTimer() { return 0; }
};

// Whether the host delivers change messages and keeps dirty counters: the Live command
// needs both.
bool hasChangeMessages();
// Registers a message handler; the host keeps it for the life of the process. False when the
// host has no message handlers.
bool registerMessageHandler(int32_t id, MessageData* handler);
// The document the user works on now; a null document when none or the host cannot say.
Document activeDocument();
// Lets the host ask the command registered under id for its state (CommandData::GetState).
bool registerCommandState(int32_t id, CommandData* command);

// Loads an icon from the plug-in's resource images; null when it cannot be loaded.
c4d_bitmap* autoBitmap(const std::string& file, double pixelRatio = 1.0);
// Registers a command; the host takes ownership of the command object. Exceptions thrown
// by Execute never reach the host: they are reported with messageDialog and the command
// answers true.
bool registerCommand(int32_t id, const std::string& name, int32_t info, c4d_bitmap* icon,
                     const std::string& help, CommandData* command);
void messageDialog(const std::string& text);
// One line on the host's console; nothing when the host has no console entry.
void consoleLine(const std::string& text);
// The host's status bar: a fraction from 0 to 1 with a text, and its clearing. Nothing when
// the host has no status bar entries.
void statusBar(double fraction, const std::string& text);
void statusClear();
// Hands the report of a command (JSON text) to the host; false when the host takes none.
bool commandReport(const std::string& json);

} // namespace host
