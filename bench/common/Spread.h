// The spread of a benchmark's repetitions, as every benchmark prints it: min / median / max.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

struct Spread
{
    double min = 0, median = 0, max = 0;
    int count = 0;

    static Spread of(std::vector<double> values)
    {
        Spread s;
        if (values.empty())
            return s;
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        s.min = values.front();
        s.max = values.back();
        s.median = (values[(n - 1) / 2] + values[n / 2]) / 2;
        s.count = int(n);
        return s;
    }

    // "min / median / max", each value written with the printf format given.
    std::string text(const char *format = "%.2f") const
    {
        const std::string f = std::string(format) + " / " + format + " / " + format;
        char out[160];
        std::snprintf(out, sizeof out, f.c_str(), min, median, max);
        return out;
    }
};
