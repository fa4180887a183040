#include "RepeatLinkFactory.h"
#include "process_owner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <map>
#include <set>
#include <tuple>

namespace {

// Each test process keeps its renderer claims in a folder of its own: the fake process ids
// are the same in every test, and the tests run side by side.
class PrivateClaimFolder final : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/link-claims-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
        ::setenv("XDG_CACHE_HOME", pattern, 1);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

private:
    std::string folder_;
};
[[maybe_unused]] ::testing::Environment* const kClaimFolder = ::testing::AddGlobalTestEnvironment(new PrivateClaimFolder);

// Query API over fixed texts: an instance list and one scene description per process id.
class FakeQuery final : public TavrinQueryApi {
public:
    std::string list;
    bool listIsNull = false;
    std::map<int64_t, std::string> scenes;  // missing id: select fails
    std::vector<int64_t> unreachable;
    int listCalls = 0;
    int openSelections = 0;
    int selections = 0;
    // Instances that appear in the list only after this many list calls.
    int appearAfter = 0;
    std::string lateList;
    // When set, the list of each call in turn (the last one repeats).
    std::vector<std::string> stages;

    const char* instances_xml() override {
        ++listCalls;
        if (listIsNull) return nullptr;
        if (!stages.empty()) return stages[std::min(stages.size(), static_cast<size_t>(listCalls)) - 1].c_str();
        if (appearAfter > 0 && listCalls > appearAfter) return lateList.c_str();
        return list.c_str();
    }
    bool select_instance(int64_t pid) override {
        if (std::find(unreachable.begin(), unreachable.end(), pid) != unreachable.end()) return false;
        if (!scenes.count(pid)) return false;
        current_ = pid;
        ++openSelections;
        ++selections;
        return true;
    }
    void reserved_query1() override {}
    void end_selection() override { --openSelections; }
    void reserved_query2() override {}
    void reserved_query3() override {}
    const char* scene_xml() override {
        const std::string& s = scenes[current_];
        return s == "<null>" ? nullptr : s.c_str();
    }

private:
    int64_t current_ = 0;
};

// A back end whose connect succeeds for one host and port.
class FakeApi final : public NullApi {
public:
    std::string acceptHost;
    unsigned acceptPort = 0;
    std::vector<std::tuple<std::string, unsigned, int>> connects;
    std::vector<unsigned> ids;
    int disconnects = 0;

    bool connect(const char* host, unsigned port, int mode) override {
        connects.emplace_back(host, port, mode);
        return host == acceptHost && port == acceptPort;
    }
    int disconnect() override {
        ++disconnects;
        return 0;
    }
    void id(unsigned id) override { ids.push_back(id); }
};

std::string instance(int version, int64_t pid, int port) {
    return "<tavrin_instance><info><version_major>" + std::to_string(version) + "</version_major></info><process_id>" +
           std::to_string(pid) + "</process_id><livelink_port>" + std::to_string(port) +
           "</livelink_port></tavrin_instance>";
}
std::string list_of(const std::vector<std::string>& entries) {
    std::string s = "<?xml version=\"1.0\" ?>\n<instances>";
    for (const std::string& e : entries) s += e;
    return s + "</instances>";
}

const std::string kEmptyScene = "<scene><world><camera/><light/></world></scene>";
const std::string kBusyScene = "<scene><world><group name=\"other\"><mesh/></group></world></scene>";
std::string holding(const std::string& name, const char* state = "active") {
    return "<scene><world><models><set modelset=\"" + std::string(state) + "\" name=\"" + name +
           "\"><mesh/></set></models></world></scene>";
}

// A factory wired to the fakes, with the Render command's settings by default.
struct Rig {
    FakeQuery query;
    FakeApi api;
    bool haveApi = true;
    bool haveQuery = true;
    bool launchResult = true;
    int launches = 0;
    // The launched renderer's process id, and after how many checks it has ended with
    // exitStatus (never when negative).
    int64_t launchedPid = 7;
    int exitAfterChecks = -1;
    int exitStatus = 0;
    int exitChecks = 0;
    int unloads = 0;
    std::vector<int> sleeps;
    std::set<int64_t> othersPids; // processes of another user
    bool realOwners = false;      // the process ids are processes here: their owners count
    RepeatLinkFactory factory;

