// The Live session: keeps the renderer in step with the document while the user edits it.
//
// Driven only by the host's messages on the main thread (no thread of its own): a change
// message marks the session pending; once the edits pause (the debounce, counted on the
// host's timer ticks) or have gone on for the longest wait, the session scans the dirty
// counters (change_tracker.h) and sends one update for everything that changed since the
// last one. An update is sent whole before the handler returns, so at most one is ever in
// flight, and edits that arrive meanwhile are merged into the next. A renderer that is gone
// or stops answering ends the session with one message; so does closing or switching away
// from the document.
#pragma once

#include "RepeatLinkFactory.h"
#include "c4d_host.h"
#include "change_tracker.h"

#include <chrono>
#include <cstdint>
#include <string>

struct TranslationContext;

namespace live {

// Quiet time after the last change before an update goes out, the longest an update waits
// while edits go on, and the timer interval asked for while one is pending. The quiet time
// is a tick: the change messages of one action of the user arrive together, so a tick
// without one marks its end; a longer wait would only add to every update's latency.
constexpr int kDebounceMs = 1;
constexpr int kLongestWaitMs = 100;
constexpr int kTickMs = 1;

class LiveSession : public host::MessageData {
public:
    explicit LiveSession(TranslationContext* context) : context_(context) {}

    bool active() const { return active_; }
    bool pending() const { return pending_; }
    int updatesSent() const { return updates_; }

    // Turns Live on for doc: sends the whole document as Update does (launching a renderer
    // when none runs). False, with the reason shown to the user, when it could not.
    bool start(host::Document doc);
    // Turns Live off; a non-empty reason is shown to the user once.
    void stop(const std::string& reason = std::string());

    void CoreMessage(int32_t id, host::Document doc) override;
    int32_t GetTimer() override;

private:
    using Clock = std::chrono::steady_clock;

    // Ends the session without a word: the renderer link lets go.
    void end();
    // Ends the session with one console line that says why.
    void endWith(const std::string& why);
    // "1 update", "3 updates": the updates of this session.
    std::string updatesSoFar() const;
    // Scans and sends what changed; false (and the session ended) when the update failed.
    bool sync();
    // One update stream: the whole document, or what `changes` names. The reason when it
    // failed, else "".
    std::string send(const ChangeSet& changes, bool first);

    TranslationContext* context_;
    host::Document document_;
    ChangeTracker tracker_;
    bool active_ = false;
    bool pending_ = false;
    Clock::time_point firstChange_;
    Clock::time_point lastChange_;
    int updates_ = 0;
    // The renderer instance the last update went to; the next one asks it first. The live
    // library stays loaded from the first update to the end of the session.
    InstanceRecord renderer_;
    bool libraryHeld_ = false;
};

} // namespace live
