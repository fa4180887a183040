// Materials and textures: how a material is read from texture tags and standard materials
// into a record (material_record.h), and how a record is written as an inline material.
#pragma once

#include "c4d_host.h"
#include "material_record.h"

#include <string>

struct TranslationContext;

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
