// A stand-in live library for the loader tests. Initialisations and shutdowns are counted
// in the environment variables FAKE_LIVE_INIT_CALLS and FAKE_LIVE_SHUTDOWN_CALLS;
// FAKE_LIVE_INIT_NULL=1 makes the entry point return null.
#include "tavrin_live.h"

#include <cstdlib>
#include <string>

namespace {

void count(const char* variable) {
    const char* old = std::getenv(variable);
    const int n = old ? std::atoi(old) : 0;
    setenv(variable, std::to_string(n + 1).c_str(), 1);
}

class FakeQuery final : public TavrinQueryApi {
public:
    const char* instances_xml() override { return "<instances/>"; }
    bool select_instance(int64_t) override { return false; }
    void reserved_query1() override {}
    void end_selection() override {}
    void reserved_query2() override {}
    void reserved_query3() override {}
    const char* scene_xml() override { return nullptr; }
};

class FakeLive final : public TavrinLive {
public:
    void reserved_live() override {}
    void shutdown() override { count("FAKE_LIVE_SHUTDOWN_CALLS"); }
    orvScene_api* scene_api() override { return &api_; }
    TavrinQueryApi* query_api() override { return &query_; }

private:
    NullApi api_;
    FakeQuery query_;
};

FakeLive g_live;

} // namespace

#ifndef FAKE_LIVE_NO_ENTRY
extern "C" __attribute__((visibility("default"))) TavrinLive* tavrin_live_initialize() {
    count("FAKE_LIVE_INIT_CALLS");
    const char* null = std::getenv("FAKE_LIVE_INIT_NULL");
    if (null && std::string(null) == "1") return nullptr;
    return &g_live;
}
#endif
