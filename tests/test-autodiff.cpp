// Automatic differentiation: one table of operators, each differentiated
// through loss = Σ r ⊙ layout(op(x)) (r fixed random weights, the layout the
// result itself, or it transposed or permuted and made contiguous, as
// attention does) by the backward graph and checked against central finite
// differences of a double-precision forward pass of the same operator,
// written here; a tensor used twice; the accumulator path and the reset;
// optimiser steps on a parameter used transposed; views of sources that hold
// infinities or are half precision; the shape of a few gradient graphs and
// the refusals.

#include "kernel-test-helpers.h"

#include <array>
#include <functional>

namespace {

using namespace kt;

// ---------------------------------------------------------------------------
// double-precision tensors and the reference operators

struct DT {
    int64_t             ne[4] = { 1, 1, 1, 1 };
    std::vector<double> v;

    DT() = default;
    DT(int64_t n0, int64_t n1 = 1, int64_t n2 = 1, int64_t n3 = 1) : ne{ n0, n1, n2, n3 }, v((size_t) (n0 * n1 * n2 * n3)) {}

    static DT like(const DT & o) { return DT(o.ne[0], o.ne[1], o.ne[2], o.ne[3]); }

    double & at(int64_t i0, int64_t i1 = 0, int64_t i2 = 0, int64_t i3 = 0) {
        return v[(size_t) (i0 + ne[0] * (i1 + ne[1] * (i2 + ne[2] * i3)))];
    }
    double at(int64_t i0, int64_t i1 = 0, int64_t i2 = 0, int64_t i3 = 0) const {
        return v[(size_t) (i0 + ne[0] * (i1 + ne[1] * (i2 + ne[2] * i3)))];
    }

    template <typename F> void each(F f) {
        for (int64_t i3 = 0; i3 < ne[3]; ++i3)
            for (int64_t i2 = 0; i2 < ne[2]; ++i2)
                for (int64_t i1 = 0; i1 < ne[1]; ++i1)
                    for (int64_t i0 = 0; i0 < ne[0]; ++i0) f(i0, i1, i2, i3);
    }
};

DT from_tensor(const tevo_tensor * t) {
    DT d(t->ne[0], t->ne[1], t->ne[2], t->ne[3]);
    d.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        d.at(i0, i1, i2, i3) = t->type == TEVO_TYPE_I32 ? (double) *(const int32_t *) elem_ptr(t, i0, i1, i2, i3)
                                                         : (double) get(t, i0, i1, i2, i3);
    });
    return d;
}

DT unary(const DT & a, const std::function<double(double)> & f) {
    DT r = DT::like(a);
    for (size_t i = 0; i < a.v.size(); ++i) r.v[i] = f(a.v[i]);
    return r;
}

// b broadcast over a
DT binary(const DT & a, const DT & b, const std::function<double(double, double)> & f) {
    DT r = DT::like(a);
    r.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        r.at(i0, i1, i2, i3) = f(a.at(i0, i1, i2, i3), b.at(i0 % b.ne[0], i1 % b.ne[1], i2 % b.ne[2], i3 % b.ne[3]));
    });
    return r;
}

DT repeat(const DT & a, const int64_t * ne) {
    DT r(ne[0], ne[1], ne[2], ne[3]);
    r.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        r.at(i0, i1, i2, i3) = a.at(i0 % a.ne[0], i1 % a.ne[1], i2 % a.ne[2], i3 % a.ne[3]);
    });
    return r;
}

DT repeat_back(DT a, const int64_t * ne) {
    DT r(ne[0], ne[1], ne[2], ne[3]);
    a.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        r.at(i0 % ne[0], i1 % ne[1], i2 % ne[2], i3 % ne[3]) += a.at(i0, i1, i2, i3);
    });
    return r;
}

// a function of each row (ne[0] values) giving a row of `out` values
DT rows(const DT & a, int64_t out, const std::function<void(const double *, double *)> & f) {
    DT r(out, a.ne[1], a.ne[2], a.ne[3]);
    for (int64_t k = 0; k < a.ne[1] * a.ne[2] * a.ne[3]; ++k) {
        f(&a.v[(size_t) (k * a.ne[0])], &r.v[(size_t) (k * out)]);
    }
    return r;
}

// r[i, j, k, l] = row i of a's matrix (k / (b2/a2), l / (b3/a3)) · row j of b's (k, l)
DT mul_mat(const DT & a, const DT & b) {
    DT            r(a.ne[1], b.ne[1], b.ne[2], b.ne[3]);
    const int64_t r2 = b.ne[2] / a.ne[2], r3 = b.ne[3] / a.ne[3];
    r.each([&](int64_t i, int64_t j, int64_t k, int64_t l) {
        double s = 0.0;
        for (int64_t e = 0; e < a.ne[0]; ++e) s += a.at(e, i, k / r2, l / r3) * b.at(e, j, k, l);
        r.at(i, j, k, l) = s;
    });
    return r;
}

// dimension i of a goes to axis p[i]
DT permute(const DT & a, const int * p) {
    DT r;
    for (int i = 0; i < 4; ++i) r.ne[p[i]] = a.ne[i];
    r.v.resize(a.v.size());
    DT src = a;
    src.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        int64_t idx[4] = { 0, 0, 0, 0 };
        const int64_t in[4] = { i0, i1, i2, i3 };
        for (int i = 0; i < 4; ++i) idx[p[i]] = in[i];
        r.at(idx[0], idx[1], idx[2], idx[3]) = src.at(i0, i1, i2, i3);
    });
    return r;
}

// same elements in natural order, other extents
DT reshape(const DT & a, int64_t n0, int64_t n1 = 1, int64_t n2 = 1, int64_t n3 = 1) {
    DT r(n0, n1, n2, n3);
    r.v = a.v;
    return r;
}

// a window of packed float a: extents ne, element strides s1..s3, element offset
DT window(const DT & a, const int64_t * ne, int64_t s1, int64_t s2, int64_t s3, int64_t off) {
    DT r(ne[0], ne[1], ne[2], ne[3]);
    r.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        r.at(i0, i1, i2, i3) = a.v[(size_t) (off + i0 + i1 * s1 + i2 * s2 + i3 * s3)];
    });
    return r;
}

