// Debian's Chromium, headless, driven over its DevTools protocol on a pipe (the browser
// reads commands on descriptor 3 and writes answers on 4, each a JSON text ended by a zero
// byte): enough to load a page, evaluate script in it and take its screenshot. Every wait
// is bounded; the browser and its profile folder are gone when the object is.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <string>

namespace standintest {

class HeadlessBrowser {
public:
    // Where Chromium is, or "" when it is not installed.
    static std::string executable();

    HeadlessBrowser() = default;
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    // Starts the browser on `url` (a fresh profile) and attaches to its page. False with
    // the reason when it does not come up within the time.
    bool open(const std::string& url, int width, int height, std::string& error);
    // The value of a script expression in the page (returned by value), or null.
    nlohmann::json evaluate(const std::string& expression);
    // The page as a PNG file; false when the browser gave none.
    bool screenshot(const std::string& path);

private:
    nlohmann::json call(const std::string& method, const nlohmann::json& params, bool inPage);

    pid_t pid_ = -1;
    int commands_ = -1, answers_ = -1;
    std::string buffer_;
    std::string profile_;
    std::string session_;
    int next_ = 0;
    int width_ = 0, height_ = 0;
};

} // namespace standintest
