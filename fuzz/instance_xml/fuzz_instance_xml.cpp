// Feeds arbitrary bytes to the connection factory as instance list and scene descriptions.
//
// Input layout: the first byte chooses the settings (bit 0: accept any instance, bit 1: a
// scene name is looked for, bit 2: process id 5 is the renderer just launched); the rest is split at the first NUL byte into the instance list
// and a scene description that every instance answers with. Checks that no instance
// outside the version range is chosen and that every selection is ended.
#include "RepeatLinkFactory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class FuzzQuery final : public TavrinQueryApi {
public:
    std::string list;
    std::string scene;
    int open = 0;

    const char* instances_xml() override { return list.c_str(); }
    bool select_instance(int64_t pid) override {
        if (pid % 7 == 3) return false;  // some instances cannot be reached
        ++open;
        return true;
    }
    void reserved_query1() override {}
    void end_selection() override { --open; }
    void reserved_query2() override {}
    void reserved_query3() override {}
    const char* scene_xml() override { return scene.c_str(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t settings = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t split = rest.find('\0');

    FuzzQuery query;
    query.list = rest.substr(0, split);
    query.scene = split == std::string::npos ? std::string("<scene><world><a/></world></scene>") : rest.substr(split + 1);

    LinkServices none;
    none.scene_api = [](int, int) -> orvScene_api* { return nullptr; };
    none.query_api = [](int, int) -> TavrinQueryApi* { return nullptr; };
    none.unload = [] {};
    none.launch = [](int, int) { return LaunchedRenderer{}; };
    none.sleep = [](int) {};
    RepeatLinkFactory factory(none);
    factory.set_version_range(9, 10);
    factory.set_accept_any_instance(settings & 1);
    factory.set_scene_name(settings & 2 ? "Cube" : "");

    const std::vector<InstanceRecord> instances = factory.list_instances(query);
    for (const InstanceRecord& r : instances)
        if (r.version < 9 || r.version > 10 || r.process_id < 1 || r.port > 65535) std::abort();
    const InstanceRecord chosen = factory.choose_instance(query, instances, settings & 4 ? 5 : 0);
    if (chosen.version != 0 && (chosen.version < 9 || chosen.version > 10)) std::abort();
    if (query.open != 0) std::abort();
    if (factory.scene_found() && !(settings & 2)) std::abort();
    return 0;
}
