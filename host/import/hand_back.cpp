#include "hand_back.h"

#include "files/fd_write.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace modelimport::handback {

namespace {

using tavrin::files::writeAll;

void putNumber(std::string& out, uint64_t n) { out.append(reinterpret_cast<const char*>(&n), sizeof n); }

void putString(std::string& out, const std::string& s)
{
    putNumber(out, s.size());
    out += s;
}

// Hands bytes to a pipe by reference where the system can (vmsplice: the pipe takes the
// pages, not a copy of them), else writes them. The bytes must stay as they are until the
// reader has taken them.
bool giveAll(int fd, const char* data, size_t size)
{
#ifdef __linux__
    while (size > 0) {
        iovec v{const_cast<char*>(data), size};
        const ssize_t n = ::vmsplice(fd, &v, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // not a pipe, or not allowed: the rest is written
        data += n;
        size -= static_cast<size_t>(n);
    }
#endif
    return writeAll(fd, data, size);
}

// A reader of a message part that never goes past its end.
class Cursor {
public:
    explicit Cursor(const std::string& in) : in_(in) {}

    bool number(uint64_t& n)
    {
        if (left() < sizeof n)
            return false;
        std::memcpy(&n, in_.data() + at_, sizeof n);
        at_ += sizeof n;
        return true;
    }
    bool string(std::string& s)
    {
        uint64_t n = 0;
        if (!number(n) || left() < n)
            return false;
        s.assign(in_, at_, static_cast<size_t>(n));
        at_ += static_cast<size_t>(n);
        return true;
    }
    size_t left() const { return in_.size() - at_; }

private:
    const std::string& in_;
    size_t at_ = 0;
};

// Sizes a vector for `count` elements. Its memory is made present in one call first where
// the system offers it (MADV_POPULATE_WRITE, Linux 5.14): a large array would otherwise
// take a page fault per page as it is filled, which costs several times as much.
template <typename T>
char* sized(std::vector<T>& v, size_t count)
{
    v.reserve(count);
#if defined(__linux__)
    constexpr int kPopulateWrite = 23; // MADV_POPULATE_WRITE, where the headers predate it
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<uintptr_t>(v.data()) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<uintptr_t>(v.data() + count)) & ~(page - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
#endif
    v.resize(count);
    return reinterpret_cast<char*>(v.data());
}

// Where the elements of an array sized for `count` go. Selection records are pairs, which
// are not filled as bytes: they go through `segments` and are set once complete.
char* storage(sim::LongArray& a, size_t count, std::vector<char>& segments)
{
    switch (a.kind) {
    case sim::PackedKind::Points:
    case sim::PackedKind::HairPoints:
    case sim::PackedKind::RootUV: return sized(a.vec3, count);
    case sim::PackedKind::Polygons: return sized(a.polygons, count);
    case sim::PackedKind::Normals: return sized(a.normals, count);
    case sim::PackedKind::Uvw: return sized(a.uvw, count);
    case sim::PackedKind::Segments: return sized(segments, count * 8);
    }
    return nullptr;
}

} // namespace

bool sendDocument(int fd, const std::vector<ImportNote>& notes, const sim::Document& doc)
{
    const sim::PackedDocument packed = sim::packDocument(doc);
    std::string head;
    putNumber(head, notes.size());
    for (const ImportNote& note : notes) {
        putString(head, note.reason);
        putString(head, note.line);
        putNumber(head, note.count);
    }
    putString(head, packed.text);
    putNumber(head, packed.arrays.size());
    for (const sim::PackedArray& a : packed.arrays) {
        putNumber(head, static_cast<uint64_t>(a.kind));
        putNumber(head, a.count);
    }
    std::string start(1, kDocument);
    putNumber(start, head.size());
    if (!writeAll(fd, start) || !writeAll(fd, head))
        return false;
    for (const sim::PackedArray& a : packed.arrays)
        if (!giveAll(fd, static_cast<const char*>(a.data), a.count * sim::packedElementBytes(a.kind)))
            return false;
    return true;
}

bool sendError(int fd, const std::string& error)
{
    std::string message(1, kError);
    putString(message, error);
    return writeAll(fd, message);
}

bool sendOutOfMemory(int fd)
{
    const char kind = kOutOfMemory;
    return writeAll(fd, &kind, 1);
}

char* Receiver::room(size_t& size)
{
    if (phase_ == Phase::Arrays) {
        sim::LongArray& a = message_.arrays[array_];
        const size_t bytes = counts_[array_] * sim::packedElementBytes(a.kind);
        size = bytes - filled_;
        direct_ = true;
        return target_ + filled_;
    }
    size = sizeof staging_;
    direct_ = false;
    return staging_;
}

void Receiver::took(size_t n)
{
    try {
        if (direct_) {
            filled_ += n;
            arrayProgress();
            return;
        }
        const char* p = staging_;
        while (n > 0) {
            size_t used = n;
            switch (phase_) {
            case Phase::Start:
                kind_ = p[0];
                used = 1;
                phase_ = kind_ == kDocument ? Phase::HeadLength : kind_ == kError ? Phase::Whole
                         : kind_ == kOutOfMemory                       ? Phase::Done
                                                                       : Phase::Broken;
                break;
            case Phase::Whole:
                whole_.append(p, n);
                break;
            case Phase::HeadLength:
                used = std::min(n, sizeof(uint64_t) - whole_.size());
                whole_.append(p, used);
                if (whole_.size() == sizeof(uint64_t)) {
                    std::memcpy(&headBytes_, whole_.data(), sizeof headBytes_);
                    whole_.clear();
                    // The head is a fraction of what the child held.
                    phase_ = arrayLimit_ > 0 && headBytes_ > arrayLimit_ ? Phase::Broken : Phase::Head;
                    if (phase_ == Phase::Head && headBytes_ == 0)
                        headComplete();
                }
                break;
            case Phase::Head:
                used = static_cast<size_t>(std::min<unsigned long long>(n, headBytes_ - whole_.size()));
                whole_.append(p, used);
                if (whole_.size() == headBytes_)
                    headComplete();
                break;
            case Phase::Arrays: {
                size_t size = 0;
                char* at = room(size);
                used = std::min(n, size);
                std::memcpy(at, p, used);
                filled_ += used;
                arrayProgress();
                break;
            }
            case Phase::Done:
                // An out-of-memory message says all in its kind; anything after a document
                // is more than it announced.
                if (kind_ == kDocument)
                    phase_ = Phase::Broken;
                break;
            case Phase::Broken:
                break;
            }
            p += used;
            n -= used;
        }
    } catch (const std::bad_alloc&) {
        // Arrays the parent cannot hold: the hand-over fails, and what was taken goes.
        phase_ = Phase::Broken;
        message_ = DocumentMessage{};
        segments_ = {};
    }
}

void Receiver::headComplete()
{
    Cursor in(whole_);
    uint64_t notes = 0, arrays = 0;
    bool ok = in.number(notes);
    for (uint64_t i = 0; ok && i < notes; ++i) {
        ImportNote note;
        uint64_t times = 0;
        ok = in.string(note.reason) && in.string(note.line) && in.number(times);
        note.count = static_cast<size_t>(times);
        if (ok)
            message_.notes.push_back(std::move(note));
    }
    ok = ok && in.string(message_.text) && in.number(arrays) && arrays <= in.left() / (2 * sizeof(uint64_t));
    unsigned long long total = 0;
    for (uint64_t i = 0; ok && i < arrays; ++i) {
        uint64_t kind = 0, count = 0;
        ok = in.number(kind) && in.number(count) && kind < sim::kPackedKinds;
        if (!ok)
            break;
        const auto packedKind = static_cast<sim::PackedKind>(kind);
        const size_t element = sim::packedElementBytes(packedKind);
        const unsigned long long most = arrayLimit_ > 0 ? arrayLimit_ : std::numeric_limits<size_t>::max();
        ok = count <= (most - total) / element;
        total += count * element;
        message_.arrays.push_back(sim::LongArray{packedKind, {}, {}, {}, {}, {}});
        counts_.push_back(static_cast<size_t>(count));
    }
    ok = ok && in.left() == 0;
    whole_ = {};
    if (!ok) {
        phase_ = Phase::Broken;
        message_ = DocumentMessage{};
        return;
    }
    array_ = 0;
    phase_ = Phase::Arrays;
    startArray();
}

// Sizes the array to fill next, passing over empty ones; Done after the last.
void Receiver::startArray()
{
    while (array_ < counts_.size() && counts_[array_] == 0)
        ++array_;
    if (array_ == counts_.size()) {
        phase_ = Phase::Done;
        return;
    }
    filled_ = 0;
    target_ = storage(message_.arrays[array_], counts_[array_], segments_);
}

// Moves on once the array being filled is complete.
void Receiver::arrayProgress()
{
    sim::LongArray& a = message_.arrays[array_];
    if (filled_ < counts_[array_] * sim::packedElementBytes(a.kind))
        return;
    if (a.kind == sim::PackedKind::Segments) {
        a.segments.resize(counts_[array_]);
        for (size_t i = 0; i < a.segments.size(); ++i) {
            std::memcpy(&a.segments[i].first, segments_.data() + 8 * i, 4);
            std::memcpy(&a.segments[i].second, segments_.data() + 8 * i + 4, 4);
        }
    }
    ++array_;
    startArray();
}

bool Receiver::error(std::string& text) const
{
    if (kind_ != kError)
        return false;
    Cursor in(whole_);
    return in.string(text);
}

bool Receiver::document(DocumentMessage& out)
{
    if (kind_ != kDocument || phase_ != Phase::Done)
        return false;
    out = std::move(message_);
    message_ = DocumentMessage{};
    return true;
}

} // namespace modelimport::handback
