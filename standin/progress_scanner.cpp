#include "progress_scanner.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace standin {

namespace {

constexpr size_t kMaxLine = 4096;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool parseProgressLine(const std::string& line, std::string& message, float& fraction)
{
    std::string_view rest = line;
    constexpr std::string_view keyword = "progress ";
    if (rest.substr(0, keyword.size()) != keyword)
        return false;
    rest.remove_prefix(keyword.size());
    message.clear();
    if (!rest.empty() && rest.front() == '"') {
        size_t close = rest.find('"', 1);
        if (close == std::string_view::npos)
            return false;
        message.assign(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
    } else if (rest.substr(0, 2) == "xX") {
        rest.remove_prefix(2);
        while (rest.size() >= 2 && hexValue(rest[0]) >= 0 && hexValue(rest[1]) >= 0) {
            message.push_back(char(hexValue(rest[0]) * 16 + hexValue(rest[1])));
            rest.remove_prefix(2);
        }
    } else {
        return false;
    }
    if (rest.empty() || rest.front() != ' ')
        return false;
    rest.remove_prefix(1);
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), fraction);
    if (ec != std::errc() || ptr == rest.data())
        return false;
    return std::string_view(ptr, size_t(rest.data() + rest.size() - ptr)).find_first_not_of(" \r") ==
           std::string_view::npos;
}

void ProgressScanner::text(char c)
{
    if (line_.size() < kMaxLine)
        line_.push_back(c);
    else
        lineTooLong_ = true;
}

void ProgressScanner::endLine()
{
    if (!lineTooLong_) {
        std::string message;
        float fraction = 0;
        if (parseProgressLine(line_, message, fraction) && report_)
            report_(message, fraction);
    }
    line_.clear();
    lineTooLong_ = false;
}

// The name a group record opens with (its line so far: quoted or hex-encoded, as far as
// the line was kept); false when the line is no top-level group record.
static bool groupName(std::string_view line, std::string& name)
{
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
    constexpr std::string_view keyword = "group ";
    if (!line.starts_with(keyword))
        return false;
    line.remove_prefix(keyword.size());
    name.clear();
    if (line.starts_with('"')) {
        line.remove_prefix(1);
        name.assign(line.substr(0, line.find('"')));
        return true;
    }
    if (!line.starts_with("xX"))
        return false;
    line.remove_prefix(2);
    while (line.size() >= 2 && hexValue(line[0]) >= 0 && hexValue(line[1]) >= 0) {
        name.push_back(char(hexValue(line[0]) * 16 + hexValue(line[1])));
        line.remove_prefix(2);
    }
    return true;
}

void ProgressScanner::opened()
{
    std::string_view line = line_;
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
    if (line.starts_with("//"))
        return; // a comment's braces open nothing
    std::string name;
    if (depth_++ == 0 && groupName(line, name)) {
        if (groups_.size() < kMaxGroups)
            groups_.push_back(std::move(name));
        else
            groupsPassed_ = true;
    }
}

void ProgressScanner::feed(const char* data, size_t size)
{
    bytes_ += size;
    size_t i = 0;
    while (i < size) {
        if (state_ == State::BinaryBody) {
            uint64_t take = std::min<uint64_t>(skip_, size - i);
            skip_ -= take;
            binaryBytes_ += take;
            i += size_t(take);
            if (skip_ == 0)
                state_ = State::Text;
            continue;
        }
        step(data[i++]);
    }
}

void ProgressScanner::step(char c)
{
    switch (state_) {
    case State::BinaryBody:
        break;
    case State::BinaryHead: {
        head_[headSize_++] = c;
        static constexpr char expected[3] = {1, 2, 3};
        bool fits = headSize_ <= 3 ? c == expected[headSize_ - 1]
                    : headSize_ == 4 ? (c == 'c' || c == 'f' || c == 'i' || c == 'r')
                                     : true;
        if (!fits) {
            // Not a binary run after all: the bytes were ordinary text.
            state_ = State::Text;
            for (size_t k = 0; k + 1 < headSize_; ++k)
                text(head_[k]);
            step(c);
            break;
        }
        if (headSize_ == 8) {
            uint32_t count = 0;
            for (int k = 7; k >= 4; --k)
                count = (count << 8) | static_cast<unsigned char>(head_[k]);
            skip_ = uint64_t(count) * (head_[3] == 'r' ? 8 : 4);
            state_ = skip_ > 0 ? State::BinaryBody : State::Text;
        }
        break;
    }
    case State::Quoted:
        ++quotedBytes_;
        if (c == '\n') {
            state_ = State::Text;
            endLine();
        } else {
            if (c == '"')
                state_ = State::Text;
            text(c);
        }
        break;
    case State::Text:
        if (c == '\n') {
            endLine();
        } else if (c == 1 && line_.size() >= 2 && line_.compare(line_.size() - 2, 2, "[ ") == 0) {
            state_ = State::BinaryHead;
            head_[0] = c;
            headSize_ = 1;
        } else {
            if (c == '"')
                state_ = State::Quoted;
            else if (c == '{')
                opened();
            else if (c == '}' && depth_ > 0 && !line_.starts_with("//"))
                --depth_;
            text(c);
        }
        break;
    }
}

} // namespace standin