double softplus_d(double x) {
    return log1p(exp(x));
}

// ---------------------------------------------------------------------------
// the table

struct Input {
    tevo_type type;
    int64_t   ne[4];
    float     lo, hi;
    bool      param;
    bool      away_from_zero = false; // |x| in [lo, hi] with random signs: no kinks nearby
};

Input P(int64_t n0, int64_t n1 = 1, int64_t n2 = 1, int64_t n3 = 1, float lo = -1.0f, float hi = 1.0f) {
    return { TEVO_TYPE_F32, { n0, n1, n2, n3 }, lo, hi, true };
}

Input C(int64_t n0, int64_t n1 = 1, int64_t n2 = 1, int64_t n3 = 1, float lo = -1.0f, float hi = 1.0f) {
    return { TEVO_TYPE_F32, { n0, n1, n2, n3 }, lo, hi, false };
}

Input away(Input in) {
    in.away_from_zero = true;
    return in;
}

using Tensors = std::vector<tevo_tensor *>;
using Refs    = std::vector<DT>;

struct RuleCase {
    const char *                                          name;
    std::vector<Input>                                    inputs;
    std::function<tevo_tensor *(tevo_context *, Tensors &)> build;
    std::function<DT(const Refs &)>                       ref;
    std::function<void(Tensors &)>                        init; // overrides the random fill of some inputs
};

// row-wise helpers for the reference
void softmax_row(const double * x, double * y, int64_t n) {
    double mx = -INFINITY;
    for (int64_t i = 0; i < n; ++i) mx = std::max(mx, x[i]);
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        y[i] = x[i] == -INFINITY ? 0.0 : exp(x[i] - mx);
        s += y[i];
    }
    for (int64_t i = 0; i < n; ++i) y[i] /= s;
}

DT diag_mask(const DT & a, int n_past, double value) {
    DT r = a;
    r.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
        if (i0 > n_past + i1) r.at(i0, i1, i2, i3) = value;
    });
    return r;
}

const int64_t SET_NE[4] = { 3, 2, 1, 1 };

