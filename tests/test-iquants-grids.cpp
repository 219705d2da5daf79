// The i-quant lattice grids: every stated property of the six code lists,
// the grid tables expanded from them, and the grids' search state: maps and
// neighbour lists against a brute-force nearest-point search, one build per
// slot (iq1_s and iq1_m sharing one), release and rebuild, bad arguments,
// and quantizing with no grid built.

#include "kernel-test-helpers.h"
#include "quant-test-helpers.h"

#include "quants/iquants-tables.h"
#include "quants/iquants.h"

#include <algorithm>

namespace {

struct ListCase {
    const char *          name;
    const uint16_t *      codes;
    size_t                size;
    int                   width; // values per point
    int                   bits;  // per value
    int                   max_level;
    bool                  even;  // level sums even
    std::vector<uint16_t> first, last;
};

#define LIST(codes) codes, sizeof(codes) / sizeof(codes[0])

const ListCase lists[] = {
    { "iq2_xxs", LIST(iq2_xxs_grid_codes), 8, 2, 2, true, { 0, 2, 5, 8, 10, 17 }, { 43088, 43268 } },
    { "iq2_xs", LIST(iq2_xs_grid_codes), 8, 2, 2, true, { 0, 2, 5, 8, 10, 17 }, { 43690 } },
    { "iq2_s", LIST(iq2_s_grid_codes), 8, 2, 2, true, { 0, 2, 5, 8, 10, 17 }, { 43690 } },
    { "iq1_s", LIST(iq1_s_grid_codes), 8, 2, 2, false, { 0, 2, 5, 8, 10, 17 }, { 43690 } },
    { "iq3_xxs", LIST(iq3_xxs_grid_codes), 4, 3, 7, true, { 0, 2, 4, 9, 11, 15 }, { 3924, 3992 } },
    { "iq3_s", LIST(iq3_s_grid_codes), 4, 3, 7, false, { 0, 1, 2, 5, 7, 8 }, { 3993, 4032 } },
};

const size_t list_sizes[] = { 256, 512, 1024, 2048, 256, 512 };

int field(uint32_t code, int bits, int j) {
    return (int) (code >> (bits * j)) & ((1 << bits) - 1);
}

TEST(IQuantGrids, CodeListsHaveTheirStatedProperties) {
    for (size_t c = 0; c < std::size(lists); ++c) {
        const ListCase & L = lists[c];
        SCOPED_TRACE(L.name);
        ASSERT_EQ(L.size, list_sizes[c]);
        for (size_t k = 0; k < L.size; ++k) {
            // ascending, hence free of duplicates
            if (k > 0) ASSERT_LT(L.codes[k - 1], L.codes[k]) << k;
            ASSERT_LT((uint32_t) L.codes[k], 1u << (L.width * L.bits)) << k;
            int sum = 0;
            for (int j = 0; j < L.width; ++j) {
                ASSERT_LE(field(L.codes[k], L.bits, j), L.max_level) << k;
                sum += field(L.codes[k], L.bits, j);
            }
            if (L.even) ASSERT_EQ(sum % 2, 0) << k << ": " << L.codes[k];
        }
        for (size_t k = 0; k < L.first.size(); ++k) EXPECT_EQ(L.codes[k], L.first[k]) << k;
        for (size_t k = 0; k < L.last.size(); ++k) {
            EXPECT_EQ(L.codes[L.size - L.last.size() + k], L.last[k]) << k;
        }
    }
    // the 1-bit grid holds the point of eight zeros, which a sub-block too
    // small to quantize is written as
    EXPECT_TRUE(std::binary_search(iq1_s_grid_codes, iq1_s_grid_codes + 2048, 0x5555));
}

TEST(IQuantGrids, TablesFollowTheCodeLists) {
    const uint8_t two_bit[3]  = { 8, 25, 43 };
    const int8_t  one_bit[3]  = { -1, 0, 1 };
    const uint8_t xxs3[8]     = { 4, 12, 20, 28, 36, 44, 52, 62 };
    const std::pair<const uint64_t *, const uint16_t *> grids2[] = {
        { iq2_xxs_grid.data(), iq2_xxs_grid_codes },
        { iq2_xs_grid.data(), iq2_xs_grid_codes },
        { iq2_s_grid.data(), iq2_s_grid_codes },
    };
    const size_t sizes2[] = { 256, 512, 1024 };
    for (int g = 0; g < 3; ++g) {
        for (size_t k = 0; k < sizes2[g]; ++k) {
            for (int j = 0; j < 8; ++j) {
                ASSERT_EQ((uint8_t) (grids2[g].first[k] >> (8 * j)), two_bit[field(grids2[g].second[k], 2, j)]);
            }
        }
    }
    for (size_t k = 0; k < 2048; ++k) {
        for (int j = 0; j < 8; ++j) {
            ASSERT_EQ((int8_t) (iq1_s_grid[k] >> (8 * j)), one_bit[field(iq1_s_grid_codes[k], 2, j)]);
        }
    }
    for (size_t k = 0; k < 256; ++k) {
        for (int j = 0; j < 4; ++j) {
            ASSERT_EQ((uint8_t) (iq3_xxs_grid[k] >> (8 * j)), xxs3[field(iq3_xxs_grid_codes[k], 3, j)]);
        }
    }
    for (size_t k = 0; k < 512; ++k) {
        for (int j = 0; j < 4; ++j) {
            ASSERT_EQ((uint8_t) (iq3_s_grid[k] >> (8 * j)), 2 * field(iq3_s_grid_codes[k], 3, j) + 1);
        }
    }
    // first points: all magnitudes 8, then 43 in value 0
    EXPECT_EQ(iq2_xxs_grid[0], 0x0808080808080808ull);
    EXPECT_EQ(iq2_s_grid[1], 0x080808080808082bull);

    const uint8_t first_patterns[5] = { 0, 129, 130, 3, 132 };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(iq2_sign_patterns[i], first_patterns[i]);
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(iq2_sign_patterns[i] & 127, i);
        EXPECT_EQ(__builtin_popcount(iq2_sign_patterns[i]) % 2, 0) << i;
    }
    const int8_t levels[16] = { -127, -104, -83, -65, -49, -35, -22, -10, 1, 13, 25, 38, 53, 69, 89, 113 };
    EXPECT_EQ(memcmp(iq4_nl_values, levels, 16), 0);
}

