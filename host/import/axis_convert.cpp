#include "axis_convert.h"

#include <assimp/matrix4x4.inl>

#include <algorithm>
#include <cmath>
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
    // Columns of the model's matrix are its axes; F * M * F flips the z row and z column.
    return Matrix{{m.a4 * unit_, m.b4 * unit_, -double(m.c4) * unit_},
                  {m.a1, m.b1, -double(m.c1)},
                  {m.a2, m.b2, -double(m.c2)},
                  {-double(m.a3), -double(m.b3), m.c3}};
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
