// Placeholder until the mesh translation lands: polygon objects produce nothing.
#include "mesh.h"
void translatePolygonObject(TranslationContext&, const host::Object&, TextureTagList) {}
