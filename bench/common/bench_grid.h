// The heavy document of the benchmarks and the Export flow that writes it: a grid of quads in one polygon object with a UVW
// tag, phong normals and two texture tags (the second restricted to a selection of half
// the polygons), built straight in the simulated host.
#pragma once

#include "TranslationContext.h"
#include "c4d_host.h"
#include "commands.h"
#include "sim_host.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct Grid {
    std::unique_ptr<sim::Document> doc;
    double hostBytes = 0;
    double largestRegionBytes = 0;
};

// A side x side grid of quads in one polygon object.
inline Grid buildGrid(int side)
{
    Grid g;
    g.doc = std::make_unique<sim::Document>();
    g.doc->docName = "grid.c4d";
    auto object = std::make_unique<sim::Object>();
    sim::Object& o = *object;
    o.type = 5100;
    o.name = "Grid";
    const int32_t row = side + 1;
    o.points.reserve(static_cast<size_t>(row) * row);
    for (int y = 0; y <= side; ++y)
        for (int x = 0; x <= side; ++x)
            o.points.push_back({x * 0.01, y * 0.01, (x ^ y) * 0.001});
    const size_t quads = static_cast<size_t>(side) * side;
    o.polygons.reserve(quads);
    std::vector<c4d_vec32> normals;
    normals.reserve(quads * 4);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const int32_t p = y * row + x;
            o.polygons.push_back({p, p + 1, p + row + 1, p + row});
            for (int i = 0; i < 4; ++i)
                normals.push_back({0.0f, 0.0f, 1.0f});
        }
    o.phongNormals = std::move(normals);

    auto uvw = std::make_unique<sim::Tag>();
    uvw->type = 5671;
    uvw->uvw.reserve(quads);
    for (size_t p = 0; p < quads; ++p) {
        const double u = static_cast<double>(p % side) / side;
        const double v = static_cast<double>(p / side) / side;
        const double d = 1.0 / side;
        uvw->uvw.push_back({{u, v, 0}, {u + d, v, 0}, {u + d, v + d, 0}, {u, v + d, 0}});
    }

    auto material = [&](const std::string& name, sim::Vec3 colour) {
        auto m = std::make_unique<sim::Material>();
        m->type = 5703;
        m->name = name;
        m->channels[0] = true;
        m->params[2100] = colour;
        g.doc->materials.push_back(std::move(m));
        return g.doc->materials.back().get();
    };
    auto left = std::make_unique<sim::Tag>();
    left->type = 5616;
    left->material = material("Base", {0.8, 0.8, 0.8});
    auto selection = std::make_unique<sim::Tag>();
    selection->type = 5673;
    selection->name = "half";
    selection->segments.push_back({0, static_cast<int32_t>(quads / 2) - 1});
    auto right = std::make_unique<sim::Tag>();
    right->type = 5616;
    right->material = material("Half", {0.8, 0.1, 0.1});
    right->params[1006] = std::string("half");

    o.tags.push_back(std::move(uvw));
    o.tags.push_back(std::move(left));
    o.tags.push_back(std::move(selection));
    o.tags.push_back(std::move(right));

    g.hostBytes = static_cast<double>(o.points.size() * sizeof(sim::Vec3) +
                                      o.polygons.size() * sizeof(c4d_cpolygon) +
                                      quads * sizeof(c4d_uvw) + o.phongNormals->size() * sizeof(c4d_vec32));
    // Half the quads: shared vertices, 4 UVs and 4 normals per quad, three index lists.
    const double half = static_cast<double>(quads - quads / 2);
    g.largestRegionBytes = half * (12.0 + 4 * 8 + 4 * 12 + 3 * 6 * 4);
    g.doc->objects.push_back(std::move(object));
    sim::finalize(*g.doc);
    return g;
}

// One Export flow after the dialog, with its report. Returns the seconds taken.
inline double exportOnce(TranslationContext& context, sim::Document& doc, const std::string& path)
{
    const auto start = std::chrono::steady_clock::now();
    if (!exportDocumentTo(context, host::Document(sim::handle(&doc)), path))
        throw std::runtime_error("the export of " + path + " failed");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace bench
