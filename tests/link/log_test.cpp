#include "InstallLocator.h"
#include "link_test_support.h"
#include "sceneapi_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <utility>
#include <vector>

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using linktest::read_file;
using linktest::ScratchRoot;

namespace {

// A root with a version 9 bundle and its support folder; the log lands in the latter.
struct LogRoot {
    ScratchRoot root;
    std::string logPath;
    LogRoot() {
        root.make_bundle(9);
        logPath = root.make_support(9) + "sceneapi.log";
    }
};

TEST(SceneLog, LinePrefixAndAppend) {
    LogRoot r;
    ORV_LOG(logDEBUG4) << "hello";
    ORV_LOG(logERROR) << "second " << 42;
    const std::string text = read_file(r.logPath);
    const std::regex line("log_test\\.cpp:[0-9]+ - [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} DEBUG4:  hello\n"
                          "log_test\\.cpp:[0-9]+ - [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} ERROR:  second 42\n");
    EXPECT_TRUE(std::regex_match(text, line)) << text;

    // A new process (here: a reopened stream) appends to what is there.
    Output2FILE::Close();
    ORV_LOG(logINFO) << "third";
    EXPECT_NE(read_file(r.logPath).find("INFO:  third\n"), std::string::npos);
    EXPECT_EQ(read_file(r.logPath).rfind(text, 0), 0u);
}

// Milliseconds of the local day on the real-time clock, now.
long long local_ms_of_day() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000 + now.tv_nsec / 1000000;
}

// The stamp of each line is the local time of day of the moment it was written, to the
// millisecond: it lies between clock readings taken just before and just after. In a zone
// half an hour off UTC, several lines some milliseconds apart.
TEST(SceneLog, TimeStampIsTheLocalTimeOfTheClock) {
    const char* zone = std::getenv("TZ");
    const std::string savedZone = zone ? zone : "";
    ::setenv("TZ", "XST-5:30", 1);
    ::tzset();
    LogRoot r;
    std::vector<std::pair<long long, long long>> windows;
    for (int i = 0; i < 6; ++i) {
        const long long before = local_ms_of_day();
        ORV_LOG(logINFO) << "tick " << i;
        windows.emplace_back(before, local_ms_of_day());
        ::usleep(7000 + 1300 * i);
    }
    if (zone) ::setenv("TZ", savedZone.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();

    std::istringstream lines(read_file(r.logPath));
    std::string line;
    const std::regex stamp(".* - ([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3}) INFO:  tick ([0-9])");
    size_t seen = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
        const long long at = ((std::stoll(m[1]) * 60 + std::stoll(m[2])) * 60 + std::stoll(m[3])) * 1000 + std::stoll(m[4]);
        const auto [before, after] = windows.at(std::stoul(m[5]));
        if (after < before) continue; // midnight passed in between
        EXPECT_GE(at, before) << line;
        EXPECT_LE(at, after) << line;
        ++seen;
    }
    EXPECT_GE(seen, 5u);
}

TEST(SceneLog, FileAtResetSizeIsEmptiedJustBelowIsKept) {
    LogRoot r;
    std::ofstream(r.logPath).close();
    std::filesystem::resize_file(r.logPath, kLogResetSize - 1);
    ORV_LOG(logINFO) << "kept";
    Output2FILE::Close();
    EXPECT_GT(std::filesystem::file_size(r.logPath), static_cast<uintmax_t>(kLogResetSize - 1));

    std::filesystem::resize_file(r.logPath, kLogResetSize);
    ORV_LOG(logINFO) << "fresh";
    const std::string text = read_file(r.logPath);
    EXPECT_LT(text.size(), 200u);
    EXPECT_NE(text.find("INFO:  fresh\n"), std::string::npos);
}

TEST(SceneLog, MissingSupportFolderReportsAndRetries) {
    ScratchRoot root;
    root.make_bundle(9);
    testing::internal::CaptureStderr();
    ORV_LOG(logERROR) << "dropped";
    ORV_LOG(logERROR) << "dropped again";
    EXPECT_EQ(Output2FILE::logFile(), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    // Each message tries again and reports again.
    size_t count = 0;
    for (size_t at = err.find("could not open log file:\n"); at != std::string::npos;
         at = err.find("could not open log file:\n", at + 1))
        ++count;
    EXPECT_EQ(count, 3u);
    EXPECT_NE(err.find("opening log: "), std::string::npos);
}

// Runs two messages in a child process (so a log that blocks cannot hang the tests) and
// answers what the child said on standard error; "timeout" when it did not finish.
std::string log_twice_in_child(const std::string& errPath) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ORV_LOG(logERROR) << "first";
        ORV_LOG(logERROR) << "second";
        ::_exit(Output2FILE::logFile() == nullptr ? 0 : 1);
    }
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? read_file(errPath) : "logged";
        ::usleep(50000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return "timeout";
}

TEST(SceneLog, OnlyARegularFileIsALog) {
    for (const char* kind : {"symbolic link", "FIFO"}) {
        LogRoot r;
        const std::string target = r.root.path() + "/elsewhere";
        std::ofstream(target).close();
        std::filesystem::resize_file(target, kLogResetSize);
        if (std::string(kind) == "FIFO") {
            ASSERT_EQ(::mkfifo(r.logPath.c_str(), 0600), 0);
        } else {
            std::filesystem::create_symlink(target, r.logPath);
        }
        const std::string err = log_twice_in_child(r.root.path() + "/stderr");
        // Said once, for both messages.
        EXPECT_TRUE(std::regex_match(err, std::regex("could not open log file:\nopening log: .*/sceneapi\\.log "
                                                     "is not a regular file; carrying on without a log\n")))
            << kind << ": " << err;
        EXPECT_EQ(std::filesystem::file_size(target), static_cast<uintmax_t>(kLogResetSize)) << kind;
    }
}

TEST(SceneLog, PrefixPieces) {
    EXPECT_STREQ(log_base_name("a/b\\c"), "c");
    EXPECT_STREQ(log_base_name("/x/y/loader.cpp"), "loader.cpp");
    EXPECT_STREQ(log_base_name("plain"), "plain");
    EXPECT_STREQ(log_base_name("dir/"), "");
    EXPECT_STREQ(log_level_name(7), "DEBUG4");
    EXPECT_STREQ(log_level_name(0), "ERROR");
    EXPECT_STREQ(log_level_name(8), "NONE");
    EXPECT_STREQ(log_level_name(-3), "NONE");
    EXPECT_STREQ(log_level_name(99), "NONE");

    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    EXPECT_EQ(log_time_stamp(t, 4000), "09:05:07.004");
    EXPECT_EQ(log_time_stamp(t, 999999), "09:05:07.999");
    EXPECT_EQ(log_time_stamp(t, 0), "09:05:07.000");
}

} // namespace