std::vector<RuleCase> rule_cases() {
    std::vector<RuleCase> cs;
    auto add = [&](RuleCase c) { cs.push_back(std::move(c)); };

    // arithmetic, with the second operand broadcast
    add({ "add", { P(6, 4, 2), P(6, 4, 2) }, [](tevo_context * c, Tensors & t) { return tevo_add(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a + b; }); } });
    add({ "add broadcast", { P(6, 4, 2), P(6, 1, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_add(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a + b; }); } });
    add({ "sub broadcast", { P(6, 4, 2), P(6, 1, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_sub(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a - b; }); } });
    add({ "mul broadcast", { P(6, 4, 2), P(1, 4, 1) },
          [](tevo_context * c, Tensors & t) { return tevo_mul(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a * b; }); } });
    add({ "div broadcast", { P(6, 4, 2), P(6, 1, 1, 1, 0.5f, 1.5f) },
          [](tevo_context * c, Tensors & t) { return tevo_div(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a / b; }); } });
    add({ "add1", { P(5, 3, 2), P(1) }, [](tevo_context * c, Tensors & t) { return tevo_add1(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a + b; }); } });
    add({ "dup", { P(5, 3) }, [](tevo_context * c, Tensors & t) { return tevo_dup(c, t[0]); },
          [](const Refs & r) { return r[0]; } });

    // element-wise functions
    add({ "sqr", { P(7, 3) }, [](tevo_context * c, Tensors & t) { return tevo_sqr(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return x * x; }); } });
    add({ "sqrt", { P(7, 3, 1, 1, 0.5f, 2.0f) }, [](tevo_context * c, Tensors & t) { return tevo_sqrt(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return sqrt(x); }); } });
    add({ "log", { P(7, 3, 1, 1, 0.5f, 2.0f) }, [](tevo_context * c, Tensors & t) { return tevo_log(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return log(x); }); } });
    add({ "sin", { P(7, 3, 1, 1, -3.0f, 3.0f) }, [](tevo_context * c, Tensors & t) { return tevo_sin(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return sin(x); }); } });
    add({ "cos", { P(7, 3, 1, 1, -3.0f, 3.0f) }, [](tevo_context * c, Tensors & t) { return tevo_cos(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return cos(x); }); } });
    add({ "abs", { away(P(9, 2, 1, 1, 0.1f, 1.0f)) }, [](tevo_context * c, Tensors & t) { return tevo_abs(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return fabs(x); }); } });
    add({ "neg", { P(9, 2) }, [](tevo_context * c, Tensors & t) { return tevo_neg(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return -x; }); } });
    add({ "relu", { away(P(9, 2, 1, 1, 0.1f, 1.0f)) }, [](tevo_context * c, Tensors & t) { return tevo_relu(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return x > 0 ? x : 0.0; }); } });
    add({ "silu", { P(9, 2, 1, 1, -4.0f, 4.0f) }, [](tevo_context * c, Tensors & t) { return tevo_silu(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return x / (1.0 + exp(-x)); }); } });
    add({ "exp", { P(9, 2, 1, 1, -2.0f, 2.0f) }, [](tevo_context * c, Tensors & t) { return tevo_exp(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return exp(x); }); } });
    add({ "expm1", { P(9, 2, 1, 1, -2.0f, 2.0f) }, [](tevo_context * c, Tensors & t) { return tevo_expm1(c, t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return expm1(x); }); } });
    add({ "softplus", { P(9, 2, 1, 1, -3.0f, 3.0f) },
          [](tevo_context * c, Tensors & t) { return tevo_softplus(c, t[0]); },
          [](const Refs & r) { return unary(r[0], softplus_d); } });
    add({ "swiglu split", { P(8, 3, 1, 1, -3.0f, 3.0f), P(8, 3) },
          [](tevo_context * c, Tensors & t) { return tevo_swiglu_split(c, t[0], t[1]); },
          [](const Refs & r) { return binary(r[0], r[1], [](double a, double b) { return a / (1.0 + exp(-a)) * b; }); } });

    // reductions and broadcasting
    add({ "sum", { P(5, 4, 3) }, [](tevo_context * c, Tensors & t) { return tevo_sum(c, t[0]); },
          [](const Refs & r) {
              DT s(1);
              for (double x : r[0].v) s.v[0] += x;
              return s;
          } });
    add({ "sum_rows", { P(5, 4, 3) }, [](tevo_context * c, Tensors & t) { return tevo_sum_rows(c, t[0]); },
          [](const Refs & r) {
              return rows(r[0], 1, [&](const double * x, double * y) {
                  y[0] = 0;
                  for (int64_t i = 0; i < r[0].ne[0]; ++i) y[0] += x[i];
              });
          } });
    add({ "mean", { P(5, 4, 3) }, [](tevo_context * c, Tensors & t) { return tevo_mean(c, t[0]); },
          [](const Refs & r) {
              return rows(r[0], 1, [&](const double * x, double * y) {
                  y[0] = 0;
                  for (int64_t i = 0; i < r[0].ne[0]; ++i) y[0] += x[i] / (double) r[0].ne[0];
              });
          } });
    // the mean's source already has a gradient when the mean's rule runs
    add({ "x + mean(x)", { P(5, 4, 3) },
          [](tevo_context * c, Tensors & t) { return tevo_add(c, t[0], tevo_mean(c, t[0])); },
          [](const Refs & r) {
              const DT m = rows(r[0], 1, [&](const double * x, double * y) {
                  y[0] = 0;
                  for (int64_t i = 0; i < r[0].ne[0]; ++i) y[0] += x[i] / (double) r[0].ne[0];
              });
              return binary(r[0], m, [](double a, double b) { return a + b; });
          } });
    add({ "repeat", { P(3, 1, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_repeat(c, t[0], tevo_new_tensor_3d(c, TEVO_TYPE_F32, 6, 4, 2)); },
          [](const Refs & r) {
              const int64_t ne[4] = { 6, 4, 2, 1 };
              return repeat(r[0], ne);
          } });
    add({ "repeat_back", { P(6, 4, 2) },
          [](tevo_context * c, Tensors & t) {
              return tevo_repeat_back(c, t[0], tevo_new_tensor_3d(c, TEVO_TYPE_F32, 3, 1, 2));
          },
          [](const Refs & r) {
              const int64_t ne[4] = { 3, 1, 2, 1 };
              return repeat_back(r[0], ne);
          } });

    // normalisation, products, scaling
    add({ "rms_norm", { P(8, 3, 2) }, [](tevo_context * c, Tensors & t) { return tevo_rms_norm(c, t[0], 1e-6f); },
          [](const Refs & r) {
              const int64_t n = r[0].ne[0];
              return rows(r[0], n, [&](const double * x, double * y) {
                  double ss = 0.0;
                  for (int64_t i = 0; i < n; ++i) ss += x[i] * x[i];
                  const double s = 1.0 / sqrt(ss / (double) n + 1e-6);
                  for (int64_t i = 0; i < n; ++i) y[i] = x[i] * s;
              });
          } });
    add({ "mul_mat", { P(6, 4, 2), P(6, 5, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_mul_mat(c, t[0], t[1]); },
          [](const Refs & r) { return mul_mat(r[0], r[1]); } });
    add({ "mul_mat batch broadcast", { P(6, 4, 2), P(6, 5, 6) },
          [](tevo_context * c, Tensors & t) { return tevo_mul_mat(c, t[0], t[1]); },
          [](const Refs & r) { return mul_mat(r[0], r[1]); } });
    add({ "scale", { P(5, 3) }, [](tevo_context * c, Tensors & t) { return tevo_scale(c, t[0], 1.7f); },
          [](const Refs & r) { return unary(r[0], [](double x) { return 1.7 * x; }); } });

    // windows: b written into (SET) or added into (ACC) a at row 1, column 2
    add({ "set", { P(6, 5), P(3, 2) },
          [](tevo_context * c, Tensors & t) {
              return tevo_set(c, t[0], t[1], t[0]->nb[1], t[0]->nb[2], t[0]->nb[3], t[0]->nb[1] + 2 * sizeof(float));
          },
          [](const Refs & r) {
              DT o = r[0];
              for (int64_t i1 = 0; i1 < 2; ++i1)
                  for (int64_t i0 = 0; i0 < 3; ++i0) o.at(2 + i0, 1 + i1) = r[1].at(i0, i1);
              return o;
          } });
    add({ "acc", { P(6, 5), P(3, 2) },
          [](tevo_context * c, Tensors & t) {
              return tevo_acc(c, t[0], t[1], t[0]->nb[1], t[0]->nb[2], t[0]->nb[3], t[0]->nb[1] + 2 * sizeof(float));
          },
          [](const Refs & r) {
              DT o = r[0];
              for (int64_t i1 = 0; i1 < 2; ++i1)
                  for (int64_t i0 = 0; i0 < 3; ++i0) o.at(2 + i0, 1 + i1) += r[1].at(i0, i1);
              return o;
          } });

    // copies and views
    add({ "cpy", { P(6, 4) },
          [](tevo_context * c, Tensors & t) { return tevo_cpy(c, t[0], tevo_new_tensor_2d(c, TEVO_TYPE_F32, 8, 3)); },
          [](const Refs & r) { return reshape(r[0], 8, 3); } });
    add({ "cont of a transpose, reshaped", { P(6, 4) },
          [](tevo_context * c, Tensors & t) { return tevo_cont_1d(c, tevo_transpose(c, t[0]), 24); },
          [](const Refs & r) {
              const int p[4] = { 1, 0, 2, 3 };
              return reshape(permute(r[0], p), 24);
          } });
    add({ "reshape", { P(6, 4) }, [](tevo_context * c, Tensors & t) { return tevo_reshape_3d(c, t[0], 3, 4, 2); },
          [](const Refs & r) { return reshape(r[0], 3, 4, 2); } });
    add({ "view", { P(6, 5) },
          [](tevo_context * c, Tensors & t) {
              return tevo_view_2d(c, t[0], 4, 2, 2 * t[0]->nb[1], t[0]->nb[1] + sizeof(float));
          },
          [](const Refs & r) {
              const int64_t ne[4] = { 4, 2, 1, 1 };
              return window(r[0], ne, 12, 12, 12, 7);
          } });
    add({ "permute", { P(3, 4, 2, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_cont(c, tevo_permute(c, t[0], 2, 0, 3, 1)); },
          [](const Refs & r) {
              const int p[4] = { 2, 0, 3, 1 };
              return permute(r[0], p);
          } });
    add({ "transpose", { P(5, 3, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_cont(c, tevo_transpose(c, t[0])); },
          [](const Refs & r) {
              const int p[4] = { 1, 0, 2, 3 };
              return permute(r[0], p);
          } });
    add({ "get_rows", { P(5, 7), { TEVO_TYPE_I32, { 4, 1, 1, 1 }, 0, 0, false } },
          [](tevo_context * c, Tensors & t) { return tevo_get_rows(c, t[0], t[1]); },
          [](const Refs & r) {
              DT o(5, 4);
              o.each([&](int64_t i0, int64_t i1, int64_t, int64_t) { o.at(i0, i1) = r[0].at(i0, (int64_t) r[1].at(i1)); });
              return o;
          },
          [](Tensors & t) {
              const int32_t ids[4] = { 3, 0, 3, 6 }; // row 3 twice
              memcpy(t[1]->data, ids, sizeof(ids));
          } });

    // softmax and masks
    add({ "diag_mask_inf + soft_max", { P(6, 4, 2, 1, -2.0f, 2.0f) },
          [](tevo_context * c, Tensors & t) { return tevo_soft_max(c, tevo_diag_mask_inf(c, t[0], 1)); },
          [](const Refs & r) {
              const DT m = diag_mask(r[0], 1, -INFINITY);
              return rows(m, 6, [](const double * x, double * y) { softmax_row(x, y, 6); });
          } });
    add({ "soft_max_ext with mask and scale", { P(6, 4, 2, 1, -2.0f, 2.0f), C(6, 4, 1, 1, -1.0f, 1.0f) },
          [](tevo_context * c, Tensors & t) { return tevo_soft_max_ext(c, t[0], t[1], 0.7f, 0.0f); },
          [](const Refs & r) {
              DT z = r[0];
              z.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                  z.at(i0, i1, i2, i3) = 0.7 * r[0].at(i0, i1, i2, i3) + r[1].at(i0, i1);
              });
              return rows(z, 6, [](const double * x, double * y) { softmax_row(x, y, 6); });
          } });
    add({ "diag_mask_zero", { P(5, 5) }, [](tevo_context * c, Tensors & t) { return tevo_diag_mask_zero(c, t[0], 0); },
          [](const Refs & r) { return diag_mask(r[0], 0, 0.0); } });
    add({ "cross_entropy_loss", { P(7, 4, 1, 1, -2.0f, 2.0f), C(7, 4, 1, 1, 0.0f, 1.0f) },
          [](tevo_context * c, Tensors & t) { return tevo_cross_entropy_loss(c, t[0], t[1]); },
          [](const Refs & r) {
              DT            o(1);
              const int64_t n = r[0].ne[0];
              for (int64_t row = 0; row < r[0].ne[1]; ++row) {
                  std::vector<double> sm(n);
                  softmax_row(&r[0].v[(size_t) (row * n)], sm.data(), n);
                  for (int64_t i = 0; i < n; ++i) o.v[0] -= r[1].at(i, row) * log(sm[i]);
              }
              o.v[0] /= (double) r[0].ne[1];
              return o;
          },
          [](Tensors & t) {
              // target rows that sum to 1
              for (int64_t row = 0; row < 4; ++row) {
                  float * p = (float *) ((char *) t[1]->data + row * t[1]->nb[1]);
                  float   s = 0;
                  for (int i = 0; i < 7; ++i) s += p[i];
                  for (int i = 0; i < 7; ++i) p[i] /= s;
              }
          } });

    // patches of a 1-d signal: kernel width 3 (a constant), stride 2, padding 1
    add({ "im2col", { C(3, 2), P(8, 2, 2) },
          [](tevo_context * c, Tensors & t) { return tevo_im2col(c, t[0], t[1], 2, 0, 1, 0, 1, 0, false, TEVO_TYPE_F32); },
          [](const Refs & r) {
              const int64_t K = 3, IC = 2, IW = 8, N = 2, OW = (IW + 2 - K) / 2 + 1;
              DT            o(IC * K, OW, N);
              o.each([&](int64_t col, int64_t iow, int64_t in, int64_t) {
                  const int64_t iic = col / K, ik = col % K, iw = iow * 2 + ik - 1;
                  o.at(col, iow, in) = iw >= 0 && iw < IW ? r[1].at(iw, iic, in) : 0.0;
              });
              return o;
          } });

    // a tensor used by two nodes, and twice by one
    add({ "sin(x) * x", { P(6, 3, 1, 1, -2.0f, 2.0f) },
          [](tevo_context * c, Tensors & t) { return tevo_mul(c, tevo_sin(c, t[0]), t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return sin(x) * x; }); } });
    add({ "x + x", { P(6, 3) }, [](tevo_context * c, Tensors & t) { return tevo_add(c, t[0], t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return 2 * x; }); } });
    add({ "x * x", { P(6, 3) }, [](tevo_context * c, Tensors & t) { return tevo_mul(c, t[0], t[0]); },
          [](const Refs & r) { return unary(r[0], [](double x) { return x * x; }); } });
    add({ "cont", { P(5, 3, 2) }, [](tevo_context * c, Tensors & t) { return tevo_cont(c, t[0]); },
          [](const Refs & r) { return r[0]; } });
    add({ "repeat of sum_rows", { P(5, 4, 3) },
          [](tevo_context * c, Tensors & t) { return tevo_repeat(c, tevo_sum_rows(c, t[0]), t[0]); },
          [](const Refs & r) {
              const DT s = rows(r[0], 1, [&](const double * x, double * y) {
                  y[0] = 0;
                  for (int64_t i = 0; i < r[0].ne[0]; ++i) y[0] += x[i];
              });
              return repeat(s, r[0].ne);
          } });

    // rows of one element in dimension 1: a transposed gradient of these is
    // packed but its second stride is that of an extent of 1
    for (const auto & sh : std::vector<std::array<int64_t, 2>>{ { 3, 3 }, { 5, 2 }, { 6, 4 } }) {
        const int64_t n0 = sh[0], n2 = sh[1];
        add({ "soft_max of single rows", { P(n0, 1, n2, 1, -2.0f, 2.0f) },
              [](tevo_context * c, Tensors & t) { return tevo_soft_max(c, t[0]); },
              [n0](const Refs & r) { return rows(r[0], n0, [n0](const double * x, double * y) { softmax_row(x, y, n0); }); } });
        add({ "soft_max_ext of single rows", { P(n0, 1, n2, 1, -2.0f, 2.0f), C(n0, 1) },
              [](tevo_context * c, Tensors & t) { return tevo_soft_max_ext(c, t[0], t[1], 0.7f, 0.0f); },
              [n0](const Refs & r) {
                  DT z = r[0];
                  z.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                      z.at(i0, i1, i2, i3) = 0.7 * r[0].at(i0, i1, i2, i3) + r[1].at(i0);
                  });
                  return rows(z, n0, [n0](const double * x, double * y) { softmax_row(x, y, n0); });
              } });
    }

    // rotary embedding, pairs mode: 6 of 8 dimensions rotated, 2 heads, 3 positions
    add({ "rope", { P(8, 2, 3, 1, -2.0f, 2.0f), { TEVO_TYPE_I32, { 3, 1, 1, 1 }, 0, 0, false } },
          [](tevo_context * c, Tensors & t) {
              return tevo_rope_ext(c, t[0], t[1], nullptr, 6, 0, 512, 10000.0f, 0.5f, 0.0f, 1.2f, 32.0f, 1.0f);
          },
          [](const Refs & r) {
              DT o = r[0];
              for (int64_t i2 = 0; i2 < 3; ++i2)
                  for (int64_t i1 = 0; i1 < 2; ++i1)
                      for (int64_t k = 0; k < 3; ++k) {
                          const double th = 0.5 * r[1].at(i2) * pow(10000.0, -2.0 * (double) k / 6.0);
                          const double x0 = r[0].at(2 * k, i1, i2), x1 = r[0].at(2 * k + 1, i1, i2);
                          o.at(2 * k, i1, i2)     = 1.2 * (x0 * cos(th) - x1 * sin(th));
                          o.at(2 * k + 1, i1, i2) = 1.2 * (x0 * sin(th) + x1 * cos(th));
                      }
              return o;
          },
          [](Tensors & t) {
              const int32_t pos[3] = { 0, 5, 11 };
              memcpy(t[1]->data, pos, sizeof(pos));
          } });
    return cs;
}

