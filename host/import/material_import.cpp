#include "import_parts.h"
#include "model_import.h"

#include "files/private_file.h"
#include "text/utf8.h"

#include <assimp/material.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace modelimport {

namespace fs = std::filesystem;

namespace {

using sim::Vec3;

constexpr int32_t kStandardMaterial = 5703, kBitmapShader = 5833;
constexpr int32_t kMaterialColor = 2100, kMaterialBrightness = 2101, kColorShader = 8000;

bool readable(const fs::path& p)
{
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// True when `path` is a regular file (not a link) holding exactly `size` bytes equal to `bytes`.
bool holdsBytes(const fs::path& path, const unsigned char* bytes, size_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) == size;
    char buffer[1 << 16];
    for (size_t at = 0; same && at < size;) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, size - at));
        if (n < 0 && errno == EINTR)
            continue;
        same = n > 0 && std::memcmp(buffer, bytes + at, static_cast<size_t>(n)) == 0;
        at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ::close(fd);
    return same;
}

uint64_t fnv1a(const unsigned char* data, size_t size)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

} // namespace

std::string utf8Name(const aiString& name, Summary& summary)
{
    const auto* p = reinterpret_cast<const unsigned char*>(name.C_Str());
    const size_t n = std::strlen(name.C_Str());
    if (tavrin::text::isValidUtf8(std::string_view(name.C_Str(), n)))
        return std::string(name.C_Str(), n);
    summary.changed("name_not_utf8", "names not in UTF-8, read as Latin-1");
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80) {
            out += char(p[i]);
        } else {
            out += char(0xC0 | (p[i] >> 6));
            out += char(0x80 | (p[i] & 0x3F));
        }
    }
    return out;
}

