// Rotation orders in exported animation: for every host rotation order, an object turned on
// two or three axes at once, with rotation and position tracks, exported and read back. The
// expected records and matrices are built here from the rotation order table (which
// elementary rotation each angle gives and in which sequence they multiply), not from the
// plug-in's own matrix code.
#include "scene_fixture.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace scenetest;

namespace {

// An affine matrix acting on column vectors: columns 0-2 are the x, y and z axes, column 3
// the offset.
struct Affine {
    double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
};

Affine operator*(const Affine& a, const Affine& b)
{
    Affine r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = j == 3 ? a.m[i][3] : 0.0;
            for (int k = 0; k < 3; ++k)
                sum += a.m[i][k] * b.m[k][j];
            r.m[i][j] = sum;
        }
    return r;
}

Affine inverse(const Affine& a)
{
    const auto& m = a.m;
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Affine r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // Cofactor of (j, i) over the determinant.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            r.m[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    for (int i = 0; i < 3; ++i)
        r.m[i][3] = -(r.m[i][0] * m[0][3] + r.m[i][1] * m[1][3] + r.m[i][2] * m[2][3]);
    return r;
}

Affine columns(double x0, double x1, double x2, double y0, double y1, double y2, double z0, double z1, double z2)
{
    Affine r;
    const double axes[3][3] = {{x0, x1, x2}, {y0, y1, y2}, {z0, z1, z2}};
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 3; ++i)
            r.m[i][c] = axes[c][i];
    return r;
}

// The elementary rotations, given by their axis vectors.
Affine about(int axis, double a)
{
    const double c = std::cos(a), s = std::sin(a);
    if (axis == 0)
        return columns(1, 0, 0, 0, c, -s, 0, s, c);
    if (axis == 1)
        return columns(c, 0, s, 0, 1, 0, -s, 0, c);
    return columns(c, -s, 0, s, c, 0, 0, 0, 1);
}

Affine scaling(double x, double y, double z) { return columns(x, 0, 0, 0, y, 0, 0, 0, z); }

Affine translation(double x, double y, double z)
{
    Affine r;
    r.m[0][3] = x;
    r.m[1][3] = y;
    r.m[2][3] = z;
    return r;
}

// The rotation order table: the axis each angle (x, y, z) turns about, and the product of
// E1, E2, E3 as written left to right. Row 7 stands for every order outside 0 to 6.
struct OrderRow {
    int axisOf[3];
    const char* product;
};
const OrderRow kOrders[8] = {
    {{0, 1, 2}, "312"}, {{0, 1, 2}, "132"}, {{0, 1, 2}, "123"}, {{0, 1, 2}, "213"},
    {{0, 1, 2}, "231"}, {{0, 1, 2}, "321"}, {{1, 0, 2}, "123"}, {{0, 1, 2}, "213"},
};

const OrderRow& orderRow(int order) { return kOrders[order >= 0 && order <= 6 ? order : 7]; }

// The elementary rotation angle c gives under an order.
Affine elementary(int order, int c, double angle) { return about(orderRow(order).axisOf[c], angle); }

Affine rotation(int order, const double angles[3])
{
    Affine r;
    for (const char* f = orderRow(order).product; *f; ++f)
        r = r * elementary(order, *f - '1', angles[*f - '1']);
    return r;
}

// x axis, 0, y axis, 0, z axis, 0, offset, 1.
std::vector<double> rows(const Affine& a)
{
    std::vector<double> out;
    for (int c = 0; c < 4; ++c) {
        for (int i = 0; i < 3; ++i)
            out.push_back(a.m[i][c]);
        out.push_back(c == 3 ? 1 : 0);
    }
    return out;
}

// "" when the 16 numbers of sample i match, else a description of the first difference. The
// scene text holds six significant digits.
std::string compare(const Animation& record, size_t sample, const Affine& expected)
{
    const std::vector<double> want = rows(expected);
    for (size_t k = 0; k < 16; ++k) {
        const double got = record.at(sample, k);
        if (!(std::abs(got - want[k]) <= 1e-5 * (1 + std::abs(want[k])))) {
            std::ostringstream text;
            text << record.name << ": sample " << sample << ", value " << k << " is " << got << ", expected "
                 << want[k];
            return text.str();
        }
    }
    return {};
}

const char* const kAxisName[3] = {"X", "Y", "Z"};
const char* const kAxisKey[3] = {"x", "y", "z"};

// Start and end values of the tracks, per component, and the static rotation of the
// components without a rotation track.
const double kRotationFrom[3] = {0.3, -0.7, 1.1};
const double kRotationTo[3] = {1.1, -0.2, 0.5};
const double kStaticRotation[3] = {0.2, 0.4, 0.6};
const double kPositionTo[3] = {10, -4, 6};
const double kScale[3] = {2, 1, 0.5};

std::string trackJson(const char* channel, const char* title, int c, double from, double to)
{
    std::ostringstream text;
    text.precision(17);
    text << R"({"name": ")" << title << " . " << kAxisName[c] << R"(", "parameter": ")" << channel
         << R"(", "component": ")" << kAxisKey[c] << R"(", "keys": [[0, )" << from << "], [1, " << to << "]]}";
    return text.str();
}

int component(char axis) { return axis - 'x'; }

} // namespace