    Rig() : factory(services()) {
        factory.set_version_range(9, 10);
        factory.set_scene_name("");
        factory.set_accept_any_instance(false);
    }
    LinkServices services() {
        LinkServices s;
        s.scene_api = [this](int, int) -> orvScene_api* { return haveApi ? &api : nullptr; };
        s.query_api = [this](int, int) -> TavrinQueryApi* { return haveQuery ? &query : nullptr; };
        s.unload = [this] { ++unloads; };
        s.launch = [this](int, int) {
            ++launches;
            if (launches > 1) ++launchedPid;
            return LaunchedRenderer{launchResult ? launchedPid : 0, "/opt/tavrin", {}};
        };
        s.exited = [this](int64_t pid, int& status) {
            EXPECT_EQ(pid, launchedPid);
            status = exitStatus;
            return exitAfterChecks >= 0 && ++exitChecks > exitAfterChecks;
        };
        s.sleep = [this](int ms) { sleeps.push_back(ms); };
        // The fake process ids are no processes of this machine: their owners are the test's.
        s.other_user = [this](int64_t pid, uint32_t* owner) {
            if (realOwners) return ownedByAnotherUser(pid, owner);
            if (!othersPids.count(pid)) return false;
            *owner = 4242;
            return true;
        };
        return s;
    }
    void update_settings(const std::string& name) {
        factory.set_scene_name(name);
        factory.set_accept_any_instance(true);
    }
};

TEST(RepeatLinkFactory, RenderLaunchesWhenOnlyBusyInstancesRunAndPollsBounded) {
    Rig rig;
    rig.query.list = list_of({instance(9, 100, 4000)});
    rig.query.scenes[100] = kBusyScene;
    EXPECT_EQ(rig.factory.getApi(), nullptr);
    EXPECT_EQ(rig.launches, 1);
    // Default attempts 20: 19 polls after the first listing, each followed by a pause.
    EXPECT_EQ(rig.query.listCalls, 20);
    EXPECT_EQ(rig.sleeps, std::vector<int>(19, 1000));
    EXPECT_EQ(rig.factory.error_text(), std::string("Failed to connect. ") + RepeatLinkFactory::kNoPort);
    // No instance: the known ports were scanned on 127.0.0.1 with mode 1.
    ASSERT_EQ(rig.api.connects.size(), 11u);
    EXPECT_EQ(rig.api.connects.front(), std::make_tuple(std::string("127.0.0.1"), 3141u, 1));
    EXPECT_EQ(rig.api.connects.back(), std::make_tuple(std::string("127.0.0.1"), 3151u, 1));
    EXPECT_EQ(rig.api.ids, std::vector<unsigned>{1});
    EXPECT_EQ(rig.query.openSelections, 0);
}

TEST(RepeatLinkFactory, LaunchedInstanceFoundWhilePolling) {
    Rig rig;
    rig.factory.set_attempts(5);
    rig.factory.set_poll_delay_ms(3);
    rig.query.list = list_of({});
    rig.query.appearAfter = 2;
    rig.query.lateList = list_of({instance(10, 7, 5000)});
    rig.query.scenes[7] = kEmptyScene;
    rig.api.acceptHost = "localhost";
    rig.api.acceptPort = 5000;
    EXPECT_EQ(rig.factory.getApi(), &rig.api);
    EXPECT_EQ(rig.factory.error_text(), "");
    EXPECT_EQ(rig.sleeps, (std::vector<int>{3, 3}));
    EXPECT_EQ(rig.api.connects, (std::vector<std::tuple<std::string, unsigned, int>>{{"localhost", 5000u, 4}}));
    EXPECT_EQ(rig.factory.port(), 5000);
    EXPECT_FALSE(rig.factory.scene_found());
}

TEST(RepeatLinkFactory, AfterALaunchItsOwnInstanceIsWaitedForAndPreferred) {
    // Another command's renderer (pid 8, newer) may come up at the same moment as the one
    // launched here (pid 7).
    const struct {
        const char* what;
        std::vector<std::string> late;
        int exitAfterChecks;
        unsigned port;        // connected to
        size_t sleeps;
    } cases[] = {
        {"both appear: the own one wins", {instance(10, 8, 5008), instance(9, 7, 5007)}, -1, 5007, 3},
        {"only the other one: polls run out, then it is taken", {instance(10, 8, 5008)}, -1, 5008, 9},
        {"only the other one and the own renderer ended: taken at once", {instance(10, 8, 5008)}, 2, 5008, 3},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.factory.set_attempts(10);
        rig.exitAfterChecks = c.exitAfterChecks;
        rig.query.list = list_of({});
        rig.query.appearAfter = 3;
        rig.query.lateList = list_of(c.late);
        rig.query.scenes[7] = kEmptyScene;
        rig.query.scenes[8] = kEmptyScene;
        rig.api.acceptHost = "localhost";
        rig.api.acceptPort = c.port;
        EXPECT_EQ(rig.factory.getApi(), &rig.api) << c.what;
        EXPECT_EQ(rig.factory.port(), static_cast<int>(c.port)) << c.what;
        EXPECT_EQ(rig.sleeps.size(), c.sleeps) << c.what;
    }
}

