#include "number_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace orv {

namespace {

constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The exact, general conversion: values far from 1, ties and values that are not finite.
char* slow(char* out, double value)
{
    return std::to_chars(out, out + kFormatGMax, value, std::chars_format::general, 6).ptr;
}

constexpr char kPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                         "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                         "8081828384858687888990919293949596979899";

// The six digits of n (100000 to 999999).
void sixDigits(char* out, uint32_t n)
{
    std::memcpy(out + 4, kPairs + 2 * (n % 100), 2);
    n /= 100;
    std::memcpy(out + 2, kPairs + 2 * (n % 100), 2);
    std::memcpy(out, kPairs + 2 * (n / 100), 2);
}

// An integer below 10^6, without sign.
char* integerText(char* out, uint32_t n)
{
    char digits[8];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    const size_t count = static_cast<size_t>(end - p);
    std::memcpy(out, p, count);
    return out + count;
}

} // namespace

char* formatG(char* out, double value)
{
    if (value == 0.0) {
        if (std::signbit(value))
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    if (!std::isfinite(value))
        return slow(out, value);
    const double a = std::fabs(value);
    // Whole numbers of up to six digits (matrices are full of 0, 1 and -1) read as integers.
    if (a < 1e6 && a == static_cast<double>(static_cast<uint32_t>(a))) {
        if (value < 0)
            *out++ = '-';
        return integerText(out, static_cast<uint32_t>(a));
    }
    // Decimal exponent estimate from the binary one (floor(e * log10(2)) for |e| < 1700);
    // corrected below.
    const int e2 = static_cast<int>((std::bit_cast<uint64_t>(a) >> 52) & 0x7ff) - 1023;
    int e10 = (e2 * 78913) >> 18;
    double y = 0;
    for (int tries = 0;; ++tries) {
        const int k = 5 - e10;
        if (k < -22 || k > 22 || tries > 2)
            return slow(out, value);
        // One correctly rounded operation with an exact power of ten: y is within half an
        // ulp (about 1e-10 here) of the exact a * 10^k.
        y = k >= 0 ? a * kPow10[k] : a / kPow10[-k];
        if (y >= 1e6)
            ++e10;
        else if (y < 1e5)
            --e10;
        else
            break;
    }
    const double whole = std::floor(y);
    const double fraction = y - whole;
    // Too close to a tie to be sure which way the exact value rounds.
    if (std::fabs(fraction - 0.5) < 1e-6)
        return slow(out, value);
    uint32_t n = static_cast<uint32_t>(whole) + (fraction > 0.5 ? 1u : 0u);
    if (n == 1000000) {
        n = 100000;
        ++e10;
    }
    if (value < 0)
        *out++ = '-';

    char d[6];
    sixDigits(d, n);
    int last = 5; // last significant digit kept (trailing zeros dropped)
    while (last > 0 && d[last] == '0')
        --last;

    if (e10 < -4 || e10 >= 6) {
        *out++ = d[0];
        if (last > 0) {
            *out++ = '.';
            for (int i = 1; i <= last; ++i)
                *out++ = d[i];
        }
        *out++ = 'e';
        *out++ = e10 < 0 ? '-' : '+';
        const int x = e10 < 0 ? -e10 : e10;
        if (x >= 100)
            *out++ = static_cast<char>('0' + x / 100);
        std::memcpy(out, kPairs + 2 * (x % 100), 2);
        return out + 2;
    }
    if (e10 >= 0) {
        for (int i = 0; i <= e10; ++i)
            *out++ = d[i];
        if (last > e10) {
            *out++ = '.';
            for (int i = e10 + 1; i <= last; ++i)
                *out++ = d[i];
        }
        return out;
    }
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > e10; --i)
        *out++ = '0';
    for (int i = 0; i <= last; ++i)
        *out++ = d[i];
    return out;
}

} // namespace orv
