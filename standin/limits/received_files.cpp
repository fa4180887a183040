#include "received_files.h"

#include "drawing_child.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace standin::limits {

std::string ReceivedFiles::received(int number) const
{
    return (std::filesystem::path(folder_) / ("received-" + std::to_string(pid_) + "-" + std::to_string(number) + ".qrf"))
        .string();
}

std::string ReceivedFiles::picture(int number) const
{
    return std::filesystem::path(received(number)).replace_extension(".png").string();
}

void ReceivedFiles::remove(int number) const
{
    const std::string held =
        (std::filesystem::path(folder_) / ("held-" + std::to_string(pid_) + "-" + std::to_string(number) + ".qrf"))
            .string();
    for (const std::string& file : {received(number), picture(number), drawing::quickPath(picture(number)), held})
        ::unlink(file.c_str());
}

void ReceivedFiles::add(int number)
{
    numbers_.push_back(number);
    while (keep_ > 0 && numbers_.size() > size_t(keep_)) {
        remove(numbers_.front());
        numbers_.pop_front();
    }
}

bool ReceivedFiles::kept(int number) const
{
    return std::find(numbers_.begin(), numbers_.end(), number) != numbers_.end();
}

} // namespace standin::limits
