#include "axis_convert.h"

#include "files/regular_file.h"

#include <assimp/matrix4x4.inl>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace modelimport {

namespace {

using sim::Matrix;
using sim::Vec3;

constexpr double kPi = std::numbers::pi;
constexpr double kTurn = 2 * std::numbers::pi;

Vec3 add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 mul(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(const Vec3& a) { return std::sqrt(dot(a, a)); }
Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Moves an angle by whole turns to lie nearest to `near`.
double unwrap(double angle, double near)
{
    return angle - kTurn * std::round((angle - near) / kTurn);
}

double distance(const Vec3& a, const Vec3& b)
{
    return std::abs(a.x - b.x) + std::abs(a.y - b.y) + std::abs(a.z - b.z);
}

} // namespace

Matrix identity() { return Matrix{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}; }

Vec3 transformPoint(const Matrix& m, const Vec3& p)
{
    return add(m.off, add(mul(m.v1, p.x), add(mul(m.v2, p.y), mul(m.v3, p.z))));
}

Matrix multiply(const Matrix& a, const Matrix& b)
{
    const Matrix axes{{0, 0, 0}, a.v1, a.v2, a.v3};
    return Matrix{transformPoint(a, b.off), transformPoint(axes, b.v1), transformPoint(axes, b.v2),
                  transformPoint(axes, b.v3)};
}

Vec3 transformNormal(const Matrix& m, const Vec3& n)
{
    // The rows of the inverse transpose are the cofactor columns; the determinant's sign keeps
    // the normal on the same side of a mirrored surface.
    const Vec3 c1 = cross(m.v2, m.v3), c2 = cross(m.v3, m.v1), c3 = cross(m.v1, m.v2);
    const double det = dot(m.v1, c1);
    Vec3 out = add(mul(c1, n.x), add(mul(c2, n.y), mul(c3, n.z)));
    if (det < 0)
        out = mul(out, -1);
    const double len = length(out);
    return len > 0 && std::isfinite(len) ? mul(out, 1 / len) : Vec3{0, 0, 0};
}

bool isIdentity(const Matrix& m)
{
    const Matrix i = identity();
    return distance(m.off, i.off) == 0 && distance(m.v1, i.v1) == 0 && distance(m.v2, i.v2) == 0 &&
           distance(m.v3, i.v3) == 0;
}

Matrix Converter::matrix(const aiMatrix4x4& m) const
{
    // The model's matrix in the upright frame, T = U * M * U^T (U swaps axes and signs,
    // so T's axes are M's, rearranged), then mirrored: F * T * F flips the z row and the
    // z column.
    const double a[3][3] = {{m.a1, m.a2, m.a3}, {m.b1, m.b2, m.b3}, {m.c1, m.c2, m.c3}};
    double t[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l)
                    t[i][j] += u_[i][k] * a[k][l] * u_[j][l];
    const Vec3 off = turn(aiVector3D(m.a4, m.b4, m.c4));
    return Matrix{{off.x * unit_, off.y * unit_, -off.z * unit_},
                  {t[0][0], t[1][0], -t[2][0]},
                  {t[0][1], t[1][1], -t[2][1]},
                  {-t[0][2], -t[1][2], t[2][2]}};
}

Converter::Converter(const FileFrame& frame) : unit_(frame.unit)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            u_[i][j] = frame.upright[i][j];
}

Vec3 Converter::scale(const aiVector3D& s) const
{
    const double in[3] = {s.x, s.y, s.z};
    double out[3] = {1, 1, 1};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (u_[i][j] != 0)
                out[i] = in[j];
    return {out[0], out[1], out[2]};
}

bool FileFrame::turned() const
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (upright[i][j] != (i == j))
                return true;
    return false;
}

namespace {

std::string lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The first bytes of a text file (where the formats below keep their unit and up axis).
std::string head(const std::string& path)
{
    std::string text(65536, '\0');
    FILE* f = tavrin::files::fopenRegular(path);
    if (!f)
        return {};
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return text;
}

// The quoted value after `key` in `text` ("" when absent).
std::string quotedAfter(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return {};
    const size_t open = text.find('"', at + key.size());
    const size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos || close - open > 32)
        return {};
    return lower(text.substr(open + 1, close - open - 1));
}

