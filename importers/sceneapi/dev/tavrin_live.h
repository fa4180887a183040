// The interface of the renderer's live library, shared by the loader that uses it and the
// stand-in library that implements it. The library exports tavrin_live_initialize, which
// returns the live object; the live object hands out a scene API back end (whose calls
// travel to a running renderer) and a query API (running instances and their scenes).
//
// Virtual operations come in a fixed slot order; slots the plug-in does not call keep
// their places. The objects are owned by the library: callers never delete them, hence
// the protected destructors.
#pragma once

#include "orvScene_api.h"

#include <cstdint>

class TavrinQueryApi {
public:
    // XML listing the running renderer instances; owned by the query API.
    virtual const char* instances_xml() = 0;
    // Makes the instance with this process id the subject of the following calls; false
    // when it cannot be reached.
    virtual bool select_instance(int64_t process_id) = 0;
    virtual void reserved_query1() = 0;
    // Ends the selection begun by a successful select_instance.
    virtual void end_selection() = 0;
    virtual void reserved_query2() = 0;
    virtual void reserved_query3() = 0;
    // XML describing the selected instance's scene, or null; owned by the query API.
    virtual const char* scene_xml() = 0;

protected:
    ~TavrinQueryApi() = default;
};

class TavrinLive {
public:
    virtual void reserved_live() = 0;
    // Called once before the library is closed.
    virtual void shutdown() = 0;
    virtual orvScene_api* scene_api() = 0;
    virtual TavrinQueryApi* query_api() = 0;

protected:
    ~TavrinLive() = default;
};

extern "C" {
typedef TavrinLive* (*tavrin_live_initialize_fn)();
}
#define TAVRIN_LIVE_ENTRY_POINT "tavrin_live_initialize"
