// Materials and textures: what the translators know of one material, how it is read from
// texture tags and standard materials, and how it is written as an inline material.
#pragma once

#include "c4d_host.h"

#include <cstdint>
#include <map>
#include <string>

struct TranslationContext;

struct MaterialRecord {
    char name[1024] = {0};
    double diffuse[3] = {0.65, 0.65, 0.65};
    double specular[3] = {0, 0, 0};
    std::string texturePath;
    host::Matrix textureMatrix{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double shiftU = 0;
    double shiftV = 0;
    double scaleU = 1;
    double scaleV = 1;
    bool tile = true;
    int32_t projection = 0;
};

// Strict weak order of records for the variant table: name, diffuse, texturePath, shifts
// and scales, tile. specular, textureMatrix and projection do not take part.
struct MaterialRecordLess {
    bool operator()(const MaterialRecord& a, const MaterialRecord& b) const;
};

// Material name -> (record -> variant number).
using MaterialVariants = std::map<std::string, std::map<MaterialRecord, int64_t, MaterialRecordLess>>;

// Starts a record with the defaults and the given display colour.
MaterialRecord makeMaterialRecord(const double displayColour[3]);
// Copies a UTF-8 name into the record's name buffer, cut at a character boundary.
void setRecordName(MaterialRecord& record, const std::string& name);

void displayColour(TranslationContext& context, const host::Object& object, double out[3]);
bool readMaterialTag(TranslationContext& context, const host::Tag& tag, MaterialRecord& record);
bool readStandardMaterial(TranslationContext& context, const host::Material& material,
                          MaterialRecord& record);
bool readShader(TranslationContext& context, const host::Shader& shader, MaterialRecord& record);
// Writes the record as an inline material inside the open object block.
void emitMaterial(TranslationContext& context, MaterialRecord record);
