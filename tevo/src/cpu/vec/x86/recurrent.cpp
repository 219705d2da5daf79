#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

// The recurrent row routines with AVX2 and FMA. The scan and RWKV-7 rows
// accumulate their read-out in four 8-lane accumulators per block of 32 and
// fold them as the dot products do, so a row's sum is the same whatever
// kernel calls it; RWKV-6 and gated linear attention have no sum across the
// row and go 8 lanes at a time with a one-by-one tail of the same
// operations.

#include "cpu/vec/recurrent.h"
#include "cpu/vec/x86/simd.h"

#include <math.h>

static inline float tevo_fold_acc(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
    return tevo_v_hsum(_mm256_add_ps(_mm256_add_ps(a0, a2), _mm256_add_ps(a1, a3)));
}

float tevo_vec_ssm_scan_row_f32(int n, float * s, const float * prev, const float * B, const float * C, float dA,
                                float xdt) {
    const int    np  = n & ~31;
    const __m256 vdA = _mm256_set1_ps(dA);
    const __m256 vx  = _mm256_set1_ps(xdt);
    __m256       acc[4];
    for (int m = 0; m < 4; ++m) {
        acc[m] = _mm256_setzero_ps();
    }
    for (int i = 0; i < np; i += 32) {
        for (int m = 0; m < 4; ++m) {
            const int    j  = i + 8 * m;
            const __m256 nv = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(prev + j), vdA),
                                            _mm256_mul_ps(_mm256_loadu_ps(B + j), vx));
            acc[m]          = _mm256_fmadd_ps(nv, _mm256_loadu_ps(C + j), acc[m]);
            _mm256_storeu_ps(s + j, nv);
        }
    }
    float sum = tevo_fold_acc(acc[0], acc[1], acc[2], acc[3]);
    for (int i = np; i < n; ++i) {
        const float nv = fmaf(dA, prev[i], B[i] * xdt);
        sum            = fmaf(nv, C[i], sum);
        s[i]           = nv;
    }
    return sum;
}

float tevo_vec_wkv7_row_f32(int n, float * cur, const float * prev, const float * w, const float * k, const float * b,
                            const float * r, float vi, float sa) {
    const int    np  = n & ~31;
    const __m256 vv  = _mm256_set1_ps(vi);
    const __m256 vsa = _mm256_set1_ps(sa);
    __m256       acc[4];
    for (int m = 0; m < 4; ++m) {
        acc[m] = _mm256_setzero_ps();
    }
    for (int i = 0; i < np; i += 32) {
        for (int m = 0; m < 4; ++m) {
            const int    j  = i + 8 * m;
            const __m256 kv = _mm256_mul_ps(vv, _mm256_loadu_ps(k + j));
            __m256       nv = _mm256_fmadd_ps(_mm256_loadu_ps(prev + j), _mm256_loadu_ps(w + j), kv);
            nv              = _mm256_fmadd_ps(vsa, _mm256_loadu_ps(b + j), nv);
            _mm256_storeu_ps(cur + j, nv);
            acc[m] = _mm256_fmadd_ps(nv, _mm256_loadu_ps(r + j), acc[m]);
        }
    }
    float sum = tevo_fold_acc(acc[0], acc[1], acc[2], acc[3]);
    for (int j = np; j < n; ++j) {
        const float kv = vi * k[j];
        float       nv = fmaf(prev[j], w[j], kv);
        nv             = fmaf(sa, b[j], nv);
        cur[j]         = nv;
        sum            = fmaf(nv, r[j], sum);
    }
    return sum;
}

void tevo_vec_wkv6_row_f32(int n, float * out, float * cur, const float * prev, const float * v, float kk, float rr,
                           float tf, float td) {
    const __m256 vk  = _mm256_set1_ps(kk);
    const __m256 vr  = _mm256_set1_ps(rr);
    const __m256 vtf = _mm256_set1_ps(tf);
    const __m256 vtd = _mm256_set1_ps(td);
    int          j   = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 p    = _mm256_loadu_ps(prev + j);
        const __m256 kv   = _mm256_mul_ps(_mm256_loadu_ps(v + j), vk);
        const __m256 temp = _mm256_fmadd_ps(kv, vtf, p);
        _mm256_storeu_ps(out + j, _mm256_fmadd_ps(temp, vr, _mm256_loadu_ps(out + j)));
        _mm256_storeu_ps(cur + j, _mm256_fmadd_ps(p, vtd, kv));
    }
    for (; j < n; ++j) {
        const float p    = prev[j];
        const float kv   = v[j] * kk;
        const float temp = fmaf(kv, tf, p);
        out[j]           = fmaf(temp, rr, out[j]);
        cur[j]           = fmaf(p, td, kv);
    }
}

void tevo_vec_gla_row_f32(int n, float * out, float * cur, const float * prev, const float * v, float kk, float qs,
                          float g) {
    const __m256 vk = _mm256_set1_ps(kk);
    const __m256 vq = _mm256_set1_ps(qs);
    const __m256 vg = _mm256_set1_ps(g);
    int          j  = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 kv   = _mm256_mul_ps(vk, _mm256_loadu_ps(v + j));
        const __m256 temp = _mm256_fmadd_ps(vg, _mm256_loadu_ps(prev + j), kv);
        _mm256_storeu_ps(out + j, _mm256_fmadd_ps(temp, vq, _mm256_loadu_ps(out + j)));
        _mm256_storeu_ps(cur + j, temp);
    }
    for (; j < n; ++j) {
        const float kv   = kk * v[j];
        const float temp = fmaf(g, prev[j], kv);
        out[j]           = fmaf(temp, qs, out[j]);
        cur[j]           = temp;
    }
}
