// Placeholder until the hair translation lands: hair objects produce nothing.
#include "hair.h"
void translateHairObject(TranslationContext&, const host::Object&, TextureTagList) {}
