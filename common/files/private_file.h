// Private files: a per-user cache folder, and files written beside their target under a
// name nobody can predict, then renamed into place.
//
// Nothing here follows a symbolic link that someone else may have planted: folders are
// checked to be ours and 0700, temporary files are created with mkstemp (O_EXCL), and the
// final rename replaces a link instead of writing through it.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::files {

// The per-user cache folder `<base>/<name>`, created 0700 when missing, where base is
// $XDG_CACHE_HOME, else $HOME/.cache, else a fresh private mkdtemp folder under $TMPDIR
// (or /tmp). An existing folder must be a real folder (not a link), owned by us, and not
// writable by group or others. Empty with `why` set when no such folder can be had.
std::string privateCacheFolder(std::string_view name, std::string* why = nullptr);

// Makes `path` a private folder (0700, ours, not a link), creating it when missing; its
// parent must exist. False with `why` set otherwise.
bool ensurePrivateFolder(const std::string& path, std::string* why = nullptr);

// Writes `bytes` to `target` atomically: a mkstemp file "<target>.XXXXXX" beside it,
// flushed and closed, then renamed over the target. The new file gets `mode` (subject to
// nothing else: it is fchmod'ed). False with `why` set, and no temporary left, on failure.
bool writeFileAtomically(const std::string& target, std::string_view bytes, std::string* why = nullptr,
                         unsigned mode = 0644);

// A file created with mkstemp beside `target` ("<target>.XXXXXX"), open for writing; the
// caller writes, closes and then calls commit() or abandons it (the destructor removes it).
class TemporaryBeside {
public:
    explicit TemporaryBeside(const std::string& target);
    ~TemporaryBeside();
    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Closes the descriptor when still open (keeping its error), sets `mode`, and renames
    // the file over the target. False with error() set; the temporary is then removed.
    bool commit(unsigned mode = 0644);
    // Closes the descriptor, reporting a failed close (a full disk can show only here).
    bool close();

private:
    std::string target_;
    std::string path_;
    std::string error_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace tavrin::files