TEST(RepeatLinkFactory, ALaunchedRendererTakenByAnotherCommandIsReplaced) {
    const std::string seven = instance(9, 7, 5007), eight = instance(9, 8, 5008);
    const struct {
        const char* what;
        std::vector<std::string> stages;
        std::map<int64_t, std::string> scenes;
        int64_t claimedByAnother; // 0: none
        unsigned port;            // connected to; 0: no link
        int launches;
        size_t sleeps;
    } cases[] = {
        // Another command sends its scene to the renderer launched first (pid 7) before this
        // one sees it empty: a second one (pid 8) is launched and used.
        {"taken, replaced",
         {list_of({}), list_of({}), list_of({seven}), list_of({seven}), list_of({seven, eight})},
         {{7, kBusyScene}, {8, kEmptyScene}}, 0, 5008, 2, 4},
        // Claimed by another command while still empty, with a free empty renderer (pid 8)
        // up beside it: that one is used at once, and no second renderer is launched.
        {"claimed, a free one beside it", {list_of({}), list_of({seven, eight})},
         {{7, kEmptyScene}, {8, kEmptyScene}}, 7, 5008, 1, 1},
        // Taken every time: the launches are bounded, then the known ports are scanned.
        {"taken every time", {list_of({}), list_of({seven, eight, instance(9, 9, 5009)})},
         {{7, kBusyScene}, {8, kBusyScene}, {9, kBusyScene}}, 0, 0, 3, 3},
    };
    for (const auto& c : cases) {
        InstanceClaim other;
        if (c.claimedByAnother) {
            ASSERT_EQ(InstanceClaim::take(c.claimedByAnother, other), InstanceClaim::Outcome::Claimed);
        }
        Rig rig;
        rig.query.stages = c.stages;
        rig.query.scenes = c.scenes;
        rig.api.acceptHost = "localhost";
        rig.api.acceptPort = c.port;
        EXPECT_EQ(rig.factory.getApi(), c.port ? &rig.api : nullptr) << c.what;
        EXPECT_EQ(rig.launches, c.launches) << c.what;
        EXPECT_EQ(rig.sleeps.size(), c.sleeps) << c.what;
        if (c.port) {
            EXPECT_EQ(rig.factory.port(), static_cast<int>(c.port)) << c.what;
        }
    }
}

TEST(RepeatLinkFactory, ALaunchedRendererThatEndsStopsThePolling) {
    const std::pair<int, std::string> cases[] = {
        {127 << 8, "exited with status 127"},
        {SIGSEGV, "was ended by signal 11"},
        {-1, "ended"},
    };
    for (const auto& [status, said] : cases) {
        Rig rig;
        rig.query.list = list_of({});
        rig.exitAfterChecks = 1;
        rig.exitStatus = status;
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.factory.error_text(), "Failed to connect. Could not start Tavrin: \"/opt/tavrin\" " + said + ".");
        EXPECT_EQ(rig.sleeps.size(), 2u);
        EXPECT_TRUE(rig.api.connects.empty());
    }
}

TEST(RepeatLinkFactory, PollingHonoursSmallAttemptCounts) {
    for (const auto& [attempts, polls] : std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 1}, {3, 2}}) {
        Rig rig;
        rig.factory.set_attempts(attempts);
        rig.query.list = list_of({});
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.query.listCalls, 1 + polls) << attempts;
    }
}

TEST(RepeatLinkFactory, UpdatePrefersTheInstanceHoldingTheScene) {
    Rig rig;
    rig.update_settings("Cube");
    rig.query.list = list_of({instance(9, 1, 4001), instance(10, 2, 4002)});
    rig.query.scenes[1] = holding("Cube");
    rig.query.scenes[2] = kBusyScene;
    rig.api.acceptHost = "localhost";
    rig.api.acceptPort = 4001;
    EXPECT_EQ(rig.factory.getApi(), &rig.api);
    EXPECT_TRUE(rig.factory.scene_found());
    EXPECT_EQ(rig.launches, 0);

    // Linked: a second request lists nothing again.
    const int listed = rig.query.listCalls;
    EXPECT_EQ(rig.factory.getApi(), &rig.api);
    EXPECT_EQ(rig.query.listCalls, listed);

    rig.factory.close();
    EXPECT_EQ(rig.api.disconnects, 1);
    EXPECT_EQ(rig.unloads, 1);
    rig.factory.close();
    EXPECT_EQ(rig.unloads, 1);
}

