// Camera objects into camera nodes.
#pragma once

#include "c4d_host.h"

struct TranslationContext;

void translateCamera(TranslationContext& context, const host::Object& camera);
