#include "RepeatLinkFactory.h"

#include "InstallLocator.h"
#include "launch.h"
#include "process_owner.h"
#include "tavrinlive_loader.h"
#include "xml_guard.h"

#include <tinyxml.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <exception>

const char* const RepeatLinkFactory::kNoSceneApi =
    "Could not get a scene api. Please check your Tavrin installation.\n";
const char* const RepeatLinkFactory::kNoQueryApi =
    "Could not get a query api. Please check your Tavrin installation.\n";
const char* const RepeatLinkFactory::kLaunchFailed = "Unabled to launch Tavrin. Please check your Tavrin installation.";
const char* const RepeatLinkFactory::kNoInstance =
    "No running Tavrin instance holds the scene: the renderer has quit or does not answer.";
const char* const RepeatLinkFactory::kNoPort =
    "Could not connect on any known port. Please check your Tavrin installation and Live Link settings.";
const char* const RepeatLinkFactory::kFailedPrefix = "Failed to connect. ";
const char* const RepeatLinkFactory::kStreamLost =
    "The renderer did not confirm the scene: it stopped reading or closed the connection.";

namespace {

constexpr int kHighestPort = 65535;
// Renderers launched for one link at most, when others take the launched ones first.
constexpr int kMaxLaunches = 3;

// TinyXML steps over a UTF-8 sequence by its lead byte's length even when the text ends
// inside it, and then reads on past the terminator. The parsed copy therefore carries
// enough NUL bytes behind the text for every such step to land on one.
constexpr size_t kParsePadding = 16;

// Parses a text that passed the guard; false when it is refused or malformed.
bool parse_guarded(const char* text, TiXmlDocument& doc) {
    if (check_xml_text(text) != XmlTextCheck::Ok) return false;
    std::string padded(text);
    padded.append(kParsePadding, '\0');
    doc.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !doc.Error() && doc.RootElement();
}

// The first element named `name`, depth first, starting with `element` itself. The guard
// bounds the nesting, and so the recursion.
const TiXmlElement* find_first_named(const TiXmlElement* element, const char* name) {
    if (element->ValueStr() == name) return element;
    for (const TiXmlElement* child = element->FirstChildElement(); child; child = child->NextSiblingElement())
        if (const TiXmlElement* found = find_first_named(child, name)) return found;
    return nullptr;
}

// A whole decimal integer, optionally signed and surrounded by blanks; false for empty,
// partly numeric or out-of-range text.
bool parse_integer(const char* text, long long& value) {
    if (!text) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    if (*end != '\0') return false;
    value = parsed;
    return true;
}

// Reads the integer text of the first element named `name` below (or at) `instance`.
bool read_number(const TiXmlElement* instance, const char* name, long long& value) {
    const TiXmlElement* element = find_first_named(instance, name);
    return element && parse_integer(element->GetText(), value);
}

// Depth-limited search for the element named `name`, skipping model sets that are not
// active together with everything below them.
const TiXmlElement* find_model_set(const TiXmlElement* element, const std::string& name, int depth) {
    if (depth <= 0) return nullptr;
    const std::string* state = element->Attribute(std::string("modelset"));
    if (state && *state != "active") return nullptr;
    const std::string* elementName = element->Attribute(std::string("name"));
    if (elementName && *elementName == name) return element;
    for (const TiXmlElement* child = element->FirstChildElement(); child; child = child->NextSiblingElement())
        if (const TiXmlElement* found = find_model_set(child, name, depth - 1)) return found;
    return nullptr;
}

// An instance is empty when its scene's first element has children, none of which has a
// child element of its own.
bool scene_is_empty(const TiXmlElement* root) {
    const TiXmlElement* first = root->FirstChildElement();
    if (!first) return false;
    for (const TiXmlElement* child = first->FirstChildElement(); child; child = child->NextSiblingElement())
        if (child->FirstChildElement()) return false;
    return true;
}

} // namespace

LinkServices LinkServices::system() {
    LinkServices s;
    s.scene_api = orv_get_scene_api;
    s.query_api = orv_get_query_api;
    s.unload = tavrin_live_unload;
    s.launch = start_renderer;
    s.exited = renderer_exited;
    s.sleep = InstallLocator::sleep_ms;
    s.other_user = ownedByAnotherUser;
    return s;
}

