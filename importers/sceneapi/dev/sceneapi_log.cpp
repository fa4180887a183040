#include "sceneapi_log.h"

#include "InstallLocator.h"

#include <sys/time.h>

#include <cstdio>
#include <iostream>

namespace {

FILE* g_logStream = nullptr;

const char* const kLevelNames[] = {"ERROR",  "WARNING", "INFO",   "DEBUG", "DEBUG1",
                                   "DEBUG2", "DEBUG3",  "DEBUG4", "NONE"};

} // namespace

FILE* Output2FILE::logFile() {
    if (g_logStream) return g_logStream;
    const std::string path = InstallLocator::join_path(InstallLocator::support_dir(), "sceneapi.log");
    const char* mode = InstallLocator::file_size(path) < kLogResetSize ? "a" : "w";
    g_logStream = std::fopen(path.c_str(), mode);
    if (!g_logStream) {
        std::cerr << "could not open log file:" << std::endl;
        std::perror("opening log");
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