// A Live session's known renderer is asked alone while it holds the scene; otherwise the
// instances are listed and chosen from as for Update. The library stays loaded when kept.
TEST(RepeatLinkFactory, AKnownInstanceIsAskedAloneWhileItHoldsTheScene) {
    const struct {
        const char* what;
        std::string knownScene; // "" : the known instance no longer answers
        int listCalls;
        unsigned port; // connected to
        bool found;
    } cases[] = {
        {"still holds the scene", holding("Cube"), 0, 4001, true},
        {"gone: the holder listed elsewhere is taken", "", 1, 4002, true},
        {"holds another scene now", kBusyScene, 1, 4002, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        rig.update_settings("Cube");
        rig.factory.set_accept_any_instance(false);
        rig.query.list = list_of({instance(10, 2, 4002)});
        rig.query.scenes[2] = holding("Cube");
        if (!c.knownScene.empty()) rig.query.scenes[1] = c.knownScene;
        rig.api.acceptHost = "localhost";
        rig.api.acceptPort = c.port;
        rig.factory.set_known_instance(InstanceRecord{10, 1, 4001});
        rig.factory.set_keep_library(true);
        EXPECT_EQ(rig.factory.getApi(), &rig.api);
        EXPECT_EQ(rig.query.listCalls, c.listCalls);
        EXPECT_EQ(rig.factory.scene_found(), c.found);
        EXPECT_EQ(rig.factory.instance().port, static_cast<int>(c.port));
        EXPECT_EQ(rig.query.openSelections, 0);
        rig.factory.close();
        EXPECT_EQ(rig.unloads, 0);
    }
}

TEST(RepeatLinkFactory, ChoiceRules) {
    struct Case {
        const char* what;
        std::string name;
        bool any;
        std::vector<std::pair<int, std::string>> instances;  // version, scene (pid = index + 1)
        int64_t chosenPid;                                    // 0: none
        bool found;
    };
    const std::vector<Case> cases = {
        {"first of two equal empty instances", "", false, {{9, kEmptyScene}, {9, kEmptyScene}}, 1, false},
        {"newest empty instance", "", false, {{9, kEmptyScene}, {10, kEmptyScene}}, 2, false},
        {"busy instance not taken by Render", "", false, {{10, kBusyScene}}, 0, false},
        {"any instance taken by Update", "X", true, {{9, kEmptyScene}, {10, kBusyScene}}, 2, false},
        {"any beats empty when accepted", "", true, {{10, kEmptyScene}, {10, kBusyScene}}, 1, false},
        {"holding beats newer", "Cube", true, {{10, kEmptyScene}, {9, holding("Cube")}}, 2, true},
        {"inactive model set not found", "Cube", false, {{9, holding("Cube", "hidden")}}, 0, false},
        {"name must match exactly", "Cube", false, {{9, holding("Cube2")}}, 0, false},
        {"out of range version never chosen", "", true, {{11, kEmptyScene}, {8, kEmptyScene}}, 0, false},
        {"root without children is not empty", "", false, {{9, "<scene/>"}}, 0, false},
        {"null scene text: not empty", "", false, {{9, "<null>"}}, 0, false},
        {"null scene text: still any instance", "", true, {{9, "<null>"}}, 1, false},
        {"malformed scene counts for nothing", "", true, {{9, "<scene><world>"}}, 0, false},
    };
    for (const Case& c : cases) {
        Rig rig;
        if (!c.name.empty()) rig.update_settings(c.name);
        rig.factory.set_accept_any_instance(c.any);
        std::vector<std::string> entries;
        std::vector<InstanceRecord> records;
        for (size_t i = 0; i < c.instances.size(); ++i) {
            entries.push_back(instance(c.instances[i].first, static_cast<int64_t>(i + 1), 0));
            rig.query.scenes[static_cast<int64_t>(i + 1)] = c.instances[i].second;
        }
        rig.query.list = list_of(entries);
        const InstanceRecord chosen = rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query));
        EXPECT_EQ(chosen.process_id, c.chosenPid) << c.what;
        EXPECT_EQ(chosen.version == 0, c.chosenPid == 0) << c.what;
        EXPECT_EQ(rig.factory.scene_found(), c.found) << c.what;
        EXPECT_EQ(rig.query.openSelections, 0) << c.what;
    }
}

