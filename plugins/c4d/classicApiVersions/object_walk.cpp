// The object hierarchy walk: one group per visited object with its local transform, the
// object's caches and children inside it, its content handed to the translator of its
// type, and its animated position, rotation and scale written after the children. The
// walk also keeps the running progress fraction and reports it to the back end.
#include "object_walk.h"

#include "TranslationContext.h"
#include "animation.h"
#include "hair.h"
#include "light.h"
#include "live_update_marks.h"
#include "mesh.h"
#include "orvSceneapi_oo.h"
#include "text/utf8.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Size of an object's name buffer, terminating zero included.
constexpr size_t kNameSize = 1024;

// Deepest nesting (objects and caches) the walk descends into. Real scenes stay far
// below it; it only stops a hostile document from exhausting the command thread's stack.
// What lies deeper is skipped, its share of the progress counted as done.
constexpr int kMaxWalkDepth = 1000;

// Visibility parameter value meaning "as the parent".
constexpr int32_t kVisibilityAsParent = 2;

// Smallest progress step worth a second report for one object.
constexpr float kProgressEpsilon = 0.00001f;

// Object types translated elsewhere or through their children: nulls group, cameras are
// written before the walk, deformers act on their parent's deform cache.
constexpr int32_t kNull = 5140;
constexpr int32_t kDeformers[] = {5128, 5129, 5131, 5133, 5134, 5143, 5144, 5146, 5147, 5148, 5149};
// Generators: translated through their cache, so one without a cache writes nothing.
constexpr int32_t kGenerators[] = {5126, 5142, 5159, 5160, 5161, 5162, 5163, 5164, 5165, 5166, 5167,
                                   5168, 5170, 5171, 5172, 5174, 1007455, 1011010, 1018544, 1018545};
constexpr int32_t kSpline = 5101;

