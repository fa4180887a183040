#include "standin_rig.h"

#include "SceneReader.h"
#include "net.h"
#include "protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace standintest {

namespace {

void sleepMs(int ms)
{
    ::usleep(useconds_t(ms) * 1000);
}

// True once the process is gone (reaped, or a zombie that is not ours to reap).
bool gone(pid_t pid)
{
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid)
        return true;
    if (r == 0)
        return false;
    // Not our child: look at the process table.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool waitGone(pid_t pid, int timeoutMs)
{
    const int64_t end = nowMs() + timeoutMs;
    while (!gone(pid)) {
        if (nowMs() > end)
            return false;
        sleepMs(20);
    }
    return true;
}

std::vector<char*> argvOf(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace

int64_t nowMs()
{
    return standin::net::nowMs();
}

Rig::Rig() : portsLock_(std::make_unique<porttest::PortsLock>())
{
    char pattern[] = "/tmp/standin-rig-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("cannot make a scratch folder");
    root_ = pattern;
    output_ = root_ + "/received";
    const fs::path bundle = fs::path(root_) / "Applications/Tavrin10.app/Contents/MacOS";
    fs::create_directories(bundle);
    fs::create_directories(fs::path(root_) / "Library/Application Support/Tavrin10");
    fs::copy_file(TAVRIN_STANDIN_EXE, bundle / "tavrin");
    fs::copy_file(TAVRIN_LIVE_LIBRARY, bundle / "orvtavrinlive6.so");

    ::setenv("TAVRIN_INSTALL_ROOT", root_.c_str(), 1);
    ::setenv("TAVRIN_STANDIN_OUTPUT", output_.c_str(), 1);
    // The commands' claims on renderers stay in the scratch folder, whatever the home.
    fs::create_directories(fs::path(root_) / "cache");
    if (const char* cacheHome = std::getenv("XDG_CACHE_HOME"))
        cacheHome_ = cacheHome;
    ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    // A renderer the commands launch gets no arguments: it learns from the environment
    // to go away by itself should a test fail to stop it.
    ::setenv("TAVRIN_STANDIN_IDLE_EXIT", "30", 1);
}

Rig::~Rig()
{
    stopRenderers();
    ::unsetenv("TAVRIN_INSTALL_ROOT");
    ::unsetenv("TAVRIN_STANDIN_OUTPUT");
    ::unsetenv("TAVRIN_STANDIN_IDLE_EXIT");
    if (cacheHome_)
        ::setenv("XDG_CACHE_HOME", cacheHome_->c_str(), 1);
    else
        ::unsetenv("XDG_CACHE_HOME");
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::vector<Instance> Rig::running()
{
    std::vector<Instance> found;
    auto answers = standin::net::probePorts(standin::net::kFirstPort, standin::net::kLastPort,
                                            standin::protocol::kQueryInstance, 1000, 1 << 16);
    for (const auto& a : answers) {
        size_t p = a.text.find("<process_id>");
        if (p == std::string::npos)
            continue;
        found.push_back(Instance{std::atoll(a.text.c_str() + p + 12), a.port});
    }
    return found;
}

pid_t Rig::startRenderer(const std::vector<std::string>& extra, int openFiles)
{
    std::vector<std::string> args = {TAVRIN_STANDIN_EXE, "--output", output_, "--quiet"};
    if (std::find(extra.begin(), extra.end(), "--idle-exit") == extra.end())
        args.insert(args.end(), {"--idle-exit", "30"});
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv = argvOf(args);
    pid_t pid = 0;
    // The child takes the limit with it; this process gets its own back at once.
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    if (openFiles > 0) {
        rlimit lower = own;
        lower.rlim_cur = rlim_t(openFiles);
        ::setrlimit(RLIMIT_NOFILE, &lower);
    }
    const int spawned = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (openFiles > 0)
        ::setrlimit(RLIMIT_NOFILE, &own);
    if (spawned != 0)
        return -1;
    started_.push_back(pid);
    const int64_t end = nowMs() + 10000;
    while (nowMs() < end) {
        for (const Instance& i : running())
            if (i.pid == pid)
                return pid;
        if (gone(pid))
            return -1;
        sleepMs(50);
    }
    return -1;
}

std::vector<std::string> Rig::receivedFiles() const
{
    std::vector<std::pair<int, std::string>> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(output_, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".qrf" || name.rfind("received-", 0) != 0)
            continue;
        // received-<pid>-<number>.qrf (held-<pid>-<number>.qrf beside them are not)
        size_t dash = name.rfind('-');
        files.emplace_back(std::atoi(name.c_str() + dash + 1), entry.path().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> out;
    for (auto& f : files)
        out.push_back(f.second);
    return out;
}

std::vector<pid_t> Rig::launchedFromHere() const
{
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && exe.string().rfind(root_ + "/", 0) == 0)
            pids.push_back(pid_t(std::atoi(name.c_str())));
    }
    return pids;
}

bool Rig::waitForFreePorts(int timeoutMs)
{
    const int64_t end = nowMs() + timeoutMs;
    while (!running().empty()) {
        if (nowMs() > end)
            return false;
        sleepMs(250);
    }
    return true;
}

void Rig::stopRenderers()
{
    // Only renderers of this rig: those it started and every process running from its
    // installation, answering or not. Renderers of anybody else are left alone.
    std::set<pid_t> pids(started_.begin(), started_.end());
    for (pid_t pid : launchedFromHere())
        pids.insert(pid);
    for (pid_t pid : pids)
        if (!gone(pid))
            ::kill(pid, SIGTERM);
    for (pid_t pid : pids) {
        if (!waitGone(pid, 5000)) {
            ::kill(pid, SIGKILL);
            waitGone(pid, 2000);
        }
    }
    started_.clear();
}

int portOf(pid_t pid)
{
    for (const auto& i : Rig::running())
        if (i.pid == pid)
            return i.port;
    return 0;
}

std::string ask(int port, const std::string& request, const std::string& body, bool shutdownAfter)
{
    standin::net::Fd fd = standin::net::connectLoopback(port, 2000);
    if (!fd)
        return "(no connection)";
    std::string answer;
    standin::net::sendAll(fd.get(), request + body, 2000);
    if (shutdownAfter)
        ::shutdown(fd.get(), SHUT_WR);
    standin::net::readToEnd(fd.get(), answer, 1 << 20, nowMs() + 30000);
    return answer;
}

int exitStatusWithin(pid_t pid, int timeoutMs)
{
    const int64_t end = nowMs() + timeoutMs;
    int status = 0;
    while (nowMs() < end) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        sleepMs(20);
    }
    return -1;
}

int runProgram(const std::vector<std::string>& args, int timeoutMs, std::string* output)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv = argvOf(copy);
    char logName[] = "/tmp/standin-run-XXXXXX";
    int log = ::mkstemp(logName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (log >= 0) {
        posix_spawn_file_actions_adddup2(&actions, log, 1);
        posix_spawn_file_actions_adddup2(&actions, log, 2);
    }
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int result = -1;
    if (spawned == 0) {
        const int64_t end = nowMs() + timeoutMs;
        int status = 0;
        for (;;) {
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (nowMs() > end) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            sleepMs(20);
        }
    }
    if (log >= 0) {
        ::close(log);
        if (output)
            *output = readFile(logName);
        ::unlink(logName);
    }
    return result;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string fromBanner(const std::string& sceneText)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(sceneText, doc, error) || doc.top.statements.empty())
        return std::string();
    return sceneText.substr(doc.top.statements.front().offset);
}