// ---------------------------------------------------------------------------
// running one case

// what the loss sees of the operator's result
enum class Layout { plain, transposed, permuted };

const char * layout_name(Layout l) {
    return l == Layout::plain ? "plain" : l == Layout::transposed ? "cont(transpose)" : "cont(permute)";
}

// dimension i goes to axis PERM[i]
const int PERM[4]      = { 2, 0, 3, 1 };
const int TRANSPOSE[4] = { 1, 0, 2, 3 };

tevo_tensor * apply_layout(tevo_context * ctx, tevo_tensor * t, Layout l) {
    switch (l) {
        case Layout::transposed: return tevo_cont(ctx, tevo_transpose(ctx, t));
        case Layout::permuted:   return tevo_cont(ctx, tevo_permute(ctx, t, PERM[0], PERM[1], PERM[2], PERM[3]));
        default:                 return t;
    }
}

DT apply_layout(const DT & d, Layout l) {
    switch (l) {
        case Layout::transposed: return permute(d, TRANSPOSE);
        case Layout::permuted:   return permute(d, PERM);
        default:                 return d;
    }
}

struct Built {
    Tensors       in;
    tevo_tensor * out  = nullptr;
    tevo_tensor * r    = nullptr;
    tevo_tensor * loss = nullptr;
    tevo_cgraph * gf   = nullptr;
};

