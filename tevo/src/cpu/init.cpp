#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// One-time initialisation of the CPU engine: the lookup tables that spare
// the kernels conversions and transcendental calls, the fusion switch, and
// the build-time instruction-set answers.

#include "cpu/impl.h"

#include <math.h>
#include <stdlib.h>

#include <atomic>

float       tevo_table_f32_f16[1 << 16];
tevo_fp16_t tevo_table_gelu_f16[1 << 16];
tevo_fp16_t tevo_table_gelu_quick_f16[1 << 16];
float       tevo_table_f32_e8m0_half[256];
float       tevo_table_f32_ue4m3[256];

static std::atomic<bool> tevo_cpu_initialized{ false };
static bool              tevo_cpu_fusion_on = true;

static const float GELU_COEF_A     = 0.044715f;
static const float SQRT_2_OVER_PI  = 0.7978846f;
static const float GELU_QUICK_COEF = -1.702f;

// Both GELUs tend to -0 below; at half -infinity the formulas would make
// 0 x -infinity, a NaN, so that entry takes the limit.
static float tevo_gelu_ref(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (x * 0.5f) * (tanhf((x * SQRT_2_OVER_PI) * fmaf(x, x * GELU_COEF_A, 1.0f)) + 1.0f);
}

static float tevo_gelu_quick_ref(float x) {
    if (x == -INFINITY) {
        return -0.0f;
    }
    return (1.0f / (expf(x * GELU_QUICK_COEF) + 1.0f)) * x;
}

// half the value of an unsigned 4-bit-exponent, 3-bit-mantissa byte (bit 7 ignored)
static float tevo_ue4m3_half(int b) {
    if (b == 0 || b == 0x7F) {
        return 0.0f;
    }
    const int e = (b >> 3) & 0xF;
    const int m = b & 0x7;
    const float v = e != 0 ? ldexpf(1.0f + (float) m / 8.0f, e - 7) : ldexpf((float) m, -9);
    return 0.5f * v;
}

void tevo_cpu_init(void) {
    // graphs are computed often; once the tables stand there is nothing to do
    if (tevo_cpu_initialized.load(std::memory_order_acquire)) {
        return;
    }

    // the tensor core's own one-time set-up
    {
        struct tevo_init_params params = { 0, NULL, false };
        struct tevo_context *   ctx    = tevo_init(params);
        tevo_free(ctx);
    }

    tevo_critical_section_start();

    if (!tevo_cpu_initialized.load(std::memory_order_relaxed)) {
        for (int i = 0; i < (1 << 16); ++i) {
            const tevo_fp16_t h = (tevo_fp16_t) i;
            const float       f = tevo_fp16_to_fp32(h);
            tevo_table_f32_f16[i]        = f;
            tevo_table_gelu_f16[i]       = tevo_fp32_to_fp16(tevo_gelu_ref(f));
            tevo_table_gelu_quick_f16[i] = tevo_fp32_to_fp16(tevo_gelu_quick_ref(f));
        }
        for (int e = 0; e < 256; ++e) {
            tevo_table_f32_e8m0_half[e] = ldexpf(1.0f, e - 128);
            tevo_table_f32_ue4m3[e]     = tevo_ue4m3_half(e);
        }

        const char * fusion = getenv("TEVO_CPU_DISABLE_FUSION");
        tevo_cpu_fusion_on  = !(fusion != NULL && atoi(fusion) == 1);

        tevo_cpu_initialized.store(true, std::memory_order_release);
    }

    tevo_critical_section_end();
}

bool tevo_cpu_fusion_enabled(void) {
    return tevo_cpu_fusion_on;
}

// ---------------------------------------------------------------------------
// the instruction sets this engine is built for

int tevo_cpu_has_sse3(void) { return 1; }
int tevo_cpu_has_ssse3(void) { return 1; }
int tevo_cpu_has_avx(void) { return 1; }
int tevo_cpu_has_avx_vnni(void) { return 0; }
int tevo_cpu_has_avx2(void) { return 1; }
int tevo_cpu_has_bmi2(void) { return 1; }
int tevo_cpu_has_f16c(void) { return 1; }
int tevo_cpu_has_fma(void) { return 1; }
int tevo_cpu_has_avx512(void) { return 0; }
int tevo_cpu_has_avx512_vbmi(void) { return 0; }
int tevo_cpu_has_avx512_vnni(void) { return 0; }
int tevo_cpu_has_avx512_bf16(void) { return 0; }
int tevo_cpu_has_amx_int8(void) { return 0; }
int tevo_cpu_has_neon(void) { return 0; }
int tevo_cpu_has_arm_fma(void) { return 0; }
int tevo_cpu_has_fp16_va(void) { return 0; }
int tevo_cpu_has_dotprod(void) { return 0; }
int tevo_cpu_has_matmul_int8(void) { return 0; }
int tevo_cpu_has_sve(void) { return 0; }
int tevo_cpu_get_sve_cnt(void) { return 0; }
int tevo_cpu_has_sme(void) { return 0; }
int tevo_cpu_has_sme2(void) { return 0; }
int tevo_cpu_has_riscv_v(void) { return 0; }
int tevo_cpu_get_rvv_vlen(void) { return 0; }
int tevo_cpu_has_vsx(void) { return 0; }
int tevo_cpu_has_vxe(void) { return 0; }
int tevo_cpu_has_wasm_simd(void) { return 0; }
int tevo_cpu_has_torvofile(void) { return 0; }
