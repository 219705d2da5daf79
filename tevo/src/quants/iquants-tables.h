#pragma once

// The constant tables of the i-quant formats: the grid tables, expanded at
// compile time from the code lists of iquants-codes.h (the only place the
// lists live), the sign patterns of the formats that store 7 sign bits per 8
// values, and the 16 levels of iq4_nl and iq4_xs. The dequantizers, the grid
// search state, the dot products and the tests all read these.

#include "quants/iquants-codes.h"

#include <array>
#include <stddef.h>
#include <stdint.h>

namespace tevo_iq {

// 2-bit codes (levels 0..2 at bits 2j) to 8 bytes: byte j = values[level j]
template <size_t N>
constexpr std::array<uint64_t, N> expand8(const uint16_t (&codes)[N], uint8_t v0, uint8_t v1, uint8_t v2) {
    const uint8_t           values[4] = { v0, v1, v2, 0 };
    std::array<uint64_t, N> grid{};
    for (size_t k = 0; k < N; ++k) {
        uint64_t e = 0;
        for (int j = 0; j < 8; ++j) {
            e |= (uint64_t) values[(codes[k] >> (2 * j)) & 3] << (8 * j);
        }
        grid[k] = e;
    }
    return grid;
}

// 3-bit codes (levels 0..7 at bits 3j) to 4 bytes: byte j = values[level j]
template <size_t N> constexpr std::array<uint32_t, N> expand4(const uint16_t (&codes)[N], const uint8_t (&values)[8]) {
    std::array<uint32_t, N> grid{};
    for (size_t k = 0; k < N; ++k) {
        uint32_t e = 0;
        for (int j = 0; j < 4; ++j) {
            e |= (uint32_t) values[(codes[k] >> (3 * j)) & 7] << (8 * j);
        }
        grid[k] = e;
    }
    return grid;
}

constexpr uint8_t iq3_xxs_levels[8] = { 4, 12, 20, 28, 36, 44, 52, 62 };
constexpr uint8_t iq3_s_levels[8]   = { 1, 3, 5, 7, 9, 11, 13, 15 };

constexpr std::array<uint8_t, 128> make_sign_patterns() {
    std::array<uint8_t, 128> p{};
    for (int i = 0; i < 128; ++i) {
        int bits = 0;
        for (int j = 0; j < 7; ++j) bits += (i >> j) & 1;
        p[i] = (uint8_t) (i | ((bits & 1) << 7));
    }
    return p;
}

} // namespace tevo_iq

// grid magnitudes: 8, 25, 43 for the 2-bit grids; the 1-bit grid holds the
// signed bytes -1, 0, +1
inline constexpr auto iq2_xxs_grid = tevo_iq::expand8(iq2_xxs_grid_codes, 8, 25, 43);
inline constexpr auto iq2_xs_grid  = tevo_iq::expand8(iq2_xs_grid_codes, 8, 25, 43);
inline constexpr auto iq2_s_grid   = tevo_iq::expand8(iq2_s_grid_codes, 8, 25, 43);
inline constexpr auto iq1_s_grid   = tevo_iq::expand8(iq1_s_grid_codes, 0xff, 0x00, 0x01);
inline constexpr auto iq3_xxs_grid = tevo_iq::expand4(iq3_xxs_grid_codes, tevo_iq::iq3_xxs_levels);
inline constexpr auto iq3_s_grid   = tevo_iq::expand4(iq3_s_grid_codes, tevo_iq::iq3_s_levels);

// entry i: the 7 sign bits i and their parity as bit 7, so that every
// pattern has an even number of negative values
inline constexpr auto iq2_sign_patterns = tevo_iq::make_sign_patterns();

inline constexpr int8_t iq4_nl_values[16] = { -127, -104, -83, -65, -49, -35, -22, -10,
                                              1,    13,   25,  38,  53,  69,  89,  113 };
