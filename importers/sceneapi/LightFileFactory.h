// The factory of the Export command: opens the scene file, makes the text writer over it
// with binary lists on, writes the file's header lines when a wrapper attaches, and at
// its end deletes the writer and closes the file.
//
// A regular target (or one that does not exist yet) is written to a temporary file beside
// it, which replaces the target only when closing succeeded; a failed export leaves the
// previous file as it was. The replacement keeps the target's mode, owner and group. A
// target with other names (hard links) is replaced the same way: the new scene takes the
// name given, the other names keep the previous scene (otherNames() counts them). Where
// replacing is not possible or would give another owner (a target the process may not
// write, a folder that admits no new file, an owner the process cannot keep), the target
// is written in place, under an exclusive lock held until it is closed. "-" writes to the
// process's standard output. A target that exists and is no regular file (a FIFO, a
// device, a folder) is refused: nothing is opened or written.
//
// From opening to closing, a write past the file-size limit fails like a full disk
// (SIGXFSZ is blocked on the calling thread meanwhile).
#pragma once

#include "LightFactory.h"

#include <cstdio>
#include <memory>
#include <string>

namespace tavrin::files {
class SizeLimitGuard;
}

namespace orv {

class orvScene_api_file;

class LightFileFactory : public LightFactory {
public:
    // How long an in-place export waits for another export holding the file's lock.
    static constexpr int kDefaultLockWaitMs = 15000;

    // Throws std::runtime_error("could not open file: \"<path>\": <reason>") when the file
    // cannot be opened, is no regular file, or another export holds its lock longer than
    // lockWaitMs ("it is locked by another export").
    explicit LightFileFactory(const std::string& path, int lockWaitMs = kDefaultLockWaitMs);
    // Performs close(); a failure is reported on standard error, never thrown.
    ~LightFileFactory() override;

    orvScene_api* getApi() override;
    void onAttach(orvSceneapi_oo* wrapper) override;
    // Deletes the writer and closes the file. Throws std::runtime_error("could not close
    // file \"<path>\": <reason>") when the file could not be written completely.
    void close() override;
    // Gives the export up: deletes the writer, closes the file and, when writing beside
    // the target, removes what was written so the previous file stays. Never throws.
    void abandon();
    // Bytes handed to the file or standard output so far (all of them once closed); after a
    // failed close, what the target holds of them (0 when it was written beside).
    unsigned long long bytesWritten() const { return written_; }
    // Other names of the target that keep the previous scene (0 unless it had hard links).
    unsigned long long otherNames() const { return otherNames_; }

private:
    orvScene_api_file* writer = nullptr;
    FILE* stream = nullptr;
    std::string targetPath;    // where the scene must end up
    std::string temporaryPath; // written instead of targetPath; empty when writing in place
    unsigned long long written_ = 0;
    unsigned long long otherNames_ = 0;
    std::unique_ptr<tavrin::files::SizeLimitGuard> sizeLimit_;
};

} // namespace orv
