// The Render and Update commands, which send the document to a running renderer through
// the connection factory instead of writing a file. Render looks for an instance with an
// empty scene (or starts one); Update looks for the instance that already holds this
// document's scene and accepts any running one.
#include "commands.h"

#include "RepeatLinkFactory.h"
#include "TranslationContext.h"
#include "command_run.h"
#include "translate_document.h"

#include <exception>
#include <string>

namespace {

const char* const kRenderCommand = "Render in Tavrin";
const char* const kUpdateCommand = "Update Tavrin scene";

// Renderer major versions the commands accept, whatever the factory's own defaults.
constexpr int kLowestVersion = 9;
constexpr int kHighestVersion = 10;

} // namespace

std::string sendDocument(CommandRun& run, RepeatLinkFactory& factory)
{
    std::string failure;
    try {
        // Finds or launches the renderer and connects; the scene is closed when this returns.
        if (!run.write(factory)) {
            failure = factory.error_text();
            if (failure.empty())
                failure = "no renderer could be reached";
        }
        // Release the connection now, with the wrapper gone, so that a stream the renderer
        // did not receive whole is reported instead of passing for a sent scene.
        factory.close();
        if (failure.empty() && factory.stream_lost())
            failure = factory.error_text();
        run.context().report.setRenderer(sceneNameOf(run.document()), factory.port());
        for (const RepeatLinkFactory::PassedOver& other : factory.passed_over())
            run.context().report.leftOut(report::Reason::RendererOfAnotherUser,
                                         "port " + std::to_string(other.instance.port),
                                         "process " + std::to_string(other.instance.process_id) + " of user " +
                                             std::to_string(other.owner));
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error while sending the scene";
    }
    return failure;
}

namespace {

// Runs one live command: the factory lives for the run only, and a failure is shown once
// the connection is released. The run's report is published at the end.
template <typename Configure>
void runLiveCommand(TranslationContext& context, host::Document doc, const char* command,
                    const char* reportName, Configure configure)
{
    std::string failure;
    try {
        CommandRun run(context, reportName, doc);
        try {
            RepeatLinkFactory factory;
            configure(factory);
            failure = sendDocument(run, factory);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!failure.empty())
            failCommand(context, command, failure);
    } catch (...) {
        showCommandFailure(command, failure.empty() ? "unknown error" : failure);
    }
}

} // namespace

bool TavrinCinema4DRender::Execute(host::Document doc)
{
    if (context == nullptr)
        return true;
    context->updateMode = false;
    runLiveCommand(*context, doc, kRenderCommand, "render", [](RepeatLinkFactory& factory) {
        factory.set_scene_name(std::string());
        factory.set_accept_any_instance(false);
        factory.set_version_range(kLowestVersion, kHighestVersion);
    });
    return true;
}

bool TavrinCinema4DUpdate::Execute(host::Document doc)
{
    if (context == nullptr)
        return true;
    context->updateMode = true;
    std::string sceneName;
    try {
        sceneName = sceneNameOf(doc);
    } catch (...) {
        sceneName = "untitled";
    }
    runLiveCommand(*context, doc, kUpdateCommand, "update", [&sceneName](RepeatLinkFactory& factory) {
        factory.set_scene_name(sceneName);
        factory.set_accept_any_instance(true);
        factory.set_version_range(kLowestVersion, kHighestVersion);
    });
    return true;
}