// Z up, Y into the picture (right-handed): x stays, z becomes y, y becomes -z.
constexpr int kZUp[3][3] = {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}};

void setUpright(FileFrame& frame, const int (&u)[3][3])
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            frame.upright[i][j] = u[i][j];
}

int metadataInt(const aiScene& scene, const char* key, int fallback)
{
    int32_t i = 0;
    if (scene.mMetaData && scene.mMetaData->Get(key, i))
        return i;
    return fallback;
}

// An FBX file's axes: its up, front and right ("coord") axis with their signs. The file's
// right, up and front become x, y and z; a setting that is not a proper rotation is ignored.
void fbxAxes(const aiScene& scene, FileFrame& frame)
{
    const int up = metadataInt(scene, "UpAxis", 1), upSign = metadataInt(scene, "UpAxisSign", 1);
    const int front = metadataInt(scene, "FrontAxis", 2), frontSign = metadataInt(scene, "FrontAxisSign", 1);
    const int right = metadataInt(scene, "CoordAxis", 0), rightSign = metadataInt(scene, "CoordAxisSign", 1);
    const auto valid = [](int axis, int sign) { return axis >= 0 && axis < 3 && (sign == 1 || sign == -1); };
    if (!valid(up, upSign) || !valid(front, frontSign) || !valid(right, rightSign) || up == front || up == right ||
        front == right)
        return;
    int u[3][3] = {};
    u[0][right] = rightSign;
    u[1][up] = upSign;
    u[2][front] = frontSign;
    const int det = u[0][0] * (u[1][1] * u[2][2] - u[1][2] * u[2][1]) - u[0][1] * (u[1][0] * u[2][2] - u[1][2] * u[2][0]) +
                    u[0][2] * (u[1][0] * u[2][1] - u[1][1] * u[2][0]);
    if (det == 1)
        setUpright(frame, u);
}

} // namespace

FileFrame fileFrame(const aiScene& scene, const std::string& modelPath)
{
    FileFrame frame;
    std::string ext = lower(modelPath.substr(std::min(modelPath.size(), modelPath.find_last_of('.'))));
    if (ext == ".gltf" || ext == ".glb" || ext == ".dae" || ext == ".zae" || ext == ".blend" || ext == ".x3d" ||
        ext == ".x3db" || ext == ".x3dv" || ext == ".wrl" || ext == ".ifc" || ext == ".ifczip" || ext == ".lwo" ||
        ext == ".lws" || ext == ".lxo")
        frame.unit = 100;
    if (ext == ".blend" || ext == ".cob" || ext == ".scn" || ext == ".smd" || ext == ".vta" || ext == ".3mf" ||
        ext == ".amf")
        setUpright(frame, kZUp);
    if (ext == ".3mf")
        frame.unit = 0.1;
    if (ext == ".amf") {
        const std::string unit = quotedAfter(head(modelPath), "unit=");
        frame.unit = unit == "inch" ? 2.54 : unit == "feet" ? 30.48 : unit == "meter" ? 100 : unit == "micron" ? 1e-4 : 0.1;
    }
    if (ext == ".ogex") {
        // Metric (key = "distance") {float {1.0}}: metres per unit; (key = "up") {string {"z"}}.
        const std::string text = head(modelPath);
        const size_t distance = text.find("\"distance\"");
        const size_t number = distance == std::string::npos ? distance : text.find_first_of("0123456789.", distance + 10);
        const double metres = number == std::string::npos ? 1 : std::strtod(text.c_str() + number, nullptr);
        frame.unit = 100 * (metres > 0 && std::isfinite(metres) ? metres : 1);
        if (quotedAfter(text, "\"up\"") == "z")
            setUpright(frame, kZUp);
    }
    if (ext == ".fbx") {
        if (scene.mMetaData) {
            double d = 0;
            float f = 0;
            if (scene.mMetaData->Get("UnitScaleFactor", d) && std::isfinite(d) && d > 0)
                frame.unit = d;
            else if (scene.mMetaData->Get("UnitScaleFactor", f) && std::isfinite(f) && f > 0)
                frame.unit = f;
        }
        fbxAxes(scene, frame);
    }
    return frame;
}

