// The Export command and what every command shares: the wrapper of one run and the way a
// failure reaches the user.
#include "commands.h"

#include "LightFileFactory.h"
#include "LightNode.h"
#include "TranslationContext.h"
#include "orvSceneapi_oo.h"
#include "scene_counter.h"
#include "translate_document.h"

#include <exception>
#include <memory>
#include <optional>

CommandScene::CommandScene(TranslationContext& context, orv::LightFactory& factory)
    : context(context), scene(new orv::orvSceneapi_oo(&factory))
{
    if (orvScene_api* api = scene->api()) {
        counter = std::make_unique<CountingSceneApi>(*api, context.report.written());
        scene->attach(counter.get());
    }
    context.scene = scene;
}

CommandScene::~CommandScene()
{
    // A translator may have dropped the pointer already; the wrapper is ours either way.
    if (context.scene == scene)
        context.scene = nullptr;
    delete scene;
}

bool CommandScene::hasBackEnd() const { return scene->api() != nullptr; }

CommandReport::CommandReport(TranslationContext& context, const std::string& command, host::Document doc)
    : context(context), start(std::chrono::steady_clock::now())
{
    context.report.begin(command);
    context.report.setDocument(sceneNameOf(doc));
}

CommandReport::~CommandReport()
{
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    context.report.written().seconds = taken.count();
    context.report.publish();
}

void failCommand(TranslationContext& context, const std::string& command, const std::string& reason)
{
    showCommandFailure(command, reason);
    try {
        context.report.fail(reason);
    } catch (...) {
        // Out of memory: the user has been told; the report stays without the reason.
    }
}
void setImportOptions(orv::DefaultRTModule& options, bool adjustCameraAndEnvironment)
{
    options.setImportMode(true);
    options.setMergeGroups(false);
    options.setMergeObjects(false);
    options.setAdjustEnvironment(adjustCameraAndEnvironment);
    options.setAdjustCamera(adjustCameraAndEnvironment);
    options.setKeepOriginal(true);
    options.setUpVector(1);
    options.setMeterScale(100.0f);
    options.setSnapToGround(false);
    options.setCenterGeometry(false);
    options.setExt(false);
}

void showCommandFailure(const std::string& command, const std::string& reason)
{
    try {
        host::messageDialog(command + " failed: " + reason);
    } catch (...) {
        // Nothing more can be done for the user; the host must not see the exception.
    }
}

bool exportDocumentTo(TranslationContext& context, host::Document doc, const std::string& path)
{
    static const std::string command = "Export to .qrf";
    context.report.setFile(path);
    std::optional<orv::LightFileFactory> factory;
    try {
        factory.emplace(path);
    } catch (const std::exception& e) {
        failCommand(context, command, e.what());
        return false;
    }

    try {
        CommandScene scene(context, *factory);
        if (scene.hasBackEnd()) {
            orv::DefaultRTModule options;
            setImportOptions(options, true);
            scene.wrapper().writeNode(options);
            translateDocument(context, doc);
        }
    } catch (const std::exception& e) {
        // A scene cut short must not replace the file the user had: give the export up.
        factory->abandon();
        failCommand(context, command, e.what());
        return false;
    } catch (...) {
        factory->abandon();
        failCommand(context, command, "unknown error while writing the scene");
        return false;
    }

    // Closing explicitly lets a failed close (a full disk, say) reach the user; the
    // factory's destructor then has nothing left to close.
    try {
        factory->close();
    } catch (const std::exception& e) {
        failCommand(context, command, e.what());
        return false;
    }
    // The bytes that went out, to a file or to standard output alike (the counter saw list
    // data only).
    context.report.written().bytes = factory->bytesWritten();
    return true;
}

bool TavrinCinema4DExport::Execute(host::Document doc)
{
    if (context == nullptr)
        return true;
    try {
        const CommandReport report(*context, "export", doc);
        try {
            host::Filename name;
            name.setDirectory("%USERDATA%");
            name.setFile("untitled");
            name.setSuffix("qrf");
            if (!name.select(0, 1, "Export to .qrf", "qrf")) {
                context->report.cancel();
                return true;
            }
            context->updateMode = false;
            bool converted = false;
            const std::string path = name.utf8(converted);
            if (!converted || path.empty()) {
                context->report.cancel();
                return true;
            }
            exportDocumentTo(*context, doc, path);
        } catch (const std::exception& e) {
            failCommand(*context, "Export to .qrf", e.what());
        }
    } catch (...) {
        showCommandFailure("Export to .qrf", "unknown error");
    }
    return true;
}