namespace {

sim::Object& addPolygon(std::vector<std::unique_ptr<sim::Object>>& list, const std::string& name)
{
    list.push_back(std::make_unique<sim::Object>());
    sim::Object& o = *list.back();
    o.type = 5100;
    o.name = name;
    o.hasPointTag = o.hasPolygonTag = true;
    return o;
}

} // namespace

void buildDocument(sim::Document& doc, const std::string& name, int heavyPolygons)
{
    doc.docName = name;
    sim::Object& triangle = addPolygon(doc.objects, "Triangle");
    triangle.points = {{0, 0, 0}, {100, 0, 0}, {0, 100, 0}};
    triangle.polygons = {{0, 1, 2, 2}};
    triangle.pos = {10, 20, 30};

    sim::Object& quad = addPolygon(triangle.children, "Quad");
    quad.points = {{0, 0, 0}, {50, 0, 0}, {50, 50, 0}, {0, 50, 0}};
    quad.polygons = {{0, 1, 2, 3}};
    quad.rot = {0.5, 0, 0};

    if (heavyPolygons > 0) {
        sim::Object& grid = addPolygon(doc.objects, "Grid");
        int side = 1;
        while (side * side < heavyPolygons)
            ++side;
        grid.points.reserve(size_t(side + 1) * size_t(side + 1));
        for (int y = 0; y <= side; ++y)
            for (int x = 0; x <= side; ++x)
                grid.points.push_back({double(x), double(y), double((x * 7 + y * 3) % 11)});
        grid.polygons.reserve(size_t(side) * size_t(side));
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                int32_t a = y * (side + 1) + x;
                grid.polygons.push_back({a, a + 1, a + side + 2, a + side + 1});
            }
    }
}

} // namespace standintest
