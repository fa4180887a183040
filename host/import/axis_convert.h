// The one place where model data changes frame: from the model's right-handed, Y-up frame
// in the file's unit to the host's left-handed frame in centimetres. Every node, mesh point,
// normal, camera, light and animation key of an import goes through a Converter.
//
// The mirror is Z: a point (x, y, z) becomes (x, y, -z) times the unit factor. A matrix M
// becomes F * M * F with F = diag(1, 1, -1), its offset times the unit factor. Host rotations
// are heading, pitch, bank angles (rotation order 6) in radians.
#pragma once

#include "sim_document.h"

struct aiScene;

#include <assimp/matrix3x3.h>
#include <assimp/matrix4x4.h>
#include <assimp/quaternion.h>
#include <assimp/vector3.h>

#include <string>

namespace modelimport {

// A host transform split into the object's position, rotation (HPB) and scale.
struct Decomposed {
    sim::Vec3 position{0, 0, 0};
    sim::Vec3 rotation{0, 0, 0};
    sim::Vec3 scale{1, 1, 1};
};

// How a model file's frame relates to the host's: centimetres per file unit, and the turn
// that stands the file upright (rows: where the file's x, y and z go), always a proper
// rotation that only swaps axes and signs.
struct FileFrame {
    double unit = 1;
    int upright[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    bool turned() const;
};

// The frame of a model as assimp reads it, by its format's own definition (see
// docs/model-import.md): Blender, COB (trueSpace), SMD, 3MF, AMF and OpenGEX files are Z-up,
// an FBX file says its axes in its settings; assimp already turns 3DS, MD2, HL1 MDL, DXF,
// Collada and IFC upright. Units: metres for glTF, Collada (assimp scales it to metres),
// Blender, X3D and VRML, IFC and LightWave; millimetres for 3MF, AMF by its unit attribute,
// OpenGEX by its distance metric, FBX by its unit scale factor; a centimetre otherwise.
FileFrame fileFrame(const aiScene& scene, const std::string& modelPath);

class Converter {
public:
    explicit Converter(double centimetresPerUnit) : unit_(centimetresPerUnit) {}
    explicit Converter(const FileFrame& frame);

    double unit() const { return unit_; }

    sim::Vec3 position(const aiVector3D& p) const
    {
        const sim::Vec3 u = turn(p);
        return {u.x * unit_, u.y * unit_, -u.z * unit_};
    }
    // A direction or normal: turned and mirrored, not scaled.
    sim::Vec3 direction(const aiVector3D& d) const
    {
        const sim::Vec3 u = turn(d);
        return {u.x, u.y, -u.z};
    }
    // Scale along the node's own axes, which the turn only swaps.
    sim::Vec3 scale(const aiVector3D& s) const;
    // A rotation as host angles; `previous` (when given) picks, among the equivalent angle
    // triples, the one nearest to it, so that consecutive keys never jump by a full turn.
    sim::Vec3 rotation(const aiQuaternion& q, const sim::Vec3* previous = nullptr) const;
    sim::Matrix matrix(const aiMatrix4x4& m) const;

private:
    sim::Vec3 turn(const aiVector3D& v) const
    {
        const double x = v.x, y = v.y, z = v.z;
        return {u_[0][0] * x + u_[0][1] * y + u_[0][2] * z, u_[1][0] * x + u_[1][1] * y + u_[1][2] * z,
                u_[2][0] * x + u_[2][1] * y + u_[2][2] * z};
    }

    double unit_;
    double u_[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
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
