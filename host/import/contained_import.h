// Reads a model file in a child process, so that an assimp importer that crashes, loops or
// asks for more memory than the machine has takes down only the child. The child runs under
// CPU-time and address-space limits (setrlimit), the parent enforces a wall-clock time-out,
// and the child hands back the built document (packed: its text without the long arrays,
// and the arrays as they lie in memory, hand_back.h), together with the import summary. A
// model that reads fine gives the same document as importModel.
//
// In builds with AddressSanitizer the address-space limit is not set (the sanitizer's
// shadow memory needs terabytes of address space); the parent then watches the child's
// resident size instead (Linux /proc) and kills it past the same limit.
#pragma once

#include "model_import.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace modelimport {

struct ImportLimits {
    unsigned cpuSeconds = 30;           // RLIMIT_CPU of the child; 0: none
    unsigned wallSeconds = 45;          // the parent kills the child after this
    unsigned long long memoryBytes = 0; // RLIMIT_AS of the child; 0: none
};

// The limits for a model file: 30 s of CPU time and 45 s in all, plus one second of each
// per MiB of the file past the first, and 4 GiB of address space plus 256 bytes per byte of
// the file. A small file asking for gigabytes or looping is stopped well within a minute;
// a large model gets room in proportion to its size.
ImportLimits limitsFor(const std::string& path);

// True when the address-space limit can be applied in this build (else the resident size
// is watched).
bool memoryLimitApplies();

// The resident bytes of a process (Linux /proc; 0 where they cannot be read): what a parent
// watches where the address-space limit cannot be applied.
unsigned long long residentBytes(pid_t pid);

struct ContainedImport {
    std::unique_ptr<sim::Document> document; // null on failure
    std::string error;                       // one line naming the model and what happened
    std::vector<std::string> summary;        // the import summary's lines
    std::vector<ImportNote> notes;           // the same with their report reasons
};

// importModel in a child process under `limits`. The child is a fork of the caller that goes
// on running our code, so call this before the caller starts threads (c4dsim reads its model
// before it loads the plug-in). On failure the error names the model and
// says what happened: assimp's reason, "killed by signal SIGSEGV", "CPU time limit of 30 s
// exceeded", "memory limit of 4.0 GiB exceeded" or "timed out after 45 s (0.1 s of processor
// time used)".
ContainedImport importModelContained(const std::string& path, const LoadOptions& options,
                                     const ImportLimits& limits);
// The same under limitsFor(path).
ContainedImport importModelContained(const std::string& path, const LoadOptions& options);

} // namespace modelimport
