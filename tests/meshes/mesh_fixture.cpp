#include "mesh_fixture.h"

#include "LightFactory.h"
#include "c4d_host.h"
#include "command_run.h"
#include "orvScene_api_file.h"
#include "sim_host.h"

#include <cstdio>
#include <cstdlib>

namespace meshtest {

using Kind = orv::qrf::Value::Kind;

void grid(sim::Object& o, int rows, int cols)
{
    for (int r = 0; r <= rows; ++r)
        for (int c = 0; c <= cols; ++c)
            o.points.push_back({double(c), double(r), 0});
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const int32_t p = r * (cols + 1) + c;
            o.polygons.push_back({p, p + 1, p + cols + 2, p + cols + 1});
        }
}

sim::Object& MeshTest::polygon(const std::string& name, std::vector<sim::Vec3> points,
                               std::vector<c4d_cpolygon> polygons, sim::Object* parent)
{
    auto o = std::make_unique<sim::Object>();
    o->type = points.empty() ? 5140 : 5100;
    o->name = name;
    o->parent = parent;
    o->points = std::move(points);
    o->polygons = std::move(polygons);
    auto& list = parent ? parent->children : doc->objects;
    list.push_back(std::move(o));
    return *list.back();
}

sim::Tag& MeshTest::tag(sim::Object& o, int32_t type, const std::string& name)
{
    o.tags.push_back(std::make_unique<sim::Tag>());
    o.tags.back()->type = type;
    o.tags.back()->name = name;
    return *o.tags.back();
}

sim::Tag& MeshTest::uvw(sim::Object& o, size_t polygons)
{
    sim::Tag& t = tag(o, 5671);
    for (size_t p = 0; p < polygons; ++p) {
        c4d_uvw w{};
        sim::Vec3* corner[4] = {&w.a, &w.b, &w.c, &w.d};
        for (int i = 0; i < 4; ++i)
            *corner[i] = {double(p) + i / 10.0, double(p) + i / 100.0, 7};
        t.uvw.push_back(w);
    }
    return t;
}

sim::Tag& MeshTest::texture(sim::Object& o, sim::Material* m, const std::string& restriction)
{
    sim::Tag& t = tag(o, 5616);
    t.material = m;
    t.params[1006] = restriction;
    return t;
}

sim::Tag& MeshTest::selection(sim::Object& o, const std::string& name,
                              std::vector<std::pair<int32_t, int32_t>> segments)
{
    sim::Tag& t = tag(o, 5673, name);
    t.segments = std::move(segments);
    return t;
}

sim::Material& MeshTest::material(const std::string& name, sim::Vec3 colour)
{
    doc->materials.push_back(std::make_unique<sim::Material>());
    sim::Material& m = *doc->materials.back();
    m.type = 5703;
    m.name = name;
    m.channels[0] = true;
    m.params[2100] = colour;
    return m;
}

sim::Shader& MeshTest::shader(sim::Material& m, int32_t type, sim::Value value)
{
    m.shaders.push_back(std::make_unique<sim::Shader>());
    m.shaders.back()->type = type;
    m.shaders.back()->params[type == 1012158 ? 10001 : type == 1011100 ? 1007 : 1000] = value;
    return *m.shaders.back();
}

sim::Layer& MeshTest::layer(sim::Object& o)
{
    doc->layers.push_back(std::make_unique<sim::Layer>());
    return *(o.layer = doc->layers.back().get());
}

std::vector<const Statement*> MeshTest::exportObjects(const c4d_host_table* table)
{
    sim::finalize(*doc);
    host::bind(table ? table : sim::hostTable());
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    {
        orv::orvScene_api_file writer(stream, true);
        orv::PassThroughFactory factory(&writer);
        CommandRun run(context, "export", host::Document(sim::handle(doc.get())));
        run.write(factory);
    }
    std::fclose(stream);
    const std::string text(data, size);
    std::free(data);
    scene = {};
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(text, scene, error))
        ADD_FAILURE() << "scene does not parse at " << error.offset << ": " << error.message;
    return scene.top.allDeep("object");
}

Lines MeshTest::exportMaterials()
{
    Lines names;
    for (const Statement* o : exportObjects())
        names.push_back(materialName(o));
    return names;
}

V numbers(const Statement* s)
{
    V out;
    if (s == nullptr)
        return out;
    for (const orv::qrf::Value& v : s->args) {
        out.insert(out.end(), v.floats.begin(), v.floats.end());
        out.insert(out.end(), v.ints.begin(), v.ints.end());
        if (v.kind == Kind::Word)
            out.push_back(v.number());
    }
    return out;
}

const Statement* geometry(const Statement* object, const std::string& attribute)
{
    const Statement* g = object && object->block ? object->block->find("geometry") : nullptr;
    return g && g->block ? g->block->find(attribute) : nullptr;
}

V geometryNumbers(const Statement* object, const std::string& attribute)
{
    return numbers(geometry(object, attribute));
}

std::string materialName(const Statement* object)
{
    const Statement* m = object && object->block ? object->block->find("material") : nullptr;
    return m ? m->name() : "<none>";
}

const orv::qrf::Value* surface(const Statement* object)
{
    const Statement* m = object && object->block ? object->block->find("material") : nullptr;
    const Statement* s = m && m->block ? m->block->find("surface") : nullptr;
    if (s != nullptr)
        for (const orv::qrf::Value& v : s->args)
            if (v.block)
                return &v;
    return nullptr;
}

const orv::qrf::Value* textureShader(const Statement* object)
{
    const orv::qrf::Value* s = surface(object);
    if (s != nullptr)
        for (const Statement* d : s->block->all("diffuse"))
            for (const orv::qrf::Value& v : d->args)
                if (v.block)
                    return &v;
    return nullptr;
}

Lines lines(const orv::qrf::Value* shader)
{
    Lines out;
    if (shader == nullptr)
        return out;
    out.push_back("kind " + shader->text);
    for (const Statement& s : shader->block->statements) {
        std::string line = s.keyword;
        for (const orv::qrf::Value& v : s.args)
            line += v.kind == Kind::String ? " \"" + v.text + "\"" : v.block ? " !" + v.text : " " + v.text;
        out.push_back(line);
    }
    return out;
}

} // namespace meshtest
