// The Live session (see live_session.h).
#include "live_session.h"

#include "RepeatLinkFactory.h"
#include "TranslationContext.h"
#include "command_run.h"
#include "commands.h"
#include "translate_document.h"

#include <cstdio>
#include <exception>

namespace live {

namespace {

const char* const kCommand = "Tavrin Live";

// Renderer major versions accepted, as for Render and Update.
constexpr int kLowestVersion = 9;
constexpr int kHighestVersion = 10;

long long millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

bool LiveSession::start(host::Document doc)
{
    stop();
    if (!doc || context_ == nullptr)
        return false;
    document_ = doc;
    tracker_.reset();
    active_ = true;
    updates_ = 0;
    const ChangeSet all = tracker_.scan(doc);
    const std::string failure = send(all, true);
    if (!failure.empty()) {
        stop("could not start: " + failure);
        return false;
    }
    tracker_.commit();
    const report::Written& written = context_->report.written();
    host::consoleLine(std::string(kCommand) + " on: the renderer follows \"" + sceneNameOf(doc) + "\"; " +
                      std::to_string(written.objects) + " objects, " + std::to_string(written.bytes) +
                      " bytes of list data, " + std::to_string(static_cast<long long>(written.seconds * 1000)) + " ms");
    return true;
}

void LiveSession::stop(const std::string& reason)
{
    const bool was = active_;
    end();
    if (!reason.empty())
        showCommandFailure(kCommand, reason);
    else if (was)
        host::consoleLine(std::string(kCommand) + " off after " + updatesSoFar());
}

std::string LiveSession::updatesSoFar() const
{
    return std::to_string(updates_) + (updates_ == 1 ? " update" : " updates");
}

void LiveSession::endWith(const std::string& why)
{
    end();
    host::consoleLine(std::string(kCommand) + " off after " + updatesSoFar() + ": " + why);
}

void LiveSession::end()
{
    active_ = false;
    pending_ = false;
    document_ = host::Document();
    tracker_.reset();
    renderer_ = InstanceRecord{};
    if (libraryHeld_) {
        libraryHeld_ = false;
        LinkServices::system().unload();
    }
}

void LiveSession::CoreMessage(int32_t id, host::Document doc)
{
    if (!active_)
        return;
    if (id == C4D_MSG_DOCUMENT_CLOSING && doc == document_) {
        endWith("the document was closed");
        return;
    }
    // Another document in front ends the session: the renderer holds this one.
    const host::Document front = host::activeDocument();
    if (front && !(front == document_)) {
        endWith("another document is active");
        return;
    }
    const Clock::time_point now = Clock::now();
    if (id == C4D_MSG_DOCUMENT_CHANGED) {
        if (!pending_)
            firstChange_ = now;
        pending_ = true;
        lastChange_ = now;
        return;
    }
    if (id != C4D_MSG_TIMER || !pending_)
        return;
    const bool quiet = now - lastChange_ >= std::chrono::milliseconds(kDebounceMs);
    const bool overdue = now - firstChange_ >= std::chrono::milliseconds(kLongestWaitMs);
    if (quiet || overdue)
        sync();
}

int32_t LiveSession::GetTimer() { return active_ && pending_ ? kTickMs : 0; }

bool LiveSession::sync()
{
    pending_ = false;
    const Clock::time_point started = firstChange_;
    ChangeSet changes;
    try {
        changes = tracker_.scan(document_);
    } catch (const std::exception& e) {
        stop(std::string("the changes could not be read: ") + e.what());
        return false;
    }
    if (!changes.any())
        return true;
    const std::string failure = send(changes, false);
    if (!failure.empty()) {
        stop("the renderer no longer takes updates, Live is off: " + failure);
        return false;
    }
    tracker_.commit();
    const report::Written& written = context_->report.written();
    host::consoleLine(std::string(kCommand) + " update " + std::to_string(updates_) + ": " + changes.summary() +
                      "; " + std::to_string(written.objects) + " objects, " + std::to_string(written.bytes) +
                      " bytes of list data, " + std::to_string(millisecondsSince(started)) + " ms");
    return true;
}

std::string LiveSession::send(const ChangeSet& changes, bool first)
{
    LiveUpdate update;
    update.everything = first;
    update.contentKeys = changes.contentKeys;
    update.lookKeys = changes.lookKeys;
    update.adjustCamera = first || changes.cameraChanged;
    std::string failure;
    struct Scope {
        TranslationContext& context;
        ~Scope()
        {
            context.live = nullptr;
            context.updateMode = false;
        }
    } scope{*context_};
    try {
        context_->live = &update;
        context_->updateMode = false;
        CommandRun run(*context_, "live", document_);
        context_->report.keepOffConsole();
        RepeatLinkFactory factory;
        // A later update goes to a renderer that is found, never started.
        factory.set_launch_allowed(first);
        factory.set_scene_name(sceneNameOf(document_));
        // The first update goes where Update would send the document; later ones only to a
        // renderer that holds it (or an empty one, which then gets all of it).
        factory.set_accept_any_instance(first);
        factory.set_version_range(kLowestVersion, kHighestVersion);
        factory.set_known_instance(renderer_);
        factory.set_keep_library(true);
        libraryHeld_ = true;
        failure = sendDocument(run, factory);
        if (!failure.empty()) {
            context_->report.fail(failure);
            renderer_ = InstanceRecord{};
        } else {
            renderer_ = factory.instance();
            ++updates_;
        }
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown error while sending the update";
    }
    return failure;
}

} // namespace live
