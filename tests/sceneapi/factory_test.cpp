// The scene file factory: header lines, "-", open and close failures, safe replacement.
#include "LightFileFactory.h"
#include "orvSceneapi_oo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using orv::LightFileFactory;
using orv::orvSceneapi_oo;

namespace {

const std::string header = "//---orvane:dal:7---\n//---import:dal:1---\n//---id:1---\n"
                           "// This is a Tavrin scene file\n\n";

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Exports one group through a wrapper, as the Export command does.
void exportGroup(LightFileFactory& factory, const std::string& group)
{
    orvSceneapi_oo* oo = new orvSceneapi_oo(&factory);
    oo->beginGroup(group);
    oo->endGroup();
    delete oo;
}

class FileFactory : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sceneapi-factory-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    size_t entries() const
    {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
    }
    std::string dir;
};

// Runs body in a child process; the child's exit code is the number of failed checks.
template <class Body> int inChild(Body body)
{
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Drops a child's privileges to another user, as an unprivileged exporter runs.
bool becomeUser(uid_t uid)
{
    return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0;
}

// Exports a group named `group` with `count` ints in the child, as user `uid` when given:
// 0 written, 1 refused with "could not open file", 2 anything else.
int exportAs(const std::string& path, std::optional<uid_t> uid, const std::string& group = "new", int count = 1)
{
    return inChild([&] {
        if (uid && !becomeUser(*uid)) return 2;
        try {
            LightFileFactory factory(path);
            orvSceneapi_oo oo(&factory);
            oo.beginGroup(group);
            oo.setIntArray("v", std::vector<int>(static_cast<size_t>(count), 7));
            oo.endGroup();
            factory.close();
            return 0;
        } catch (const std::runtime_error& e) {
            return std::string(e.what()).rfind("could not open file: ", 0) == 0 ? 1 : 2;
        }
    });
}

} // namespace

TEST_F(FileFactory, FileStartsWithHeaderBannerAndVersion)
{
    const std::string path = dir + "/scene.qrf";
    {
        LightFileFactory factory(path);
        exportGroup(factory, "doc");
    }
    EXPECT_EQ(readFile(path), header + "#print \"" + orvSceneapi_oo::banner() +
                                  "\"\nversion 9\n\n\ngroup \"doc\" {\n}\n");
}

TEST_F(FileFactory, ReplacesAnExistingFileKeepingItsMode)
{
    const std::string path = dir + "/scene.qrf";
    writeFile(path, std::string(10000, 'x'));
    chmod(path.c_str(), 0640);
    {
        LightFileFactory factory(path);
        exportGroup(factory, "new");
        EXPECT_EQ(readFile(path), std::string(10000, 'x')); // untouched until closed
    }
    EXPECT_EQ(readFile(path).substr(0, header.size()), header);
    EXPECT_EQ(readFile(path).find('x'), std::string::npos);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), 1u); // no temporary left behind

    // A new file gets the mode fopen would give it.
    const mode_t old = umask(027);
    { LightFileFactory factory(dir + "/fresh.qrf"); }
    umask(old);
    ASSERT_EQ(stat((dir + "/fresh.qrf").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // Through a link: the file it names is replaced, the link stays.
    ASSERT_EQ(symlink("scene.qrf", (dir + "/link.qrf").c_str()), 0);
    {
        LightFileFactory factory(dir + "/link.qrf");
        exportGroup(factory, "linked");
    }
    struct stat link;
    ASSERT_EQ(lstat((dir + "/link.qrf").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_NE(readFile(path).find("group \"linked\""), std::string::npos);

    // A dangling link: the file it names is made, as fopen would.
    ASSERT_EQ(symlink("made.qrf", (dir + "/dangling.qrf").c_str()), 0);
    { LightFileFactory factory(dir + "/dangling.qrf"); }
    ASSERT_EQ(lstat((dir + "/dangling.qrf").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + "/made.qrf"));
}

TEST_F(FileFactory, CannotOpen)
{
    ::testing::internal::CaptureStderr();
    try {
        LightFileFactory factory("/no/such/dir/x.qrf");
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "could not open file: \"/no/such/dir/x.qrf\": No such file or directory");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "opening file: No such file or directory\n");
}

// A target that exists and is no regular file is refused with its kind before anything is
// opened: a FIFO would block the export (or swallow a small scene), a device would throw
// the scene away.
TEST_F(FileFactory, TargetsThatAreNoRegularFileAreRefused)
{
    const std::string fifo = dir + "/pipe.qrf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(symlink("pipe.qrf", (dir + "/link.qrf").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/folder.qrf").c_str(), 0755), 0);
    const struct {
        std::string path;
        const char* why;
    } cases[] = {
        {fifo, "a FIFO, not a regular file"},
        {dir + "/link.qrf", "a FIFO, not a regular file"},
        {dir + "/folder.qrf", "a folder, not a regular file"},
        {"/dev/null", "a character device, not a regular file"},
        {"/dev/full", "a character device, not a regular file"},
    };
    for (const auto& c : cases) {
        try {
            LightFileFactory factory(c.path);
            ADD_FAILURE() << c.path << " opened";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "could not open file: \"" + c.path + "\": " + c.why);
        }
    }
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(entries(), 3u); // no temporary, nothing new
}

