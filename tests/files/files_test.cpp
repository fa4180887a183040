// The shared file helpers against every kind of name a user or a document may hand over,
// and private files beside a target whose name someone else controls.
#include "files/private_file.h"
#include "files/regular_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace tavrin::files;

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/files-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

// Every helper agrees on what a name is: only a regular file (directly or through a link)
// opens, nothing blocks, and the reason names what is there instead.
TEST_F(Files, OnlyRegularFilesOpenAndNothingBlocks)
{
    std::ofstream(dir / "plain.png") << "pixels";
    fs::create_symlink(dir / "plain.png", dir / "link.png");
    fs::create_symlink(dir / "gone.png", dir / "dangling.png");
    fs::create_directory(dir / "folder.png");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    fs::create_symlink(dir / "pipe.png", dir / "link-to-pipe.png");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "socket.png").c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const struct {
        std::string name;
        const char* why; // empty: opens
    } cases[] = {
        {(dir / "plain.png").string(), ""},
        {(dir / "link.png").string(), ""},
        {(dir / "missing.png").string(), "No such file or directory"},
        {(dir / "dangling.png").string(), "No such file or directory"},
        {(dir / "folder.png").string(), "a folder, not a regular file"},
        {(dir / "pipe.png").string(), "a FIFO, not a regular file"},
        {(dir / "link-to-pipe.png").string(), "a FIFO, not a regular file"},
        {(dir / "socket.png").string(), "No such device or address"}, // a socket cannot be opened at all
        {"/dev/null", "a character device, not a regular file"},
        {"", "empty file name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool opens = *c.why == '\0';
        std::string why;
        EXPECT_EQ(isReadableRegularFile(c.name, &why), opens);
        EXPECT_EQ(why, c.why);

        why.clear();
        FILE* f = fopenRegular(c.name, &why);
        EXPECT_EQ(f != nullptr, opens);
        EXPECT_EQ(why, c.why);
        if (f != nullptr) {
            char text[16] = {};
            EXPECT_EQ(std::fread(text, 1, sizeof text, f), 6u); // blocking mode restored, reads as usual
            std::fclose(f);
        }

        std::string content;
        why.clear();
        EXPECT_EQ(readRegularFile(c.name, content, &why), opens);
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(content, opens ? "pixels" : "");
    }
    std::string content, why;
    EXPECT_FALSE(readRegularFile((dir / "plain.png").string(), content, &why, 5));
    EXPECT_EQ(why, "larger than 5 bytes");
    ::close(sock);
}

// A file made beside a target never follows a link planted where its name could be
// guessed, and the commit replaces a link at the target instead of writing through it.
TEST_F(Files, TemporaryBesideNeverWritesThroughAPlantedLink)
{
    std::ofstream(dir / "victim") << "keep me";
    const fs::path target = dir / "out.png";
    fs::create_symlink(dir / "victim", target);
    // Links under the names a predictable temporary would take.
    for (const char* suffix : {".part", ".tmp", ".XXXXXX", ".000000"})
        fs::create_symlink(dir / "victim", target.string() + suffix);

    {
        TemporaryBeside file(target.string());
        ASSERT_TRUE(file) << file.error();
        EXPECT_EQ(fs::path(file.path()).parent_path(), dir);
        struct stat st {};
        ASSERT_EQ(::lstat(file.path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 077, 0u); // private while being written
        ASSERT_EQ(::write(file.fd(), "new", 3), 3);
        ASSERT_TRUE(file.commit(0640)) << file.error();
    }
    EXPECT_EQ(readAll(dir / "victim"), "keep me");
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(readAll(target), "new");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));

    // Abandoned: nothing is left beside the target.
    const size_t before = static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
    { TemporaryBeside file((dir / "other").string()); }
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})), before);

    std::string why;
    ASSERT_TRUE(writeFileAtomically(target.string(), "again", &why)) << why;
    EXPECT_EQ(readAll(target), "again");
    EXPECT_EQ(readAll(dir / "victim"), "keep me");
}

// A folder of ours that anyone else may read, write or enter, by any one bit, is private
// again before it is used.
TEST_F(Files, PrivateFolderOpenToOthersInAnyBitIsMadePrivate)
{
    for (const unsigned mode : {0700u, 0701u, 0703u, 0707u, 0710u, 0740u, 0770u, 0777u}) {
        SCOPED_TRACE(mode);
        const fs::path folder = dir / std::to_string(mode);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        std::string why;
        EXPECT_TRUE(ensurePrivateFolder(folder.string(), &why)) << why;
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
}

} // namespace
