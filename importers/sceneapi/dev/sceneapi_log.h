// The scene library's diagnostic log: "sceneapi.log" in the renderer's support folder.
//
// A message is a short-lived FILELog made in one statement: message() inserts the line
// prefix ("base:line - HH:MM:SS.mmm LEVEL:  ") and returns a stream for the text; the
// destructor adds the newline and appends the whole line to the file, flushed at once.
// Use the ORV_LOG macro, which makes the message only when the level passes and the log
// file can be opened:
//
//     ORV_LOG(logDEBUG4) << "Tavrin live: " << pointer;
//
// The log stream is process-wide, opened by the first message and never closed by the
// plug-in. Only the command thread writes messages; nothing is locked.
#pragma once

#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>

enum TLogLevel {
    logERROR = 0,
    logWARNING,
    logINFO,
    logDEBUG,
    logDEBUG1,
    logDEBUG2,
    logDEBUG3,
    logDEBUG4,
    logNONE,
};

// Size from which an existing log is emptied instead of appended to (20 MiB).
constexpr long long kLogResetSize = 20971520;

// Output policy: writes finished messages to the process-wide log stream.
class Output2FILE {
public:
    // The log stream, opening "sceneapi.log" first when it is not open yet. Null when the
    // file cannot be opened (reported on standard error; the next call tries again). The
    // log is only ever a regular file: a symbolic link or any other kind of file at its
    // path is left alone (never followed, never waited on) and the process carries on
    // without a log, which is reported once.
    static FILE* logFile();
    // Appends a finished message and flushes. Write errors are ignored.
    static void Output(const std::string& text);
    // Closes the stream so that the next message opens the file anew (and forgets that a
    // log was refused). The plug-in never calls it (the log lives as long as the
    // process); tests use it to change folders.
    static void Close();
};

// "HH:MM:SS.mmm" for a local time of day and the microseconds of its second ("%X" for
// the time of day, falling back to "%H:%M:%S" where the locale's form does not fit).
std::string log_time_stamp(const std::tm& local, long microseconds);
// The part of a source path after its last "/" or "\".
const char* log_base_name(const char* sourceFile);
// A level's name; "NONE" for values outside the table.
const char* log_level_name(int level);

template <typename OutputPolicy>
class Log {
public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    virtual ~Log();

    // Inserts the line prefix and returns the stream for the message text.
    std::ostringstream& message(TLogLevel level, const char* sourceFile, int line);

    // Messages of this level and below are written; fixed for the process.
    static constexpr int reportingLevel() { return logDEBUG4; }

protected:
    std::ostringstream os_;
};

std::string log_now_time();

template <typename OutputPolicy>
std::ostringstream& Log<OutputPolicy>::message(TLogLevel level, const char* sourceFile, int line) {
    os_ << log_base_name(sourceFile) << ":" << line << " ";
    os_ << "- " << log_now_time();
    os_ << " " << log_level_name(level) << ": ";
    os_ << " ";
    return os_;
}

template <typename OutputPolicy>
Log<OutputPolicy>::~Log() {
    try {
        os_ << std::endl;
        OutputPolicy::Output(os_.str());
    } catch (...) {
        // A message that cannot be completed is dropped; logging never throws.
    }
}

class FILELog : public Log<Output2FILE> {};

#define ORV_LOG(level)                                                                       \
    if ((level) > FILELog::reportingLevel() || !Output2FILE::logFile()) {                    \
    } else                                                                                   \
        FILELog().message(level, __FILE__, __LINE__)