template <size_t N>
bool listed(const int32_t (&types)[N], int32_t type)
{
    return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

// Reports an object that has neither a cache nor a translator of its own.
void reportUntranslated(TranslationContext& context, int32_t type)
{
    if (type == host::ids::Ocamera || type == kNull || listed(kDeformers, type))
        return;
    const std::string id = "type ID " + std::to_string(type);
    if (listed(kGenerators, type))
        context.report.leftOut(report::Reason::GeneratorWithoutCache, context.objectPath, id);
    else if (type == kSpline)
        context.report.leftOut(report::Reason::UnsupportedObject, context.objectPath, "spline (" + id + ")");
    else
        context.report.leftOut(report::Reason::UnsupportedObject, context.objectPath, id);
}

// Reports why a polygon object is not translated as a mesh. Objects outside the selection of
// an update are not reported: the user chose what to send.
void reportSkippedMesh(TranslationContext& context, uint32_t bits, bool editorVisible, bool renderVisible)
{
    if ((bits & host::ids::BIT_CONTROLOBJECT) != 0)
        context.report.leftOut(report::Reason::ControlObject, context.objectPath, "");
    else if (!editorVisible || !renderVisible)
        context.report.leftOut(report::Reason::HiddenByVisibility, context.objectPath,
                               !renderVisible ? "hidden in the render" : "hidden in the editor");
}

// Reports the walk's progress to the back end and to the host's status bar. A Live update
// is small and quick: its stream carries no progress records, which would be most of it,
// and the status bar, redrawn per object, would cost more than the update itself. Only a
// Live update that sends everything (the first one) is long enough to show its progress.
void reportProgress(TranslationContext& context, orvScene_api& api, const char* name)
{
    if (!context.live)
        api.progress(name, context.progress);
    if (!context.live || context.live->everything)
        context.report.progress(name, context.progress);
}

// Appends an object's name to the context's object path for the scope of its visit.
class ObjectPathScope {
public:
    ObjectPathScope(std::string& path, const char* name) : path(path), length(path.size())
    {
        if (!path.empty())
            path += '/';
        path += name;
    }
    ~ObjectPathScope() { path.resize(length); }
    ObjectPathScope(const ObjectPathScope&) = delete;
    ObjectPathScope& operator=(const ObjectPathScope&) = delete;

private:
    std::string& path;
    size_t length;
};

// The local matrix as a row-by-row 4x4 matrix: the three axes, then the offset.
void localTransform(const host::Object& object, double out[16])
{
    host::Matrix m{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    object.ml(m);
    const double rows[16] = {
        m.v1.x,  m.v1.y,  m.v1.z,  0, //
        m.v2.x,  m.v2.y,  m.v2.z,  0, //
        m.v3.x,  m.v3.y,  m.v3.z,  0, //
        m.off.x, m.off.y, m.off.z, 1,
    };
    std::memcpy(out, rows, sizeof rows);
}

// Reads a visibility parameter: 2 keeps the inherited flag, 0 is visible, anything else
// hidden. An unreadable parameter keeps the inherited flag as well.
bool visibility(const host::Object& object, int32_t id, bool inherited)
{
    int32_t value = kVisibilityAsParent;
    if (!object.getInt(id, value) || value == kVisibilityAsParent)
        return inherited;
    return value == 0;
}

bool isSelected(const TranslationContext& context, const host::Object& object)
{
    return std::binary_search(context.selectedKeys.begin(), context.selectedKeys.end(),
                              object.key());
}

// Whether the object's content goes into the scene: always, except in an update with a
// selection (only what lies in it) and in a Live update (only what changed).
bool sendsContent(const TranslationContext& context, bool included)
{
    if (context.live)
        return included || context.live->everything;
    return included || context.selectedKeys.empty() || !context.updateMode;
}

bool translatesAsMesh(const TranslationContext& context, uint32_t bits, bool editorVisible,
                      bool renderVisible, bool included)
{
    if ((bits & host::ids::BIT_CONTROLOBJECT) != 0 || !editorVisible || !renderVisible)
        return false;
    return sendsContent(context, included);
}

// Marks the walk as below an object whose materials alone changed, for the scope of its visit.
class LooksScope {
public:
    LooksScope(TranslationContext& context, const host::Object& object, bool included) : live(context.live)
    {
        if (live == nullptr)
            return;
        previous = live->looksOnly;
        live->looksOnly = !included && !live->everything &&
                          (previous || std::binary_search(live->lookKeys.begin(), live->lookKeys.end(), object.key()));
    }
    ~LooksScope()
    {
        if (live)
            live->looksOnly = previous;
    }
    LooksScope(const LooksScope&) = delete;
    LooksScope& operator=(const LooksScope&) = delete;

private:
    LiveUpdate* live;
    bool previous = false;
};

void walk(TranslationContext& context, const host::Object& object, TextureTagList textureTags,
          bool editorVisible, bool renderVisible, bool included, float weight, int depth)
{
    orv::orvSceneapi_oo& scene = *context.scene;
    orvScene_api* api = scene.api();

    if (depth >= kMaxWalkDepth) {
        context.report.leftOut(report::Reason::NestedTooDeeply, context.objectPath,
                               "objects below level " + std::to_string(kMaxWalkDepth) + " skipped");
        scene.error("object tree nested too deeply: objects below level " +
                    std::to_string(kMaxWalkDepth) + " skipped");
        context.progress += weight;
        return;
    }

    if (!included)
        included = isSelected(context, object);
    const LooksScope looks(context, object, included);
    const bool looksOnly = context.live && context.live->looksOnly;
    const float start = context.progress;

    char name[kNameSize] = "object";
    const std::string hostName = object.name();
    if (!hostName.empty())
        tavrin::text::copyUtf8Bounded(hostName, name, sizeof name);
    const ObjectPathScope pathScope(context.objectPath, name);
    if (hostName.size() >= kNameSize)
        context.report.leftOut(report::Reason::NameCut, context.objectPath,
                               "object name of " + std::to_string(hostName.size()) + " bytes cut to " +
                                   std::to_string(std::strlen(name)));
    const int32_t type = object.type();
    double transform[16];
    localTransform(object, transform);
    host::Vec3 position{0, 0, 0};
    host::Vec3 rotation{0, 0, 0};
    host::Vec3 scale{1, 1, 1};
    object.vector(C4D_REL_POS, position);
    object.vector(C4D_REL_ROT, rotation);
    object.vector(C4D_REL_SCALE, scale);
    const int rotationOrder = object.rotationOrder();
    const uint32_t bits = object.bits();

    reportProgress(context, *api, name);

    editorVisible = visibility(object, host::ids::ID_BASEOBJECT_VISIBILITY_EDITOR, editorVisible);
    renderVisible = visibility(object, host::ids::ID_BASEOBJECT_VISIBILITY_RENDER, renderVisible);

    scene.beginGroup(name);
    api->flags(1);
    api->transform(transform);
    // A Live update re-sends this group's content: what follows is all of it, none if none.
    if (context.live && sendsContent(context, included))
        api->fileAttribute(orv::live::kContentKey, orv::live::kContentReplaced);
    else if (looksOnly)
        api->fileAttribute(orv::live::kContentKey, orv::live::kContentLooks);

    for (host::Tag tag = object.firstTag(); tag; tag = tag.next())
        visitTag(tag, nullptr, nullptr, nullptr, textureTags);

    // Generators and deformers have no case of their own: what they make is reached
    // through their caches, which take half of the object's share of the progress.
    float remaining = weight;
    if (host::Object deformed = object.deformCache()) {
        walk(context, deformed, textureTags, editorVisible, renderVisible, included, weight * 0.5f,
             depth + 1);
        remaining = weight * 0.5f;
    } else if (host::Object generated = object.cache()) {
        walk(context, generated, textureTags, editorVisible, renderVisible, included, weight * 0.5f,
             depth + 1);
        remaining = weight * 0.5f;
    } else if (type == host::ids::Opolygon) {
        if (translatesAsMesh(context, bits, editorVisible, renderVisible, included || looksOnly)) {
            translatePolygonObject(context, object, textureTags);
            remaining = weight * 0.5f;
        } else {
            reportSkippedMesh(context, bits, editorVisible, renderVisible);
        }
    } else if (type == host::ids::Olight) {
        translateLight(context, name, object);
    } else if (type == host::ids::Ohair) {
        // Lights are small and always sent; hair only where a Live update re-sends content.
        if (!context.live || sendsContent(context, included || looksOnly))
            translateHairObject(context, object, textureTags);
    } else {
        reportUntranslated(context, type);
    }

    int children = 0;
    for (host::Object child = object.down(); child; child = child.next())
        ++children;
    if (children > 0) {
        const float childWeight = remaining * (1.0f / static_cast<float>(children));
        for (host::Object child = object.down(); child; child = child.next())
            walk(context, child, textureTags, editorVisible, renderVisible, included, childWeight,
                 depth + 1);
    }

    std::vector<host::Track> scaleTracks;
    std::vector<host::Track> rotationTracks;
    std::vector<host::Track> positionTracks;
    for (host::Track track = object.firstTrack(); track; track = track.next())
        classifyTrack(track, scaleTracks, rotationTracks, positionTracks, &context);
    emitChannelAnimation(context, name, scaleTracks, "Scale", rotationOrder, false, position,
                         rotation, scale);
    emitChannelAnimation(context, name, rotationTracks, "Rotation", rotationOrder, false, position,
                         rotation, scale);
    emitChannelAnimation(context, name, positionTracks, "Position", rotationOrder, false, position,
                         rotation, scale);

    scene.endGroup();

    // Whatever the subtree reported, this object ends at start + weight.
    const float increment = weight + (start - context.progress);
    context.progress += increment;
    if (increment > kProgressEpsilon)
        reportProgress(context, *api, name);
}

} // namespace

void walkObject(TranslationContext& context, host::Object object, TextureTagList textureTags,
                bool editorVisible, bool renderVisible, bool included, float weight)
{
    if (!object || context.scene == nullptr || context.scene->api() == nullptr)
        return;
    walk(context, object, std::move(textureTags), editorVisible, renderVisible, included, weight, 0);
}
