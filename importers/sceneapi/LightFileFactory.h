// The factory of the Export command: opens the scene file, makes the text writer over it
// with binary lists on, writes the file's header lines when a wrapper attaches, and at
// its end deletes the writer and closes the file.
//
// A regular target (or one that does not exist yet) is written to a temporary file beside
// it, which replaces the target only when closing succeeded; a failed export leaves the
// previous file as it was. The replacement keeps the target's mode, owner and group. Where
// replacing would give another result than writing in place (a target the process may not
// write, one with more than one name, one whose owner the process cannot keep), the
// target is written in place, under an exclusive lock held until it is closed. "-"
// writes to the process's standard output. A target that exists and is no regular file (a
// FIFO, a device, a folder) is refused: nothing is opened or written.
#pragma once

#include "LightFactory.h"

#include <cstdio>
#include <string>

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
    // file") when the file could not be written completely.
    void close() override;
    // Gives the export up: deletes the writer, closes the file and, when writing beside
    // the target, removes what was written so the previous file stays. Never throws.
    void abandon();
    // Bytes handed to the file or standard output so far (all of them once closed).
    unsigned long long bytesWritten() const { return written_; }

private:
    orvScene_api_file* writer = nullptr;
    FILE* stream = nullptr;
    std::string targetPath;    // where the scene must end up
    std::string temporaryPath; // written instead of targetPath; empty when writing in place
    unsigned long long written_ = 0;
};

} // namespace orv
