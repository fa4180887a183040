// Numbers handed to the scene writer for matrices and geometry. A sign flip or a product
// with a negative factor turns 0 into negative zero, which the writer would print as "-0"
// (and store with its sign bit in binary runs); adding 0 makes it a plain 0 and leaves
// every other value as it is.
#pragma once

inline double plainZero(double v)
{
    return v + 0.0;
}

inline float plainZero(float v)
{
    return v + 0.0f;
}
