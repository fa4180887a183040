// The wire protocol between the stand-in live library and the stand-in renderer. Every
// connection starts with one request line from the client:
//
//   "TAVRIN-QUERY instance\n"  the renderer answers its instance element and closes;
//   "TAVRIN-QUERY scene\n"     the renderer answers its scene description and closes;
//   "TAVRIN-STREAM <id> <mode>\n"
//                              the renderer answers "TAVRIN-READY <major> <pid>\n"; the client
//                              then sends scene text until it shuts its side down; the
//                              renderer reads it, checks all of it and answers
//                              "TAVRIN-RECEIVED <bytes> ok\n" or
//                              "TAVRIN-RECEIVED <bytes> error <offset> <message>\n";
//                              a scene answered "ok" is in effect for every request the
//                              renderer serves after the answer.
//
// A scene group of a stream replaces the model set of its name, or, when it carries the mark
// of a Live update (importers/sceneapi/live_update_marks.h), is merged into it: groups
// matched by their path of names and index among same-named siblings, content kept where
// the stream re-sends none, groups not re-sent removed (standin/README.md).
//
// A peer that does not answer with these lines is not a stand-in renderer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace standin::protocol {

constexpr const char* kQueryInstance = "TAVRIN-QUERY instance\n";
constexpr const char* kQueryScene = "TAVRIN-QUERY scene\n";
constexpr size_t kMaxLine = 512;

inline std::string streamRequest(unsigned id, int mode)
{
    return "TAVRIN-STREAM " + std::to_string(id) + " " + std::to_string(mode) + "\n";
}

inline std::string readyLine(int major, int64_t pid)
{
    return "TAVRIN-READY " + std::to_string(major) + " " + std::to_string(pid) + "\n";
}

// Request lines as the renderer reads them (without the line feed).
struct Request {
    enum class Kind { QueryInstance, QueryScene, Stream } kind = Kind::QueryInstance;
    unsigned id = 0;
    int mode = 0;
};
std::optional<Request> parseRequest(std::string_view line);

// "TAVRIN-READY <major> <pid>" as the client reads it.
struct Ready {
    int major = 0;
    int64_t pid = 0;
};
std::optional<Ready> parseReady(std::string_view line);

} // namespace standin::protocol