// Records of one object come out per channel in the reverse of the order's component
// sequence; each sample is the component's change since the first key in the object's frame.
TEST(RotationOrder, EveryOrderComposesTheTableAndSortsTheRecords)
{
    struct Case {
        int order;
        const char* rotationTracks; // components with a rotation track, in the host's track order
        const char* recordOrder;    // components as their records come out, in each channel
                                    // (the reverse of the order's sort sequence); empty: any
    } cases[] = {
        {0, "yzx", "yxz"}, {1, "zyx", "yzx"}, {2, "xzy", "zyx"}, {3, "zxy", "zxy"}, {4, "xyz", "xzy"},
        {5, "yxz", "xyz"}, {6, "zyx", "zyx"}, {7, "xyz", ""}, // 7: an order the table does not list
        // Turning on two axes, the third held at its static angle.
        {5, "zx", "xyz"}, {6, "yx", "zyx"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("rotation order " + std::to_string(k.order) + ", rotation tracks " + k.rotationTracks);
        const std::string rotated = k.rotationTracks;
        std::ostringstream json;
        json << R"({"time": 0.5, "minTime": 0, "objects": [{"type": "null", "name": "Spinner", "rotationOrder": )"
             << k.order << R"(, "rotation": [)" << kStaticRotation[0] << ", " << kStaticRotation[1] << ", "
             << kStaticRotation[2] << R"(], "scale": [)" << kScale[0] << ", " << kScale[1] << ", " << kScale[2]
             << R"(], "tracks": [)";
        for (char axis : rotated) {
            const int c = component(axis);
            json << trackJson("rotation", "Rotation", c, kRotationFrom[c], kRotationTo[c]) << ", ";
        }
        for (char axis : std::string("yzx"))
            json << trackJson("position", "Position", component(axis), 0, kPositionTo[component(axis)])
                 << (axis == 'x' ? "" : ", ");
        json << "]}]}";
        const Scene scene = exportJson(json.str());
        const Statement* group = scene.top().findDeep("group", "Spinner");
        ASSERT_NE(group, nullptr);
        const std::vector<Animation> records = animationsIn(group);

        // Record order: rotation, then position, each in the reverse of the sort sequence.
        std::vector<std::string> expectedNames;
        const std::string sequence = k.recordOrder;
        for (const char* channel : {"Rotation", "Position"})
            for (char axis : sequence)
                if (std::string(channel) == "Position" || rotated.find(axis) != std::string::npos)
                    expectedNames.push_back(std::string(channel) + " . " + kAxisName[component(axis)]);
        std::vector<std::string> names = namesOf(records);
        if (sequence.empty()) { // any order: only the channels are settled
            ASSERT_EQ(names.size(), 6u);
            std::sort(names.begin(), names.begin() + 3);
            std::sort(names.begin() + 3, names.end());
            expectedNames = {"Rotation . X", "Rotation . Y", "Rotation . Z",
                             "Position . X", "Position . Y", "Position . Z"};
        }
        ASSERT_EQ(names, expectedNames);

        // The static rotation: each tracked angle at its first key, the others as set.
        double angles[3];
        for (int c = 0; c < 3; ++c)
            angles[c] = rotated.find(kAxisKey[c][0]) != std::string::npos ? kRotationFrom[c] : kStaticRotation[c];
        const Affine S = scaling(kScale[0], kScale[1], kScale[2]);
        const Affine Rall = rotation(k.order, angles);
        // The object's own transform as the host gives it: T * R * S.
        EXPECT_EQ(compare({"transform", "", 0, {}, numbers(group->block->find("transform"))}, 0, Rall * S), "");

        // A rotation record is the change seen through the scale and the static per-axis
        // rotations from its own component on, multiplied in x, y, z whatever the order; a
        // position record through the scale and the whole static rotation.
        Affine single[3];
        for (int c = 0; c < 3; ++c)
            single[c] = elementary(k.order, c, angles[c]);

        for (const Animation& record : records) {
            const bool isRotation = record.name.rfind("Rotation", 0) == 0;
            const int c = record.name.back() - 'X';
            Affine after;
            for (int i = c; i < 3; ++i)
                after = after * single[i];
            const Affine X = isRotation ? S * after : S * Rall;
            const Affine Xinv = inverse(X);
            ASSERT_EQ(record.stamps.size(), 30u) << record.name;
            ASSERT_EQ(record.matrices.size(), 30u * 16) << record.name;
            const double from = isRotation ? kRotationFrom[c] : 0.0;
            const double to = isRotation ? kRotationTo[c] : kPositionTo[c];
            const auto valueAt = [&](float t) {
                return static_cast<float>(t <= 0.0f ? from : from + (to - from) * static_cast<double>(t));
            };
            const auto change = [&](double v) {
                return isRotation ? elementary(k.order, c, v) : translation(c == 0 ? v : 0, c == 1 ? v : 0, c == 2 ? v : 0);
            };
            const Affine firstInverse = inverse(change(valueAt(0.0f)));
            float t = 0.0f;
            for (size_t i = 0; i < 30; ++i, t = t + 0.033333335f) {
                const Affine D = change(valueAt(t)) * firstInverse;
                const std::string fault = compare(record, i, Xinv * D * X);
                ASSERT_EQ(fault, "");
            }
        }
    }
}
