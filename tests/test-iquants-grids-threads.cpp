// The i-quant grids built and released from several threads at once (this
// file runs under ThreadSanitizer): builds, releases and chunk quantizers
// interleave freely, every chunk gives the bytes of a quiet run, and the
// slots end consistent.

#include "quant-test-helpers.h"

#include "quants/iquants-tables.h"
#include "quants/iquants.h"

#include <atomic>
#include <thread>

namespace {

// the small grids, so that many rebuilds stay cheap under the sanitizer
const tevo_type types[] = { TEVO_TYPE_IQ3_XXS, TEVO_TYPE_IQ3_S };

std::vector<uint8_t> chunk(tevo_type t, const std::vector<float> & x, int64_t nrows) {
    std::vector<uint8_t> q(tevo_row_size(t, 256) * (size_t) nrows);
    EXPECT_EQ(tevo_quantize_chunk(t, x.data(), q.data(), 0, nrows, 256, nullptr), q.size());
    return q;
}

TEST(IQuantGridsThreads, BuildReleaseAndQuantizeInterleave) {
    std::mt19937             rng(7);
    const std::vector<float> x = qt::gaussian_row(256 * 2, rng);
    std::vector<std::vector<uint8_t>> want;
    for (tevo_type t : types) want.push_back(chunk(t, x, 2));

    for (int nth : { 2, 4, 8 }) {
        SCOPED_TRACE("threads " + std::to_string(nth));
        std::atomic<int>         mismatches{ 0 };
        std::vector<std::thread> threads;
        for (int ith = 0; ith < nth; ++ith) {
            threads.emplace_back([&, ith] {
                for (int it = 0; it < 12; ++it) {
                    const int k = (ith + it) % 2;
                    switch ((ith + it) % 3) {
                        case 0: tevo_quantize_init(types[k]); break;
                        case 1: tevo_quantize_free(); break;
                        default:
                            if (chunk(types[k], x, 2) != want[k]) ++mismatches;
                            break;
                    }
                }
            });
        }
        for (std::thread & t : threads) t.join();
        EXPECT_EQ(mismatches.load(), 0);
    }
}

// Builds straight through the exported entry points, which take no
// critical section: one build is published, the rest discarded.
TEST(IQuantGridsThreads, RacingBuildsPublishOneSlot) {
    tevo_quantize_free();
    std::vector<std::thread> threads;
    for (int ith = 0; ith < 4; ++ith) {
        threads.emplace_back([ith] {
            iq3xs_init_impl(ith % 2 ? 256 : 512);
            tevo_iq_grid_reader r(ith % 2 ? TEVO_TYPE_IQ3_XXS : TEVO_TYPE_IQ3_S);
            EXPECT_NE(r.map, nullptr);
        });
    }
    for (std::thread & t : threads) t.join();
    const tevo_iq_grid_reader a(TEVO_TYPE_IQ3_XXS);
    for (int k = 0; k < 256; ++k) EXPECT_EQ(a.map[iq3_xxs_grid_codes[k]], k);
}

// Several threads asking for a 2-bit slot at once get one.
TEST(IQuantGridsThreads, TwoBitSlotFromSeveralThreads) {
    std::vector<std::thread>     threads;
    std::vector<const uint64_t *> seen(4);
    for (int ith = 0; ith < 4; ++ith) {
        threads.emplace_back([ith, &seen] {
            (void) ith;
            tevo_quantize_init(TEVO_TYPE_IQ2_XXS);
            seen[ith] = tevo_iq_grid_reader(TEVO_TYPE_IQ2_XXS).grid8;
        });
    }
    for (std::thread & t : threads) t.join();
    for (int ith = 1; ith < 4; ++ith) EXPECT_EQ(seen[ith], seen[0]);
}

} // namespace
