// The object hierarchy walk: the top of the translation, above the translators it calls.
#pragma once

#include "c4d_host.h"
#include "tag_sort.h"

struct TranslationContext;

void walkObject(TranslationContext& context, host::Object object, TextureTagList textureTags,
                bool editorVisible, bool renderVisible, bool included, float weight);
