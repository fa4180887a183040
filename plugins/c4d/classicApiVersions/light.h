// Lights as emitting octahedron meshes.
#pragma once

#include "c4d_host.h"

#include <string>

struct TranslationContext;

void translateLight(TranslationContext& context, const std::string& name, const host::Object& light);
