// Placeholder until the material translation lands.
#include "material.h"
#include <cstring>
bool MaterialRecordLess::operator()(const MaterialRecord& a, const MaterialRecord& b) const
{
    return std::strcmp(a.name, b.name) < 0;
}
MaterialRecord makeMaterialRecord(const double c[3])
{
    MaterialRecord r;
    r.diffuse[0] = c[0]; r.diffuse[1] = c[1]; r.diffuse[2] = c[2];
    return r;
}
void setRecordName(MaterialRecord&, const std::string&) {}
void displayColour(TranslationContext&, const host::Object&, double out[3]) { out[0] = out[1] = out[2] = 0.65; }
bool readMaterialTag(TranslationContext&, const host::Tag&, MaterialRecord&) { return false; }
bool readStandardMaterial(TranslationContext&, const host::Material&, MaterialRecord&) { return false; }
bool readShader(TranslationContext&, const host::Shader&, MaterialRecord&) { return false; }
void emitMaterial(TranslationContext&, MaterialRecord) {}