RepeatLinkFactory::RepeatLinkFactory() : services_(LinkServices::system()) {}

RepeatLinkFactory::RepeatLinkFactory(LinkServices services) : services_(std::move(services)) {
    const LinkServices defaults = LinkServices::system();
    if (!services_.scene_api) services_.scene_api = defaults.scene_api;
    if (!services_.query_api) services_.query_api = defaults.query_api;
    if (!services_.unload) services_.unload = defaults.unload;
    if (!services_.launch) services_.launch = defaults.launch;
    if (!services_.exited) services_.exited = defaults.exited;
    if (!services_.sleep) services_.sleep = defaults.sleep;
    if (!services_.other_user) services_.other_user = defaults.other_user;
}

RepeatLinkFactory::~RepeatLinkFactory() {
    try {
        close();
    } catch (...) {
        // Nothing may leave a destructor that runs at the end of a host command.
    }
}

void RepeatLinkFactory::set_version_range(int lowest, int highest) {
    lowest_version_ = lowest;
    highest_version_ = highest;
}

void RepeatLinkFactory::set_scene_name(const std::string& name) {
    scene_name_ = name;
}

void RepeatLinkFactory::set_accept_any_instance(bool accept) {
    accept_any_instance_ = accept;
}

void RepeatLinkFactory::set_attempts(int attempts) {
    attempts_ = attempts;
}

void RepeatLinkFactory::set_poll_delay_ms(int ms) {
    poll_delay_ms_ = ms;
}

void RepeatLinkFactory::set_known_instance(const InstanceRecord& instance) {
    known_ = instance;
}

void RepeatLinkFactory::set_launch_allowed(bool allowed) {
    launch_allowed_ = allowed;
}

void RepeatLinkFactory::set_keep_library(bool keep) {
    keep_library_ = keep;
}

void RepeatLinkFactory::onAttach(orv::orvSceneapi_oo*) {}

orvScene_api* RepeatLinkFactory::getApi() {
    error_text_.clear();
    if (api_ && linked_) return api_;
    try {
        linked_ = establish_link();
    } catch (const std::exception& e) {
        // Only allocation can fail here (listing and parsing); treated as a failed link.
        linked_ = false;
        error_text_ = std::string("Could not list the running Tavrin instances: ") + e.what();
    } catch (...) {
        linked_ = false;
        error_text_ = "Could not list the running Tavrin instances.";
    }
    if (!linked_) {
        error_text_.insert(0, kFailedPrefix);
        return nullptr;
    }
    return api_;
}

void RepeatLinkFactory::close() {
    // Whatever happened to the stream, the renderer is left to others now: it holds the
    // scene, or it is still empty.
    struct ReleaseClaims {
        RepeatLinkFactory& f;
        ~ReleaseClaims() {
            f.claim_.release();
            f.launch_claim_.release();
        }
    } releaseAtEnd{*this};
    if (!api_) return;
    const int disconnected = api_->disconnect();
    if (linked_ && disconnected != 0) {
        stream_lost_ = true;
        error_text_ = kStreamLost;
    }
    if (!keep_library_) services_.unload();
    api_ = nullptr;
    linked_ = false;
}

bool RepeatLinkFactory::establish_link() {
    api_ = services_.scene_api(lowest_version_, highest_version_);
    if (!api_) {
        error_text_ = kNoSceneApi;
        return false;
    }
    api_->id(static_cast<unsigned>(scene_id_));

    TavrinQueryApi* query = services_.query_api(lowest_version_, highest_version_);
    if (!query) {
        error_text_ = kNoQueryApi;
        return false;
    }

    // A session's renderer is asked alone: listing every instance costs a round trip to
    // each known port.
    if (connect_known(*query)) return true;

    // Renderers launched by earlier commands that have ended since are reaped here.
    reap_launched_renderers();
    InstanceRecord chosen = choose_instance(*query, list_instances(*query));
    if (chosen.version == 0 && !launch_allowed_) {
        error_text_ = kNoInstance;
        return false;
    }
    // Another command may take the renderer launched here before this one sees it; a
    // fresh one is then launched, a bounded number of times.
    for (int launches = 0; chosen.version == 0 && launches < kMaxLaunches; ++launches) {
        LaunchedRenderer launched = services_.launch(lowest_version_, highest_version_);
        launch_claim_ = std::move(launched.claim);
        if (launched.pid <= 0) {
            error_text_ = kLaunchFailed;
            return false;
        }
        bool taken = false;
        chosen = await_launched(*query, launched, taken);
        if (!error_text_.empty()) return false;
        if (!taken) break;
    }
    // The launched renderer's claim is kept only when it is the one chosen.
    if (launch_claim_.held() && launch_claim_.pid() == chosen.process_id) claim_ = std::move(launch_claim_);
    launch_claim_.release();

    if (!connect_to(chosen)) {
        error_text_ = kNoPort;
        // Say what answered instead of a renderer (the first few).
        for (size_t i = 0; i < not_renderers_.size() && i < 3; ++i)
            error_text_ += (i == 0 ? " Not a Tavrin renderer: " : "; ") + not_renderers_[i];
        api_ = nullptr;
        return false;
    }
    port_ = chosen.port;
    if (chosen.port >= 1) instance_ = chosen;
    return true;
}

