#include "scene_limits.h"

#include "text/utf8.h"

#include <unordered_set>

namespace standin::limits {

namespace {

uint64_t valueBytes(const orv::qrf::Value& v)
{
    uint64_t n = sizeof(orv::qrf::Value) + v.text.capacity() + v.floats.capacity() * sizeof(float) +
                 v.doubles.capacity() * sizeof(double) + v.ints.capacity() * sizeof(int32_t) +
                 v.itemKinds.capacity() * sizeof(orv::qrf::Value::Kind) + v.items.capacity() * sizeof(std::string);
    for (const std::string& item : v.items)
        n += item.capacity() > 15 ? item.capacity() + 1 : 0; // beyond the string's own room
    for (const orv::qrf::Value& shader : v.shaders)
        n += valueBytes(shader);
    return n;
}

class Counter {
public:
    uint64_t statement(const orv::qrf::Statement& s)
    {
        uint64_t n = sizeof(orv::qrf::Statement) + s.keyword.capacity();
        for (const orv::qrf::Value& v : s.args) {
            n += valueBytes(v);
            if (v.block)
                n += block(*v.block);
        }
        if (s.block)
            n += block(*s.block);
        return n;
    }

private:
    uint64_t block(const orv::qrf::Block& b)
    {
        if (!seen_.insert(&b).second)
            return 0;
        uint64_t n = sizeof(orv::qrf::Block);
        for (const orv::qrf::Statement& s : b.statements)
            n += statement(s);
        return n;
    }

    std::unordered_set<const orv::qrf::Block*> seen_;
};

std::string megabytes(uint64_t bytes)
{
    return std::to_string((bytes + (1u << 19)) >> 20) + " MB";
}

} // namespace

std::string heldName(std::string_view name)
{
    return std::string(name.substr(0, tavrin::text::utf8CutLength(name, kMaxNameBytes)));
}

void capGroupNames(orv::qrf::Document& doc)
{
    for (orv::qrf::Statement& s : doc.top.statements) {
        if (s.keyword != "group" || s.define)
            continue;
        for (orv::qrf::Value& v : s.args)
            if (v.kind == orv::qrf::Value::Kind::String) {
                if (v.text.size() > kMaxNameBytes)
                    v.text = heldName(v.text);
                break; // the first string is the name
            }
    }
}

uint64_t parsedBytes(const std::vector<const orv::qrf::Statement*>& top)
{
    Counter counter;
    uint64_t n = 0;
    for (const orv::qrf::Statement* s : top)
        n += counter.statement(*s);
    return n;
}

std::string refusal(size_t heldSets, size_t newSets, uint64_t heldBytes, uint64_t estimate, uint64_t budget)
{
    if (newSets > 0 && heldSets + newSets > kMaxModelSets)
        return "refused: the renderer holds " + std::to_string(heldSets) + " scenes and keeps at most " +
               std::to_string(kMaxModelSets);
    if (heldBytes + estimate > budget)
        return "refused: the renderer's memory budget of " + megabytes(budget) + " would be passed (it holds " +
               megabytes(heldBytes) + ", this stream may take " + megabytes(estimate) + ")";
    return "";
}

} // namespace standin::limits
