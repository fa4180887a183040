// Tag sorting (see tag_sort.h).
#include "tag_sort.h"

void visitTag(const host::Tag& tag, host::Tag* uvwTag, host::Tag* normalTag,
              SelectionTagMap* selectionTags, TextureTagList& textureTags)
{
    switch (tag.type()) {
    case host::ids::Ttexture:
    case host::ids::Thairmaterial:
        textureTags.push_back(tag);
        break;
    case host::ids::Tuvw:
        if (uvwTag != nullptr)
            *uvwTag = tag;
        break;
    case host::ids::Tnormal:
        if (normalTag != nullptr)
            *normalTag = tag;
        break;
    case host::ids::Tpolygonselection:
        if (selectionTags != nullptr)
            (*selectionTags)[tag.name()] = tag;
        break;
    default:
        break;
    }
}
