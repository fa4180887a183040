// The per-track rotation shortcut of animation sampling against the general rotation: the
// scene file's matrices depend on it giving the very same bits.
#include "classicApiVersions/animation.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

bool sameBits(const host::Matrix& a, const host::Matrix& b)
{
    const host::Vec3* x[4] = {&a.off, &a.v1, &a.v2, &a.v3};
    const host::Vec3* y[4] = {&b.off, &b.v1, &b.v2, &b.v3};
    for (int i = 0; i < 4; ++i)
        for (auto member : {&host::Vec3::x, &host::Vec3::y, &host::Vec3::z})
            if (std::bit_cast<uint64_t>(x[i]->*member) != std::bit_cast<uint64_t>(y[i]->*member))
                return false;
    return true;
}

TEST(Affine, OneAngleRotationGivesTheBitsOfTheGeneralRotation)
{
    std::vector<double> angles = {0.0, -0.0, 1e-300, -1e-9, 0.5, -1.25, 3.14159265358979, 1e6, -7e15,
                                  std::numeric_limits<double>::denorm_min()};
    std::mt19937_64 random(13);
    std::uniform_real_distribution<double> spread(-20.0, 20.0);
    for (int i = 0; i < 200; ++i)
        angles.push_back(static_cast<float>(spread(random))); // samples are single precision
    for (int order = -1; order <= 7; ++order) { // -1 and 7: unknown orders
        for (int c = 0; c < 3; ++c) {
            const affine::OneAngleRotation turn(c, order);
            for (double a : angles) {
                host::Vec3 v{0, 0, 0};
                (c == 0 ? v.x : c == 1 ? v.y : v.z) = a;
                ASSERT_TRUE(sameBits(turn.at(a), affine::rotation(v, order)))
                    << "order " << order << ", angle " << c << " = " << a;
            }
        }
    }
}

} // namespace
