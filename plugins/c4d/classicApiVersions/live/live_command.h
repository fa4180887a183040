// The "Tavrin Live" command: picked once, the renderer follows the document's edits; picked
// again (it shows checked meanwhile), Live is off. It owns the one Live session, which is
// also the plug-in's message handler.
#pragma once

#include "c4d_host.h"
#include "live_session.h"

struct TranslationContext;

class TavrinCinema4DLive : public host::CommandData {
public:
    explicit TavrinCinema4DLive(TranslationContext* context) : session_(context) {}
    bool Execute(host::Document doc) override;
    int32_t GetState(host::Document doc) override;
    live::LiveSession& session() { return session_; }

private:
    live::LiveSession session_;
};
