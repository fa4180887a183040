// The scene API factory of the Render and Update commands: obtains the live back end from
// the live library, lists the running renderer instances, picks one by a fixed preference,
// starts a renderer when none fits and polls for it, then connects the back end to the
// chosen instance over a local port.
//
// Lives on a command's stack for one command and is used from that thread only. Failures
// are reported by a null getApi() and the text in error_text(); nothing is thrown.
#pragma once

#include "LightFactory.h"
#include "instance_claim.h"
#include "launch.h"
#include "orvScene_api.h"
#include "tavrin_live.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One running renderer instance from the instance list: its major version, the process id
// the renderer reports, and its live-link port. version 0 means "no instance".
struct InstanceRecord {
    int version = 0;
    int64_t process_id = 0;
    int port = 0;
};

// What the factory asks of the rest of the system; the defaults are the live library
// loader, the renderer launch and the locator's sleep. Tests put fakes in their place.
struct LinkServices {
    std::function<orvScene_api*(int lowest, int highest)> scene_api;
    std::function<TavrinQueryApi*(int lowest, int highest)> query_api;
    std::function<void()> unload;
    // Starts a renderer; pid 0 when no child was made.
    std::function<LaunchedRenderer(int lowest, int highest)> launch;
    // Whether the launched renderer has ended (reaping it), with its wait status.
    std::function<bool(int64_t pid, int& status)> exited;
    std::function<void(int ms)> sleep;
    // True when the process is known to belong to another user (its id in `owner`).
    std::function<bool(int64_t pid, uint32_t* owner)> other_user;

    static LinkServices system();
};

class RepeatLinkFactory : public orv::LightFactory {
public:
    RepeatLinkFactory();
    explicit RepeatLinkFactory(LinkServices services);
    ~RepeatLinkFactory() override;

    RepeatLinkFactory(const RepeatLinkFactory&) = delete;
    RepeatLinkFactory& operator=(const RepeatLinkFactory&) = delete;

    // The connected back end, linking on first use; null when no link could be made (the
    // reason is in error_text(), prefixed "Failed to connect. ").
    orvScene_api* getApi() override;
    void onAttach(orv::orvSceneapi_oo* wrapper) override;
    // Disconnects the back end and unloads the live library when a back end is held
    // (unless set_keep_library).
    void close() override;

    // Settings, given before getApi().
    void set_version_range(int lowest, int highest);
    void set_scene_name(const std::string& name);
    void set_accept_any_instance(bool accept);
    // Number of instance-list polls after a launch is attempts - 1 (default 20), each
    // followed by a pause of poll_delay_ms (default 1000).
    void set_attempts(int attempts);
    void set_poll_delay_ms(int ms);
    // The instance a session sent its last stream to (see instance()). It is asked first
    // whether it still holds the scene, and connected to straight away when it does; the
    // instances are listed only when it does not answer so.
    void set_known_instance(const InstanceRecord& instance);
    // Whether a renderer may be started when no instance fits (default yes); without, the
    // link fails with kNoInstance.
    void set_launch_allowed(bool allowed);
    // Keeps the live library loaded after close(), for the next link of the same session,
    // which unloads it (services' unload) when it ends.
    void set_keep_library(bool keep);

    // Results.
    bool scene_found() const { return scene_found_; }
    const std::string& error_text() const { return error_text_; }
    // The instance-list port of the instance connected to (-1 before a link).
    int port() const { return port_; }
    // The instance connected to (version 0 before a link, and when its listing gave no port).
    const InstanceRecord& instance() const { return instance_; }
    // True when close() released a connected back end whose disconnect did not confirm
    // that the renderer received the whole stream (the renderer vanished or stopped
    // reading); error_text() then says so.
    bool stream_lost() const { return stream_lost_; }
    // Instances passed over because their renderer belongs to another user, each once.
    struct PassedOver {
        InstanceRecord instance;
        uint32_t owner = 0;
    };
    const std::vector<PassedOver>& passed_over() const { return passed_over_; }

    // The instances of the list whose major version lies in the accepted range. Entries
    // with missing, non-numeric or out-of-range numbers are left out, and so is every
    // entry of a text that is refused or cannot be parsed.
    std::vector<InstanceRecord> list_instances(TavrinQueryApi& query);
    // The preferred instance: the newest holding the scene (sets scene_found), else the
    // empty instance of the renderer this factory launched (process id `launched`, 0 for
    // none), else the newest of any kind when any is accepted, else the newest empty one,
    // else version 0. A launched renderer that is listed with a scene was taken by
    // another command. An instance whose process belongs to another user is never chosen
    // (it is noted in passed_over()); one whose owner cannot be learnt counts as ours. An
    // empty instance that another command has claimed counts as busy; the chosen empty
    // instance is claimed until close().
    InstanceRecord choose_instance(TavrinQueryApi& query, const std::vector<InstanceRecord>& instances,
                                   int64_t launched = 0);

    static const char* const kNoSceneApi;
    static const char* const kNoQueryApi;
    static const char* const kLaunchFailed;
    static const char* const kNoInstance;
    static const char* const kNoPort;
    static const char* const kFailedPrefix;
    static const char* const kStreamLost;

private:
    bool establish_link();
    // Polls the instance list after a launch until the launched renderer's instance
    // appears, the renderer ends, or the attempts run out; version 0 when nothing fits.
    // taken: the launched renderer came up but already holds a scene (another command
    // took it) and no other empty instance is there.
    InstanceRecord await_launched(TavrinQueryApi& query, const LaunchedRenderer& launched, bool& taken);
    bool connect_to(const InstanceRecord& chosen);
    // Connects to the known instance when it still holds the scene; false (nothing
    // connected) when it does not, or does not answer.
    bool connect_known(TavrinQueryApi& query);
    // Whether an empty instance may be taken: this factory claims it already, or its claim
    // can be taken now (and is kept in `fresh` until the choice is made).
    bool claimable(int64_t pid, std::vector<InstanceClaim>& fresh);
    // Holds the claim of the chosen instance, when there is one, and lets go of the rest.
    void keep_claim_of(const InstanceRecord& chosen, std::vector<InstanceClaim>& fresh);

    LinkServices services_;
    int attempts_ = 20;
    int poll_delay_ms_ = 1000;
    orvScene_api* api_ = nullptr;
    int lowest_version_ = 7;
    int highest_version_ = 20;
    int port_ = -1;
    InstanceRecord instance_;
    InstanceRecord known_;
    bool keep_library_ = false;
    bool launch_allowed_ = true;
    std::string scene_name_;
    bool accept_any_instance_ = false;
    bool scene_found_ = false;
    std::string error_text_;
    int scene_id_ = 1;
    // True once the held back end is connected; a held but unconnected back end (query
    // API or launch failure) is not handed out.
    bool linked_ = false;
    bool stream_lost_ = false;
    // Set by choose_instance: the launched renderer's instance was listed holding a scene.
    bool launched_taken_ = false;
    std::vector<PassedOver> passed_over_;
    // What listeners on known ports that are no renderers answered ("port N answered ...").
    std::vector<std::string> not_renderers_;
    // The claim on the chosen empty instance, and on the renderer launched here while it
    // is awaited.
    InstanceClaim claim_;
    InstanceClaim launch_claim_;
};
