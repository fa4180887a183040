#include "regular_io.h"

#include "files/regular_file.h"

#include <assimp/DefaultIOStream.h>

#include <cstring>

namespace modelimport {

namespace {

// assimp's own stream over a FILE that we opened; it closes the file when deleted.
class RegularStream : public Assimp::DefaultIOStream {
public:
    RegularStream(FILE* file, const std::string& path) : Assimp::DefaultIOStream(file, path) {}
};

bool readOnly(const char* mode) { return mode != nullptr && std::strpbrk(mode, "wa+") == nullptr; }

} // namespace

bool RegularFileIOSystem::Exists(const char* path) const
{
    return path != nullptr && root_->admits(path) && tavrin::files::isReadableRegularFile(path);
}

Assimp::IOStream* RegularFileIOSystem::Open(const char* path, const char* mode)
{
    if (path == nullptr || !readOnly(mode))
        return Assimp::DefaultIOSystem::Open(path, mode);
    if (!root_->admits(path))
        return nullptr;
    FILE* file = tavrin::files::fopenRegular(path);
    if (file == nullptr)
        return nullptr;
    return new RegularStream(file, path);
}

} // namespace modelimport
