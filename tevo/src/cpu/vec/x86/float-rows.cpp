#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// Element-wise row routines over floats. Whole groups of 8 go through the
// vector exponential or the GELU tables; the last n mod 8 values use the
// math library or the one-element table reads. Sums that feed
// normalisations are accumulated in double precision.

#include "cpu/vec/vec.h"
#include "cpu/vec/x86/gelu.h"
#include "cpu/vec/x86/simd.h"

#include <math.h>

// At x = -inf the formula gives -inf / (1 + inf), a NaN; the limit is -0,
// what every finite x below about -88 already gives.
void tevo_vec_silu_f32(int n, float * y, const float * x) {
    const __m256 one  = _mm256_set1_ps(1.0f);
    const __m256 neg  = _mm256_set1_ps(-0.0f);
    const __m256 ninf = _mm256_set1_ps(-INFINITY);
    int          i    = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        const __m256 e = tevo_v_expf(_mm256_xor_ps(v, neg));
        const __m256 s = _mm256_div_ps(v, _mm256_add_ps(one, e));
        _mm256_storeu_ps(y + i, _mm256_blendv_ps(s, neg, _mm256_cmp_ps(v, ninf, _CMP_EQ_OQ)));
    }
    for (; i < n; ++i) {
        y[i] = x[i] == -INFINITY ? -0.0f : x[i] / (1.0f + expf(-x[i]));
    }
}

void tevo_vec_swiglu_f32(int n, float * y, const float * x, const float * g) {
    const __m256 one  = _mm256_set1_ps(1.0f);
    const __m256 neg  = _mm256_set1_ps(-0.0f);
    const __m256 ninf = _mm256_set1_ps(-INFINITY);
    int          i    = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        const __m256 e = tevo_v_expf(_mm256_xor_ps(v, neg));
        __m256       s = _mm256_div_ps(v, _mm256_add_ps(one, e));
        s              = _mm256_blendv_ps(s, neg, _mm256_cmp_ps(v, ninf, _CMP_EQ_OQ));
        _mm256_storeu_ps(y + i, _mm256_mul_ps(s, _mm256_loadu_ps(g + i)));
    }
    for (; i < n; ++i) {
        y[i] = (x[i] == -INFINITY ? -0.0f : x[i] / (1.0f + expf(-x[i]))) * g[i];
    }
}

void tevo_vec_gelu_f32(int n, float * y, const float * x) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, tevo_v_gelu_table(_mm256_loadu_ps(x + i)));
    }
    for (; i < n; ++i) {
        y[i] = tevo_gelu_table_f32(x[i]);
    }
}

void tevo_vec_gelu_quick_f32(int n, float * y, const float * x) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(y + i, tevo_v_gelu_quick_table(_mm256_loadu_ps(x + i)));
    }
    for (; i < n; ++i) {
        y[i] = tevo_gelu_quick_table_f32(x[i]);
    }
}

void tevo_vec_reglu_f32(int n, float * y, const float * x, const float * g) {
    const __m256 zero = _mm256_setzero_ps();
    int          i    = 0;
    for (; i + 32 <= n; i += 32) {
        for (int k = 0; k < 32; k += 8) {
            const __m256 vx = _mm256_loadu_ps(x + i + k);
            const __m256 vg = _mm256_loadu_ps(g + i + k);
            _mm256_storeu_ps(y + i + k, _mm256_and_ps(_mm256_cmp_ps(vx, zero, _CMP_GT_OQ), _mm256_mul_ps(vx, vg)));
        }
    }
    for (; i + 8 <= n; i += 8) {
        const __m256 vx = _mm256_loadu_ps(x + i);
        const __m256 vg = _mm256_loadu_ps(g + i);
        _mm256_storeu_ps(y + i, _mm256_and_ps(_mm256_cmp_ps(vx, zero, _CMP_GT_OQ), _mm256_mul_ps(vx, vg)));
    }
    for (; i < n; ++i) {
        y[i] = x[i] > 0.0f ? x[i] * g[i] : 0.0f;
    }
}

void tevo_vec_geglu_f32(int n, float * y, const float * x, const float * g) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 vx  = _mm256_loadu_ps(x + i);
        const __m256 vg  = _mm256_loadu_ps(g + i);
        // below the lower limit the gate is not read: 0 even for a NaN gate
        const __m256 low = _mm256_cmp_ps(vx, _mm256_set1_ps(TEVO_GELU_LOWER), _CMP_LE_OQ);
        _mm256_storeu_ps(y + i, _mm256_andnot_ps(low, _mm256_mul_ps(tevo_v_gelu_table(vx), vg)));
    }
    for (; i < n; ++i) {
        y[i] = x[i] <= TEVO_GELU_LOWER ? 0.0f : tevo_gelu_table_f32(x[i]) * g[i];
    }
}

void tevo_vec_geglu_quick_f32(int n, float * y, const float * x, const float * g) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 vx = _mm256_loadu_ps(x + i);
        const __m256 vg = _mm256_loadu_ps(g + i);
        _mm256_storeu_ps(y + i, _mm256_mul_ps(tevo_v_gelu_quick_table(vx), vg));
    }
    for (; i < n; ++i) {
        y[i] = tevo_gelu_quick_table_f32(x[i]) * g[i];
    }
}

double tevo_vec_cvar_f32(int n, float * y, const float * x, float mean) {
    const __m256 vmean = _mm256_set1_ps(mean);
    double       sum   = 0.0;
    int          i     = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + i), vmean);
        _mm256_storeu_ps(y + i, d);
        sum += (double) tevo_v_hsum(_mm256_mul_ps(d, d));
    }
    for (; i < n; ++i) {
        const float d = x[i] - mean;
        y[i]          = d;
        sum += (double) (d * d);
    }
    return sum / n;
}

double tevo_vec_soft_max_f32(int n, float * y, const float * x, float max) {
    const __m256 vmax = _mm256_set1_ps(max);
    double       sum  = 0.0;
    int          i    = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 e = tevo_v_expf(_mm256_sub_ps(_mm256_loadu_ps(x + i), vmax));
        _mm256_storeu_ps(y + i, e);
        sum += (double) tevo_v_hsum(e);
    }
    for (; i < n; ++i) {
        const float e = expf(x[i] - max);
        y[i]          = e;
        sum += (double) e;
    }
    return sum;
}

double tevo_vec_log_soft_max_f32(int n, float * y, const float * x, float max) {
    double sum = 0.0;
    int    i   = 0;
    for (; i + 2 <= n; i += 2) {
        const float v0 = x[i] - max;
        const float v1 = x[i + 1] - max;
        y[i]           = v0;
        y[i + 1]       = v1;
        sum += (double) expf(v0);
        sum += (double) expf(v1);
    }
    for (; i < n; ++i) {
        const float v = x[i] - max;
        y[i]          = v;
        sum += (double) expf(v);
    }
    return (double) logf((float) sum);
}

double tevo_vec_sum_sq_f32(int64_t n, const float * x) {
    double  sum = 0.0;
    int64_t i   = 0;
    for (; i + 8 <= n; i += 8) {
        alignas(32) float sq[8];
        const __m256      v = _mm256_loadu_ps(x + i);
        _mm256_store_ps(sq, _mm256_mul_ps(v, v));
        for (int k = 0; k < 8; ++k) {
            sum += (double) sq[k];
        }
    }
    for (; i < n; ++i) {
        sum += (double) (x[i] * x[i]);
    }
    return sum;
}