// A renderer of another user is passed over whatever it holds, each is named once, and a
// port where one answers is not scanned blindly either.
TEST(RepeatLinkFactory, AnEmptyRendererGoesToOneCommandOnly) {
    // Two commands see the same empty renderer (pid 100) before either has sent a scene.
    const std::string claimFile =
        std::string(std::getenv("XDG_CACHE_HOME")) + "/tavrin-renderer-claims/renderer-100.claim";
    Rig first;
    first.query.list = list_of({instance(9, 100, 4000)});
    first.query.scenes[100] = kEmptyScene;
    first.api.acceptHost = "localhost";
    first.api.acceptPort = 4000;
    ASSERT_EQ(first.factory.getApi(), &first.api);
    EXPECT_TRUE(std::filesystem::exists(claimFile));

    // The second one launches a renderer of its own (pid 7) and takes that.
    Rig second;
    second.factory.set_attempts(3);
    second.query.stages = {list_of({instance(9, 100, 4000)}),
                           list_of({instance(9, 100, 4000), instance(9, 7, 5007)})};
    second.query.scenes[100] = kEmptyScene;
    second.query.scenes[7] = kEmptyScene;
    second.api.acceptHost = "localhost";
    second.api.acceptPort = 5007;
    EXPECT_EQ(second.factory.getApi(), &second.api);
    EXPECT_EQ(second.launches, 1);
    EXPECT_EQ(second.factory.port(), 5007);

    // Once the first has let go, the renderer is free again (should its scene not have
    // arrived) and the claim leaves no file behind.
    first.factory.close();
    EXPECT_FALSE(std::filesystem::exists(claimFile));
    Rig third;
    third.query.list = first.query.list;
    third.query.scenes[100] = kEmptyScene;
    third.api.acceptHost = "localhost";
    third.api.acceptPort = 4000;
    EXPECT_EQ(third.factory.getApi(), &third.api);
    EXPECT_EQ(third.launches, 0);

    // A command that ends without letting go (a crashed host) holds nothing.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InstanceClaim held;
        ::_exit(InstanceClaim::take(555, held) == InstanceClaim::Outcome::Claimed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    InstanceClaim after;
    EXPECT_EQ(InstanceClaim::take(555, after), InstanceClaim::Outcome::Claimed);
}

TEST(RepeatLinkFactory, RenderersOfAnotherUserArePassedOver) {
    struct Case {
        const char* what;
        std::string name;                 // scene name; Update when not empty
        std::vector<std::string> scenes;  // pid = index + 1, port = 4000 + pid
        std::set<int64_t> others;
        int64_t chosenPid;                // 0: none
    };
    const std::vector<Case> cases = {
        {"Render: another user's empty instance", "", {kEmptyScene}, {1}, 0},
        {"Render: ours though another user's is newer", "", {kEmptyScene, kEmptyScene}, {2}, 1},
        {"Update: another user's holding the scene", "Cube", {holding("Cube"), kBusyScene}, {1}, 2},
        {"Update: only another user's", "Cube", {holding("Cube")}, {1}, 0},
        {"Update: unknown owners count as ours", "Cube", {holding("Cube")}, {}, 1},
    };
    for (const Case& c : cases) {
        Rig rig;
        if (!c.name.empty()) rig.update_settings(c.name);
        rig.othersPids = c.others;
        std::vector<std::string> entries;
        for (size_t i = 0; i < c.scenes.size(); ++i) {
            const int64_t pid = static_cast<int64_t>(i + 1);
            entries.push_back(instance(i == 1 ? 10 : 9, pid, static_cast<int>(4000 + pid)));
            rig.query.scenes[pid] = c.scenes[i];
        }
        rig.query.list = list_of(entries);
        for (int twice = 0; twice < 2; ++twice) {
            const InstanceRecord chosen = rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query));
            EXPECT_EQ(chosen.process_id, c.chosenPid) << c.what;
        }
        ASSERT_EQ(rig.factory.passed_over().size(), c.others.size()) << c.what;
        for (const auto& passed : rig.factory.passed_over()) {
            EXPECT_TRUE(c.others.count(passed.instance.process_id)) << c.what;
            EXPECT_EQ(passed.instance.port, 4000 + passed.instance.process_id) << c.what;
            EXPECT_EQ(passed.owner, 4242u) << c.what;
        }
        EXPECT_EQ(rig.query.openSelections, 0) << c.what;
    }

    // No instance chosen, so the known ports are scanned: the other user's port is not tried.
    Rig rig;
    rig.othersPids = {1};
    rig.query.list = list_of({instance(9, 1, 3143)});
    rig.query.scenes[1] = kEmptyScene;
    rig.launchResult = true;
    rig.factory.set_attempts(1);
    EXPECT_EQ(rig.factory.getApi(), nullptr);
    EXPECT_EQ(rig.api.connects.size(), 10u);
    for (const auto& connect : rig.api.connects) EXPECT_NE(std::get<1>(connect), 3143u);
}

