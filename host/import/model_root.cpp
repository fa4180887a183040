#include "model_root.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace modelimport {

namespace {

namespace fs = std::filesystem;

// The path with every link resolved; empty when it does not exist.
std::string resolved(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return {};
    std::string out = real;
    std::free(real);
    return out;
}

} // namespace

ModelRoot::ModelRoot(const std::string& modelPath, const std::string& root)
{
    if (!root.empty()) {
        folder_ = resolved(root);
        return;
    }
    // The model's folder with its links resolved, and the folder above it.
    std::error_code ec;
    const fs::path own = fs::absolute(fs::path(modelPath), ec).parent_path();
    const std::string real = resolved(own.empty() ? std::string(".") : own.string());
    folder_ = real.empty() ? real : fs::path(real).parent_path().string();
}

bool ModelRoot::inside(const std::string& real) const
{
    if (folder_.empty() || real.empty())
        return false;
    if (folder_ == "/")
        return true;
    return real == folder_ || (real.size() > folder_.size() && real.compare(0, folder_.size(), folder_) == 0 &&
                               real[folder_.size()] == '/');
}

void ModelRoot::refuse(const std::string& path)
{
    if (std::find(refused_.begin(), refused_.end(), path) == refused_.end())
        refused_.push_back(path);
}

bool ModelRoot::admits(const std::string& path)
{
    const std::string real = resolved(path);
    if (real.empty())
        return false;
    if (inside(real))
        return true;
    // Readers look at folders too on their way to a file; only files count as refused.
    std::error_code ec;
    if (!fs::is_directory(real, ec))
        refuse(path);
    return false;
}

bool ModelRoot::leadsOut(const std::string& path)
{
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(fs::absolute(fs::path(path), ec), ec);
    if (ec || inside(real.string()))
        return false;
    refuse(path);
    return true;
}

} // namespace modelimport
