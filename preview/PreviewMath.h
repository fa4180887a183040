// Small vector and matrix helpers for the preview renderer. Matrices are 16 doubles row by
// row as the scene file writes them: the x, y and z axes in the first three rows and the
// translation in the fourth, acting on row vectors (p' = p * M), so a child's world matrix
// is its local matrix times its parent's.
#pragma once

#include <array>
#include <cmath>

namespace preview {

struct Vec3 {
    double x = 0, y = 0, z = 0;
    bool operator==(const Vec3&) const = default;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec3 operator*(Vec3 a, Vec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline bool finite(Vec3 a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }
// The unit vector along a; the zero vector when a has no usable length.
inline Vec3 normalized(Vec3 a)
{
    const double l = length(a);
    return l > 0 && std::isfinite(l) ? a * (1.0 / l) : Vec3{};
}

using Mat4 = std::array<double, 16>;

inline Mat4 identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

inline Mat4 multiply(const Mat4& a, const Mat4& b)
{
    Mat4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r[i * 4 + j] = a[i * 4 + 0] * b[0 + j] + a[i * 4 + 1] * b[4 + j] + a[i * 4 + 2] * b[8 + j] +
                           a[i * 4 + 3] * b[12 + j];
    return r;
}

inline Vec3 transformPoint(Vec3 p, const Mat4& m)
{
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12], p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

inline Vec3 transformDirection(Vec3 d, const Mat4& m)
{
    return {d.x * m[0] + d.y * m[4] + d.z * m[8], d.x * m[1] + d.y * m[5] + d.z * m[9],
            d.x * m[2] + d.y * m[6] + d.z * m[10]};
}

inline double determinant3(const Mat4& m)
{
    return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
           m[2] * (m[4] * m[9] - m[5] * m[8]);
}

// The inverse of an affine matrix; the identity when its axes are singular.
inline Mat4 inverseAffine(const Mat4& m)
{
    const double det = determinant3(m);
    if (det == 0 || !std::isfinite(det))
        return identity();
    const double inv = 1.0 / det;
    Mat4 r = identity();
    r[0] = (m[5] * m[10] - m[6] * m[9]) * inv;
    r[1] = (m[2] * m[9] - m[1] * m[10]) * inv;
    r[2] = (m[1] * m[6] - m[2] * m[5]) * inv;
    r[4] = (m[6] * m[8] - m[4] * m[10]) * inv;
    r[5] = (m[0] * m[10] - m[2] * m[8]) * inv;
    r[6] = (m[2] * m[4] - m[0] * m[6]) * inv;
    r[8] = (m[4] * m[9] - m[5] * m[8]) * inv;
    r[9] = (m[1] * m[8] - m[0] * m[9]) * inv;
    r[10] = (m[0] * m[5] - m[1] * m[4]) * inv;
    const Vec3 t = transformDirection({m[12], m[13], m[14]}, r);
    r[12] = -t.x;
    r[13] = -t.y;
    r[14] = -t.z;
    return r;
}

} // namespace preview