Vec3 anglesOf(const Matrix& r)
{
    // R = Ry(h) * Rx(p) * Rz(b): the z axis is (-sin h cos p, sin p, cos h cos p). Pitch and
    // heading come from it; bank from what is left of the x axis once heading and pitch are
    // turned back, so that near a pitch of +-90 degrees (where heading and bank turn about
    // nearly one axis) the rounding of the heading is made up by the bank.
    const double cp = std::hypot(r.v3.x, r.v3.z);
    const double p = std::atan2(r.v3.y, cp);
    // At +-90 degrees exactly the whole turn goes into the heading.
    const double h = cp > 1e-12 ? std::atan2(-r.v3.x, r.v3.z) : std::atan2(r.v1.z, r.v1.x);
    const double ch = std::cos(h), sh = std::sin(h), cpp = std::cos(p), sp = std::sin(p);
    const Vec3 w{r.v1.x * ch + r.v1.z * sh, r.v1.y, -r.v1.x * sh + r.v1.z * ch}; // Ry(h)^T x
    const Vec3 u{w.x, w.y * cpp - w.z * sp, w.y * sp + w.z * cpp};               // Rx(p)^T w
    const double b = cp > 1e-12 ? std::atan2(-u.y, u.x) : 0.0;
    return {h, p, b};
}

Vec3 nearestAngles(const Vec3& angles, const Vec3& previous)
{
    const auto near = [&](const Vec3& a) {
        return Vec3{unwrap(a.x, previous.x), unwrap(a.y, previous.y), unwrap(a.z, previous.z)};
    };
    const Vec3 first = near(angles);
    const Vec3 second = near(Vec3{angles.x + kPi, kPi - angles.y, angles.z + kPi});
    return distance(second, previous) < distance(first, previous) ? second : first;
}

Vec3 Converter::rotation(const aiQuaternion& q, const Vec3* previous) const
{
    const double len = std::sqrt(double(q.w) * q.w + double(q.x) * q.x + double(q.y) * q.y + double(q.z) * q.z);
    if (!(len > 0) || !std::isfinite(len))
        return previous ? *previous : Vec3{0, 0, 0};
    const double w = q.w / len, x = q.x / len, y = q.y / len, z = q.z / len;
    // The quaternion's rotation matrix (rows a, b, c; column vectors) as the model holds it.
    aiMatrix4x4 m;
    m.a1 = float(1 - 2 * (y * y + z * z)), m.a2 = float(2 * (x * y - z * w)), m.a3 = float(2 * (x * z + y * w));
    m.b1 = float(2 * (x * y + z * w)), m.b2 = float(1 - 2 * (x * x + z * z)), m.b3 = float(2 * (y * z - x * w));
    m.c1 = float(2 * (x * z - y * w)), m.c2 = float(2 * (y * z + x * w)), m.c3 = float(1 - 2 * (x * x + y * y));
    const Vec3 angles = anglesOf(matrix(m));
    return previous ? nearestAngles(angles, *previous) : angles;
}

bool decompose(const Matrix& m, Decomposed& out)
{
    if (!finite(m.off) || !finite(m.v1) || !finite(m.v2) || !finite(m.v3))
        return false;
    Vec3 s{length(m.v1), length(m.v2), length(m.v3)};
    const double largest = std::max({s.x, s.y, s.z});
    if (!(largest > 0) || std::min({s.x, s.y, s.z}) <= largest * 1e-9)
        return false;
    const double det = dot(m.v1, cross(m.v2, m.v3));
    if (det < 0) {
        // A mirror is kept only as a uniform negative scale.
        const double tolerance = largest * 1e-6;
        if (std::abs(s.x - s.y) > tolerance || std::abs(s.y - s.z) > tolerance)
            return false;
        s = mul(s, -1);
    }
    const Matrix r{{0, 0, 0}, mul(m.v1, 1 / s.x), mul(m.v2, 1 / s.y), mul(m.v3, 1 / s.z)};
    constexpr double kOrthogonal = 1e-5;
    if (std::abs(dot(r.v1, r.v2)) > kOrthogonal || std::abs(dot(r.v2, r.v3)) > kOrthogonal ||
        std::abs(dot(r.v3, r.v1)) > kOrthogonal)
        return false;
    out.position = m.off;
    out.rotation = anglesOf(r);
    out.scale = s;
    return finite(out.rotation);
}

} // namespace modelimport