std::string lowerCase(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::unique_ptr<sim::Material> MaterialImporter::material(const aiMaterial& m, unsigned index)
{
    auto out = std::make_unique<sim::Material>();
    out->type = kStandardMaterial;
    aiString name;
    out->name = m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS && name.length > 0 ? utf8Name(name, summary_)
                                                                             : "Material " + std::to_string(index);
    out->channels[0] = true;
    aiColor4D colour(0.8f, 0.8f, 0.8f, 1.0f);
    if (m.Get(AI_MATKEY_BASE_COLOR, colour) != AI_SUCCESS)
        m.Get(AI_MATKEY_COLOR_DIFFUSE, colour);
    Vec3 diffuse{colour.r, colour.g, colour.b};
    if (!finite(diffuse)) {
        summary_.changed("non_finite_data", "non-finite material colours, made grey");
        diffuse = {0.8, 0.8, 0.8};
    }
    out->params[kMaterialColor] = diffuse;
    out->params[kMaterialBrightness] = 1.0;

    aiString file;
    // assimp names "$texture_dummy.bmp" where a Quake model names no skin of its own: the
    // model has no texture, so none is looked for or reported missing.
    if ((m.GetTexture(aiTextureType_DIFFUSE, 0, &file) == AI_SUCCESS ||
         m.GetTexture(aiTextureType_BASE_COLOR, 0, &file) == AI_SUCCESS) &&
        std::strcmp(file.C_Str(), "$texture_dummy.bmp") != 0) {
        const std::string path = texturePath(file.C_Str());
        if (!path.empty()) {
            auto shader = std::make_unique<sim::Shader>();
            shader->type = kBitmapShader;
            shader->name = "Diffuse texture";
            shader->params[1000] = sim::FilenameValue{path};
            out->params[kColorShader] = sim::Link{shader.get()};
            out->shaders.push_back(std::move(shader));
        }
    }
    leftOut(m);
    return out;
}

// Counts the material properties the host's standard material does not take.
void MaterialImporter::leftOut(const aiMaterial& m)
{
    float f = 0;
    if (m.Get(AI_MATKEY_METALLIC_FACTOR, f) == AI_SUCCESS || m.Get(AI_MATKEY_ROUGHNESS_FACTOR, f) == AI_SUCCESS)
        summary_.add("material_parameter", "PBR metallic and roughness factors");
    for (int t = aiTextureType_NONE + 1; t < aiTextureType_UNKNOWN + 1; ++t) {
        const auto type = static_cast<aiTextureType>(t);
        const unsigned count = m.GetTextureCount(type);
        const bool diffuse = type == aiTextureType_DIFFUSE || type == aiTextureType_BASE_COLOR;
        if (count > (diffuse ? 1u : 0u))
            summary_.add("texture_kind", std::string(aiTextureTypeToString(type)) + " textures" +
                         (diffuse ? " after the first" : ""));
    }
    aiString diffuse, base;
    if (m.GetTexture(aiTextureType_DIFFUSE, 0, &diffuse) == AI_SUCCESS &&
        m.GetTexture(aiTextureType_BASE_COLOR, 0, &base) == AI_SUCCESS && diffuse != base)
        summary_.add("texture_kind", "base colour textures beside a different diffuse texture");
}

// The file a bitmap shader names: an embedded texture written to the cache, or the
// model's file name taken relative to the model's folder.
std::string MaterialImporter::texturePath(const std::string& name)
{
    if (const aiTexture* embedded = scene_.GetEmbeddedTexture(name.c_str()))
        return writeEmbedded(*embedded);
    if (!name.empty() && name[0] == '*') {
        summary_.missing("texture_not_found", "embedded textures the materials refer to");
        return {};
    }
    std::string written = name;
    std::replace(written.begin(), written.end(), '\\', '/');
    const fs::path given(written);
    // A texture outside the model root is neither read nor named in the document: the
    // renderer would open it too.
    const fs::path beside = (folder_ / given).lexically_normal();
    const auto refused = [&](const std::string& file) {
        summary_.add(kOutsideModelRoot, "texture \"" + file + "\", outside the model root " + root_.folder());
        return std::string();
    };
    if (given.is_absolute() && readable(given))
        return root_.admits(written) ? written : refused(written);
    if (!given.is_absolute() && readable(beside))
        return root_.admits(beside.string()) ? beside.string() : refused(written);
    const std::string found = textureElsewhere(given.filename().string());
    if (!found.empty() && !root_.admits(found))
        return refused(found);
    // A name that is found nowhere is kept only where it would lie inside the root.
    if (found.empty() && root_.leadsOut(given.is_absolute() ? written : beside.string()))
        return refused(written);
    if (found.empty()) {
        // Left as written: the plug-in looks for it in the document's folders and reports it.
        summary_.missing("", "texture files");
        return written;
    }
    summary_.changed("texture_renamed", "texture \"" + written + "\", found as " + found);
    return found;
}

// A texture named by a path of another machine, or in another letter case: its last path
// component beside the model or in a "tex" or "textures" folder there, as written, else
// in any letter case. Empty when none is found.
std::string MaterialImporter::textureElsewhere(const std::string& leaf)
{
    if (leaf.empty() || leaf == "." || leaf == "..")
        return {};
    const fs::path places[] = {folder_, folder_ / "tex", folder_ / "textures"};
    for (const fs::path& place : places)
        if (readable(place / leaf))
            return (place / leaf).string();
    // In any letter case: the file's name, and the texture folders' names ("Textures").
    const std::string wanted = lowerCase(leaf);
    std::vector<fs::path> folders{folder_};
    for (const std::string& name : names(folder_)) {
        const std::string lower = lowerCase(name);
        std::error_code ec;
        if ((lower == "tex" || lower == "textures") && fs::is_directory(folder_ / name, ec))
            folders.push_back(folder_ / name);
    }
    for (const fs::path& place : folders)
        for (const std::string& name : names(place))
            if (lowerCase(name) == wanted && readable(place / name))
                return (place / name).string();
    return {};
}

// The names in a folder, listed once per import (at most 100,000 of them).
const std::vector<std::string>& MaterialImporter::names(const fs::path& folder)
{
    auto listed = listings_.find(folder.string());
    if (listed == listings_.end()) {
        constexpr size_t kMostNames = 100000;
        std::vector<std::string> found;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end && found.size() < kMostNames;
             it.increment(ec))
            found.push_back(it->path().filename().string());
        listed = listings_.emplace(folder.string(), std::move(found)).first;
    }
    return listed->second;
}

std::string MaterialImporter::writeEmbedded(const aiTexture& t)
{
    if (t.mHeight != 0 || !t.pcData) {
        summary_.add("texture_not_decoded", "uncompressed embedded textures");
        return {};
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(t.pcData);
    const size_t size = t.mWidth;
    std::string hint = lowerCase(std::string(t.achFormatHint, strnlen(t.achFormatHint, sizeof t.achFormatHint)));
    if (hint.empty() || !std::all_of(hint.begin(), hint.end(), [](char c) { return std::isalnum((unsigned char)c); }))
        hint = "bin";
    char leaf[48];
    std::snprintf(leaf, sizeof leaf, "%016llx.%s", static_cast<unsigned long long>(fnv1a(bytes, size)),
                  hint.c_str());
    std::error_code ec;
    std::string why;
    if (cache_.empty()) {
        // The default cache is found (and made) only when a model embeds a texture.
        cache_ = defaultTextureCache(&why);
        if (cache_.empty()) {
            summary_.add("texture_not_written", "embedded textures, no texture cache (" + why + ")");
            return {};
        }
    } else {
        fs::create_directories(cache_, ec);
    }
    const fs::path target = fs::path(cache_) / leaf;
    // Named by content, but a file already there is used only when it holds these bytes;
    // anything else in its place (another file, a link) is replaced, never written through.
    if (holdsBytes(target, bytes, size) ||
        tavrin::files::writeFileAtomically(target.string(), {reinterpret_cast<const char*>(bytes), size}, &why, 0600))
        return fs::absolute(target).string();
    summary_.add("texture_not_written", "embedded textures that could not be written to " + cache_);
    return {};
}

} // namespace modelimport
