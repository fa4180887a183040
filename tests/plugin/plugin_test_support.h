// Shared pieces of the plug-in tests: a back end that records the calls that matter to the
// driver and the walk, and a small builder for simulated host documents.
#pragma once

#include "LightFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "command_run.h"
#include "sim_host.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace plugintest {

// One recorded call: the operation, its text argument and its numbers.
struct Call {
    std::string op;
    std::string text;
    std::vector<double> numbers;
};

class RecordingApi : public NullApi {
public:
    std::vector<Call> calls;

    bool beginGroup(const char* name, int) override { return add("beginGroup", name); }
    void endGroup() override { add("endGroup"); }
    bool beginObject(const char* name, int) override { return add("beginObject", name); }
    bool beginCamera(const char* name) override { return add("beginCamera", name ? name : ""); }
    void transform(const double m[16]) override { add("transform", "", {m, m + 16}); }
    void flags(unsigned f) override { add("flags", "", {double(f)}); }
    void progress(const char* message, float f) override { add("progress", message, {f}); }
    ORV_PRINTF(2, 3) void error(const char* format, ...) override
    {
        char text[4096];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        add("error", text);
    }

    // Names of the calls of one operation, in order.
    std::vector<std::string> texts(const std::string& op) const
    {
        std::vector<std::string> out;
        for (const Call& c : calls)
            if (c.op == op)
                out.push_back(c.text);
        return out;
    }
    // Index of the first call of an operation with a text, or -1.
    int indexOf(const std::string& op, const std::string& text) const
    {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].op == op && calls[i].text == text)
                return int(i);
        return -1;
    }

private:
    bool add(std::string op, std::string text = {}, std::vector<double> numbers = {})
    {
        calls.push_back({std::move(op), std::move(text), std::move(numbers)});
        return true;
    }
};

// A command run whose scene records into `api`, held open so that the walk can be driven
// by itself; translate runs the whole driver into it.
struct RecordingRun {
    RecordingApi api;
    orv::PassThroughFactory factory{&api};
    TranslationContext context;
    std::unique_ptr<CommandRun> run;

    RecordingRun()
    {
        host::bind(sim::hostTable());
        run = std::make_unique<CommandRun>(context, "export", host::Document());
        run->open(factory);
        api.calls.clear(); // drop the banner, version and import options
    }

    void translate(host::Document doc) { run->translate(doc); }
};

// Builder of simulated documents.
inline sim::Object& add(std::vector<std::unique_ptr<sim::Object>>& list, int32_t type,
                        const std::string& name)
{
    list.push_back(std::make_unique<sim::Object>());
    list.back()->type = type;
    list.back()->name = name;
    return *list.back();
}
inline sim::Object& object(sim::Document& d, int32_t type, const std::string& name)
{
    return add(d.objects, type, name);
}
inline sim::Object& child(sim::Object& parent, int32_t type, const std::string& name)
{
    return add(parent.children, type, name);
}
inline sim::Object& cacheOf(std::unique_ptr<sim::Object>& slot, int32_t type, const std::string& name)
{
    slot = std::make_unique<sim::Object>();
    slot->type = type;
    slot->name = name;
    return *slot;
}
inline sim::Tag& tag(sim::Object& o, int32_t type, const std::string& name = {})
{
    o.tags.push_back(std::make_unique<sim::Tag>());
    o.tags.back()->type = type;
    o.tags.back()->name = name;
    return *o.tags.back();
}
// A polygon object holding one triangle.
inline sim::Object& triangle(sim::Object& o)
{
    o.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    o.polygons = {{0, 1, 2, 2}};
    o.hasPointTag = o.hasPolygonTag = true;
    return o;
}
inline sim::Track& track(sim::Object& o, int32_t channel, std::vector<sim::Key> keys)
{
    o.tracks.push_back(std::make_unique<sim::Track>());
    o.tracks.back()->descId = {channel, 1000};
    o.tracks.back()->keys = std::move(keys);
    return *o.tracks.back();
}
inline host::Document hostDoc(sim::Document& d)
{
    sim::finalize(d);
    host::bind(sim::hostTable());
    return host::Document(sim::handle(&d));
}
inline host::Object hostObject(sim::Object& o) { return host::Object(sim::handle(&o)); }

inline std::string readFile(const std::string& path)
{
    std::string data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            data.append(buffer, n);
        std::fclose(f);
    }
    return data;
}

} // namespace plugintest
