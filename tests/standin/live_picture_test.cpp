// The stand-in's live picture: after each stream of an edit sequence its picture is the one a
// fresh drawing of the scene it holds gives; its live page serves its page, its pictures
// and its event stream on 127.0.0.1 and nothing else; and a real browser showing the page
// sees the picture change with each edit.
#include "Png.h"
#include "Preview.h"
#include "headless_browser.h"
#include "net.h"
#include "preview_scenes.h"
#include "protocol.h"
#include "scene_limits.h"
#include "scene_state.h"
#include "standin_rig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace previewtest;
using standintest::ask;
using standintest::nowMs;
using standintest::portOf;
using standintest::Rig;

class LivePicture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000)) << "another renderer keeps answering on the live-link ports";
    }

    std::string picture(pid_t pid, int number) const
    {
        return (fs::path(rig.output()) / ("received-" + std::to_string(pid) + "-" + std::to_string(number) + ".png"))
            .string();
    }

    bool waitFor(const std::string& file, int ms = 30000) const
    {
        for (const int64_t end = nowMs() + ms; nowMs() < end; ::usleep(50000))
            if (fs::exists(file))
                return true;
        return false;
    }

    Rig rig;
};

// A port nothing listens on now, for the page.
int freePort()
{
    standin::net::Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// A group that places what it holds (dx, dy) away, as the plug-in writes a host object.
std::string placed(const std::string& name, double dx, double dy, const std::string& body)
{
    return "group \"" + name + "\" {\n  transform 1 0 0 0 0 1 0 0 0 0 1 0 " + std::to_string(dx) + " " +
           std::to_string(dy) + " 0 1\n" + body + "}\n";
}

// The edit sequence: the whole scene as it stands after each edit.
std::vector<std::pair<const char*, std::string>> editSequence()
{
    const auto scene = [](double redX, double greenSize, const std::string& blue, double fov, bool cyan, bool red) {
        std::string objects = quad("Wall", -90, -90, 90, 90, 160, diffuse(0.8, 0.8, 0.8));
        if (red)
            objects += placed("Red", redX, 0, quad("Red", -8, -3, 8, 13, 100, diffuse(1, 0, 0)));
        objects += quad("Green", -greenSize, -5 - greenSize, greenSize, -5 + greenSize, 90, diffuse(0, 1, 0));
        objects += quad("Blue", 14, -8, 30, 8, 110, blue);
        if (cyan)
            objects += quad("Cyan", 1, 11, 9, 19, 80, diffuse(0, 1, 1));
        return "version 9\n" + camera(fov) + group(objects) + pointLight(10, 30, 40);
    };
    const std::string blue = diffuse(0, 0, 1), yellow = diffuse(1, 1, 0);
    return {{"the first scene", scene(-20, 8, blue, 60, false, true)},
            {"a moved object", scene(-14, 8, blue, 60, false, true)},
            {"an edited mesh", scene(-14, 5, blue, 60, false, true)},
            {"a changed material", scene(-14, 5, yellow, 60, false, true)},
            {"a moved camera", scene(-14, 5, yellow, 50, false, true)},
            {"an added object", scene(-14, 5, yellow, 50, true, true)},
            {"a deleted object", scene(-14, 5, yellow, 50, true, false)}};
}

size_t differingPixels(const preview::Image& a, const preview::Image& b)
{
    if (a.rgb.size() != b.rgb.size())
        return size_t(-1);
    size_t n = 0;
    for (size_t i = 0; i < a.rgb.size(); i += 3)
        n += !std::equal(a.rgb.begin() + long(i), a.rgb.begin() + long(i) + 3, b.rgb.begin() + long(i));
    return n;
}

TEST_F(LivePicture, EachPictureIsAFreshDrawingOfTheHeldScene)
{
    const pid_t pid = rig.startRenderer({});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    // The scene the renderer holds, taken in here by the same rule.
    standin::SceneState held;
    int number = 0;
    for (const auto& [what, text] : editSequence()) {
        SCOPED_TRACE(what);
        ++number;
        ASSERT_NE(ask(port, standin::protocol::streamRequest(1, 1), text).find(" ok\n"), std::string::npos);
        orv::qrf::Document doc = parsed(text.substr(10)); // without its version record, which parsed() adds
        standin::limits::capGroupNames(doc);
        held.receive(doc, number, 1);
        ASSERT_TRUE(waitFor(picture(pid, number)));
        preview::Image drawn;
        std::string error;
        ASSERT_TRUE(preview::readPng(picture(pid, number), drawn, error)) << error;
        preview::Result fresh;
        ASSERT_TRUE(preview::render(held.drawable(), preview::Options{}, fresh, error)) << error;
        EXPECT_LE(differingPixels(drawn, fresh.image), size_t(640 * 360) / 200) << "pixels that differ";
    }
}

// The plug-in's Live session on the bundled example, against a renderer that writes the scene
// it holds after each update (by the merge rule): each picture is a fresh drawing of it.
std::vector<std::string> liveSession(const std::vector<std::string>& steps, int paceMs)
{
    const std::string examples = std::string(TAVRIN_EXAMPLES_DIR) + "/live/";
    std::vector<std::string> args = {C4DSIM_EXE, examples + "start.json", "--live", "--plugin", PLUGIN_MODULE,
                                     "--pace", std::to_string(paceMs), "--steps"};
    for (const std::string& step : steps)
        args.push_back(examples + step);
    return args;
}

TEST_F(LivePicture, ALiveSessionsPicturesAreFreshDrawingsOfTheHeldScene)
{
    const pid_t pid = rig.startRenderer({"--write-held"});
    ASSERT_GT(pid, 0);
    std::string log;
    ASSERT_EQ(standintest::runProgram(liveSession({"step-1.json", "step-2.json", "step-3.json", "step-4.json"}, 1500),
                                      60000, &log),
              0)
        << log;
    int compared = 0;
    for (int number = 1; number <= 5; ++number) {
        SCOPED_TRACE(number);
        const std::string held =
            (fs::path(rig.output()) / ("held-" + std::to_string(pid) + "-" + std::to_string(number) + ".qrf")).string();
        ASSERT_TRUE(waitFor(picture(pid, number))) << log;
        orv::qrf::Document doc;
        orv::qrf::ParseError parseError;
        ASSERT_TRUE(orv::qrf::parseFile(held, doc, parseError)) << parseError.message;
        preview::Image drawn;
        preview::Result fresh;
        std::string error;
        ASSERT_TRUE(preview::readPng(picture(pid, number), drawn, error)) << error;
        ASSERT_TRUE(preview::render(doc, preview::Options{}, fresh, error)) << error;
        EXPECT_LE(differingPixels(drawn, fresh.image), size_t(640 * 360) / 200) << "pixels that differ";
        ++compared;
    }
    EXPECT_EQ(compared, 5);
}

// One HTTP request over a fresh connection, read to its end.
std::string http(int port, const std::string& request, const char* address = "127.0.0.1")
{
    standin::net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return "(refused)";
    standin::net::sendAll(fd.get(), request, 2000);
    std::string answer;
    standin::net::readToEnd(fd.get(), answer, 16 << 20, nowMs() + 5000);
    return answer;
}

std::string get(int port, const std::string& path, const std::string& host = "")
{
    return http(port, "GET " + path + " HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                          "\r\nConnection: close\r\n\r\n");
}

// The event stream's text up to the first event that names `wanted`. The picture's file is written
// before its event goes out, so a quick picture's event may still come first.
std::string eventNaming(int port, const std::string& wanted)
{
    standin::net::Fd fd = standin::net::connectLoopback(port, 2000);
    standin::net::sendAll(fd.get(), "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n", 2000);
    std::string text, line;
    const int64_t deadline = nowMs() + 5000;
    while (text.find(wanted) == std::string::npos && standin::net::readLine(fd.get(), line, 1 << 16, deadline))
        text += line + "\n";
    return text;
}

TEST_F(LivePicture, ThePageServesOnlyItsOwn)
{
    const int view = freePort();
    ASSERT_GT(view, 0);
    const pid_t pid = rig.startRenderer({"--view", std::to_string(view)});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    const std::string page = get(view, "/");
    EXPECT_TRUE(page.starts_with("HTTP/1.1 200")) << page.substr(0, 200);
    EXPECT_NE(page.find("new EventSource('/events')"), std::string::npos);
    EXPECT_NE(page.find("process " + std::to_string(pid)), std::string::npos);

    ASSERT_NE(ask(port, standin::protocol::streamRequest(1, 1), editSequence().front().second).find(" ok\n"),
              std::string::npos);
    ASSERT_TRUE(waitFor(picture(pid, 1)));
    const std::string event = eventNaming(view, "\"url\":\"/picture/1.png\"");
    EXPECT_NE(event.find("event: picture"), std::string::npos) << event;
    EXPECT_NE(event.find("\"number\":1"), std::string::npos) << event;
    EXPECT_NE(event.find("\"url\":\"/picture/1.png\""), std::string::npos) << event;
    const std::string png = get(view, "/picture/1.png");
    EXPECT_NE(png.find("Content-Type: image/png"), std::string::npos) << png.substr(0, 200);
    EXPECT_TRUE(png.ends_with(standintest::readFile(picture(pid, 1))));

    struct Refused {
        const char* what;
        std::string answer;
        const char* status;
    };
    const Refused refused[] = {
        {"another path", get(view, "/etc/passwd"), "HTTP/1.1 404"},
        {"a path out of the pictures", get(view, "/picture/../../etc/passwd.png"), "HTTP/1.1 40"},
        {"a picture not kept", get(view, "/picture/7.png"), "HTTP/1.1 404"},
        {"another method", http(view, "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(view) +
                                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
         "HTTP/1.1 405"},
        {"another host name", get(view, "/", "evil.example:" + std::to_string(view)), "HTTP/1.1 403"},
        {"another loopback address", http(view, "GET / HTTP/1.1\r\n\r\n", "127.0.0.2"), "(refused)"},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_TRUE(r.answer.starts_with(r.status)) << r.answer.substr(0, 200);
    }
}

// Script that says what the page shows: the pictures it was sent, its line, and a digest of
// the picture's pixels once it has loaded.
constexpr const char* kPageState = R"js((() => {
  const i = document.getElementById('picture');
  let digest = 0;
  if (i.complete && i.naturalWidth > 0) {
    const c = document.createElement('canvas');
    c.width = i.naturalWidth;
    c.height = i.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(i, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    for (let k = 0; k < d.length; k += 4)
      digest = (digest * 31 + d[k] + 7 * d[k + 1] + 13 * d[k + 2]) >>> 0;
  }
  return {shown: (window.shown || []).filter(p => !p.quick).map(p => p.number),
          src: i.src, line: document.getElementById('line').textContent, digest: digest};
})())js";

// The page open in Chromium before Live starts; the session then sends the document and, two
// and a half seconds apart (room for a sanitized build on a busy machine), two edits (the cube
// moved, the red material turned blue). The first step is the document as it is, so that the
// page has the first picture in time.
TEST_F(LivePicture, ABrowserSeesThePictureChangeWithEachEdit)
{
    if (standintest::HeadlessBrowser::executable().empty())
        GTEST_SKIP() << "Chromium is not installed (Debian's chromium; scripts/install-deps installs it)";
    const int view = freePort();
    const pid_t pid = rig.startRenderer({"--view", std::to_string(view)});
    ASSERT_GT(pid, 0);
    standintest::HeadlessBrowser browser;
    std::string error;
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(view) + "/", 720, 480, error)) << error;

    std::string log;
    int status = -1;
    for (const int64_t end = nowMs() + 20000; nowMs() < end && browser.evaluate("'shown' in window") != true;)
        ::usleep(100000);
    std::thread session([&] {
        status = standintest::runProgram(liveSession({"start.json", "step-1.json", "step-2.json"}, 2500), 60000, &log);
    });
    // Each picture the page shows, as it shows it.
    std::vector<nlohmann::json> seen;
    for (const int64_t end = nowMs() + 40000; nowMs() < end; ::usleep(100000)) {
        const nlohmann::json state = browser.evaluate(kPageState);
        if (!state.is_object() || state.value("digest", 0u) == 0 || !state.value("src", "").ends_with(".png") ||
            state.value("src", "").ends_with("-quick.png"))
            continue;
        if (seen.empty() || seen.back().value("src", "") != state.value("src", ""))
            seen.push_back(state);
        if (state.value("src", "").ends_with("/picture/3.png"))
            break;
    }
    session.join();
    EXPECT_EQ(status, 0) << log;
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().value("src", "").ends_with("/picture/3.png")) << seen.back().dump();
    // The start, then each edit's picture, each different from the one before.
    const struct {
        const char* src;
        const char* line;
    } expected[] = {{"/picture/1.png", "the whole scene"}, {"/picture/2.png", "1 object moved"},
                    {"/picture/3.png", "1 material changed"}};
    ASSERT_EQ(seen.size(), 3u) << "the pictures shown: " << nlohmann::json(seen).dump();
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(expected[i].src);
        EXPECT_TRUE(seen[i].value("src", "").ends_with(expected[i].src)) << seen[i].dump();
        EXPECT_NE(seen[i].value("line", "").find(expected[i].line), std::string::npos) << seen[i].dump();
        EXPECT_NE(seen[i].value("line", "").find(" ms from the stream"), std::string::npos) << seen[i].dump();
        if (i > 0) {
            EXPECT_NE(seen[i].value("digest", 0u), seen[i - 1].value("digest", 0u)) << "the picture did not change";
        }
    }
    EXPECT_EQ(seen.back().value("shown", nlohmann::json()), nlohmann::json({1, 2, 3})) << "no picture was reloaded by hand";
    if (const char* shot = std::getenv("TAVRIN_LIVE_PAGE_SHOT")) {
        EXPECT_TRUE(browser.screenshot(shot));
    }
}

} // namespace
