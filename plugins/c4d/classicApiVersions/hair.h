// Hair objects into bezier curves with tapered radii.
#pragma once

#include "c4d_host.h"
#include "tag_sort.h"

struct TranslationContext;

void translateHairObject(TranslationContext& context, const host::Object& object,
                         TextureTagList textureTags);
