// The one place where model data changes frame: from the model's right-handed, Y-up frame
// in the file's unit to the host's left-handed frame in centimetres. Every node, mesh point,
// normal, camera, light and animation key of an import goes through a Converter.
//
// The mirror is Z: a point (x, y, z) becomes (x, y, -z) times the unit factor. A matrix M
// becomes F * M * F with F = diag(1, 1, -1), its offset times the unit factor. Host rotations
// are heading, pitch, bank angles (rotation order 6) in radians.
#pragma once

#include "sim_document.h"

#include <assimp/matrix3x3.h>
#include <assimp/matrix4x4.h>
#include <assimp/quaternion.h>
#include <assimp/vector3.h>

namespace modelimport {

// A host transform split into the object's position, rotation (HPB) and scale.
struct Decomposed {
    sim::Vec3 position{0, 0, 0};
    sim::Vec3 rotation{0, 0, 0};
    sim::Vec3 scale{1, 1, 1};
};

class Converter {
public:
    explicit Converter(double centimetresPerUnit) : unit_(centimetresPerUnit) {}

    double unit() const { return unit_; }

    sim::Vec3 position(const aiVector3D& p) const { return {p.x * unit_, p.y * unit_, -double(p.z) * unit_}; }
    // A direction or normal: mirrored, not scaled.
    sim::Vec3 direction(const aiVector3D& d) const { return {d.x, d.y, -double(d.z)}; }
    sim::Vec3 scale(const aiVector3D& s) const { return {s.x, s.y, s.z}; }
    // A rotation as host angles; `previous` (when given) picks, among the equivalent angle
    // triples, the one nearest to it, so that consecutive keys never jump by a full turn.
    sim::Vec3 rotation(const aiQuaternion& q, const sim::Vec3* previous = nullptr) const;
    sim::Matrix matrix(const aiMatrix4x4& m) const;

private:
    double unit_;
};

// Host angles of a pure rotation matrix (axes of unit length, determinant +1).
sim::Vec3 anglesOf(const sim::Matrix& rotation);
// The equivalent angle triple nearest to `previous`: each angle moved by whole turns, and the
// second solution of the same rotation (heading + pi, pi - pitch, bank + pi) considered.
sim::Vec3 nearestAngles(const sim::Vec3& angles, const sim::Vec3& previous);

// Splits a host matrix into position, HPB rotation and scale. False when that cannot be exact:
// shear, a mirror with a non-uniform scale, a zero axis, or a non-finite entry.
bool decompose(const sim::Matrix& m, Decomposed& out);

// Matrix helpers in the host's convention (columns are the axes, a * b applies b first).
sim::Matrix identity();
sim::Matrix multiply(const sim::Matrix& a, const sim::Matrix& b);
sim::Vec3 transformPoint(const sim::Matrix& m, const sim::Vec3& p);
// The normal of a direction transformed by m's axes (inverse transpose), normalised.
sim::Vec3 transformNormal(const sim::Matrix& m, const sim::Vec3& n);
bool isIdentity(const sim::Matrix& m);

} // namespace modelimport
