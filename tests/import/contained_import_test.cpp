// The model import in its child process: models on which assimp crashes, loops or asks for
// gigabytes end, within a bound, with one line naming the model and what happened; a FIFO
// never blocks; a model that reads fine gives the same document as the import in process.
// And the cache of embedded textures: nothing planted in it is trusted or written through.
#include "contained_import.h"
#include "document_file.h"
#include "model_import.h"
#include "sim_json_write.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const fs::path kHostile = fs::path(TAVRIN_SOURCE_DIR) / "tests" / "import" / "hostile";

class TempFolder {
public:
    TempFolder() : path_(fs::temp_directory_path() / ("contained_import_test_" + std::to_string(getpid())))
    {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    std::string file(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path_ / name, std::ios::binary) << bytes;
        return (path_ / name).string();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Small files made by truncating or flipping one byte of packaged test models, each of
// which took the importing process down; a FIFO as the model; a model whose material
// library is a FIFO (it is read as missing, the model still loads).
TEST(ContainedImport, HostileModelsEndInBoundedTimeWithOneLine)
{
    TempFolder folder;
    const std::string fifo = (folder.path() / "fifo.obj").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((folder.path() / "fifo.mtl").c_str(), 0600), 0);
    const std::string withFifoMtl =
        folder.file("shape.obj", "mtllib fifo.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Paint\nf 1 2 3\n");

    using Limits = modelimport::ImportLimits;
    const bool sanitized = !modelimport::memoryLimitApplies();
    struct Case {
        std::string path;
        Limits limits;
        std::string reason; // empty: the model loads
        bool crash;         // a sanitizer reports crashes its own way
    };
    const auto hostile = [](const char* name) { return (kHostile / name).string(); };
    // c4dsim's limits: a file of a few hundred KiB that hangs still ends well within a
    // minute; one second more per whole MiB, 256 bytes of memory more per byte.
    const struct {
        unsigned long long bytes;
        unsigned extraSeconds;
    } sizes[] = {{447, 0}, {300 << 10, 0}, {(1 << 20) - 1, 0}, {3 << 20, 3}, {(5 << 20) + 1000, 5}};
    for (const auto& size : sizes) {
        const std::string model = folder.file("sized.obj", "");
        ASSERT_EQ(::truncate(model.c_str(), static_cast<off_t>(size.bytes)), 0);
        const Limits limits = modelimport::limitsFor(model);
        EXPECT_EQ(limits.cpuSeconds, 30 + size.extraSeconds) << size.bytes;
        EXPECT_EQ(limits.wallSeconds, 45 + size.extraSeconds) << size.bytes;
        EXPECT_EQ(limits.memoryBytes, (4ull << 30) + size.bytes * 256) << size.bytes;
    }
    const Limits small = modelimport::limitsFor(hostile("segfault.ply"));
    const Case cases[] = {
        {hostile("truncated.cob"), small, "killed by signal SIGABRT (what(): End of file", true},
        {hostile("assertion.ogex"), small, "killed by signal SIGABRT (ai_assert failure", true},
        {hostile("segfault.ply"), small, "killed by signal SIGSEGV", true},
        {hostile("vertex-count.off"), small, "memory limit of 4.0 GiB exceeded", false},
        {hostile("vertex-count.off"), {10, 20, 1ull << 30}, "memory limit of 1.0 GiB exceeded", false},
        {hostile("endless-header.ply"), {1, 40, 0}, "CPU time limit of 1 s exceeded", false},
        {hostile("endless-header.ply"), {0, 2, 0}, "timed out after 2 s", false},
        {fifo, small, "cannot open model \"" + fifo + "\": a FIFO, not a regular file", false},
        {withFifoMtl, {5, 5, 0}, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto start = Clock::now();
        auto loaded = modelimport::importModelContained(c.path, {(folder.path() / "cache").string()}, c.limits);
        const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(seconds, 45.0);
        if (c.reason.empty()) {
            EXPECT_TRUE(loaded.document) << loaded.error;
            continue;
        }
        EXPECT_FALSE(loaded.document);
        EXPECT_NE(loaded.error.find("\"" + c.path + "\""), std::string::npos) << loaded.error;
        EXPECT_EQ(loaded.error.find('\n'), std::string::npos) << loaded.error;
        if (!(sanitized && c.crash)) {
            EXPECT_NE(loaded.error.find(c.reason), std::string::npos) << loaded.error;
        }
    }
    // c4dsim reads models through loadDocumentFile: the same containment.
    auto loaded = modelimport::loadDocumentFile((kHostile / "segfault.ply").string(), {});
    EXPECT_FALSE(loaded.document);
    EXPECT_NE(loaded.error.find("segfault.ply"), std::string::npos) << loaded.error;
}

// Packaged models of several formats, with summaries and embedded textures: the document
// and the summary that come back from the child are those of the import in process.
TEST(ContainedImport, ModelsThatReadFineGiveTheDocumentOfTheImportInProcess)
{
    const fs::path corpus = TAVRIN_MODEL_CORPUS;
    const char* models[] = {"glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", "FBX/spider.fbx",
                            "FBX/animation_with_skeleton.fbx", "OBJ/spider.obj", "Collada/duck.dae", "3DS/fels.3ds"};
    TempFolder folder;
    const std::string cache = (folder.path() / "cache").string();
    size_t compared = 0;
    for (const char* name : models) {
        const fs::path path = corpus / name;
        if (!fs::is_regular_file(path))
            continue;
        SCOPED_TRACE(path);
        modelimport::Summary summary;
        std::string error;
        auto direct = modelimport::importModel(path.string(), {cache, {}}, summary, error);
        ASSERT_TRUE(direct) << error;
        auto contained = modelimport::importModelContained(path.string(), {cache, {}});
        ASSERT_TRUE(contained.document) << contained.error;
        EXPECT_EQ(sim::documentJson(*contained.document), sim::documentJson(*direct));
        EXPECT_EQ(contained.summary, summary.lines());
        // The notes come back with their report reasons, which --strict counts.
        ASSERT_EQ(contained.notes.size(), summary.notes().size());
        for (size_t i = 0; i < contained.notes.size(); ++i) {
            EXPECT_EQ(contained.notes[i].reason, summary.notes()[i].reason);
            EXPECT_EQ(contained.notes[i].line, summary.notes()[i].line);
            EXPECT_EQ(contained.notes[i].count, summary.notes()[i].count);
        }
        ++compared;
    }
    if (compared == 0)
        GTEST_SKIP() << "no packaged models in " << corpus;
}

// The state letter of a process (R, S, Z...), from /proc; 0 where it cannot be read.
char processState(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() ? text[name + 2] : 0;
}

// Where a parent held by a signal handler waits to be told to go on.
int gGoOn = -1;

void holdUntilToldToGoOn(int)
{
    const int saved = errno;
    char byte = 0;
    while (::read(gGoOn, &byte, 1) < 0 && errno == EINTR) {
    }
    errno = saved;
}

// A parent that is not scheduled until past its deadline takes the result of a child that
// finished in time instead of calling it a time-out. Stopped while it waits on the pipes, it
// sees the result as it wakes; held in a signal handler, its wait ends empty-handed and it
// comes back to a deadline already past, so only a last look at the pipes finds the result.
TEST(ContainedImport, AParentLateToItsDeadlineTakesTheFinishedResult)
{
    TempFolder folder;
    const std::string model = folder.file("tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "stopped" : "held in a signal handler");
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        gGoOn = go[0];
        struct sigaction hold {}, before {};
        hold.sa_handler = holdUntilToldToGoOn;
        sigemptyset(&hold.sa_mask);
        ASSERT_EQ(::sigaction(SIGUSR1, &hold, &before), 0);
        const pid_t parent = ::getpid();
        const pid_t helper = ::fork();
        ASSERT_GE(helper, 0);
        if (helper == 0) {
            // As soon as the import's child exists, stop or hold the parent; once the child
            // has finished, wait past the 1 s deadline and let the parent go on.
            const std::string children = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
            pid_t child = 0;
            for (int i = 0; i < 20000 && child == 0; ++i) {
                std::ifstream list(children);
                for (pid_t pid = 0; list >> pid;)
                    if (pid != ::getpid())
                        child = pid;
                if (child == 0)
                    ::usleep(500);
            }
            if (child != 0)
                ::kill(parent, stopped ? SIGSTOP : SIGUSR1);
            for (int i = 0; i < 3000 && child != 0 && processState(child) != 'Z'; ++i)
                ::usleep(10'000);
            ::usleep(1'500'000);
            if (stopped)
                ::kill(parent, SIGCONT);
            else
                (void)!::write(go[1], "g", 1);
            ::_exit(child != 0 ? 0 : 1);
        }
        ::close(go[1]); // should the helper die, the handler reads the end of the pipe
        auto loaded = modelimport::importModelContained(model, {(folder.path() / "cache").string()}, {30, 1, 0});
        int status = 0;
        ::waitpid(helper, &status, 0);
        ::sigaction(SIGUSR1, &before, nullptr);
        ::close(go[0]);
        EXPECT_TRUE(loaded.document) << loaded.error;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the import's child was not seen";
    }
}

// A glTF triangle whose material's texture is an image embedded as a data URI.
std::string gltfWithEmbeddedImage(const std::string& imageBase64)
{
    // Three float positions (0,0,0) (1,0,0) (0,1,0), base64 of their 36 bytes.
    const std::string positions = "AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA";
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
  "nodes": [{"name": "Tri", "mesh": 0}],
  "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "material": 0}]}],
  "materials": [{"name": "Pictured", "pbrMetallicRoughness": {"baseColorTexture": {"index": 0}}}],
  "textures": [{"source": 0}],
  "images": [{"uri": "data:image/png;base64,)" +
           imageBase64 + R"("}],
  "buffers": [{"byteLength": 36, "uri": "data:application/octet-stream;base64,)" +
           positions + R"("}],
  "bufferViews": [{"buffer": 0, "byteLength": 36}],
  "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
                 "min": [0, 0, 0], "max": [1, 1, 0]}]})";
}