Built build_case(tevo_context * ctx, const RuleCase & rc, std::mt19937 & rng, tevo_tensor ** accs_for_params,
                 Layout layout = Layout::plain) {
    Built b;
    for (const Input & in : rc.inputs) {
        tevo_tensor * t = tevo_new_tensor(ctx, in.type, 4, in.ne);
        if (in.type == TEVO_TYPE_I32) {
            memset(t->data, 0, tevo_nbytes(t));
        } else {
            fill(t, rng, in.lo, in.hi);
            if (in.away_from_zero) {
                std::bernoulli_distribution coin(0.5);
                for_each(t, [&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
                    if (coin(rng)) set(t, -get(t, i0, i1, i2, i3), i0, i1, i2, i3);
                });
            }
        }
        if (in.param) {
            tevo_set_param(t);
        }
        b.in.push_back(t);
    }
    if (rc.init) {
        rc.init(b.in);
    }
    b.out = apply_layout(ctx, rc.build(ctx, b.in), layout);
    b.r   = tevo_new_tensor(ctx, TEVO_TYPE_F32, 4, b.out->ne);
    fill(b.r, rng);
    b.loss = tevo_sum(ctx, tevo_mul(ctx, b.out, b.r));
    tevo_set_loss(b.loss);

    b.gf = tevo_new_graph_custom(ctx, 1024, true);
    tevo_build_forward_expand(b.gf, b.loss);

    std::vector<tevo_tensor *> accs;
    if (accs_for_params) {
        accs.assign((size_t) b.gf->n_nodes, nullptr);
        for (int i = 0; i < b.gf->n_nodes; ++i) {
            for (size_t k = 0; k < b.in.size(); ++k) {
                if (b.gf->nodes[i] == b.in[k] && rc.inputs[k].param) {
                    accs[(size_t) i] = accs_for_params[k];
                }
            }
        }
    }
    tevo_build_backward_expand(ctx, b.gf, accs_for_params ? accs.data() : nullptr);
    return b;
}

// loss = Σ r ⊙ layout(ref(inputs)) in double
double ref_loss(const RuleCase & rc, Layout layout, const Refs & refs, const DT & r) {
    const DT o = apply_layout(rc.ref(refs), layout);
    EXPECT_EQ(o.v.size(), r.v.size());
    double s = 0.0;
    for (size_t i = 0; i < o.v.size() && i < r.v.size(); ++i) s += o.v[i] * r.v[i];
    return s;
}

