#include "sceneapi_log.h"

#include "InstallLocator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <iostream>

namespace {

FILE* g_logStream = nullptr;
// Set once the log's path was found to be no regular file: logging is off from then on.
bool g_logRefused = false;

void report_open_failure() {
    const int reason = errno;
    std::cerr << "could not open log file:" << std::endl;
    errno = reason;
    std::perror("opening log");
}

void refuse_log(const std::string& path) {
    g_logRefused = true;
    std::cerr << "could not open log file:" << std::endl;
    std::cerr << "opening log: " << path << " is not a regular file; carrying on without a log" << std::endl;
}

const char* const kLevelNames[] = {"ERROR",  "WARNING", "INFO",   "DEBUG", "DEBUG1",
                                   "DEBUG2", "DEBUG3",  "DEBUG4", "NONE"};

} // namespace

FILE* Output2FILE::logFile() {
    if (g_logStream) return g_logStream;
    if (g_logRefused) return nullptr;
    const std::string path = InstallLocator::join_path(InstallLocator::support_dir(), "sceneapi.log");
    // A link is not followed and a FIFO is not waited on (no reader: ENXIO at once); what
    // opens is then checked to be a regular file before anything is written or emptied.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENXIO) refuse_log(path);
        else report_open_failure();
        return nullptr;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        refuse_log(path);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    // A log that has grown to the reset size starts afresh.
    if (info.st_size >= kLogResetSize && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        report_open_failure();
        return nullptr;
    }
    g_logStream = ::fdopen(fd, "a");
    if (!g_logStream) {
        ::close(fd);
        report_open_failure();
    }
    return g_logStream;
}

void Output2FILE::Output(const std::string& text) {
    FILE* stream = logFile();
    if (!stream) return;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void Output2FILE::Close() {
    if (g_logStream) std::fclose(g_logStream);
    g_logStream = nullptr;
    g_logRefused = false;
}

std::string log_time_stamp(const std::tm& local, long microseconds) {
    char clock[11];
    if (std::strftime(clock, sizeof clock, "%X", &local) == 0 &&
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local) == 0)
        clock[0] = '\0';
    long millis = microseconds / 1000;
    if (millis < 0 || millis > 999) millis = 0;
    char result[sizeof clock + 8];
    std::snprintf(result, sizeof result, "%s.%03ld", clock, millis);
    return result;
}

std::string log_now_time() {
    // One clock reading for both the time of day and the milliseconds, so the two parts
    // always belong to the same instant.
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    const time_t seconds = tv.tv_sec;
    std::tm local{};
    if (!::localtime_r(&seconds, &local)) return log_time_stamp(std::tm{}, 0);
    return log_time_stamp(local, static_cast<long>(tv.tv_usec));
}

const char* log_base_name(const char* sourceFile) {
    if (!sourceFile) return "";
    const char* base = sourceFile;
    for (const char* p = sourceFile; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

const char* log_level_name(int level) {
    if (level < logERROR || level > logNONE) return kLevelNames[logNONE];
    return kLevelNames[level];
}
