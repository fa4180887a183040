#include "scene_fixture.h"

#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "command_run.h"
#include "sim_host.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace scenetest {

namespace {

Scene exportDocument(sim::Document* doc, const std::string& error)
{
    Scene scene;
    if (!doc) {
        ADD_FAILURE() << error;
        return scene;
    }
    static int serial = 0;
    const auto path = std::filesystem::temp_directory_path() /
        ("scene_content_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".qrf");
    host::bind(sim::hostTable());
    {
        TranslationContext context;
        CommandRun run(context, "export", host::Document(sim::handle(doc)));
        orv::LightFileFactory factory(path.string());
        run.write(factory);
        factory.close();
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::filesystem::remove(path);
    orv::qrf::ParseError parseError;
    if (!orv::qrf::parse(text.str(), scene.parsed, parseError))
        ADD_FAILURE() << "scene does not parse at " << parseError.offset << ": " << parseError.message;
    return scene;
}

} // namespace

Scene exportExample(const std::string& file)
{
    std::string error;
    auto doc = sim::loadDocument(std::string(TAVRIN_EXAMPLES_DIR) + "/" + file, error);
    return exportDocument(doc.get(), error);
}

Scene exportJson(const std::string& json)
{
    std::string error;
    auto doc = sim::parseDocument(json, "", error);
    return exportDocument(doc.get(), error);
}

std::vector<double> numbers(const Statement* statement)
{
    using Kind = orv::qrf::Value::Kind;
    std::vector<double> out;
    if (!statement)
        return out;
    for (const orv::qrf::Value& v : statement->args) {
        if (v.kind == Kind::Binary) {
            out.insert(out.end(), v.floats.begin(), v.floats.end());
            out.insert(out.end(), v.doubles.begin(), v.doubles.end());
            out.insert(out.end(), v.ints.begin(), v.ints.end());
        } else if (v.kind == Kind::List) {
            for (const std::string& item : v.items)
                out.push_back(std::stod(item));
        } else if (v.kind == Kind::Word) {
            out.push_back(v.number());
        }
    }
    return out;
}

const Block* shaderBlock(const Statement* statement)
{
    if (statement)
        for (const orv::qrf::Value& v : statement->args)
            if (v.block)
                return v.block.get();
    return nullptr;
}

const Statement* surfaceOf(const Scene& scene, const std::string& object)
{
    const Statement* o = scene.top().findDeep("object", object);
    const Statement* m = o && o->block ? o->block->find("material") : nullptr;
    return m && m->block ? m->block->find("surface") : nullptr;
}

std::vector<Animation> animationsIn(const Statement* holder)
{
    std::vector<Animation> out;
    if (!holder || !holder->block)
        return out;
    for (const Statement* s : holder->block->all("animation")) {
        Animation a;
        if (s->args.size() > 1)
            a.name = s->args[1].text;
        if (!s->block)
            continue;
        if (const Statement* f = s->block->find("folder"))
            a.folder = f->name();
        const std::vector<double> start = numbers(s->block->find("start_time"));
        a.start = start.empty() ? -1 : start[0];
        a.stamps = numbers(s->block->find("timestamps"));
        a.matrices = numbers(s->block->find("matrices"));
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<std::string> namesOf(const std::vector<Animation>& list)
{
    std::vector<std::string> out;
    for (const Animation& a : list)
        out.push_back(a.name);
    return out;
}

} // namespace scenetest