// every parameter's gradient against central differences of the reference
void check_gradients(const RuleCase & rc, const Built & b, const tevo_cgraph * gf, Layout layout = Layout::plain) {
    Refs refs;
    for (tevo_tensor * t : b.in) refs.push_back(from_tensor(t));
    const DT r = from_tensor(b.r);

    const double want_loss = ref_loss(rc, layout, refs, r);
    EXPECT_NEAR(((const float *) b.loss->data)[0], want_loss, 1e-4 * (1.0 + fabs(want_loss))) << "loss";

    for (size_t k = 0; k < b.in.size(); ++k) {
        if (!rc.inputs[k].param) {
            EXPECT_EQ(tevo_graph_get_grad(gf, b.in[k]), nullptr) << "input " << k << " is a constant";
            continue;
        }
        const tevo_tensor * g = tevo_graph_get_grad(gf, b.in[k]);
        ASSERT_NE(g, nullptr) << "input " << k;
        ASSERT_TRUE(tevo_are_same_shape(g, b.in[k]));
        DT &   x = refs[k];
        size_t e = 0;
        x.each([&](int64_t i0, int64_t i1, int64_t i2, int64_t i3) {
            double &     xv = x.at(i0, i1, i2, i3);
            const double x0 = xv, h = 1e-4 * std::max(1.0, fabs(x0));
            xv              = x0 + h;
            const double lp = ref_loss(rc, layout, refs, r);
            xv              = x0 - h;
            const double lm = ref_loss(rc, layout, refs, r);
            xv              = x0;
            const double fd = (lp - lm) / (2 * h);
            const float  an = get(g, i0, i1, i2, i3);
            if (e++ < 10000) {
                EXPECT_NEAR(an, fd, 1e-3 * (1.0 + fabs(fd)))
                    << "input " << k << " at " << i0 << "," << i1 << "," << i2 << "," << i3;
            }
        });
    }
}

TEST(Autodiff, EveryRuleMatchesFiniteDifferencesInEveryLayout) {
    for (const RuleCase & rc : rule_cases()) {
        for (Layout layout : { Layout::plain, Layout::transposed, Layout::permuted }) {
            for (int nth : { 1, 4 }) {
                SCOPED_TRACE(testing::Message() << rc.name << " " << layout_name(layout) << " nth " << nth);
                Ctx          c(16);
                std::mt19937 rng(1234);
                Built        b = build_case(c.ctx, rc, rng, nullptr, layout);
                tevo_graph_reset(b.gf);
                ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, b.gf, nth), TEVO_STATUS_SUCCESS);
                check_gradients(rc, b, b.gf, layout);
                if (HasFailure()) {
                    return;
                }
            }
        }
    }
}

// Parameters with accumulators: contributions go in place into them, several
// runs add up, and the reset clears them.
TEST(Autodiff, AccumulatorsCollectAndResetClears) {
    const RuleCase rc = { "sin(x) * x + y·x", { P(6, 3, 1, 1, -2.0f, 2.0f), P(6, 3) },
                          [](tevo_context * c, Tensors & t) {
                              return tevo_add(c, tevo_mul(c, tevo_sin(c, t[0]), t[0]), tevo_mul(c, t[1], t[0]));
                          },
                          [](const Refs & r) {
                              return binary(r[0], r[1], [](double x, double y) { return sin(x) * x + y * x; });
                          } };
    for (int nth : { 1, 4 }) {
        Ctx           c(16);
        std::mt19937  rng(99);
        tevo_tensor * accs[2] = { tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 3), tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 3) };
        Built         b       = build_case(c.ctx, rc, rng, accs);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(tevo_graph_get_grad_acc(b.gf, b.in[(size_t) k]), accs[k]);
            // the gradient is the last in-place addition into the accumulator
            const tevo_tensor * g = tevo_graph_get_grad(b.gf, b.in[(size_t) k]);
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(g->view_src, accs[k]);
        }
        // garbage in the accumulators is cleared by the reset
        memset(accs[0]->data, 0x55, tevo_nbytes(accs[0]));
        tevo_graph_reset(b.gf);
        ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, b.gf, nth), TEVO_STATUS_SUCCESS);
        check_gradients(rc, b, b.gf);
        std::vector<float> once(18);
        memcpy(once.data(), accs[0]->data, sizeof(float) * 18);

        // a second run without reset adds the same gradient again
        ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, b.gf, nth), TEVO_STATUS_SUCCESS);
        for (int i = 0; i < 18; ++i) {
            EXPECT_NEAR(((float *) accs[0]->data)[i], 2 * once[(size_t) i], 1e-5 * (1 + fabs(once[(size_t) i])));
        }
        tevo_graph_reset(b.gf);
        ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, b.gf, nth), TEVO_STATUS_SUCCESS);
        for (int i = 0; i < 18; ++i) {
            EXPECT_EQ(((float *) accs[0]->data)[i], once[(size_t) i]);
        }
    }
}

