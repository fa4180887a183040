// One run of a command over a document (see command_run.h).
#include "command_run.h"

#include "LightFactory.h"
#include "LightNode.h"
#include "RepeatLinkFactory.h"
#include "TranslationContext.h"
#include "orvSceneapi_oo.h"
#include "finite_guard.h"
#include "scene_counter.h"
#include "translate_document.h"

namespace {

// The import options every run writes first.
void writeImportOptions(orv::orvSceneapi_oo& scene, bool adjustEnvironment, bool adjustCamera)
{
    orv::DefaultRTModule options;
    options.setImportMode(true);
    options.setMergeGroups(false);
    options.setMergeObjects(false);
    options.setAdjustEnvironment(adjustEnvironment);
    options.setAdjustCamera(adjustCamera);
    options.setKeepOriginal(true);
    options.setUpVector(1);
    options.setMeterScale(100.0f);
    options.setSnapToGround(false);
    options.setCenterGeometry(false);
    options.setExt(false);
    scene.writeNode(options);
}

} // namespace

CommandRun::CommandRun(TranslationContext& context, const std::string& command, host::Document doc)
    : context_(context), document_(doc), start_(std::chrono::steady_clock::now())
{
    context_.report.begin(command);
    context_.report.setDocument(sceneNameOf(doc));
}

CommandRun::~CommandRun()
{
    close();
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start_;
    context_.report.written().seconds = taken.count();
    context_.report.publish();
}

bool CommandRun::open(orv::LightFactory& factory, const RepeatLinkFactory* link)
{
    close();
    scene_ = new orv::orvSceneapi_oo(&factory);
    orvScene_api* api = scene_->api();
    if (api == nullptr) {
        close();
        return false;
    }
    try {
        if (counting_) {
            counter_ = std::make_unique<CountingSceneApi>(*api, context_.report.written());
            api = counter_.get();
        }
        // Every number reaches the back end finite; the guard comes first, so that the
        // counter sees what is written.
        guard_ = std::make_unique<FiniteSceneApi>(*api, context_.report, context_.objectPath);
        scene_->attach(guard_.get());
        context_.scene = scene_;
        context_.finiteGuard = guard_.get();
        // A renderer link has found (or not) the instance holding the scene by now. A Live
        // update to a renderer that does not hold the scene sends all of it, and one that
        // carries a changed camera has the renderer take it.
        const bool fresh = link == nullptr || !link->scene_found();
        if (context_.live && fresh)
            context_.live->everything = true;
        writeImportOptions(*scene_, fresh, fresh || (context_.live && context_.live->adjustCamera));
    } catch (...) {
        close();
        throw;
    }
    return true;
}

void CommandRun::translate(host::Document doc) { translateDocument(context_, doc); }

void CommandRun::close()
{
    // A translator may have dropped the pointer already; the wrapper is ours either way.
    if (context_.scene == scene_)
        context_.scene = nullptr;
    if (context_.finiteGuard == guard_.get())
        context_.finiteGuard = nullptr;
    delete scene_;
    scene_ = nullptr;
    guard_.reset();
    counter_.reset();
}

bool CommandRun::write(orv::LightFactory& factory) { return writeThrough(factory, nullptr); }

bool CommandRun::write(RepeatLinkFactory& factory) { return writeThrough(factory, &factory); }

bool CommandRun::writeThrough(orv::LightFactory& factory, const RepeatLinkFactory* link)
{
    struct Closer {
        CommandRun& run;
        ~Closer() { run.close(); }
    } closer{*this};
    if (!open(factory, link))
        return false;
    translate(document_);
    return true;
}
