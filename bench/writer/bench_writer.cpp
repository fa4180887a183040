// Times writing 10 million floats as one binary list through the scene file writer and
// compares it with one plain fwrite of the same bytes. Prints both times and the ratio.
#include "orvScene_api_file.h"

#include "../common/bench_goal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Best of several runs, each into a fresh temporary file (page cache, no device limits).
template <class Body> double best(int runs, Body body)
{
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        FILE* out = std::tmpfile();
        if (!out) return -1;
        auto start = Clock::now();
        body(out);
        std::fflush(out);
        fastest = std::min(fastest, seconds(start));
        std::fclose(out);
    }
    return fastest;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: bench_writer [COUNT]\n"
                  "Writes COUNT floats (default 10000000) as one binary list through the scene file\n"
                  "writer and as one plain fwrite, and prints both times and their ratio.");
        return 0;
    }
    size_t count = 10000000;
    if (argc > 1) {
        char* end = nullptr;
        unsigned long long n = std::strtoull(argv[1], &end, 10);
        if (!end || *end || n == 0 || n > 0x7fffffff) {
            std::fprintf(stderr, "bench_writer: COUNT must be a number from 1 to 2147483647\n");
            return 2;
        }
        count = static_cast<size_t>(n);
    }
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i) * 0.5f;

    const int runs = 9;
    const double plain = best(runs, [&](FILE* out) { std::fwrite(values.data(), sizeof(float), count, out); });
    const double writer = best(runs, [&](FILE* out) {
        orv::orvScene_api_file w(out, true);
        w.beginGeometry("triangles");
        AttributeArray list{values.data(), static_cast<int32_t>(count)};
        w.attribute("uv_tex", orvType::FloatArray, &list);
        w.endGeometry();
    });
    if (plain < 0 || writer < 0) {
        std::fprintf(stderr, "bench_writer: cannot make a temporary file\n");
        return 1;
    }
    std::printf("floats: %zu\nplain fwrite: %.6f s\nwriter: %.6f s\nratio: %.2fx\n", count, plain, writer,
                plain > 0 ? writer / plain : 0.0);
    bench::goalAtMost("binary list against plain fwrite", plain > 0 ? writer / plain : 0.0, 1.1, "x");
    return 0;
}
