#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The K-quant scale searches. All arithmetic is in float with separate
// multiplies and adds, sums in index order, and a candidate replaces the
// best only when it is strictly better, so the chosen codes are a fixed
// function of the input.

#include "quants/kquants-search.h"

#include "quants/impl.h"

static inline float kq_error(float t, enum tevo_kq_error kind) {
    return kind == TEVO_KQ_SQUARED ? t * t : fabsf(t);
}

// index order scan from 0; the first of equal magnitudes wins
static inline float kq_signed_max(const float * x, int n) {
    float amax = 0.0f;
    float max  = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float ax = fabsf(x[i]);
        if (ax > amax) {
            amax = ax;
            max  = x[i];
        }
    }
    return max;
}

float tevo_kq_search_scale_min(int n, int nmax, const float * x, const float * w, uint8_t * L, float * the_min,
                               float rmin, float rdelta, int nstep, enum tevo_kq_error error) {
    float min   = x[0];
    float max   = x[0];
    float sum_w = w[0];
    float sum_x = sum_w * x[0];
    for (int i = 1; i < n; ++i) {
        if (x[i] < min) min = x[i];
        if (x[i] > max) max = x[i];
        const float wi = w[i];
        sum_w += wi;
        sum_x += wi * x[i];
    }
    if (min > 0.0f) {
        min = 0.0f;
    }
    if (max <= min) {
        for (int i = 0; i < n; ++i) L[i] = 0;
        *the_min = 0.0f - min; // +0 for a minimum of 0, never -0
        return 0.0f;
    }

    float iscale = (float) nmax / (max - min);
    float scale  = 1.0f / iscale;
    float best   = 0.0f;
    for (int i = 0; i < n; ++i) {
        const int l = tevo_q_nearest_int(iscale * (x[i] - min));
        L[i]        = (uint8_t) TEVO_MAX(0, TEVO_MIN(nmax, l));
        best += w[i] * kq_error(scale * (float) L[i] + min - x[i], error);
    }

    uint8_t La[32];
    for (int is = 0; is < nstep; ++is) {
        iscale       = (rmin + rdelta * (float) is + (float) nmax) / (max - min);
        float sum_l  = 0.0f;
        float sum_l2 = 0.0f;
        float sum_xl = 0.0f;
        for (int i = 0; i < n; ++i) {
            const int l = TEVO_MAX(0, TEVO_MIN(nmax, tevo_q_nearest_int(iscale * (x[i] - min))));
            La[i]       = (uint8_t) l;
            const float p = w[i] * (float) l;
            sum_l += p;
            sum_l2 += p * (float) l;
            sum_xl += p * x[i];
        }
        const float D = sum_w * sum_l2 - sum_l * sum_l;
        if (D > 0.0f) {
            float this_scale = (sum_w * sum_xl - sum_x * sum_l) / D;
            float this_min   = (sum_l2 * sum_x - sum_l * sum_xl) / D;
            if (this_min > 0.0f) {
                this_min   = 0.0f;
                this_scale = sum_xl / sum_l2;
            }
            float err = 0.0f;
            for (int i = 0; i < n; ++i) {
                err += w[i] * kq_error(this_scale * (float) La[i] + this_min - x[i], error);
            }
            if (err < best) {
                for (int i = 0; i < n; ++i) L[i] = La[i];
                best  = err;
                scale = this_scale;
                min   = this_min;
            }
        }
    }
    *the_min = 0.0f - min; // +0 for a minimum of 0, never -0
    return scale;
}

float tevo_kq_refine_signed_scale(const float * x, int8_t * L) {
    const int n    = 16;
    const int nmax = 4;

    const float max = kq_signed_max(x, n);
    if (fabsf(max) < 1e-15f) {
        for (int i = 0; i < n; ++i) L[i] = 0;
        return 0.0f;
    }

    const float iscale = -(float) nmax / max;
    float       sumlx  = 0.0f;
    float       suml2  = 0.0f;
    for (int i = 0; i < n; ++i) {
        int l = tevo_q_nearest_int(iscale * x[i]);
        l     = TEVO_MAX(-nmax, TEVO_MIN(nmax - 1, l));
        L[i]  = (int8_t) l;
        const float w = x[i] * x[i];
        sumlx += w * x[i] * (float) l;
        suml2 += w * (float) l * (float) l;
    }

    for (int pass = 0; pass < 5; ++pass) {
        int changes = 0;
        for (int i = 0; i < n; ++i) {
            const float w   = x[i] * x[i];
            float       slx = sumlx - w * x[i] * (float) L[i];
            if (slx > 0.0f) {
                float sl2    = suml2 - w * (float) L[i] * (float) L[i];
                int   new_l  = tevo_q_nearest_int(x[i] * sl2 / slx);
                new_l        = TEVO_MAX(-nmax, TEVO_MIN(nmax - 1, new_l));
                if (new_l != L[i]) {
                    slx += w * x[i] * (float) new_l;
                    sl2 += w * (float) new_l * (float) new_l;
                    if (sl2 > 0.0f && slx * slx * suml2 > sumlx * sumlx * sl2) {
                        L[i]  = (int8_t) new_l;
                        sumlx = slx;
                        suml2 = sl2;
                        ++changes;
                    }
                }
            }
        }
        if (!changes) {
            break;
        }
    }
    for (int i = 0; i < n; ++i) {
        L[i] = (int8_t) (L[i] + nmax);
    }
    return suml2 > 0.0f ? sumlx / suml2 : 0.0f;
}

