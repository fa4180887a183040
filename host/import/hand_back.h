// The message in which the import's child process hands its result back to the parent
// (contained_import.h), and its reception. Both ends are one program on one machine, so
// numbers go in their native layout. The first byte says what follows:
//   'D' a document: the length of its head (64 bits), the head (the import's notes with
//       reason, line and count each; the document's packed JSON text, sim_document_pack.h;
//       the number of long arrays and the kind and element count of each), then the arrays'
//       elements back to back, as they lie in memory;
//   'E' an error: one line;
//   'M' the child ran out of memory: nothing more.
// A string goes as its length (64 bits) followed by its bytes. The receiver reads the
// arrays straight into the vectors the document will hold.
#pragma once

#include "import_summary.h"
#include "sim_document_pack.h"

#include <cstddef>
#include <string>
#include <vector>

namespace modelimport::handback {

constexpr char kDocument = 'D', kError = 'E', kOutOfMemory = 'M';

// Writes a document message to `fd`, the arrays straight from the document's memory (a
// pipe may take their pages by reference: the document must stay unchanged, and not be
// freed, until the process ends); false with errno set when a write fails.
bool sendDocument(int fd, const std::vector<ImportNote>& notes, const sim::Document& doc);
// Writes an error message.
bool sendError(int fd, const std::string& error);
// Writes the out-of-memory message. Allocates nothing.
bool sendOutOfMemory(int fd);

// A document message as received.
struct DocumentMessage {
    std::vector<ImportNote> notes;
    std::string text;
    std::vector<sim::LongArray> arrays;
};

// Takes a message as the pipe delivers it: read into room(), then say how much came with
// took().
class Receiver {
public:
    // `arrayLimit`: the most bytes of arrays a document message may announce (the child's
    // memory limit: it cannot have held more); 0 for no limit.
    explicit Receiver(unsigned long long arrayLimit) : arrayLimit_(arrayLimit) {}

    // Where the next bytes go, and how many fit there.
    char* room(size_t& size);
    void took(size_t n);

    // Whether any byte came.
    bool started() const { return kind_ != 0; }
    bool outOfMemory() const { return kind_ == kOutOfMemory; }
    // The text of a complete error message.
    bool error(std::string& text) const;
    // The parts of a complete document message (moved out); false when the message is no
    // document, was cut short, is malformed or announces more than the limit.
    bool document(DocumentMessage& out);

private:
    void headComplete();
    void startArray();
    void arrayProgress();

    enum class Phase { Start, Whole, HeadLength, Head, Arrays, Done, Broken };
    unsigned long long arrayLimit_;
    char kind_ = 0;
    Phase phase_ = Phase::Start;
    std::string whole_;            // an error message after its kind byte; a document's head
    unsigned long long headBytes_ = 0;
    char staging_[1 << 16];        // what comes before the arrays is read here first
    bool direct_ = false;          // the last room given was in an array
    DocumentMessage message_;
    std::vector<size_t> counts_;   // the elements each array announced
    size_t array_ = 0;             // the array being filled
    size_t filled_ = 0;            // of its bytes
    char* target_ = nullptr;       // where its bytes go
    std::vector<char> segments_;   // the bytes of a selection array, set as pairs once complete
};

} // namespace modelimport::handback
