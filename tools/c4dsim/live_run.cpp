// c4dsim's live session (see live_run.h).
#include "live_run.h"

#include "document_file.h"
#include "files/output_file.h"
#include "sim_edit.h"
#include "tool_cli.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

namespace c4dsim {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
void onStopSignal(int) { g_stop = 1; }

constexpr int32_t kIdleCheckMs = 100; // how often a watched file is looked at

// Delivers timer ticks at the interval the plug-in asks for until it asks for none, or, with
// a deadline, until the deadline. A stop request ends the wait.
void deliverTicks(sim::Document& doc, int32_t interval, Clock::time_point deadline, bool bounded)
{
    while (interval > 0 && !g_stop) {
        if (bounded && Clock::now() + std::chrono::milliseconds(interval) > deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        interval = sim::deliverMessage(C4D_MSG_TIMER, &doc);
    }
}

bool liveIsOn(const sim::RegisteredCommand& live, sim::Document& doc)
{
    const int32_t state = sim::commandState(live.id, &doc);
    return state >= 0 && (state & C4D_CMD_CHECKED) != 0;
}

// Applies one version of the document; false with the located message when it cannot be read.
bool applyVersion(const std::string& path, sim::Document& doc, std::string& error)
{
    modelimport::LoadedDocument loaded = modelimport::loadDocumentFile(path, modelimport::LoadOptions{});
    if (!loaded.document) {
        error = loaded.error;
        return false;
    }
    sim::applyEdit(doc, std::move(loaded.document));
    return true;
}

struct FileStamp {
    long long seconds = 0;
    long long nanoseconds = 0;
    long long size = -1;
    bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {static_cast<long long>(info.st_mtim.tv_sec), static_cast<long long>(info.st_mtim.tv_nsec),
            static_cast<long long>(info.st_size)};
}

int writeReport(const std::string& path, size_t firstReport)
{
    if (path.empty())
        return 0;
    nlohmann::ordered_json report;
    report["command"] = "live";
    nlohmann::ordered_json updates = nlohmann::ordered_json::array();
    const std::vector<std::string>& reports = sim::commandReports();
    for (size_t i = firstReport; i < reports.size(); ++i) {
        nlohmann::ordered_json one = nlohmann::ordered_json::parse(reports[i], nullptr, false);
        if (!one.is_discarded())
            updates.push_back(std::move(one));
    }
    report["updates"] = std::move(updates);
    std::string why;
    // Written as the other reports: complete or not at all, never into a FIFO or a device.
    if (!tavrin::files::writeOutputFile(path, report.dump(2) + '\n', &why)) {
        std::fprintf(stderr, "c4dsim: cannot write the report to %s\n", why.c_str());
        return tool::kExitFailure;
    }
    return 0;
}

// Closes the document or opens another in its place, as the user does in the host: the
// closing document's message, or the change message of the one now in front.
int closeOrSwitch(const LiveRun& run, sim::Document& doc, std::unique_ptr<sim::Document>& other)
{
    if (run.closeAfter) {
        sim::deliverMessage(C4D_MSG_DOCUMENT_CLOSING, &doc);
        sim::setActiveDocument(nullptr);
    } else if (!run.switchTo.empty()) {
        modelimport::LoadedDocument loaded = modelimport::loadDocumentFile(run.switchTo, modelimport::LoadOptions{});
        if (!loaded.document) {
            std::fprintf(stderr, "c4dsim: %s\n", loaded.error.c_str());
            return tool::kExitInput;
        }
        other = std::move(loaded.document);
        sim::setActiveDocument(other.get());
        sim::deliverMessage(C4D_MSG_DOCUMENT_CHANGED, other.get());
    }
    return 0;
}

} // namespace

int runLive(const LiveRun& run, sim::Document& doc, const sim::RegisteredCommand& live)
{
    std::unique_ptr<sim::Document> other; // the document switched to, alive to the end
    sim::setActiveDocument(&doc);
    const size_t firstReport = sim::commandReports().size();
    const size_t firstMessage = sim::messages().size();
    // From here on Ctrl-C and SIGTERM end the session as the user's toggle would, also
    // while its first update (which may launch the renderer) is on its way.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    ::sigaction(SIGINT, &action, &oldInt);
    ::sigaction(SIGTERM, &action, &oldTerm);

    int status = 0;
    live.command.execute(live.command.self, sim::handle(&doc));
    if (!liveIsOn(live, doc)) {
        ::sigaction(SIGINT, &oldInt, nullptr);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
        std::fprintf(stderr, "c4dsim: Live did not start\n");
        writeReport(run.reportPath, firstReport);
        return tool::kExitFailure;
    }

    if (!run.steps.empty()) {
        for (size_t i = 0; i < run.steps.size() && !g_stop && liveIsOn(live, doc); ++i) {
            const Clock::time_point applied = Clock::now();
            std::string error;
            if (!applyVersion(run.steps[i], doc, error)) {
                std::fprintf(stderr, "c4dsim: %s\n", error.c_str());
                status = tool::kExitInput;
                break;
            }
            const int32_t interval = sim::deliverMessage(C4D_MSG_DOCUMENT_CHANGED, &doc);
            if (run.paceMs > 0) {
                const Clock::time_point next = applied + std::chrono::milliseconds(run.paceMs);
                deliverTicks(doc, interval, next, true);
                std::this_thread::sleep_until(next);
            } else {
                deliverTicks(doc, interval, {}, false);
            }
        }
        // Whatever is still pending goes out before Live is turned off.
        deliverTicks(doc, sim::deliverMessage(C4D_MSG_TIMER, &doc), {}, false);
        if (status == 0 && !g_stop)
            status = closeOrSwitch(run, doc, other);
    } else {
        std::fprintf(stderr, "c4dsim: watching %s; Ctrl-C ends the live session\n", run.document.c_str());
        FileStamp seen = stampOf(run.document);
        int32_t interval = 0;
        while (!g_stop && liveIsOn(live, doc)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval > 0 ? interval : kIdleCheckMs));
            if (interval > 0)
                interval = sim::deliverMessage(C4D_MSG_TIMER, &doc);
            const FileStamp now = stampOf(run.document);
            if (now == seen)
                continue;
            seen = now;
            std::string error;
            if (!applyVersion(run.document, doc, error)) {
                std::fprintf(stderr, "c4dsim: %s (the last good version stays)\n", error.c_str());
                continue;
            }
            interval = sim::deliverMessage(C4D_MSG_DOCUMENT_CHANGED, &doc);
        }
    }
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);

    // A session the plug-in ended itself said why in a message.
    const bool endedByPlugin = !liveIsOn(live, doc);
    if (!endedByPlugin)
        live.command.execute(live.command.self, sim::handle(&doc));
    if (endedByPlugin && sim::messages().size() > firstMessage && status == 0)
        status = tool::kExitFailure;
    const int reportStatus = writeReport(run.reportPath, firstReport);
    return status != 0 ? status : reportStatus;
}

} // namespace c4dsim
