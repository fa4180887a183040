// An object's tags sorted by what the translators read from them: texture and hair
// material tags in order, the UVW tag, the normal tag and the polygon selections by name.
#pragma once

#include "c4d_host.h"

#include <map>
#include <string>
#include <vector>

using TextureTagList = std::vector<host::Tag>; // entries may be null (display colour)
using SelectionTagMap = std::map<std::string, host::Tag>;

// Sorts one tag into the outputs given (null pointers are skipped).
void visitTag(const host::Tag& tag, host::Tag* uvwTag, host::Tag* normalTag,
              SelectionTagMap* selectionTags, TextureTagList& textureTags);