TEST(RepeatLinkFactory, ModelSetSearchDepthDependsOnVersion) {
    // The set sits four levels below the root: found for version 7 and above only.
    const std::string deep =
        "<scene><a><b><set modelset=\"active\" name=\"S\"/></b></a><x><y/></x></scene>";
    for (const int version : {6, 7, 9}) {
        Rig rig;
        rig.factory.set_version_range(1, 20);
        rig.update_settings("S");
        rig.query.list = list_of({instance(version, 5, 0)});
        rig.query.scenes[5] = deep;
        rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query));
        EXPECT_EQ(rig.factory.scene_found(), version > 6) << version;
    }
    // Below an inactive set nothing is searched.
    Rig rig;
    rig.update_settings("S");
    rig.query.list = list_of({instance(9, 5, 0)});
    rig.query.scenes[5] = "<scene><m modelset=\"off\"><set name=\"S\"/></m></scene>";
    rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query));
    EXPECT_FALSE(rig.factory.scene_found());
}

TEST(RepeatLinkFactory, UnreachableInstanceIsSkippedWithoutEndingASelection) {
    Rig rig;
    rig.query.list = list_of({instance(10, 1, 0), instance(9, 2, 0)});
    rig.query.scenes[1] = kEmptyScene;
    rig.query.scenes[2] = kEmptyScene;
    rig.query.unreachable = {1};
    const InstanceRecord chosen = rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query));
    EXPECT_EQ(chosen.process_id, 2);
    EXPECT_EQ(rig.query.selections, 1);
    EXPECT_EQ(rig.query.openSelections, 0);
}

TEST(RepeatLinkFactory, PortScanStopsAtTheFirstSuccess) {
    Rig rig;
    rig.query.list = list_of({instance(9, 1, 0)});
    rig.query.scenes[1] = kEmptyScene;
    rig.api.acceptHost = "127.0.0.1";
    rig.api.acceptPort = 3144;
    EXPECT_EQ(rig.factory.getApi(), &rig.api);
    ASSERT_EQ(rig.api.connects.size(), 4u);
    EXPECT_EQ(rig.api.connects.back(), std::make_tuple(std::string("127.0.0.1"), 3144u, 1));
    EXPECT_EQ(rig.launches, 0);
}

TEST(RepeatLinkFactory, FailureTextsAndWhatIsHeld) {
    {
        Rig rig;
        rig.haveApi = false;
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.factory.error_text(),
                  "Failed to connect. Could not get a scene api. Please check your Tavrin installation.\n");
        rig.factory.close();
        EXPECT_EQ(rig.unloads, 0);
    }
    {
        // The back end is held (and released by close) but not handed out unconnected.
        Rig rig;
        rig.haveQuery = false;
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.factory.error_text(),
                  "Failed to connect. Could not get a query api. Please check your Tavrin installation.\n");
        rig.factory.close();
        EXPECT_EQ(rig.api.disconnects, 1);
        EXPECT_EQ(rig.unloads, 1);
    }
    {
        Rig rig;
        rig.launchResult = false;
        rig.query.list = list_of({});
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.factory.error_text(),
                  "Failed to connect. Unabled to launch Tavrin. Please check your Tavrin installation.");
        EXPECT_TRUE(rig.api.connects.empty());
    }
    {
        // A connection failure lets go of the back end; the library stays loaded.
        // What answered on a known port instead of a renderer is named.
        Rig rig;
        rig.query.list = list_of({instance(9, 1, 4000), "<not_a_renderer port=\"3141\">HTTP/1.1 400</not_a_renderer>"});
        rig.query.scenes[1] = kEmptyScene;
        EXPECT_EQ(rig.factory.getApi(), nullptr);
        EXPECT_EQ(rig.factory.error_text(),
                  "Failed to connect. Could not connect on any known port. Please check your Tavrin installation "
                  "and Live Link settings. Not a Tavrin renderer: port 3141 answered \"HTTP/1.1 400\"");
        EXPECT_EQ(rig.api.connects.size(), 1u);
        rig.factory.close();
        EXPECT_EQ(rig.unloads, 0);
        EXPECT_EQ(rig.api.disconnects, 0);
    }
}

