// Placeholder until the camera translation lands: cameras produce nothing.
#include "camera.h"
void translateCamera(TranslationContext&, const host::Object&) {}