// ---------------------------------------------------------------------------
// the search state

struct SlotCase {
    tevo_type        type;
    const uint16_t * codes;
    int              n_points;
    int              width, bits, map_size, depth;
};

const SlotCase slots[] = {
    { TEVO_TYPE_IQ2_XXS, iq2_xxs_grid_codes, 256, 8, 2, 43692, 2 },
    { TEVO_TYPE_IQ2_XS, iq2_xs_grid_codes, 512, 8, 2, 43692, 2 },
    { TEVO_TYPE_IQ1_S, iq1_s_grid_codes, 2048, 8, 2, 43692, 3 },
    { TEVO_TYPE_IQ2_S, iq2_s_grid_codes, 1024, 8, 2, 43692, 1 },
    { TEVO_TYPE_IQ3_XXS, iq3_xxs_grid_codes, 256, 4, 3, 4096, 2 },
    { TEVO_TYPE_IQ3_S, iq3_s_grid_codes, 512, 4, 3, 4096, 3 },
};

// the working value 2 * level + 1 of value j of a grid point
int working(const tevo_iq_grid_reader & r, int g, int j) {
    return r.grid8 ? (int) (uint8_t) (r.grid8[g] >> (8 * j)) : (int) (uint8_t) (r.grid4[g] >> (8 * j));
}