// The file a document's first bitmap shader names.
std::string texturePath(const sim::Document& doc)
{
    for (const auto& m : doc.materials)
        for (const auto& s : m->shaders)
            if (auto it = s->params.find(1000); it != s->params.end())
                if (auto* f = std::get_if<sim::FilenameValue>(&it->second))
                    return f->full;
    return {};
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old, had_ = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { had_ ? (void)::setenv(name_, old_.c_str(), 1) : (void)::unsetenv(name_); }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// Whatever is planted in the texture cache under a texture's name (a link to a victim, a
// file of the same size with other bytes) is replaced by the texture and never written
// through; the default cache is a private folder under $XDG_CACHE_HOME, and one owned by
// someone else is not used.
TEST(ContainedImport, TextureCacheTrustsNothingPlanted)
{
    // "\x89PNG\r\n\x1a\n" and "embedded texture bytes", base64.
    const std::string image = std::string("\x89PNG\r\n\x1a\n", 8) + "embedded texture bytes";
    const std::string imageBase64 = "iVBORw0KGgplbWJlZGRlZCB0ZXh0dXJlIGJ5dGVz";
    TempFolder folder;
    const std::string model = folder.file("tri.gltf", gltfWithEmbeddedImage(imageBase64));
    const fs::path cache = folder.path() / "cache";
    const auto import = [&](const std::string& cacheFolder) {
        auto loaded = modelimport::loadDocumentFile(model, {cacheFolder});
        EXPECT_TRUE(loaded.document) << loaded.error;
        return loaded.document ? texturePath(*loaded.document) : std::string();
    };

    const std::string first = import(cache.string());
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(fs::path(first).parent_path(), cache);
    EXPECT_EQ(contents(first), image);

    const fs::path victim = folder.path() / "victim.txt";
    const std::string victimBytes(image.size(), 'v');
    struct Plant {
        const char* what;
        bool link;           // a symbolic link to the victim, else a file of the same size
        std::string victim;  // the victim's bytes
    };
    for (const Plant& plant : {Plant{"link to a victim", true, victimBytes},
                               Plant{"link to the texture's own bytes", true, image},
                               Plant{"same size, other bytes", false, victimBytes}}) {
        SCOPED_TRACE(plant.what);
        folder.file("victim.txt", plant.victim);
        fs::remove(first);
        if (plant.link)
            fs::create_symlink(victim, first);
        else
            folder.file("cache/" + fs::path(first).filename().string(), victimBytes);
        EXPECT_EQ(import(cache.string()), first);
        EXPECT_FALSE(fs::is_symlink(first));
        EXPECT_EQ(contents(first), image);
        EXPECT_EQ(contents(victim), plant.victim);
    }
    for (const auto& entry : fs::directory_iterator(cache))
        EXPECT_EQ(entry.path(), first) << "a temporary file was left";

    // The default cache: <XDG_CACHE_HOME>/c4dsim-textures, private.
    const fs::path xdg = folder.path() / "xdg";
    fs::create_directories(xdg);
    ScopedEnv env("XDG_CACHE_HOME", xdg.string());
    const std::string byDefault = import("");
    EXPECT_EQ(fs::path(byDefault).parent_path(), xdg / "c4dsim-textures");
    struct stat st {};
    ASSERT_EQ(::lstat((xdg / "c4dsim-textures").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A folder of ours that others could write in is made private before it is used, and
    // what was planted in it is not trusted.
    ASSERT_EQ(::chmod((xdg / "c4dsim-textures").c_str(), 0777), 0);
    fs::remove(byDefault);
    fs::create_symlink(victim, byDefault);
    EXPECT_EQ(import(""), byDefault);
    ASSERT_EQ(::lstat((xdg / "c4dsim-textures").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(contents(victim), victimBytes);
    EXPECT_EQ(contents(byDefault), image);

    // A cache folder owned by another user is not used (root can make one).
    if (::geteuid() != 0)
        return;
    const fs::path foreign = xdg / "c4dsim-textures";
    fs::remove_all(foreign);
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(foreign.c_str(), 0777), 0);
    const std::string elsewhere = import("");
    EXPECT_FALSE(elsewhere.empty());
    EXPECT_NE(fs::path(elsewhere).parent_path(), foreign);
    EXPECT_TRUE(fs::is_empty(foreign));
    if (!elsewhere.empty())
        fs::remove_all(fs::path(elsewhere).parent_path());
}

} // namespace
