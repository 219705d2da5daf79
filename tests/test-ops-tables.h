#pragma once

// Word lists for the graph-constructor tables.

#include "test-ops-util.h"

#include <initializer_list>

namespace opstest {

// words 0, 1, ... in order
inline std::vector<Word> words(std::initializer_list<int32_t> values) {
    std::vector<Word> w;
    int               i = 0;
    for (int32_t v : values) {
        w.push_back({ i++, (uint32_t) v });
    }
    return w;
}

inline int32_t fw(float f) {
    return (int32_t) f32_bits(f);
}

} // namespace opstest