// all grid points at the `depth` smallest squared distances of working
// values, nearest first, equal distances by index: every distance is
// computed and the points are listed distance by distance
std::vector<uint16_t> brute_force_neighbours(const SlotCase & s, const tevo_iq_grid_reader & r, int point) {
    std::vector<int> d((size_t) s.n_points);
    std::vector<int> used(16 * 16 * 8 + 1, 0);
    for (int g = 0; g < s.n_points; ++g) {
        int d2 = 0;
        for (int j = 0; j < s.width; ++j) {
            const int t = working(r, g, j) - (2 * field((uint32_t) point, s.bits, j) + 1);
            d2 += t * t;
        }
        d[g]     = d2;
        used[d2] = 1;
    }
    std::vector<uint16_t> out;
    int                   taken = 0;
    for (int dist = 0; dist < (int) used.size() && taken < s.depth; ++dist) {
        if (!used[dist]) continue;
        ++taken;
        for (int g = 0; g < s.n_points; ++g) {
            if (d[g] == dist) out.push_back((uint16_t) g);
        }
    }
    return out;
}

// The map sends every grid point's packed form to its position in the code
// list; every other packed point (level-3 fields included) has a list that
// equals the brute-force search. The larger grids are sampled.
class IQuantGridSlot : public testing::TestWithParam<SlotCase> {};

TEST_P(IQuantGridSlot, NeighbourMapsMatchABruteForceSearch) {
    const SlotCase & s = GetParam();
    tevo_quantize_init(s.type);
    const tevo_iq_grid_reader r(s.type);
    ASSERT_EQ(r.n_points, s.n_points);
    for (int k = 0; k < s.n_points; ++k) {
        for (int j = 0; j < s.width; ++j) ASSERT_EQ(working(r, k, j), 2 * field(s.codes[k], s.bits, j) + 1);
    }
    std::vector<int> position((size_t) s.map_size, -1);
    for (int k = 0; k < s.n_points; ++k) position[s.codes[k]] = k;
    const int stride = s.n_points >= 1024 ? 5 : 1;
    int       off    = 0;
    for (int i = 0; i < s.map_size; ++i) {
        const int32_t e = r.map[i];
        if (position[i] >= 0) {
            ASSERT_EQ(e, position[i]) << i;
            continue;
        }
        ASSERT_LT(e, 0) << i;
        ++off;
        const uint16_t * list = r.neighbours - e - 1;
        ASSERT_GT(list[0], 0) << i;
        if (i % stride != 0) continue;
        const std::vector<uint16_t> want = brute_force_neighbours(s, r, i);
        ASSERT_EQ(std::vector<uint16_t>(list + 1, list + 1 + list[0]), want) << "point " << i;
    }
    EXPECT_EQ(off, s.map_size - s.n_points);
}

INSTANTIATE_TEST_SUITE_P(EverySlot, IQuantGridSlot, testing::ValuesIn(slots),
                         [](const testing::TestParamInfo<SlotCase> & info) {
                             return std::string(tevo_type_name(info.param.type));
                         });

TEST(IQuantGrids, BuiltOnceAndShared) {
    tevo_quantize_init(TEVO_TYPE_IQ1_S);
    const uint64_t * grid;
    const int32_t *  map;
    const uint16_t * nb;
    {
        const tevo_iq_grid_reader a(TEVO_TYPE_IQ1_S);
        grid = a.grid8;
        map  = a.map;
        nb   = a.neighbours;
    }
    // a second init and the other 1-bit type find the same slot
    tevo_quantize_init(TEVO_TYPE_IQ1_S);
    tevo_quantize_init(TEVO_TYPE_IQ1_M);
    const tevo_iq_grid_reader b(TEVO_TYPE_IQ1_M);
    EXPECT_EQ(b.grid8, grid);
    EXPECT_EQ(b.map, map);
    EXPECT_EQ(b.neighbours, nb);
}

