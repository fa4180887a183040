#include "tavrinlive_loader.h"

#include "InstallLocator.h"
#include "sceneapi_log.h"

#include <dlfcn.h>

#include <new>

namespace {

// The process-wide loader record: the live object and the library handle.
struct tavrin_live_loader {
    TavrinLive* live = nullptr;
    void* lib = nullptr;

    bool load(int lowest, int highest);
};

tavrin_live_loader* g_loader = nullptr;

bool tavrin_live_loader::load(int lowest, int highest) {
    if (live) return false;
    int version = -1;
    const std::string dir = InstallLocator::find_install_dir(lowest, highest, version);
    if (dir.empty()) return false;

    const std::string base = live_library_base_name(version);
    if (!lib) {
        // Only the bundle's own library, by its absolute path: a library found through the
        // working folder or the loader's search path could be anyone's, and it would run
        // inside the host.
        const std::string path = InstallLocator::join_path(dir, base) + ".so";
        if (path[0] == '/') lib = shared_library_open(path);
        if (!lib) {
            const char* reason = path[0] == '/' ? ::dlerror() : "not an absolute path";
            ORV_LOG(logWARNING) << "the renderer's bundle holds no usable live library: " << path << ": "
                                << (reason ? reason : "unknown reason");
            ORV_LOG(logWARNING) << "NO shared handle";
            return false;
        }
    }

    void* symbol = ::dlsym(lib, TAVRIN_LIVE_ENTRY_POINT);
    if (symbol) {
        const auto initialize = reinterpret_cast<tavrin_live_initialize_fn>(symbol);
        live = initialize();
    }
    ORV_LOG(logDEBUG4) << "Tavrin live: " << static_cast<const void*>(live);
    return live != nullptr;
}

// Undoes whatever a loader record holds and forgets it.
void destroy_loader() {
    tavrin_live_loader* loader = g_loader;
    g_loader = nullptr;
    if (!loader) return;
    if (loader->live) loader->live->shutdown();
    if (loader->lib) ::dlclose(loader->lib);
    delete loader;
}

// The loaded record, loading on first use; null when loading fails.
tavrin_live_loader* loaded(int lowest, int highest) {
    if (g_loader) return g_loader;
    g_loader = new (std::nothrow) tavrin_live_loader;
    if (!g_loader) return nullptr;
    if (!g_loader->load(lowest, highest)) {
        destroy_loader();
        return nullptr;
    }
    return g_loader;
}

} // namespace

const char* live_library_base_name(int version) {
    return version > 5 ? "orvtavrinlive6" : "orvtavrinlive";
}

void* shared_library_open(const std::string& path) {
    ORV_LOG(logDEBUG) << "shared_library_open: " << path;
    return ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
}

orvScene_api* orv_get_scene_api(int lowest, int highest) {
    tavrin_live_loader* loader = loaded(lowest, highest);
    return loader && loader->live ? loader->live->scene_api() : nullptr;
}

TavrinQueryApi* orv_get_query_api(int lowest, int highest) {
    ORV_LOG(logDEBUG4) << "orv_get_query_api -> tavrin_live_loader: " << static_cast<const void*>(g_loader);
    tavrin_live_loader* loader = loaded(lowest, highest);
    return loader && loader->live ? loader->live->query_api() : nullptr;
}

void tavrin_live_unload() {
    destroy_loader();
}