TEST(RepeatLinkFactory, DestructionReleasesTheLink) {
    FakeApi api;
    api.acceptHost = "localhost";
    api.acceptPort = 4001;
    FakeQuery query;
    query.list = list_of({instance(9, 1, 4001)});
    query.scenes[1] = kEmptyScene;
    int unloads = 0;
    {
        LinkServices s;
        s.scene_api = [&](int, int) -> orvScene_api* { return &api; };
        s.query_api = [&](int, int) -> TavrinQueryApi* { return &query; };
        s.unload = [&] { ++unloads; };
        s.other_user = [](int64_t, uint32_t*) { return false; };
        RepeatLinkFactory factory(s);
        factory.set_version_range(9, 10);
        EXPECT_EQ(factory.getApi(), &api);
    }
    EXPECT_EQ(api.disconnects, 1);
    EXPECT_EQ(unloads, 1);
}

TEST(RepeatLinkFactory, DoubtfulInstanceEntriesAreLeftOut) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"no version", "<i><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
        {"no pid", "<i><version_major>9</version_major><livelink_port>1</livelink_port></i>"},
        {"no port", "<i><version_major>9</version_major><process_id>5</process_id></i>"},
        {"empty version", "<i><version_major/><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
        {"trailing text", "<i><version_major>9x</version_major><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
        {"not a number", "<i><version_major>nine</version_major><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
        {"huge version", "<i><version_major>4294967305</version_major><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
        {"overflowing pid", "<i><version_major>9</version_major><process_id>99999999999999999999</process_id><livelink_port>1</livelink_port></i>"},
        {"negative pid", "<i><version_major>9</version_major><process_id>-5</process_id><livelink_port>1</livelink_port></i>"},
        {"port too large", "<i><version_major>9</version_major><process_id>5</process_id><livelink_port>70000</livelink_port></i>"},
        {"element as text", "<i><version_major><b>9</b></version_major><process_id>5</process_id><livelink_port>1</livelink_port></i>"},
    };
    for (const auto& [what, entry] : cases) {
        Rig rig;
        rig.factory.set_version_range(-100, 20);
        rig.query.list = "<list>" + entry + "</list>";
        EXPECT_TRUE(rig.factory.list_instances(rig.query).empty()) << what;
    }
    Rig rig;
    rig.query.list = "<list><i> <version_major> 9 </version_major><process_id>5</process_id>"
                     "<livelink_port>-1</livelink_port></i></list>";
    const std::vector<InstanceRecord> ok = rig.factory.list_instances(rig.query);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(ok[0].version, 9);
    EXPECT_EQ(ok[0].process_id, 5);
    EXPECT_EQ(ok[0].port, -1);
}

TEST(RepeatLinkFactory, HostileListsYieldNothing) {
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<a>";
    deep += instance(9, 1, 1);
    for (int i = 0; i < 10000; ++i) deep += "</a>";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"null", ""},
        {"truncated", list_of({instance(9, 1, 1)}).substr(0, 60)},
        {"garbage", "\x01\x02<<<>>>&&&"},
        {"nested ten thousand deep", "<l>" + deep + "</l>"},
        {"no root", "<?xml version=\"1.0\"?>"},
        // TinyXML steps over the lead byte's sequence past the end of the text.
        {"ends in a UTF-8 lead byte", "<\x7f>\xbc\x7f\x7f\xff\xff\xff\xff\xff\xff\xff\xffv\xe6"},
    };
    for (const auto& [what, text] : cases) {
        Rig rig;
        rig.query.list = text;
        rig.query.listIsNull = std::string(what) == "null";
        EXPECT_TRUE(rig.factory.list_instances(rig.query).empty()) << what;
    }
}