// Where the file is written in place, an export that holds its lock past the wait is named
// as the reason, and the file stays as it was.
TEST_F(FileFactory, ALockHeldPastTheWaitIsNamed)
{
    // A shared file in a folder where the exporter may make no file: written in place.
    if (geteuid() != 0) GTEST_SKIP() << "an exporter of another user needs root";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string path = dir + "/scene.qrf";
    writeFile(path, "previous");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const int held = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const int refused = inChild([&] {
        if (!becomeUser(65534)) return 2;
        try {
            LightFileFactory factory(path, 200);
            return 3;
        } catch (const std::runtime_error& e) {
            return std::string(e.what()) ==
                           "could not open file: \"" + path + "\": it is locked by another export (waited 0.2 s)"
                       ? 0
                       : 1;
        }
    });
    EXPECT_EQ(refused, 0);
    ::close(held);
    EXPECT_EQ(readFile(path), "previous");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FileFactory, FailedExportKeepsThePreviousFile)
{
    const std::string path = dir + "/scene.qrf";
    writeFile(path, "previous");
    // The file size limit makes writes fail part way, as a full disk would.
    const int failures = inChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        int bad = 0;
        try {
            LightFileFactory factory(path);
            orvSceneapi_oo oo(&factory);
            std::vector<int> many(100000, 7);
            oo.setIntArray("big", many);
            oo.beginGroup("after the failure");
            oo.endGroup();
            factory.close();
            ++bad;
        } catch (const std::runtime_error& e) {
            bad += std::string(e.what()).find("could not close file \"") != 0 ||
                       std::string(e.what()).find(": File too large") == std::string::npos;
        }
        return bad;
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(readFile(path), "previous");
    EXPECT_EQ(entries(), 1u);

    {
        LightFileFactory factory(path);
        exportGroup(factory, "given up");
        factory.abandon();
    }
    EXPECT_EQ(readFile(path), "previous");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(FileFactory, WriteFailureIsReportedAtClose)
{
    // The file size limit makes writes fail as a full disk would: a small scene only when
    // its buffer is flushed at close, a large one on the way.
    const int failures = inChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        int bad = 0;
        for (size_t size : {size_t(10), size_t(1) << 20}) {
            LightFileFactory factory(dir + "/full" + std::to_string(size) + ".qrf");
            orvSceneapi_oo oo(&factory);
            oo.setIntArray("v", std::vector<int>(size, 1));
            try {
                factory.close();
                ++bad;
            } catch (const std::runtime_error& e) {
                bad += std::string(e.what()).find("could not close file \"") != 0 ||
                       std::string(e.what()).find(": File too large") == std::string::npos;
            }
        }
        // The destructor reports and never throws.
        try {
            LightFileFactory factory(dir + "/destructor.qrf");
            exportGroup(factory, "g");
        } catch (...) {
            ++bad;
        }
        return bad;
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(entries(), 0u); // nothing half written is left
}

TEST_F(FileFactory, DashWritesToStandardOutputAndMovesItAside)
{
    const std::string out = dir + "/out", err = dir + "/err";
    const int failures = inChild([&] {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        try {
            LightFileFactory factory("-");
            exportGroup(factory, "piped");
            if (write(1, "later\n", 6) != 6) return 1;
        } catch (...) {
            return 1;
        }
        return 0;
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(readFile(out).substr(0, header.size()), header);
    EXPECT_NE(readFile(out).find("group \"piped\""), std::string::npos);
    EXPECT_EQ(readFile(err), "later\n");
}

// Replacing the target must leave what writing it in place would: the same permission to
// write, the same file under every name, the same owner.
TEST_F(FileFactory, ReplacementKeepsWhatWritingInPlaceWouldKeep)
{
    const uid_t nobody = 65534, other = 4242;
    const bool root = geteuid() == 0;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const struct Case {
        const char* what;
        bool needsRoot;
        mode_t folderMode;
        uid_t owner;      // of the target
        mode_t fileMode;
        std::optional<uid_t> exporter;
        int result;       // of exportAs
        bool secondName;  // the target has a hard link
    } cases[] = {
        {"read-only file of root, unprivileged exporter", true, 0777, 0, 0444, nobody, 1, false},
        {"file with a second name", false, 0755, geteuid(), 0644, std::nullopt, 0, true},
        {"file of another user, exported by root", true, 0755, other, 0640, std::nullopt, 0, false},
        {"sticky folder, shared file of another user", true, 01777, other, 0666, nobody, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) continue; // needs files of other users
        const std::string folder = dir + "/" + std::to_string(&c - cases);
        const std::string path = folder + "/scene.qrf";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        writeFile(path, "previous");
        if (c.secondName) {
            ASSERT_EQ(link(path.c_str(), (folder + "/other name").c_str()), 0);
        }
        ASSERT_EQ(chown(path.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(path.c_str(), c.fileMode), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
        struct stat before, after;
        ASSERT_EQ(stat(path.c_str(), &before), 0);

        EXPECT_EQ(exportAs(path, c.exporter), c.result);
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        const std::string text = readFile(path);
        EXPECT_EQ(text == "previous", c.result != 0) << text.substr(0, 40);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        // A second name keeps the previous scene: replacing it in place could damage both.
        EXPECT_EQ(after.st_nlink, c.secondName && c.result == 0 ? 1u : before.st_nlink);
        if (c.secondName) {
            EXPECT_EQ(readFile(folder + "/other name"), "previous");
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), c.secondName ? 2 : 1);
    }
    if (!root) GTEST_SKIP() << "the cases with files of other users need root";
}

// Where the folder admits no file beside the target, exports write it in place, one after
// the other: the file holds one whole export, never a mix of two.
TEST_F(FileFactory, ExportsWritingInPlaceTakeTurns)
{
    const std::optional<uid_t> exporter = geteuid() == 0 ? std::optional<uid_t>(65534) : std::nullopt;
    const std::string path = dir + "/scene.qrf";
    const int counts[2] = {300000, 200000};
    std::string expected[2];
    for (int i = 0; i < 2; ++i) {
        const std::string reference = dir + "/ref" + std::to_string(i);
        ASSERT_EQ(exportAs(reference, std::nullopt, "g" + std::to_string(i), counts[i]), 0);
        expected[i] = readFile(reference);
        std::filesystem::remove(reference);
    }
    writeFile(path, "previous");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);

    int mixed = 0;
    for (int round = 0; round < 20; ++round) {
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        pid_t pids[2];
        for (int i = 0; i < 2; ++i) {
            pids[i] = fork();
            if (pids[i] == 0) {
                ::close(gate[1]);
                char byte;
                if (read(gate[0], &byte, 1) != 0) _exit(3); // opens when the parent closes it
                _exit(exportAs(path, exporter, "g" + std::to_string(i), counts[i]));
            }
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const std::string text = readFile(path);
        mixed += text != expected[0] && text != expected[1];
    }
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(entries(), 1u);
}
