// The translation driver: takes the document at its minimum time, writes the cameras, then
// one scene group named after the document that mirrors Z (the host is left-handed) and
// holds one group per top-level object.
#include "translate_document.h"

#include "TranslationContext.h"
#include "camera.h"
#include "live_update_marks.h"
#include "object_walk.h"
#include "orvSceneapi_oo.h"
#include "text/utf8.h"

#include <algorithm>

namespace {

// Longest scene name, with its terminating zero: the bound of every name in the scene.
constexpr size_t kSceneNameSize = 1024;

// Negates Z: every object inside the scene group is taken through it by the renderer.
constexpr double kMirrorZ[16] = {
    1, 0, 0, 0, //
    0, 1, 0, 0, //
    0, 0, -1, 0, //
    0, 0, 0, 1,
};

// Sets the document to a time for the translation and back to the time it had when the
// scope ends, also when a translator throws; each change is followed by an evaluation.
class DocumentTimeScope {
public:
    explicit DocumentTimeScope(const host::Document& document) : document(document)
    {
        host::Time minimum;
        restore = document.getTime(host::ids::DOCUMENT_TIME, current);
        if (document.getTime(host::ids::DOCUMENT_MINTIME, minimum))
            document.setTime(host::ids::DOCUMENT_TIME, minimum);
        document.executePasses(true, true, true);
    }
    ~DocumentTimeScope()
    {
        if (restore)
            document.setTime(host::ids::DOCUMENT_TIME, current);
        document.executePasses(true, true, true);
    }
    DocumentTimeScope(const DocumentTimeScope&) = delete;
    DocumentTimeScope& operator=(const DocumentTimeScope&) = delete;

private:
    host::Document document;
    host::Time current;
    bool restore = false;
};

// Keys of the selected elements, texture tags left out; sorted and unique for lookups.
void collectSelectedKeys(TranslationContext& context, const host::Document& document)
{
    context.selectedKeys.clear();
    bool listed = false;
    const std::vector<host::Element> selection = document.selection(listed);
    if (!listed || !context.updateMode)
        return;
    context.selectedKeys.reserve(selection.size());
    for (const host::Element& element : selection) {
        if (!element || element.type() == host::ids::Ttexture)
            continue;
        context.selectedKeys.push_back(element.key());
    }
    std::sort(context.selectedKeys.begin(), context.selectedKeys.end());
    context.selectedKeys.erase(std::unique(context.selectedKeys.begin(), context.selectedKeys.end()),
                               context.selectedKeys.end());
}

} // namespace

namespace {

// The document's name up to its last ".", uncut.
std::string wholeSceneNameOf(const host::Document& document)
{
    std::string name;
    if (!document || !document.getString(host::ids::DOCUMENT_NAME, name) || name.empty())
        return "untitled";
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

} // namespace

std::string sceneNameOf(const host::Document& document)
{
    std::string name = wholeSceneNameOf(document);
    // Cut like an object's name, at a character boundary; the scene group, the report and
    // the renderer's model set all go by the cut name.
    if (name.size() >= kSceneNameSize) {
        char cut[kSceneNameSize];
        tavrin::text::copyUtf8Bounded(name, cut, sizeof cut);
        name = cut;
    }
    return name;
}

void collectCameras(const host::Object& object, std::vector<host::Object>& list)
{
    // Pre-order without recursion, so that a very deep tree cannot exhaust the stack: the
    // top of `pending` is the next object of the innermost level still being visited.
    if (!object)
        return;
    if (object.type() == host::ids::Ocamera)
        list.push_back(object);
    std::vector<host::Object> pending;
    if (host::Object child = object.down())
        pending.push_back(child);
    while (!pending.empty()) {
        const host::Object current = pending.back();
        if (current.type() == host::ids::Ocamera)
            list.push_back(current);
        if (host::Object next = current.next())
            pending.back() = next;
        else
            pending.pop_back();
        if (host::Object child = current.down())
            pending.push_back(child);
    }
}

void translateDocument(TranslationContext& context, host::Document document)
{
    context.document = document;
    context.documentPath.clear();
    context.progress = 0.0f;
    if (!document)
        return;
    // Commands call the driver only with a wrapper that has a back end; without one there
    // is nowhere to write to.
    if (context.scene == nullptr || context.scene->api() == nullptr)
        return;

    DocumentTimeScope time(document);

    std::string path;
    if (document.getString(host::ids::DOCUMENT_PATH, path) && !path.empty())
        context.documentPath = path;
    const std::string sceneName = sceneNameOf(document);
    if (const size_t whole = wholeSceneNameOf(document).size(); whole > sceneName.size())
        context.report.leftOut(report::Reason::NameCut, "document",
                               "document name of " + std::to_string(whole) + " bytes cut to " +
                                   std::to_string(sceneName.size()));

    std::vector<host::Object> cameras;
    for (host::Object object = document.firstObject(); object; object = object.next())
        collectCameras(object, cameras);
    for (const host::Object& camera : cameras)
        translateCamera(context, camera);

    orv::orvSceneapi_oo& scene = *context.scene;
    scene.beginGroup(sceneName);
    if (orvScene_api* api = scene.api()) {
        api->transform(kMirrorZ);
        api->fileAttribute("source file", "source file");
        if (context.live)
            api->fileAttribute(orv::live::kUpdateKey, orv::live::kUpdateMerge);
    }

    // A Live update selects by what changed, never by the user's selection.
    if (context.live)
        context.selectedKeys = context.live->everything ? std::vector<uint64_t>() : context.live->contentKeys;
    else
        collectSelectedKeys(context, document);

    int count = 0;
    for (host::Object object = document.firstObject(); object; object = object.next())
        ++count;
    if (count > 0) {
        const float weight = 1.0f / static_cast<float>(count);
        for (host::Object object = document.firstObject(); object; object = object.next())
            walkObject(context, object, TextureTagList{host::Tag()}, true, true, false, weight);
    }

    scene.endGroup();
}
