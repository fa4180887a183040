// The file access assimp is given while it reads a model: only regular files below the
// model root open (a FIFO, a device or a folder named by the model or beside it is "not
// there", and so is a file outside the root, which the root remembers), and no open waits,
// so a FIFO in place of a model, its material library or a texture cannot block the import.
#pragma once

#include "model_root.h"

#include <assimp/DefaultIOSystem.h>

namespace modelimport {

class RegularFileIOSystem : public Assimp::DefaultIOSystem {
public:
    // root must outlive the reading.
    explicit RegularFileIOSystem(ModelRoot& root) : root_(&root) {}
    using Assimp::DefaultIOSystem::Exists;
    bool Exists(const char* path) const override;
    Assimp::IOStream* Open(const char* path, const char* mode = "rb") override;

private:
    ModelRoot* root_;
};

} // namespace modelimport