TEST(RepeatLinkFactory, OneBadInstanceElementHidesNoOther) {
    std::string deep = "<tavrin_instance>";
    for (int i = 0; i < 64; ++i) deep += "<a>";
    deep += "<version_major>9</version_major>";
    for (int i = 0; i < 64; ++i) deep += "</a>";
    deep += "<process_id>2</process_id><livelink_port>3142</livelink_port></tavrin_instance>";
    // A four-byte lead byte makes TinyXML step over the "</l" that follows it.
    std::string badUtf8 = instance(9, 3, 3143);
    badUtf8.insert(badUtf8.find("</livelink_port>"), "\xF0");
    std::string manyAttributes = "<tavrin_instance";
    for (int i = 0; i < 300; ++i) manyAttributes += " a" + std::to_string(i) + "=\"1\"";
    manyAttributes += ">" + instance(9, 4, 3144).substr(17);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"nested 65 deep", deep},
        {"invalid UTF-8", badUtf8},
        {"too many attributes", manyAttributes},
        {"quote with a tag inside", "<i a=\"<b>\">" + instance(9, 5, 3145) + "</i>"},
    };
    for (const auto& [what, bad] : cases) {
        // The bad answer first, between good ones, and last.
        for (size_t at : {0u, 1u, 2u}) {
            std::vector<std::string> entries = {instance(9, 10, 3150), instance(10, 11, 3151)};
            entries.insert(entries.begin() + static_cast<long>(at), bad);
            Rig rig;
            rig.query.list = list_of(entries);
            const std::vector<InstanceRecord> listed = rig.factory.list_instances(rig.query);
            std::vector<int64_t> pids;
            for (const InstanceRecord& r : listed) pids.push_back(r.process_id);
            EXPECT_EQ(pids, (std::vector<int64_t>{10, 11})) << what << " at " << at;
        }
    }
}

TEST(RepeatLinkFactory, DeepSceneDescriptionIsNotChosen) {
    Rig rig;
    rig.factory.set_accept_any_instance(true);
    rig.query.list = list_of({instance(9, 1, 0)});
    std::string deep = "<scene><world>";
    for (int i = 0; i < 20000; ++i) deep += "<g>";
    rig.query.scenes[1] = deep;
    EXPECT_EQ(rig.factory.choose_instance(rig.query, rig.factory.list_instances(rig.query)).version, 0);
    EXPECT_EQ(rig.query.openSelections, 0);
}

// The owner lookup the factory uses by default: the user of a live process, nothing for
// numbers that name no process here. The owner is the user, not the group: a renderer of
// another user in our group is not ours, and ours stays ours where our user and group differ.
TEST(ProcessOwner, KnownForLiveProcessesOnly) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const bool root = geteuid() == 0;
    const pid_t child = fork();
    if (child == 0) {
        ::close(gate[1]);
        if (root && setresuid(65534, 65534, 65534) != 0) _exit(1); // keeps our group

        char byte;
        (void)!read(gate[0], &byte, 1); // until the parent has looked
        _exit(0);
    }
    ::close(gate[0]);
    // The child becomes another user shortly after the fork.
    for (int i = 0; root && i < 200 && processOwner(child).uid != 65534; ++i) usleep(5000);
    const struct {
        const char* what;
        int64_t pid;
        bool known;
        uint32_t uid;
        bool other;
    } cases[] = {
        {"this process", getpid(), true, static_cast<uint32_t>(geteuid()), false},
        {"a child of another user in our group", child, true, root ? 65534u : static_cast<uint32_t>(geteuid()), root},
        {"init, root's", 1, true, 0, !root},
        {"0 names no process", 0, false, 0, false},
        {"negative", -1, false, 0, false},
        {"past a process id", int64_t{1} << 40, false, 0, false},
    };
    for (const auto& c : cases) {
        const ProcessOwner owner = processOwner(c.pid);
        EXPECT_EQ(owner.known, c.known) << c.what;
        if (c.known) {
            EXPECT_EQ(owner.uid, c.uid) << c.what;
        }
        EXPECT_EQ(ownedByAnotherUser(c.pid), c.other) << c.what;
    }
    // A command of a user whose group id differs from its user id chooses between its own
    // empty renderer (itself, older) and the child's: its own is taken, the child's passed over.
    const pid_t command = root ? fork() : -1;
    if (command == 0) {
        if (setresgid(4321, 4321, 4321) != 0 || setresuid(1234, 1234, 1234) != 0) _exit(2);
        Rig rig;
        rig.realOwners = true;
        rig.query.list = list_of({instance(9, getpid(), 4001), instance(10, child, 4002)});
        rig.query.scenes[getpid()] = kEmptyScene;
        rig.query.scenes[child] = kEmptyScene;
        rig.api.acceptHost = "localhost";
        rig.api.acceptPort = 4001;
        const bool ours = rig.factory.getApi() == &rig.api && processOwner(getpid()).uid == 1234;
        const auto& passed = rig.factory.passed_over();
        _exit(ours && passed.size() == 1 && passed[0].owner == 65534 ? 0 : 1);
    }
    if (command > 0) {
        int status = 0;
        waitpid(command, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ::close(gate[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A process that has ended is no longer known.
    EXPECT_FALSE(processOwner(child).known);
}

} // namespace
