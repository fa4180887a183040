// The scene file factory: header lines, "-", open and close failures, safe replacement.
#include "LightFileFactory.h"
#include "orvSceneapi_oo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
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
        EXPECT_STREQ(e.what(), "could not open file: \"/no/such/dir/x.qrf\"");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "opening file: No such file or directory\n");
    EXPECT_THROW(LightFileFactory factory(dir), std::runtime_error); // a folder
    EXPECT_EQ(entries(), 0u);
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
            bad += std::string(e.what()) != "could not close file";
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

TEST_F(FileFactory, FullDeviceIsReportedAtClose)
{
    for (size_t size : {size_t(10), size_t(1) << 20}) {
        LightFileFactory factory("/dev/full");
        orvSceneapi_oo oo(&factory);
        oo.setIntArray("v", std::vector<int>(size, 1));
        ::testing::internal::CaptureStderr();
        EXPECT_THROW(factory.close(), std::runtime_error) << size;
        // Capturing flushes every stream, so the failed flush may already have happened:
        // the error still sticks, only its reason may be gone.
        EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("closing file: ", 0), 0u) << size;
    }
    // The destructor reports and never throws.
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW({
        LightFileFactory factory("/dev/full");
        exportGroup(factory, "g");
    });
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("could not close file"), std::string::npos);
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