float tevo_kq_search_signed_scale(int n, int nmax, const float * x, int8_t * L, const float * w) {
    const float max = kq_signed_max(x, n);
    if (fabsf(max) < 1e-15f) {
        for (int i = 0; i < n; ++i) L[i] = 0;
        return 0.0f;
    }

    float sumlx, suml2;
    auto  fit = [&](float iscale, int8_t * out) {
        sumlx = 0.0f;
        suml2 = 0.0f;
        for (int i = 0; i < n; ++i) {
            int l = tevo_q_nearest_int(iscale * x[i]);
            l     = TEVO_MAX(-nmax, TEVO_MIN(nmax - 1, l));
            if (out != NULL) out[i] = (int8_t) (l + nmax);
            const float wi = w != NULL ? w[i] : x[i] * x[i];
            sumlx += wi * x[i] * (float) l;
            suml2 += wi * (float) l * (float) l;
        }
    };

    fit(-(float) nmax / max, L);
    float scale = suml2 != 0.0f ? sumlx / suml2 : 0.0f;
    float best  = scale * sumlx;

    for (int is = -9; is <= 9; ++is) {
        if (is == 0) {
            continue;
        }
        const float iscale = -((float) nmax + 0.1f * (float) is) / max;
        fit(iscale, NULL);
        if (suml2 > 0.0f && sumlx * sumlx > best * suml2) {
            fit(iscale, L);
            scale = sumlx / suml2;
            best  = scale * sumlx;
        }
    }
    return scale;
}

float tevo_kq_quantize_nonneg_weighted(int n, int nmax, const float * x, uint8_t * L, const float * w) {
    float max = 0.0f;
    for (int i = 0; i < n; ++i) {
        max = TEVO_MAX(max, x[i]);
    }
    if (max < 1e-15f) {
        for (int i = 0; i < n; ++i) L[i] = 0;
        return 0.0f;
    }

    float iscale = (float) nmax / max;
    float best   = 0.0f;
    {
        const float mis = -1.0f / iscale;
        for (int i = 0; i < n; ++i) {
            L[i]             = (uint8_t) tevo_q_nearest_int(iscale * x[i]);
            const float diff = x[i] + (float) L[i] * mis;
            best += w[i] * diff * diff;
        }
    }
    static const float deltas[8] = { -0.4f, -0.3f, -0.2f, -0.1f, 0.1f, 0.2f, 0.3f, 0.4f };
    for (float delta : deltas) {
        const float is  = ((float) nmax + delta) / max;
        float       err = 0.0f;
        for (int i = 0; i < n; ++i) {
            const int   l    = TEVO_MIN(nmax, tevo_q_nearest_int(is * x[i]));
            const float diff = x[i] - (float) l / is;
            err += w[i] * diff * diff;
        }
        if (err < best) {
            best   = err;
            iscale = is;
        }
    }

    float sumlx = 0.0f;
    float suml2 = 0.0f;
    for (int i = 0; i < n; ++i) {
        L[i] = (uint8_t) TEVO_MIN(nmax, tevo_q_nearest_int(iscale * x[i]));
        sumlx += w[i] * x[i] * (float) L[i];
        suml2 += w[i] * (float) L[i] * (float) L[i];
    }
    for (int pass = 0; pass < 5; ++pass) {
        int changes = 0;
        for (int i = 0; i < n; ++i) {
            float slx = sumlx - w[i] * x[i] * (float) L[i];
            float sl2 = suml2 - w[i] * (float) L[i] * (float) L[i];
            if (slx > 0.0f && sl2 > 0.0f) {
                const int new_l = TEVO_MIN(nmax, tevo_q_nearest_int(x[i] * sl2 / slx));
                if (new_l != L[i]) {
                    slx += w[i] * x[i] * (float) new_l;
                    sl2 += w[i] * (float) new_l * (float) new_l;
                    if (slx * slx * suml2 > sumlx * sumlx * sl2) {
                        L[i]  = (uint8_t) new_l;
                        sumlx = slx;
                        suml2 = sl2;
                        ++changes;
                    }
                }
            }
        }
        if (!changes) {
            break;
        }
    }
    return suml2 > 0.0f ? sumlx / suml2 : 0.0f;
}
