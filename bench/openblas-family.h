// Which OpenBLAS kernel family a yardstick runs on, and which it should run
// on. OpenBLAS picks its family when it loads, by the processor's model; on a
// processor it does not know (0.3.21 on a Xeon of the AVX-512 FP16 and AMX
// generation) it falls back to its SSE3 kernels, "Prescott", whose sgemm runs
// at a fifth of its AVX-512 speed, and every ratio against it would look two
// to three times better than it is. Such a yardstick runs with
// OPENBLAS_CORETYPE set to the best family the processor supports, in a
// process of its own (OpenBLAS reads the variable only when it loads, and our
// own code and the tests never see it). Our kernels are AVX2 only, so where
// the best family is above AVX2 the yardstick also runs with the AVX2 family,
// and both ratios are printed side by side. An OPENBLAS_CORETYPE the user set
// stands, alone.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

namespace openblas_family {

// instruction sets of processors and of the families' kernels, in order
enum level { LEVEL_SSE, LEVEL_AVX, LEVEL_AVX2, LEVEL_AVX512 };

// the family set for our kernels' instruction set
constexpr const char * AVX2_FAMILY = "Haswell";

// OpenBLAS's names vary in case between builds
constexpr bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? (char) (a[i] - 'A' + 'a') : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? (char) (b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The instruction set a family's kernels use. The rest (Prescott, Core2,
// Nehalem, Barcelona, ..., and names this list does not know) count as SSE.
constexpr level family_level(std::string_view core) {
    for (std::string_view f : { "SkylakeX", "Cooperlake", "SapphireRapids" }) {
        if (same_name(core, f)) {
            return LEVEL_AVX512;
        }
    }
    for (std::string_view f : { "Haswell", "Zen", "Excavator" }) {
        if (same_name(core, f)) {
            return LEVEL_AVX2;
        }
    }
    for (std::string_view f : { "Sandybridge", "Bulldozer", "Piledriver", "Steamroller" }) {
        if (same_name(core, f)) {
            return LEVEL_AVX;
        }
    }
    return LEVEL_SSE;
}

// The family to set when OpenBLAS chose `core` on a processor of level
// `cpu`; nullptr where its choice stands (it is as good as the processor
// allows, or the processor has no AVX2).
constexpr const char * best_family(std::string_view core, level cpu) {
    if (family_level(core) >= cpu) {
        return nullptr;
    }
    return cpu == LEVEL_AVX512 ? "SkylakeX" : cpu == LEVEL_AVX2 ? AVX2_FAMILY : nullptr;
}

// How a yardstick runs: with `best` as OPENBLAS_CORETYPE (nullptr: as
// OpenBLAS chose), and once more with the AVX2 family when `avx2_too`.
struct plan {
    const char * best;
    bool         avx2_too;
};

constexpr plan plan_for(std::string_view core, level cpu, bool user_set) {
    if (user_set) {
        return { nullptr, false };
    }
    const char * best = best_family(core, cpu);
    return { best, family_level(best != nullptr ? best : core) > LEVEL_AVX2 };
}

constexpr bool is(plan p, const char * best, bool avx2_too) {
    return (p.best == nullptr ? best == nullptr : best != nullptr && same_name(p.best, best)) &&
           p.avx2_too == avx2_too;
}
static_assert(is(plan_for("Prescott", LEVEL_AVX512, false), "SkylakeX", true), "fallback on AVX-512");
static_assert(is(plan_for("Haswell", LEVEL_AVX512, false), "SkylakeX", true), "AVX2 family on AVX-512");
static_assert(is(plan_for("SKYLAKEX", LEVEL_AVX512, false), nullptr, true), "known AVX-512 processor");
static_assert(is(plan_for("Cooperlake", LEVEL_AVX512, false), nullptr, true), "known AVX-512 processor");
static_assert(is(plan_for("Core2", LEVEL_AVX2, false), "Haswell", false), "fallback on AVX2");
static_assert(is(plan_for("Sandybridge", LEVEL_AVX2, false), "Haswell", false), "AVX family on AVX2");
static_assert(is(plan_for("Zen", LEVEL_AVX2, false), nullptr, false), "known AVX2 processor");
static_assert(is(plan_for("Prescott", LEVEL_AVX, false), nullptr, false), "no AVX2");
static_assert(is(plan_for("Prescott", LEVEL_AVX512, true), nullptr, false), "the user's choice");

// this processor's level; AVX-512 as OpenBLAS's SkylakeX kernels need it
inline level cpu_level() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512cd")) {
        return LEVEL_AVX512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        return LEVEL_AVX2;
    }
    return __builtin_cpu_supports("avx") ? LEVEL_AVX : LEVEL_SSE;
}

inline const char * level_name(level l) {
    return l == LEVEL_AVX512 ? "AVX-512" : l == LEVEL_AVX2 ? "AVX2" : l == LEVEL_AVX ? "AVX" : "SSE";
}

// the OPENBLAS_CORETYPE the user set, nullptr without one
inline const char * user_coretype() {
    const char * v = getenv("OPENBLAS_CORETYPE");
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

// a shell prefix that sets the family for one command ("" for none)
inline std::string env_prefix(const char * family) {
    return family != nullptr ? std::string("OPENBLAS_CORETYPE=") + family + " " : std::string();
}

// One line on what OpenBLAS chose here (`core`) and what the yardstick runs with.
inline std::string describe(const std::string & core, level cpu, const plan & p) {
    std::string s = "OpenBLAS kernels: " + core + " on this " + level_name(cpu) + " processor";
    if (const char * user = user_coretype()) {
        s += std::string(" (OPENBLAS_CORETYPE=") + user + " from the environment";
        if (const char * best = best_family(core, cpu)) {
            s += std::string(", below this processor's ") + best;
        }
        return s + ")";
    }
    if (p.best != nullptr) {
        s += std::string(", a fallback: the yardstick runs with OPENBLAS_CORETYPE=") + p.best;
    }
    if (p.avx2_too) {
        s += std::string(p.best != nullptr ? ", and" : "; the yardstick runs") + " with OPENBLAS_CORETYPE=" +
             AVX2_FAMILY + " too (our kernels are AVX2 only)";
    }
    return s;
}

} // namespace openblas_family