TEST(IQuantGrids, ReleasedAndRebuiltIdentically) {
    tevo_quantize_init(TEVO_TYPE_IQ2_XXS);
    std::vector<int32_t>  map_copy;
    std::vector<uint16_t> nb_copy;
    {
        const tevo_iq_grid_reader a(TEVO_TYPE_IQ2_XXS);
        map_copy.assign(a.map, a.map + 43692);
        // the lists run back to back; the last one ends the array
        size_t end = 0;
        for (int i = 0; i < 43692; ++i) {
            if (a.map[i] < 0) end = std::max(end, (size_t) (-a.map[i] - 1) + 1 + a.neighbours[-a.map[i] - 1]);
        }
        nb_copy.assign(a.neighbours, a.neighbours + end);
    }
    // release, release again (nothing left to do), rebuild: the same state
    tevo_quantize_free();
    tevo_quantize_free();
    iq2xs_free_impl(TEVO_TYPE_IQ2_S);
    iq3xs_free_impl(512);
    tevo_quantize_init(TEVO_TYPE_IQ2_XXS);
    const tevo_iq_grid_reader c(TEVO_TYPE_IQ2_XXS);
    EXPECT_EQ(memcmp(c.map, map_copy.data(), map_copy.size() * sizeof(int32_t)), 0);
    EXPECT_EQ(memcmp(c.neighbours, nb_copy.data(), nb_copy.size() * sizeof(uint16_t)), 0);
}

TEST(IQuantGridsDeathTest, BadArgumentsAbort) {
    kt::death_setup();
    EXPECT_DEATH(iq2xs_init_impl(TEVO_TYPE_Q4_0),
                 "type == TEVO_TYPE_IQ2_XXS \\|\\| type == TEVO_TYPE_IQ2_XS \\|\\| type == TEVO_TYPE_IQ1_S");
    EXPECT_DEATH(iq2xs_free_impl(TEVO_TYPE_IQ3_S), "type == TEVO_TYPE_IQ2_XXS");
    EXPECT_DEATH(iq3xs_init_impl(128), "grid_size == 256 \\|\\| grid_size == 512");
    EXPECT_DEATH(iq3xs_free_impl(1024), "grid_size == 256 \\|\\| grid_size == 512");
}

// Without a built grid, or after its release, the quantizers stop with a
// message naming the missing call instead of reading freed memory; the
// chunk quantizer builds what it needs.
TEST(IQuantGridsDeathTest, QuantizingWithoutAGridAborts) {
    kt::death_setup();
    std::mt19937             rng(1);
    const std::vector<float> x = qt::gaussian_row(256, rng);
    const std::vector<float> w(256, 1.0f);
    std::vector<uint8_t>     q(256);
    EXPECT_DEATH(quantize_iq2_xs(x.data(), q.data(), 1, 256, w.data()),
                 "kgrid_q2xs && \"forgot to call tevo_quantize_init\\(\\)\\?\"");
    EXPECT_DEATH(quantize_row_iq3_s_ref(x.data(), q.data(), 256), "kgrid_q3xs && \"forgot to call");
    EXPECT_DEATH(
        {
            tevo_quantize_init(TEVO_TYPE_IQ3_XXS);
            tevo_quantize_free();
            quantize_iq3_xxs(x.data(), q.data(), 1, 256, nullptr);
        },
        "kgrid_q3xs && \"forgot to call");
    // no rows: nothing is read, nothing checked
    EXPECT_EQ(quantize_iq2_s(x.data(), q.data(), 0, 256, nullptr), 0u);

    tevo_quantize_free();
    EXPECT_EQ(tevo_quantize_chunk(TEVO_TYPE_IQ3_XXS, x.data(), q.data(), 0, 1, 256, nullptr), 98u);
    tevo_quantize_free();
    EXPECT_EQ(tevo_quantize_chunk(TEVO_TYPE_IQ2_XXS, x.data(), q.data(), 0, 1, 256, w.data()), 66u);
}

} // namespace
