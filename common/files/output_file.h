// Files the tools write where the user tells them (a report, a document, a picture), handled
// as Export handles its scene file:
//
// - a target that exists and is no regular file (a FIFO, a device, a folder, a socket) is
//   refused before anything is opened, so nothing waits for a reader or lands in a device;
// - a symbolic link of our own is followed: the file it names is replaced and the link
//   stays; a link of another user (planted in a shared folder) is itself replaced, never
//   written through; a link that leads nowhere is refused;
// - the new content is written to a private temporary file beside the target and renamed
//   over it only when complete, so an interrupted or failed write leaves the old file whole;
// - an existing file keeps its mode, and its owner and group where the process may give
//   them; other names (hard links) of it keep the old content, and otherNames() counts them;
// - a write past the file-size limit fails like a full disk (SizeLimitGuard).
//
// The temporary files of the outputs open at a moment are known to
// removeOutputTemporaries(), which a tool's signal handler may call.
#pragma once

#include "files/private_file.h"
#include "files/size_limit.h"

#include <memory>
#include <string>
#include <string_view>

namespace tavrin::files {

class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    explicit operator bool() const { return temporary_ && *temporary_; }
    // The temporary file to write into (-1 when the target was refused).
    int fd() const { return temporary_ ? temporary_->fd() : -1; }
    // "PATH: reason" once something failed.
    const std::string& error() const { return error_; }
    // Gives the file the target's mode and owner (0644 for a new one) and renames it over
    // the target. False with error() set; the temporary is then removed.
    bool commit();
    unsigned long long otherNames() const { return otherNames_; }

private:
    std::string path_;
    std::string error_;
    std::unique_ptr<TemporaryBeside> temporary_;
    SizeLimitGuard sizeLimit_;
    bool existed_ = false;
    unsigned mode_ = 0644;
    unsigned uid_ = 0;
    unsigned gid_ = 0;
    unsigned long long otherNames_ = 0;
    int slot_ = -1;
};

// Writes `bytes` to `path` through an OutputFile. False with `why` ("PATH: reason") set.
bool writeOutputFile(const std::string& path, std::string_view bytes, std::string* why = nullptr,
                     unsigned long long* otherNames = nullptr);

// A target that exists and is no regular file, or a link that leads nowhere: the reason
// ("a FIFO, not a regular file"); empty when the path may be written.
std::string refusedOutput(const std::string& path);

// Removes the temporary files of the outputs open now. Safe in a signal handler.
void removeOutputTemporaries();

} // namespace tavrin::files
