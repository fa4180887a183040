#include "scene_fixture.h"

#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "orvSceneapi_oo.h"
#include "sim_host.h"
#include "translate_document.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace scenetest {

DocBuilder::DocBuilder() : doc_(std::make_unique<sim::Document>())
{
    doc_->type = 0;
    doc_->docName = "content.c4d";
}

sim::Object& DocBuilder::object(int32_t type, const std::string& name, sim::Object* parent)
{
    auto o = std::make_unique<sim::Object>();
    o->type = type;
    o->name = name;
    o->parent = parent;
    sim::Object& ref = *o;
    (parent ? parent->children : doc_->objects).push_back(std::move(o));
    return ref;
}

sim::Track& DocBuilder::track(sim::Object& o, int32_t parameter, int32_t component,
                              const std::vector<KeyValue>& keys, const std::string& name)
{
    auto t = std::make_unique<sim::Track>();
    t->name = name;
    t->descId = {parameter, component};
    for (const KeyValue& k : keys)
        t->keys.push_back(sim::Key{sim::Time{k.seconds, 1}, k.value});
    sim::Track& ref = *t;
    o.tracks.push_back(std::move(t));
    return ref;
}

sim::Tag& DocBuilder::tag(sim::Object& o, int32_t type, const std::string& name)
{
    auto t = std::make_unique<sim::Tag>();
    t->type = type;
    t->name = name;
    sim::Tag& ref = *t;
    o.tags.push_back(std::move(t));
    return ref;
}

sim::Material& DocBuilder::material(int32_t type, const std::string& name)
{
    auto m = std::make_unique<sim::Material>();
    m->type = type;
    m->name = name;
    sim::Material& ref = *m;
    doc_->materials.push_back(std::move(m));
    return ref;
}

Scene exportScene(sim::Document& doc)
{
    static std::atomic<int> serial{0};
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("scene_content_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".qrf");

    sim::finalize(doc);
    host::bind(sim::hostTable());
    {
        TranslationContext context;
        orv::LightFileFactory factory(path.string());
        auto* wrapper = new orv::orvSceneapi_oo(&factory);
        context.scene = wrapper;
        translateDocument(context, host::Document(sim::handle(&doc)));
        context.scene = nullptr;
        delete wrapper;
        factory.close();
    }

    Scene scene;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    scene.text = text.str();
    std::filesystem::remove(path);

    orv::qrf::ParseError error;
    if (!orv::qrf::parse(scene.text, scene.parsed, error))
        ADD_FAILURE() << "scene does not parse at " << error.offset << ": " << error.message;
    return scene;
}

std::vector<double> numbers(const orv::qrf::Value& value)
{
    using Kind = orv::qrf::Value::Kind;
    std::vector<double> out;
    switch (value.kind) {
    case Kind::Binary:
        for (float f : value.floats)
            out.push_back(f);
        for (double d : value.doubles)
            out.push_back(d);
        for (int32_t i : value.ints)
            out.push_back(i);
        break;
    case Kind::List:
        for (const std::string& item : value.items) {
            orv::qrf::Value word;
            word.text = item;
            out.push_back(word.number());
        }
        break;
    case Kind::Word:
        out.push_back(value.number());
        break;
    default:
        break;
    }
    return out;
}

std::vector<double> numbers(const orv::qrf::Statement* statement)
{
    std::vector<double> out;
    if (!statement)
        return out;
    for (const orv::qrf::Value& v : statement->args) {
        const std::vector<double> part = numbers(v);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

const orv::qrf::Block* shaderBlock(const orv::qrf::Statement* statement)
{
    if (!statement)
        return nullptr;
    for (const orv::qrf::Value& v : statement->args)
        if (v.block)
            return v.block.get();
    return nullptr;
}

std::vector<const orv::qrf::Statement*> animations(const orv::qrf::Block& block)
{
    return block.allDeep("animation");
}

std::string animationName(const orv::qrf::Statement& animation)
{
    int strings = 0;
    for (const orv::qrf::Value& v : animation.args)
        if (v.kind == orv::qrf::Value::Kind::String && ++strings == 2)
            return v.text;
    return {};
}

} // namespace scenetest