bool RepeatLinkFactory::connect_known(TavrinQueryApi& query) {
    if (known_.version == 0 || known_.port < 1 || scene_name_.empty()) return false;
    if (!query.select_instance(known_.process_id)) return false;
    bool holds = false;
    if (const char* text = query.scene_xml()) {
        TiXmlDocument doc;
        holds = parse_guarded(text, doc) &&
                find_model_set(doc.RootElement(), scene_name_, known_.version > 6 ? 4 : 3) != nullptr;
    }
    query.end_selection();
    if (!holds || !connect_to(known_)) return false;
    scene_found_ = true;
    port_ = known_.port;
    instance_ = known_;
    return true;
}

InstanceRecord RepeatLinkFactory::await_launched(TavrinQueryApi& query, const LaunchedRenderer& launched,
                                                 bool& taken) {
    InstanceRecord chosen;
    if (attempts_ <= 1) return chosen;
    for (int n = attempts_;; --n) {
        chosen = choose_instance(query, list_instances(query), launched.pid);
        services_.sleep(poll_delay_ms_);
        // Another command may have launched a renderer at the same moment: its empty
        // instance is taken only when the one launched here cannot be had.
        if (chosen.version != 0 && chosen.process_id == launched.pid) break;
        if (launched_taken_) {
            taken = chosen.version == 0;
            break;
        }
        int status = 0;
        if (services_.exited(launched.pid, status)) {
            if (chosen.version == 0)
                error_text_ = "Could not start Tavrin: \"" + launched.path + "\" " + describe_exit(status) + ".";
            break;
        }
        if (n < 3) break;
    }
    return chosen;
}

bool RepeatLinkFactory::connect_to(const InstanceRecord& chosen) {
    if (chosen.port >= 1) return api_->connect("localhost", static_cast<unsigned>(chosen.port), 4);
    int first = 0;
    int last = 0;
    if (InstallLocator::known_port_range(first, last) < -1) return false;
    if (first > last) return false;
    for (int p = first; p <= last; ++p) {
        // A port where another user's renderer was seen is not tried blindly either.
        const bool others = std::any_of(passed_over_.begin(), passed_over_.end(),
                                        [p](const PassedOver& o) { return o.instance.port == p; });
        if (!others && api_->connect("127.0.0.1", static_cast<unsigned>(p), 1)) return true;
    }
    return false;
}

std::vector<InstanceRecord> RepeatLinkFactory::list_instances(TavrinQueryApi& query) {
    std::vector<InstanceRecord> instances;
    const char* text = query.instances_xml();
    if (!text) return instances;

    // Each instance element is judged on its own: one that breaks a limit or cannot be
    // parsed is left out, and the other renderers stay visible.
    for (const XmlSpan& span : xml_root_children(text)) {
        const std::string element(text + span.begin, span.end - span.begin);
        TiXmlDocument doc;
        if (!parse_guarded(element.c_str(), doc)) continue;
        const TiXmlElement* entry = doc.RootElement();
        // A listener on a known port that is no renderer, as the live library saw it.
        if (entry->ValueStr() == "not_a_renderer") {
            const char* said = entry->GetText();
            const std::string note = "port " + std::string(entry->Attribute("port") ? entry->Attribute("port") : "?") +
                                     " answered \"" + (said ? said : "") + "\"";
            if (std::find(not_renderers_.begin(), not_renderers_.end(), note) == not_renderers_.end())
                not_renderers_.push_back(note);
            continue;
        }
        long long version = 0;
        if (!read_number(entry, "version_major", version)) continue;
        // Version 0 stands for "no instance", so only positive versions can be chosen.
        if (version < 1 || version > INT_MAX) continue;
        if (version < lowest_version_ || version > highest_version_) continue;
        long long processId = 0;
        long long port = 0;
        if (!read_number(entry, "process_id", processId) || processId < 1) continue;
        if (!read_number(entry, "livelink_port", port) || port < INT_MIN || port > kHighestPort) continue;
        InstanceRecord record;
        record.version = static_cast<int>(version);
        record.process_id = static_cast<int64_t>(processId);
        record.port = static_cast<int>(port);
        instances.push_back(record);
    }
    return instances;
}

