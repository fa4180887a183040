// Placeholder until the light translation lands: lights produce nothing.
#include "light.h"
void translateLight(TranslationContext&, const std::string&, const host::Object&) {}
