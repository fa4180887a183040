// The held scene's merge of Live updates and its writing as one scene file (see
// scene_state.h and the merge rule in README.md).
#include "scene_state.h"

#include "live_update_marks.h"

#include <functional>

namespace standin {

namespace {

using orv::qrf::Block;
using orv::qrf::Statement;

bool isChildGroup(const Statement& s) { return s.keyword == "group" && !s.define && s.block; }
bool isContent(const Statement& s) { return s.keyword == "object" && !s.define; }
bool isMark(const Statement& s, const char* value)
{
    return s.keyword == "attribute" && s.args.size() >= 2 && s.args[0].text == orv::live::kContentKey &&
           s.args[1].text == value;
}
bool isContentMark(const Statement& s)
{
    return isMark(s, orv::live::kContentReplaced) || isMark(s, orv::live::kContentLooks);
}

const StreamText kNoText;

// Appends text[from, to) when the text holds that span.
bool appendSpan(const StreamText& text, size_t from, size_t to, std::string& out)
{
    if (!text || from > to || to > text->size())
        return false;
    out.append(*text, from, to - from);
    if (out.empty() || out.back() != '\n')
        out += '\n';
    return true;
}

} // namespace

const StreamText& SceneState::textOf(const Block* block, size_t i, const StreamText& owner) const
{
    auto it = merged_.find(block);
    if (it == merged_.end())
        return owner;
    return i < it->second.texts.size() ? it->second.texts[i] : kNoText;
}

Statement SceneState::mergeGroup(const Statement& held, const StreamText& heldText, const Statement& fresh,
                                 const StreamText& freshText)
{
    const Block& old = *held.block;
    const Block& now = *fresh.block;
    // The held child groups by name, in order: the n-th fresh child of a name meets the
    // n-th held one.
    std::unordered_map<std::string, std::vector<size_t>> heldChildren;
    bool freshContent = false;
    bool looks = false;
    std::vector<size_t> heldContent;
    for (size_t i = 0; i < old.statements.size(); ++i) {
        if (isChildGroup(old.statements[i]))
            heldChildren[old.statements[i].name()].push_back(i);
        if (isContent(old.statements[i]))
            heldContent.push_back(i);
    }
    for (const Statement& s : now.statements) {
        freshContent = freshContent || isContent(s) || isContentMark(s);
        looks = looks || isMark(s, orv::live::kContentLooks);
    }
    size_t contentIndex = 0;

    MergedBlock merged;
    merged.block = std::make_shared<Block>();
    std::vector<Statement>& out = merged.block->statements;
    out.reserve(now.statements.size() + 4);
    bool contentPlaced = freshContent;
    // The held content goes where the sender writes content: before the first child group
    // or animation.
    auto placeHeldContent = [&] {
        for (size_t i = 0; i < old.statements.size(); ++i) {
            if (!isContent(old.statements[i]))
                continue;
            out.push_back(old.statements[i]);
            merged.texts.push_back(textOf(&old, i, heldText));
        }
        contentPlaced = true;
    };
    std::unordered_map<std::string, size_t> seen;
    for (const Statement& s : now.statements) {
        if (isContentMark(s))
            continue;
        if (!contentPlaced && (isChildGroup(s) || s.keyword == "animation"))
            placeHeldContent();
        // New looks for held geometry: the n-th object of the content takes the n-th held
        // object's records with its own materials.
        if (looks && isContent(s) && s.block && !s.block->find("geometry") && contentIndex < heldContent.size()) {
            const size_t j = heldContent[contentIndex++];
            out.push_back(withLooks(old.statements[j], textOf(&old, j, heldText), s, freshText));
            merged.texts.push_back(freshText);
            continue;
        }
        if (isContent(s))
            ++contentIndex;
        if (isChildGroup(s)) {
            const size_t ordinal = seen[s.name()]++;
            auto match = heldChildren.find(s.name());
            if (match != heldChildren.end() && ordinal < match->second.size()) {
                const size_t j = match->second[ordinal];
                out.push_back(mergeGroup(old.statements[j], textOf(&old, j, heldText), s, freshText));
                merged.texts.push_back(freshText);
                continue;
            }
        }
        out.push_back(s);
        merged.texts.push_back(freshText);
    }
    if (!contentPlaced)
        placeHeldContent();

    Statement result = fresh;
    result.block = merged.block;
    merged_[merged.block.get()] = std::move(merged);
    return result;
}

Statement SceneState::withLooks(const Statement& held, const StreamText& heldText, const Statement& fresh,
                                const StreamText& freshText)
{
    MergedBlock merged;
    merged.block = std::make_shared<Block>();
    if (held.block)
        for (size_t i = 0; i < held.block->statements.size(); ++i) {
            const Statement& s = held.block->statements[i];
            if (s.keyword == "material")
                continue;
            merged.block->statements.push_back(s);
            merged.texts.push_back(textOf(held.block.get(), i, heldText));
        }
    for (const Statement& s : fresh.block->statements) {
        merged.block->statements.push_back(s);
        merged.texts.push_back(freshText);
    }
    Statement result = fresh;
    result.block = merged.block;
    merged_[merged.block.get()] = std::move(merged);
    return result;
}

void SceneState::pruneMerged()
{
    std::unordered_map<const Block*, MergedBlock> reachable;
    std::function<void(const Statement&)> keep = [&](const Statement& s) {
        if (!s.block)
            return;
        auto it = merged_.find(s.block.get());
        if (it == merged_.end())
            return; // a block as it arrived: nothing below it was merged
        for (const Statement& child : s.block->statements)
            keep(child);
        reachable.insert(*it);
    };
    for (const ModelSet& set : sets_)
        keep(set.group);
    merged_ = std::move(reachable);
}

bool SceneState::appendHeld(const Statement& s, const StreamText& text, std::string& out) const
{
    auto it = s.block ? merged_.find(s.block.get()) : merged_.end();
    if (it == merged_.end())
        return appendSpan(text, s.offset, s.end, out);
    // A merged group: its own head as the latest stream wrote it, then each statement from
    // the stream it came in.
    if (!appendSpan(text, s.offset, s.blockOffset + 1, out))
        return false;
    const std::vector<Statement>& statements = s.block->statements;
    for (size_t i = 0; i < statements.size(); ++i)
        if (!appendHeld(statements[i], textOf(s.block.get(), i, text), out))
            return false;
    out += "}\n";
    return true;
}

bool SceneState::heldText(std::string& out) const
{
    out = "// The scene a Tavrin stand-in holds\nversion 9\n\n";
    for (const Statement& camera : cameras_)
        if (!appendHeld(camera, camerasText_, out))
            return false;
    for (const ModelSet& set : sets_) {
        out += '\n';
        if (!appendHeld(set.group, set.text, out))
            return false;
    }
    return true;
}

} // namespace standin