// A parameter used as cont(transpose(W)), as attention uses its weights:
// its gradient reaches SGD and AdamW steps, which move W by the analytic
// gradient. A W of one row makes the transposed gradient look contiguous
// while its element stride is not that of a float.
TEST(Autodiff, OptimiserStepsOnAParameterUsedTransposed) {
    const float alpha = 0.05f, beta1 = 0.9f, beta2 = 0.999f, eps = 1e-8f;
    for (const bool adamw : { false, true }) {
        for (const auto & ne : std::vector<std::array<int64_t, 2>>{ { 4, 3 }, { 1, 5 } }) {
            for (int nth : { 1, 4 }) {
                SCOPED_TRACE(testing::Message() << (adamw ? "adamw" : "sgd") << " " << ne[0] << "x" << ne[1]
                                                << " nth " << nth);
                Ctx           c(16);
                std::mt19937  rng(7);
                tevo_tensor * w = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne[0], ne[1]);
                tevo_set_param(w);
                fill(w, rng, -2.0f, 2.0f);
                tevo_tensor * r = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne[1], ne[0]);
                fill(r, rng);
                tevo_tensor * wt   = tevo_cont(c.ctx, tevo_transpose(c.ctx, w));
                tevo_tensor * loss = tevo_sum(c.ctx, tevo_mul(c.ctx, tevo_sin(c.ctx, wt), r));
                tevo_set_loss(loss);
                tevo_cgraph * gf = tevo_new_graph_custom(c.ctx, 256, true);
                tevo_build_forward_expand(gf, loss);
                tevo_build_backward_expand(c.ctx, gf, nullptr);
                tevo_tensor * g = tevo_graph_get_grad(gf, w);
                ASSERT_NE(g, nullptr);

                tevo_tensor * step;
                if (adamw) {
                    tevo_tensor * m  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne[0], ne[1]);
                    tevo_tensor * v  = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, ne[0], ne[1]);
                    tevo_tensor * hp = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 7);
                    const float   p[7] = { alpha, beta1, beta2, eps, 0.0f, 1.0f / (1.0f - beta1), 1.0f / (1.0f - beta2) };
                    memcpy(hp->data, p, sizeof(p));
                    step = tevo_opt_step_adamw(c.ctx, w, g, m, v, hp);
                } else {
                    tevo_tensor * hp = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 2);
                    const float   p[2] = { alpha, 0.0f };
                    memcpy(hp->data, p, sizeof(p));
                    step = tevo_opt_step_sgd(c.ctx, w, g, hp);
                }
                tevo_build_forward_expand(gf, step);

                const DT w0 = from_tensor(w);
                const DT r0 = from_tensor(r);
                tevo_graph_reset(gf);
                ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, gf, nth), TEVO_STATUS_SUCCESS);

                for_each(w, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
                    const double gr = r0.at(i1, i0) * cos(w0.at(i0, i1));
                    EXPECT_NEAR(get(g, i0, i1), gr, 1e-5) << i0 << "," << i1;
                    // first AdamW step with bias-corrected moments: alpha · g / (|g| + eps)
                    const double dw   = adamw ? alpha * gr / (fabs(gr) + eps) : alpha * gr;
                    EXPECT_NEAR(get(w, i0, i1), w0.at(i0, i1) - dw, 1e-4) << i0 << "," << i1;
                });
            }
        }
    }
}

// A view of scores that hold -inf outside the window: the source's gradient
// is 0 there, not 0 × inf.
TEST(Autodiff, ViewOfASourceWithInfinities) {
    Ctx           c(16);
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 6, 4);
    tevo_set_param(x);
    std::mt19937 rng(5);
    fill(x, rng);
    for (int64_t i1 = 0; i1 < 4; ++i1) {
        set(x, -INFINITY, 5, i1); // the last column is masked
    }
    tevo_tensor * v    = tevo_view_2d(c.ctx, x, 5, 4, x->nb[1], 0);
    tevo_tensor * r    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 4);
    fill(r, rng);
    tevo_tensor * loss = tevo_sum(c.ctx, tevo_mul(c.ctx, tevo_cont(c.ctx, v), r));
    tevo_set_loss(loss);
    tevo_cgraph * gf = tevo_new_graph_custom(c.ctx, 256, true);
    tevo_build_forward_expand(gf, loss);
    tevo_build_backward_expand(c.ctx, gf, nullptr);
    tevo_graph_reset(gf);
    ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, gf, 2), TEVO_STATUS_SUCCESS);
    const tevo_tensor * g = tevo_graph_get_grad(gf, x);
    for_each(g, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
        const float want = i0 == 5 ? 0.0f : get(r, i0, i1);
        EXPECT_EQ(get(g, i0, i1), want) << i0 << "," << i1;
    });
}

// A half-precision parameter seen through a view: the gradient is F32 with
// the window converted to float elements.
TEST(Autodiff, ViewOfAHalfParameter) {
    Ctx           c(16);
    tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F16, 6, 4);
    tevo_set_param(x);
    std::mt19937 rng(6);
    fill(x, rng);
    // rows 1 and 2, columns 2 to 4
    tevo_tensor * v    = tevo_view_2d(c.ctx, x, 3, 2, x->nb[1], x->nb[1] + 2 * sizeof(tevo_fp16_t));
    tevo_tensor * r    = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 3, 2);
    fill(r, rng);
    tevo_tensor * loss = tevo_sum(c.ctx, tevo_mul(c.ctx, tevo_cast(c.ctx, v, TEVO_TYPE_F32), r));
    tevo_set_loss(loss);
    tevo_cgraph * gf = tevo_new_graph_custom(c.ctx, 256, true);
    tevo_build_forward_expand(gf, loss);
    tevo_build_backward_expand(c.ctx, gf, nullptr);
    tevo_graph_reset(gf);
    ASSERT_EQ(tevo_graph_compute_with_ctx(c.ctx, gf, 1), TEVO_STATUS_SUCCESS);
    const tevo_tensor * g = tevo_graph_get_grad(gf, x);
    ASSERT_EQ(g->type, TEVO_TYPE_F32);
    for_each(g, [&](int64_t i0, int64_t i1, int64_t, int64_t) {
        const bool  inside = i1 >= 1 && i1 <= 2 && i0 >= 2 && i0 <= 4;
        const float want   = inside ? get(r, i0 - 2, i1 - 1) : 0.0f;
        EXPECT_EQ(get(g, i0, i1), want) << i0 << "," << i1;
    });
}

