// What the translators know of one material, and the table of its variants that the
// translation context keeps across commands (material.h reads and writes records).
#pragma once

#include "c4d_host.h"

#include <cstdint>
#include <map>
#include <string>

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