InstanceRecord RepeatLinkFactory::choose_instance(TavrinQueryApi& query, const std::vector<InstanceRecord>& instances,
                                                  int64_t launched) {
    InstanceRecord bestEmpty;
    InstanceRecord bestAny;
    InstanceRecord bestHolding;
    InstanceRecord launchedEmpty;
    launched_taken_ = false;
    std::vector<InstanceClaim> fresh;
    for (const InstanceRecord& record : instances) {
        // A renderer another user started is theirs: it is passed over like a busy one,
        // and the user is told.
        uint32_t owner = 0;
        if (services_.other_user(record.process_id, &owner)) {
            const bool noted = std::any_of(passed_over_.begin(), passed_over_.end(), [&](const PassedOver& o) {
                return o.instance.process_id == record.process_id && o.instance.port == record.port;
            });
            if (!noted) passed_over_.push_back(PassedOver{record, owner});
            continue;
        }
        if (!query.select_instance(record.process_id)) continue;
        // Without a description the instance is neither empty nor holding, but may still
        // be taken as any instance; a description that is refused or malformed rules the
        // instance out altogether.
        bool usable = true;
        bool empty = false;
        bool holds = false;
        if (const char* text = query.scene_xml()) {
            TiXmlDocument doc;
            usable = parse_guarded(text, doc);
            if (usable) {
                const TiXmlElement* root = doc.RootElement();
                // An empty renderer that another command has claimed is as good as busy.
                empty = scene_is_empty(root) && claimable(record.process_id, fresh);
                holds = !scene_name_.empty() &&
                        find_model_set(root, scene_name_, record.version > 6 ? 4 : 3) != nullptr;
            }
        }
        if (usable) {
            if (empty && record.version > bestEmpty.version) bestEmpty = record;
            if (launched > 0 && record.process_id == launched) {
                if (empty) launchedEmpty = record;
                else launched_taken_ = true;
            }
            if (accept_any_instance_ && record.version > bestAny.version) bestAny = record;
            if (holds && record.version > bestHolding.version) bestHolding = record;
        }
        query.end_selection();
    }
    scene_found_ = bestHolding.version >= 1;
    InstanceRecord chosen;
    if (scene_found_)
        chosen = bestHolding;
    else if (launchedEmpty.version >= 1)
        chosen = launchedEmpty;
    else if (bestAny.version >= 1)
        chosen = bestAny;
    else if (bestEmpty.version >= 1)
        chosen = bestEmpty;
    keep_claim_of(chosen, fresh);
    return chosen;
}

bool RepeatLinkFactory::claimable(int64_t pid, std::vector<InstanceClaim>& fresh) {
    if (claim_.pid() == pid || launch_claim_.pid() == pid) return true;
    for (const InstanceClaim& claim : fresh)
        if (claim.pid() == pid) return true;
    InstanceClaim claim;
    const InstanceClaim::Outcome outcome = InstanceClaim::take(pid, claim);
    if (outcome == InstanceClaim::Outcome::HeldByAnother) return false;
    if (outcome == InstanceClaim::Outcome::Claimed) fresh.push_back(std::move(claim));
    return true;
}

void RepeatLinkFactory::keep_claim_of(const InstanceRecord& chosen, std::vector<InstanceClaim>& fresh) {
    if (claim_.pid() == chosen.process_id) return;
    claim_.release();
    for (InstanceClaim& claim : fresh)
        if (claim.pid() == chosen.process_id) claim_ = std::move(claim);
}
