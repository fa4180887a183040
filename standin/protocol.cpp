#include "protocol.h"

#include <charconv>

namespace standin::protocol {

namespace {

// Takes the next blank-separated decimal number from text; false when there is none or
// it does not fit.
template <typename T>
bool takeNumber(std::string_view& text, T& out)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, out);
    if (ec != std::errc() || ptr == begin)
        return false;
    text.remove_prefix(size_t(ptr - begin));
    return text.empty() || text.front() == ' ';
}

bool onlyBlanks(std::string_view text)
{
    return text.find_first_not_of(' ') == std::string_view::npos;
}

} // namespace

std::optional<Request> parseRequest(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line == "TAVRIN-QUERY instance")
        return Request{Request::Kind::QueryInstance, 0, 0};
    if (line == "TAVRIN-QUERY scene")
        return Request{Request::Kind::QueryScene, 0, 0};
    constexpr std::string_view stream = "TAVRIN-STREAM ";
    if (line.substr(0, stream.size()) != stream)
        return std::nullopt;
    line.remove_prefix(stream.size());
    Request r{Request::Kind::Stream, 0, 0};
    if (!takeNumber(line, r.id) || !takeNumber(line, r.mode) || !onlyBlanks(line))
        return std::nullopt;
    return r;
}

std::optional<Ready> parseReady(std::string_view line)
{
    constexpr std::string_view ready = "TAVRIN-READY ";
    if (line.substr(0, ready.size()) != ready)
        return std::nullopt;
    line.remove_prefix(ready.size());
    Ready r;
    if (!takeNumber(line, r.major) || !takeNumber(line, r.pid) || !onlyBlanks(line))
        return std::nullopt;
    return r;
}

} // namespace standin::protocol
