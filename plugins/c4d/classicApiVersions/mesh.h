// Polygon objects into triangle meshes, one scene object per material region.
#pragma once

#include "c4d_host.h"
#include "tag_sort.h"

struct TranslationContext;

void translatePolygonObject(TranslationContext& context, const host::Object& object,
                            TextureTagList textureTags);
