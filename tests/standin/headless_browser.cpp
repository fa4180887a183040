#include "headless_browser.h"

#include "standin_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace standintest {

namespace {

constexpr int kAnswerMs = 20000;

std::string decodeBase64(const std::string& text)
{
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t v = digits.find(c);
        if (v == std::string::npos)
            continue; // padding and line breaks
        bits = (bits << 6) | unsigned(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(char((bits >> count) & 0xFF));
        }
    }
    return out;
}

// The member at `where`, or `otherwise` when the answer has none (or is no answer).
template <class T>
T member(const nlohmann::json& answer, const nlohmann::json::json_pointer& where, T otherwise)
{
    if (!answer.is_object() || !answer.contains(where))
        return otherwise;
    return answer.at(where).get<T>();
}

} // namespace

std::string HeadlessBrowser::executable()
{
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (::access(path, X_OK) == 0)
            return path;
    return "";
}

HeadlessBrowser::~HeadlessBrowser()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (commands_ >= 0)
        ::close(commands_);
    if (answers_ >= 0)
        ::close(answers_);
    if (!profile_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(profile_, ec);
    }
}

bool HeadlessBrowser::open(const std::string& url, int width, int height, std::string& error)
{
    char profile[] = "/tmp/standin-browser-XXXXXX";
    if (!::mkdtemp(profile)) {
        error = "no profile folder";
        return false;
    }
    profile_ = profile;
    width_ = width;
    height_ = height;
    int toBrowser[2], fromBrowser[2];
    if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) {
        error = "no pipes";
        return false;
    }
    const std::string exe = executable();
    std::vector<std::string> args = {exe, "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-background-networking", "--disable-component-update",
                                     "--disable-sync", "--no-first-run", "--user-data-dir=" + profile_,
                                     "--remote-debugging-pipe",
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height), url};
    pid_ = ::fork();
    if (pid_ == 0) {
        // Descriptors 3 and 4 are the protocol's, whatever numbers the pipes got.
        const int in = ::fcntl(toBrowser[0], F_DUPFD, 10), out = ::fcntl(fromBrowser[1], F_DUPFD, 10);
        ::dup2(in, 3);
        ::dup2(out, 4);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    commands_ = toBrowser[1];
    answers_ = fromBrowser[0];
    if (pid_ < 0) {
        error = "cannot start the browser";
        return false;
    }
    const nlohmann::json targets = call("Target.getTargets", nlohmann::json::object(), false);
    for (const auto& target : member(targets, "/result/targetInfos"_json_pointer, nlohmann::json::array()))
        if (target.value("type", "") == "page") {
            const nlohmann::json attached = call(
                "Target.attachToTarget", {{"targetId", target.value("targetId", "")}, {"flatten", true}}, false);
            session_ = member(attached, "/result/sessionId"_json_pointer, std::string());
        }
    if (session_.empty())
        error = "the browser shows no page";
    return !session_.empty();
}

nlohmann::json HeadlessBrowser::call(const std::string& method, const nlohmann::json& params, bool inPage)
{
    const int id = ++next_;
    nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
    if (inPage)
        message["sessionId"] = session_;
    const std::string text = message.dump() + std::string(1, '\0');
    if (::write(commands_, text.data(), text.size()) != ssize_t(text.size()))
        return nullptr;
    const int64_t deadline = nowMs() + kAnswerMs;
    for (;;) {
        for (size_t end = buffer_.find('\0'); end != std::string::npos; end = buffer_.find('\0')) {
            nlohmann::json answer = nlohmann::json::parse(buffer_.substr(0, end), nullptr, false);
            buffer_.erase(0, end + 1);
            if (answer.is_object() && answer.value("id", 0) == id)
                return answer;
        }
        pollfd p{answers_, POLLIN, 0};
        const int64_t left = deadline - nowMs();
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            return nullptr;
        char chunk[65536];
        const ssize_t n = ::read(answers_, chunk, sizeof chunk);
        if (n <= 0)
            return nullptr;
        buffer_.append(chunk, size_t(n));
    }
}

nlohmann::json HeadlessBrowser::evaluate(const std::string& expression)
{
    const nlohmann::json answer = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true);
    return member(answer, "/result/result/value"_json_pointer, nlohmann::json());
}

bool HeadlessBrowser::screenshot(const std::string& path)
{
    // The window's size is the page's, whatever the browser's own frame takes.
    call("Emulation.setDeviceMetricsOverride",
         {{"width", width_}, {"height", height_}, {"deviceScaleFactor", 1}, {"mobile", false}}, true);
    const nlohmann::json answer = call("Page.captureScreenshot", {{"format", "png"}}, true);
    const std::string data = member(answer, "/result/data"_json_pointer, std::string());
    if (data.empty())
        return false;
    std::ofstream(path, std::ios::binary) << decodeBase64(data);
    return true;
}

} // namespace standintest
