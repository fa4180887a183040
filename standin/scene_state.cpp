#include "scene_state.h"

#include "live_update_marks.h"
#include "text/utf8.h"

#include <cstdio>

namespace standin {

namespace {

size_t countGroups(const orv::qrf::Block& block)
{
    return block.allDeep("group").size();
}

// Whether a scene group carries the mark of a Live update, which merges into the held set.
bool isMergeUpdate(const orv::qrf::Statement& group)
{
    if (!group.block)
        return false;
    for (const orv::qrf::Statement& s : group.block->statements)
        if (s.keyword == "attribute" && s.args.size() >= 2 && s.args[0].text == orv::live::kUpdateKey &&
            s.args[1].text == orv::live::kUpdateMerge)
            return true;
    return false;
}

// Whether a stream's import options let it set the camera (they do unless they say off).
bool adjustsCamera(const orv::qrf::Document& doc)
{
    const orv::qrf::Statement* load = doc.top.find("load", "orvrtopt.so");
    const orv::qrf::Statement* option = load && load->block ? load->block->find("import_adjust_camera") : nullptr;
    return !option || option->args.empty() || option->args.front().text != "off";
}

} // namespace

std::string xmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '&': out += "&amp;"; ++i; continue;
        case '<': out += "&lt;"; ++i; continue;
        case '>': out += "&gt;"; ++i; continue;
        case '"': out += "&quot;"; ++i; continue;
        case '\'': out += "&apos;"; ++i; continue;
        default: break;
        }
        if (c < 0x20) {
            char ref[16];
            std::snprintf(ref, sizeof ref, "&#x%X;", unsigned(c));
            out += ref;
            ++i;
            continue;
        }
        size_t len = tavrin::text::utf8SequenceLength(text, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

std::vector<std::string> SceneState::receive(const orv::qrf::Document& doc, int stream, unsigned id,
                                             StreamText text)
{
    std::vector<std::string> names;
    std::vector<orv::qrf::Statement> cameras;
    bool mergeStream = false;
    for (const orv::qrf::Statement& s : doc.top.statements) {
        if (s.keyword == "camera" && !s.define && s.block)
            cameras.push_back(s);
        if (s.keyword != "group" || s.define)
            continue;
        ModelSet set;
        set.group = s;
        set.name = s.name();
        set.stream = stream;
        set.id = id;
        set.text = text;
        const bool merges = isMergeUpdate(s);
        mergeStream = mergeStream || merges;
        ModelSet* existing = nullptr;
        for (ModelSet& held : sets_)
            if (held.name == set.name)
                existing = &held;
        if (merges && existing && existing->group.block && s.block)
            set.group = mergeGroup(existing->group, existing->text, s, text);
        if (set.group.block) {
            set.objects = set.group.block->allDeep("object").size();
            set.groups = countGroups(*set.group.block);
        }
        if (existing)
            *existing = std::move(set);
        else
            sets_.push_back(std::move(set));
        names.push_back(s.name());
    }
    // A Live update that moves the camera carries every camera of the document, so when it
    // carries none, the document has none left.
    const bool adjusts = adjustsCamera(doc);
    if ((!cameras.empty() && (cameras_.empty() || adjusts)) || (mergeStream && adjusts)) {
        cameras_ = std::move(cameras);
        camerasText_ = text;
    }
    pruneMerged();
    return names;
}

std::vector<const orv::qrf::Statement*> SceneState::drawable() const
{
    std::vector<const orv::qrf::Statement*> top;
    for (const orv::qrf::Statement& camera : cameras_)
        top.push_back(&camera);
    for (const ModelSet& set : sets_)
        top.push_back(&set.group);
    return top;
}

std::string SceneState::sceneXml(int64_t processId, int major) const
{
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<tavrin_scene process_id=\"" + std::to_string(processId) + "\" version_major=\"" +
         std::to_string(major) + "\">\n";
    x += "  <scene>\n    <environment/>\n    <camera/>\n";
    for (const ModelSet& set : sets_) {
        x += "    <modelset modelset=\"active\" name=\"" + xmlEscape(set.name) + "\">";
        x += "<objects>" + std::to_string(set.objects) + "</objects>";
        x += "<groups>" + std::to_string(set.groups) + "</groups>";
        x += "<stream>" + std::to_string(set.stream) + "</stream>";
        x += "<id>" + std::to_string(set.id) + "</id>";
        x += "</modelset>\n";
    }
    x += "  </scene>\n</tavrin_scene>\n";
    return x;
}

std::string instanceXml(int major, int64_t processId, int port)
{
    return "<tavrin_instance><version_major>" + std::to_string(major) +
           "</version_major><process_id>" + std::to_string(processId) +
           "</process_id><livelink_port>" + std::to_string(port) +
           "</livelink_port></tavrin_instance>\n";
}

} // namespace standin
