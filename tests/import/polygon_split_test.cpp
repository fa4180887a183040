// Outlines split into triangles: every simple outline is covered exactly (the triangles'
// areas add up to its area and none faces the other way), in any plane and either direction;
// outlines that cross themselves are told apart.
#include "polygon_split.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace {

using Outline = std::vector<std::pair<double, double>>;

double shoelace(const Outline& o)
{
    double a = 0;
    for (size_t i = 0; i < o.size(); ++i) {
        const auto& [x0, y0] = o[i];
        const auto& [x1, y1] = o[(i + 1) % o.size()];
        a += x0 * y1 - x1 * y0;
    }
    return std::abs(a) / 2;
}

Outline spiral()
{
    // A band winding twice around the centre: an outer arm going out, an inner one coming back.
    Outline out, back;
    const int steps = 60;
    for (int i = 0; i <= steps; ++i) {
        const double t = 4 * std::numbers::pi * i / steps, r = 1 + t;
        out.push_back({r * std::cos(t), r * std::sin(t)});
        back.push_back({(r + 0.6) * std::cos(t), (r + 0.6) * std::sin(t)});
    }
    out.insert(out.end(), back.rbegin(), back.rend());
    return out;
}

Outline comb(int teeth)
{
    Outline o{{0, 0}};
    for (int t = 0; t < teeth; ++t) {
        o.push_back({2.0 * t + 1, 0});
        o.push_back({2.0 * t + 1, 5});
        o.push_back({2.0 * t + 2, 5});
        o.push_back({2.0 * t + 2, 0});
    }
    o.push_back({2.0 * teeth + 1, 0});
    o.push_back({2.0 * teeth + 1, -1});
    o.push_back({0, -1});
    return o;
}

Outline star(int points)
{
    Outline o;
    for (int i = 0; i < 2 * points; ++i) {
        const double t = std::numbers::pi * i / points, r = i % 2 ? 0.35 : 1.0;
        o.push_back({r * std::cos(t), r * std::sin(t)});
    }
    return o;
}

// The same outline in a tilted plane, scaled and moved; reversed when asked.
std::vector<aiVector3D> place(const Outline& o, bool reverse)
{
    std::vector<aiVector3D> v;
    for (const auto& [x, y] : o)
        v.emplace_back(float(0.8 * x + 12), float(0.6 * x * 0.5 + y * 0.7 - 3), float(-0.6 * x + 0.4 * y + 100));
    if (reverse)
        std::reverse(v.begin(), v.end());
    return v;
}

TEST(PolygonSplit, SimpleOutlinesAreCoveredExactlyWithoutFolds)
{
    const struct {
        std::string name;
        Outline outline;
    } cases[] = {
        {"convex hexagon", {{0, 0}, {2, 0}, {3, 1}, {2, 2}, {0, 2}, {-1, 1}}},
        {"L shape", {{0, 0}, {4, 0}, {4, 1}, {1, 1}, {1, 4}, {0, 4}}},
        {"arrow (concave at the first corner)", {{0, 0}, {-2, 2}, {4, 0}, {-2, -2}, {-1, 0.5}}},
        {"star", star(7)},
        {"comb", comb(12)},
        {"spiral", spiral()},
        {"collinear runs", {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 1}, {3, 2}, {3, 3}, {2, 3}, {2, 2}, {2, 1}, {1, 1},
                            {0, 1}, {0, 0.5}}},
        {"repeated corners", {{0, 0}, {0, 0}, {3, 0}, {3, 0}, {3, 0}, {3, 3}, {1, 1}, {1, 1}, {0, 3}}},
        {"square with a square hole joined by a cut",
         {{0, 0}, {6, 0}, {6, 6}, {0, 6}, {0, 0}, {2, 2}, {2, 4}, {4, 4}, {4, 2}, {2, 2}}},
        {"corners touching a far edge", {{0, 0}, {4, 0}, {4, 4}, {2, 0}, {0, 4}}},
        {"C shape with a lip",
         {{0, 0}, {5, 0}, {5, 1}, {1, 1}, {1, 4}, {5, 4}, {5, 5}, {0, 5}, {0, 3}, {0.5, 2.5}, {0, 2}}},
    };
    modelimport::PolygonSplitter splitter;
    for (const auto& c : cases)
        for (bool reverse : {false, true}) {
            SCOPED_TRACE(c.name + (reverse ? ", reversed" : ""));
            const std::vector<aiVector3D> v = place(c.outline, reverse);
            std::vector<unsigned> idx(v.size());
            for (unsigned i = 0; i < idx.size(); ++i)
                idx[i] = i;
            std::vector<unsigned> tri;
            EXPECT_TRUE(splitter.split(v.data(), idx.data(), unsigned(idx.size()), tri));
            ASSERT_EQ(tri.size(), 3 * (v.size() - 2));
            // Areas in the tilted plane: the outline's 2D area times the plane's stretch.
            const double area = modelimport::outlineArea(v.data(), idx.data(), unsigned(idx.size()));
            double sum = 0;
            for (size_t k = 0; k < tri.size(); k += 3)
                sum += modelimport::triangleArea(v[tri[k]], v[tri[k + 1]], v[tri[k + 2]]);
            EXPECT_NEAR(sum, area, 1e-5 * area) << "outline area in its own plane " << shoelace(c.outline);
        }
}

TEST(PolygonSplit, CrossingOutlinesAndConcaveQuadsAreToldApart)
{
    modelimport::PolygonSplitter splitter;
    for (const Outline& o : {Outline{{0, 0}, {2, 2}, {2, 0}, {0, 2}, {-1, 1}},
                             Outline{{0, 0}, {4, 3}, {4, 0}, {0, 3}, {-1, 2}, {-1, 1}}}) {
        const std::vector<aiVector3D> v = place(o, false);
        std::vector<unsigned> idx(v.size()), tri;
        for (unsigned i = 0; i < idx.size(); ++i)
            idx[i] = i;
        EXPECT_FALSE(splitter.split(v.data(), idx.data(), unsigned(idx.size()), tri));
        EXPECT_EQ(tri.size(), 3 * (v.size() - 2));
    }
    // The host splits a quad along a–c: that folds when b or d is the concave corner.
    const struct {
        Outline quad;
        int concave; // corner, -1 for none
    } quads[] = {
        {{{0, 0}, {2, 0}, {2, 2}, {0, 2}}, -1},
        {{{0, 0}, {1, 0.3}, {2, 0}, {1, 2}}, 1},
        {{{0, 0}, {2, 0}, {1, 0.3}, {1, 2}}, 2},
        {{{0, 0}, {2, 0}, {2, 2}, {1.5, 0.5}}, 3},
    };
    const unsigned idx[4] = {0, 1, 2, 3};
    for (const auto& q : quads)
        for (bool reverse : {false, true}) {
            const std::vector<aiVector3D> v = place(q.quad, reverse);
            const int corner = reverse && q.concave >= 0 ? 3 - q.concave : q.concave;
            EXPECT_EQ(modelimport::quadFoldsAlongFirstDiagonal(v.data(), idx), corner == 1 || corner == 3)
                << "concave corner " << q.concave << (reverse ? ", reversed" : "");
        }
}

} // namespace
