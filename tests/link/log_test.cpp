#include "InstallLocator.h"
#include "link_test_support.h"
#include "sceneapi_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

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
