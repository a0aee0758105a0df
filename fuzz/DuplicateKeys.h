#pragma once
// Qt 5.15's JSON parser leaks the earlier value of a repeated key when that value is
// an object or an array ({"a":{},"a":1}). The leak is inside Qt, so the JSON targets
// pass over inputs that repeat a key within one object (or whose keys hold escapes,
// which could spell the same key twice); everything else reaches the parser.
#include <cstddef>
#include <set>
#include <string>
#include <vector>

inline bool mayRepeatJsonKey(const char *p, size_t n)
{
    struct Level
    {
        bool object;
        bool expectKey;
        std::set<std::string> keys;
    };
    std::vector<Level> stack;
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        if (c == '{') {
            stack.push_back({true, true, {}});
        } else if (c == '[') {
            stack.push_back({false, false, {}});
        } else if ((c == '}' || c == ']') && !stack.empty()) {
            stack.pop_back();
        } else if (c == ',' && !stack.empty() && stack.back().object) {
            stack.back().expectKey = true;
        } else if (c == '"') {
            size_t j = i + 1;
            bool escaped = false;
            while (j < n && p[j] != '"') {
                if (p[j] == '\\') {
                    escaped = true;
                    ++j;
                }
                ++j;
            }
            if (!stack.empty() && stack.back().object && stack.back().expectKey) {
                if (escaped)
                    return true;
                const std::string key(p + i + 1, p + (j < n ? j : n));
                if (!stack.back().keys.insert(key).second)
                    return true;
                stack.back().expectKey = false;
            }
            i = j;
        }
    }
    return false;
}
