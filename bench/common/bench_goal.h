// One line per goal a benchmark measures, in a form scripts/bench gathers into its table:
//   goal<TAB>measure<TAB>value<TAB><= or >=<TAB>limit<TAB>unit
// Each benchmark states its own goals here, beside the figures it prints for a reader.
#pragma once

#include <cstdio>

namespace bench {

// The value must stay at most `limit`.
inline void goalAtMost(const char* measure, double value, double limit, const char* unit)
{
    std::printf("goal\t%s\t%.3g\t<=\t%.3g\t%s\n", measure, value, limit, unit);
}

// The value must reach at least `limit`.
inline void goalAtLeast(const char* measure, double value, double limit, const char* unit)
{
    std::printf("goal\t%s\t%.3g\t>=\t%.3g\t%s\n", measure, value, limit, unit);
}

} // namespace bench