// What the backward graph is made of in two small cases.
TEST(Autodiff, GraphShapes) {
    Ctx           c(4);
    tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
    tevo_set_param(x);
    tevo_tensor * sq   = tevo_sqr(c.ctx, x);
    tevo_tensor * loss = tevo_sum(c.ctx, sq);
    tevo_set_loss(loss);
    tevo_cgraph * gf = tevo_new_graph_custom(c.ctx, 64, true);
    tevo_build_forward_expand(gf, loss);
    tevo_build_backward_expand(c.ctx, gf, nullptr);

    // x's gradient: SCALE(MUL(x, g), 2) with g the broadcast loss gradient
    const tevo_tensor * gx = tevo_graph_get_grad(gf, x);
    ASSERT_NE(gx, nullptr);
    EXPECT_EQ(gx->op, TEVO_OP_SCALE);
    EXPECT_EQ(tevo_get_op_params_f32(gx, 0), 2.0f);
    ASSERT_EQ(gx->src[0]->op, TEVO_OP_MUL);
    EXPECT_EQ(gx->src[0]->src[0], x);
    const tevo_tensor * gsq = tevo_graph_get_grad(gf, sq);
    EXPECT_EQ(gx->src[0]->src[1], gsq);
    EXPECT_EQ(gsq->op, TEVO_OP_REPEAT);
    EXPECT_EQ(gsq->src[0], tevo_graph_get_grad_acc(gf, loss));
    EXPECT_STREQ(gx->name, (std::string("grad for ") + x->name).c_str());

    // row indices never get gradients
    tevo_tensor * w   = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 4, 3);
    tevo_tensor * ids = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 2);
    tevo_set_param(w);
    tevo_tensor * l2 = tevo_sum(c.ctx, tevo_get_rows(c.ctx, w, ids));
    tevo_set_loss(l2);
    tevo_cgraph * g2 = tevo_new_graph_custom(c.ctx, 64, true);
    tevo_build_forward_expand(g2, l2);
    tevo_build_backward_expand(c.ctx, g2, nullptr);
    EXPECT_EQ(tevo_graph_get_grad(g2, ids), nullptr);
    ASSERT_NE(tevo_graph_get_grad(g2, w), nullptr);
    EXPECT_EQ(tevo_graph_get_grad(g2, w)->op, TEVO_OP_GET_ROWS_BACK);
}

// Rotary embedding and pooling: their rules build the backward operators
// with every parameter of the forward node (computing them needs their CPU
// kernels).
TEST(Autodiff, RotaryAndPoolingRulesCarryTheirParameters) {
    Ctx           c(4);
    tevo_tensor * x   = tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 8, 2, 3);
    tevo_tensor * pos = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_I32, 3);
    tevo_set_param(x);
    tevo_tensor * r = tevo_rope_ext(c.ctx, x, pos, nullptr, 8, 0, 512, 10000.0f, 0.5f, 0.1f, 1.2f, 32.0f, 1.0f);
    tevo_rope_set_offset(r, 2);
    tevo_tensor * p    = tevo_pool_2d(c.ctx, tevo_new_tensor_3d(c.ctx, TEVO_TYPE_F32, 6, 6, 2), TEVO_OP_POOL_AVG, 2, 2,
                                      2, 2, 1.0f, 0.0f);
    tevo_set_param(p->src[0]);
    tevo_tensor * loss = tevo_add(c.ctx, tevo_sum(c.ctx, r), tevo_sum(c.ctx, p));
    tevo_set_loss(loss);
    tevo_cgraph * gf = tevo_new_graph_custom(c.ctx, 128, true);
    tevo_build_forward_expand(gf, loss);
    tevo_build_backward_expand(c.ctx, gf, nullptr);

    const tevo_tensor * gx = tevo_graph_get_grad(gf, x);
    ASSERT_NE(gx, nullptr);
    EXPECT_EQ(gx->op, TEVO_OP_ROPE_BACK);
    EXPECT_EQ(gx->src[1], pos);
    for (int w = 0; w < 16; ++w) {
        EXPECT_EQ(gx->op_params[w], r->op_params[w]) << "word " << w;
    }
    EXPECT_EQ(tevo_graph_get_grad(gf, pos), nullptr);

    const tevo_tensor * gp = tevo_graph_get_grad(gf, p->src[0]);
    ASSERT_NE(gp, nullptr);
    EXPECT_EQ(gp->op, TEVO_OP_POOL_2D_BACK);
    EXPECT_EQ(gp->src[1], p->src[0]);
    for (int w = 0; w < 7; ++w) {
        EXPECT_EQ(gp->op_params[w], p->op_params[w]) << "word " << w;
    }
}

TEST(AutodiffDeathTest, Refusals) {
    death_setup();
    auto graph = [](tevo_context * ctx, tevo_tensor * out) {
        tevo_cgraph * gf = tevo_new_graph_custom(ctx, 64, true);
        tevo_build_forward_expand(gf, out);
        return gf;
    };
    {
        Ctx           c(4);
        tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
        tevo_set_param(x);
        tevo_cgraph * gf = graph(c.ctx, tevo_sum(c.ctx, tevo_sqr(c.ctx, x)));
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr), "no training loss found");
    }
    {
        Ctx           c(4);
        tevo_tensor * x    = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
        tevo_tensor * loss = tevo_sum(c.ctx, tevo_sqr(c.ctx, x));
        tevo_set_loss(loss);
        tevo_cgraph * gf = graph(c.ctx, loss);
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr), "no trainable parameters found");
    }
    {
        // an operator without a rule
        Ctx           c(4);
        tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
        tevo_set_param(x);
        tevo_tensor * loss = tevo_sum(c.ctx, tevo_leaky_relu(c.ctx, x, 0.1f, false));
        tevo_set_loss(loss);
        tevo_cgraph * gf = graph(c.ctx, loss);
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr),
                     "tevo_compute_backward: unsupported tevo op for backward pass: LEAKY_RELU");
    }
    {
        // an in-place result has no rule
        Ctx           c(4);
        tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
        tevo_set_param(x);
        tevo_tensor * loss = tevo_sum(c.ctx, tevo_sqr_inplace(c.ctx, tevo_scale(c.ctx, x, 2.0f)));
        tevo_set_loss(loss);
        tevo_cgraph * gf = graph(c.ctx, loss);
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr), "!node->view_src");
    }
    {
        // the labels of the loss
        Ctx           c(4);
        tevo_tensor * x = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 2);
        tevo_tensor * y = tevo_new_tensor_2d(c.ctx, TEVO_TYPE_F32, 5, 2);
        tevo_set_param(x);
        tevo_set_param(y);
        tevo_tensor * loss = tevo_cross_entropy_loss(c.ctx, x, y);
        tevo_set_loss(loss);
        tevo_cgraph * gf = graph(c.ctx, loss);
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr), "backward pass for labels not implemented");
    }
    {
        // a gradient array is needed
        Ctx           c(4);
        tevo_tensor * x = tevo_new_tensor_1d(c.ctx, TEVO_TYPE_F32, 5);
        tevo_set_param(x);
        tevo_cgraph * gf = tevo_new_graph(c.ctx);
        tevo_build_forward_expand(gf, tevo_sum(c.ctx, x));
        EXPECT_DEATH(tevo_build_backward_expand(c.ctx, gf, nullptr), "cgraph->grads");
    }
}

} // namespace
