// Loads the renderer's live library from the installed bundle and hands out its scene API
// back end and query API.
//
// One process-wide loader record exists from the first successful request until
// tavrin_live_unload. While it exists every request reuses the same library and live
// object, whatever version range it names: the range matters only for the first load.
// Used from the command thread only; nothing is locked.
#pragma once

#include "orvScene_api.h"
#include "tavrin_live.h"

#include <string>

// The live scene API back end of the newest installed renderer in [lowest, highest], or
// null when no renderer is installed, the library cannot be opened or initialised.
orvScene_api* orv_get_scene_api(int lowest, int highest);

// The live library's query API (running instances and their scenes), or null.
TavrinQueryApi* orv_get_query_api(int lowest, int highest);

// Shuts the live object down, closes the library and forgets the loader record. Does
// nothing when nothing is loaded.
void tavrin_live_unload();

// dlopen(path, RTLD_LAZY | RTLD_LOCAL), logged.
void* shared_library_open(const std::string& path);

// Base name of the live library for a renderer major version ("orvtavrinlive6" above 5).
const char* live_library_base_name(int version);
