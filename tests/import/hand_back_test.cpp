// The import child's hand-back message: a document goes through whole in any cutting of the
// bytes into reads, and a message cut short, overlong or announcing more than the limit
// gives no document (and never a crash).
#include "hand_back.h"
#include "model_import.h"
#include "sim_host.h"
#include "sim_json_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace modelimport;

// The message sendDocument writes for a document (into a file: the arrays are written, not
// handed over by reference).
std::string messageOf(const sim::Document& doc, const std::vector<ImportNote>& notes)
{
    FILE* f = std::tmpfile();
    EXPECT_TRUE(f && handback::sendDocument(fileno(f), notes, doc));
    std::string bytes(static_cast<size_t>(::lseek(fileno(f), 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fileno(f), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    std::fclose(f);
    return bytes;
}

// The document a receiver makes of `bytes` handed over `chunk` bytes at a time; null when it
// makes none.
std::unique_ptr<sim::Document> received(const std::string& bytes, size_t chunk, unsigned long long limit = 0)
{
    handback::Receiver receiver(limit);
    for (size_t at = 0; at < bytes.size();) {
        size_t room = 0;
        char* into = receiver.room(room);
        const size_t n = std::min({room, chunk, bytes.size() - at});
        std::copy_n(bytes.data() + at, n, into);
        receiver.took(n);
        at += n;
    }
    handback::DocumentMessage message;
    if (!receiver.document(message))
        return nullptr;
    std::string error;
    auto doc = sim::unpackDocument(message.text, std::move(message.arrays), "", error);
    EXPECT_TRUE(doc) << error;
    return doc;
}

TEST(HandBack, DocumentsComeThroughWholeAndDamagedMessagesGiveNone)
{
    // A packaged model with several materials (selection tags), and the hair example.
    std::vector<std::unique_ptr<sim::Document>> docs;
    Summary summary;
    std::string error;
    const fs::path model = fs::path(TAVRIN_MODEL_CORPUS) / "OBJ" / "spider.obj";
    if (fs::is_regular_file(model))
        docs.push_back(importModel(model.string(), {}, summary, error));
    docs.push_back(sim::loadDocument(std::string(TAVRIN_SOURCE_DIR) + "/examples/hair.json", error));
    const std::vector<ImportNote> notes = {{"reason", "not carried over: things", 3}};
    for (const auto& doc : docs) {
        ASSERT_TRUE(doc) << error;
        const std::string bytes = messageOf(*doc, notes);
        const std::string expected = sim::documentJson(*doc);
        for (size_t chunk : {bytes.size(), size_t{7}, size_t{1} << 16}) {
            auto whole = received(bytes, chunk);
            ASSERT_TRUE(whole) << chunk;
            EXPECT_EQ(sim::documentJson(*whole), expected);
        }
        // Cut short anywhere (in the kind, the head's length, the head, the arrays), or
        // with a byte too many.
        for (size_t keep : {size_t{0}, size_t{1}, size_t{5}, size_t{200}, bytes.size() / 2, bytes.size() - 1})
            EXPECT_FALSE(received(bytes.substr(0, keep), 4096)) << keep;
        EXPECT_FALSE(received(bytes + 'x', 4096));
        // Arrays past the child's memory limit are not taken.
        EXPECT_FALSE(received(bytes, 4096, 64));
    }
    handback::Receiver receiver(0);
    size_t room = 0;
    receiver.room(room)[0] = handback::kOutOfMemory;
    receiver.took(1);
    EXPECT_TRUE(receiver.outOfMemory());
}

} // namespace
