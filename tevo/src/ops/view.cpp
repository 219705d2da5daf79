#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Graph constructors that move data without arithmetic (window writes,
// converting copies, packed copies) and those that only reinterpret it
// (reshape, view, permute, transpose). The reinterpreting ones are views:
// they share their root's storage and carry their own extents and strides.

#include "core/impl.h"

// ---------------------------------------------------------------------------
// window writes

static struct tevo_tensor * tevo_set_impl(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                          size_t nb1, size_t nb2, size_t nb3, size_t offset, bool inplace) {
    TEVO_ASSERT(tevo_nelements(a) >= tevo_nelements(b));
    // The kernel reads the strides back from 32-bit words: a value that does
    // not fit would silently address the wrong bytes.
    TEVO_ASSERT(nb1 <= INT32_MAX);
    TEVO_ASSERT(nb2 <= INT32_MAX);
    TEVO_ASSERT(nb3 <= INT32_MAX);

    struct tevo_tensor * result = inplace ? tevo_view_tensor(ctx, a) : tevo_dup_tensor(ctx, a);

    TEVO_ASSERT(offset < (size_t)(1 << 30));
    // the kernel trusts the window to lie inside a
    TEVO_ASSERT(tevo_window_fits(a, b, nb1, nb2, nb3, offset));

    const int32_t params[] = { (int32_t) nb1, (int32_t) nb2, (int32_t) nb3, (int32_t) offset, inplace ? 1 : 0 };
    tevo_set_op_params(result, params, sizeof(params));

    result->op     = TEVO_OP_SET;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

struct tevo_tensor * tevo_set(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, size_t nb1,
                              size_t nb2, size_t nb3, size_t offset) {
    return tevo_set_impl(ctx, a, b, nb1, nb2, nb3, offset, false);
}

struct tevo_tensor * tevo_set_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                      size_t nb1, size_t nb2, size_t nb3, size_t offset) {
    return tevo_set_impl(ctx, a, b, nb1, nb2, nb3, offset, true);
}

struct tevo_tensor * tevo_set_1d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                 size_t offset) {
    return tevo_set_impl(ctx, a, b, a->nb[1], a->nb[2], a->nb[3], offset, false);
}

struct tevo_tensor * tevo_set_1d_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                         size_t offset) {
    return tevo_set_impl(ctx, a, b, a->nb[1], a->nb[2], a->nb[3], offset, true);
}

struct tevo_tensor * tevo_set_2d(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b, size_t nb1,
                                 size_t offset) {
    return tevo_set_impl(ctx, a, b, nb1, a->nb[2], a->nb[3], offset, false);
}

struct tevo_tensor * tevo_set_2d_inplace(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b,
                                         size_t nb1, size_t offset) {
    return tevo_set_impl(ctx, a, b, nb1, a->nb[2], a->nb[3], offset, true);
}

// ---------------------------------------------------------------------------
// copies

// The node is a view of b: computing it writes b's storage.
struct tevo_tensor * tevo_cpy(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_nelements(a) == tevo_nelements(b));

    struct tevo_tensor * result = tevo_view_tensor(ctx, b);
    if (b->name[0] != '\0') {
        tevo_format_name(result, "%s (copy of %s)", b->name, a->name);
    } else {
        tevo_format_name(result, "%s (copy)", a->name);
    }

    result->op     = TEVO_OP_CPY;
    result->src[0] = a;
    result->src[1] = b;
    return result;
}

// The result is its own destination source, so the copy kernel serves both
// this node and tevo_cpy.
struct tevo_tensor * tevo_cast(struct tevo_context * ctx, struct tevo_tensor * a, enum tevo_type type) {
    struct tevo_tensor * result = tevo_new_tensor(ctx, type, TEVO_MAX_DIMS, a->ne);
    tevo_format_name(result, "%s (copy)", a->name);

    result->op     = TEVO_OP_CPY;
    result->src[0] = a;
    result->src[1] = result;
    return result;
}

static struct tevo_tensor * tevo_cont_node(struct tevo_context * ctx, struct tevo_tensor * a, const int64_t * ne) {
    struct tevo_tensor * result = tevo_new_tensor(ctx, a->type, TEVO_MAX_DIMS, ne);
    tevo_format_name(result, "%s (cont)", a->name);

    result->op     = TEVO_OP_CONT;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_cont(struct tevo_context * ctx, struct tevo_tensor * a) {
    return tevo_cont_node(ctx, a, a->ne);
}

struct tevo_tensor * tevo_cont_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                  int64_t ne2, int64_t ne3) {
    TEVO_ASSERT(tevo_nelements(a) == (ne0*ne1*ne2*ne3));

    const int64_t ne[TEVO_MAX_DIMS] = { ne0, ne1, ne2, ne3 };
    return tevo_cont_node(ctx, a, ne);
}

struct tevo_tensor * tevo_cont_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0) {
    return tevo_cont_4d(ctx, a, ne0, 1, 1, 1);
}

struct tevo_tensor * tevo_cont_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1) {
    return tevo_cont_4d(ctx, a, ne0, ne1, 1, 1);
}

struct tevo_tensor * tevo_cont_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                  int64_t ne2) {
    return tevo_cont_4d(ctx, a, ne0, ne1, ne2, 1);
}

// ---------------------------------------------------------------------------
// reshapes: packed views of a contiguous source at offset 0

static struct tevo_tensor * tevo_reshape_node(struct tevo_context * ctx, struct tevo_tensor * a, int n_dims,
                                              const int64_t * ne) {
    struct tevo_tensor * result = tevo_new_tensor_impl(ctx, a->type, n_dims, ne, a, 0);
    tevo_format_name(result, "%s (reshaped)", a->name);

    result->op     = TEVO_OP_RESHAPE;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_reshape(struct tevo_context * ctx, struct tevo_tensor * a, struct tevo_tensor * b) {
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_nelements(a) == tevo_nelements(b));
    return tevo_reshape_node(ctx, a, TEVO_MAX_DIMS, b->ne);
}

struct tevo_tensor * tevo_reshape_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0) {
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_nelements(a) == ne0);

    const int64_t ne[1] = { ne0 };
    return tevo_reshape_node(ctx, a, 1, ne);
}

struct tevo_tensor * tevo_reshape_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1) {
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_nelements(a) == ne0*ne1);

    const int64_t ne[2] = { ne0, ne1 };
    return tevo_reshape_node(ctx, a, 2, ne);
}

struct tevo_tensor * tevo_reshape_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                     int64_t ne2) {
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_nelements(a) == ne0*ne1*ne2);

    const int64_t ne[3] = { ne0, ne1, ne2 };
    return tevo_reshape_node(ctx, a, 3, ne);
}

struct tevo_tensor * tevo_reshape_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                     int64_t ne2, int64_t ne3) {
    TEVO_ASSERT(tevo_is_contiguous(a));
    TEVO_ASSERT(tevo_nelements(a) == ne0*ne1*ne2*ne3);

    const int64_t ne[4] = { ne0, ne1, ne2, ne3 };
    return tevo_reshape_node(ctx, a, 4, ne);
}

// ---------------------------------------------------------------------------
// views at a byte offset; record creation checks the packed size fits, and
// the views with their own strides check the bytes those strides reach

static struct tevo_tensor * tevo_view_impl(struct tevo_context * ctx, struct tevo_tensor * a, int n_dims,
                                           const int64_t * ne, size_t offset) {
    struct tevo_tensor * result = tevo_new_tensor_impl(ctx, a->type, n_dims, ne, a, offset);
    tevo_format_name(result, "%s (view)", a->name);

    tevo_set_op_params_u64(result, 0, (uint64_t) offset);

    result->op     = TEVO_OP_VIEW;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_view_1d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, size_t offset) {
    const int64_t ne[1] = { ne0 };
    return tevo_view_impl(ctx, a, 1, ne, offset);
}

struct tevo_tensor * tevo_view_2d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                  size_t nb1, size_t offset) {
    const int64_t ne[2] = { ne0, ne1 };
    struct tevo_tensor * result = tevo_view_impl(ctx, a, 2, ne, offset);

    result->nb[1] = nb1;
    result->nb[2] = result->nb[1] * ne1;
    result->nb[3] = result->nb[2];
    TEVO_ASSERT(tevo_view_fits_root(result));
    return result;
}

struct tevo_tensor * tevo_view_3d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                  int64_t ne2, size_t nb1, size_t nb2, size_t offset) {
    const int64_t ne[3] = { ne0, ne1, ne2 };
    struct tevo_tensor * result = tevo_view_impl(ctx, a, 3, ne, offset);

    result->nb[1] = nb1;
    result->nb[2] = nb2;
    result->nb[3] = result->nb[2] * ne2;
    TEVO_ASSERT(tevo_view_fits_root(result));
    return result;
}

struct tevo_tensor * tevo_view_4d(struct tevo_context * ctx, struct tevo_tensor * a, int64_t ne0, int64_t ne1,
                                  int64_t ne2, int64_t ne3, size_t nb1, size_t nb2, size_t nb3, size_t offset) {
    const int64_t ne[4] = { ne0, ne1, ne2, ne3 };
    struct tevo_tensor * result = tevo_view_impl(ctx, a, 4, ne, offset);

    result->nb[1] = nb1;
    result->nb[2] = nb2;
    result->nb[3] = nb3;
    TEVO_ASSERT(tevo_view_fits_root(result));
    return result;
}

// ---------------------------------------------------------------------------
// permute and transpose: rearranged extents and strides of a whole-tensor view

struct tevo_tensor * tevo_permute(struct tevo_context * ctx, struct tevo_tensor * a, int axis0, int axis1, int axis2,
                                  int axis3) {
    TEVO_ASSERT(axis0 >= 0 && axis0 < TEVO_MAX_DIMS);
    TEVO_ASSERT(axis1 >= 0 && axis1 < TEVO_MAX_DIMS);
    TEVO_ASSERT(axis2 >= 0 && axis2 < TEVO_MAX_DIMS);
    TEVO_ASSERT(axis3 >= 0 && axis3 < TEVO_MAX_DIMS);

    TEVO_ASSERT(axis0 != axis1);
    TEVO_ASSERT(axis0 != axis2);
    TEVO_ASSERT(axis0 != axis3);
    TEVO_ASSERT(axis1 != axis2);
    TEVO_ASSERT(axis1 != axis3);
    TEVO_ASSERT(axis2 != axis3);

    struct tevo_tensor * result = tevo_view_tensor(ctx, a);
    tevo_format_name(result, "%s (permuted)", a->name);

    // dimension i of a becomes dimension axis_i of the result
    const int axes[TEVO_MAX_DIMS] = { axis0, axis1, axis2, axis3 };
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        result->ne[axes[i]] = a->ne[i];
        result->nb[axes[i]] = a->nb[i];
    }

    result->op     = TEVO_OP_PERMUTE;
    result->src[0] = a;

    const int32_t params[] = { axis0, axis1, axis2, axis3 };
    tevo_set_op_params(result, params, sizeof(params));
    return result;
}

struct tevo_tensor * tevo_transpose(struct tevo_context * ctx, struct tevo_tensor * a) {
    struct tevo_tensor * result = tevo_view_tensor(ctx, a);
    tevo_format_name(result, "%s (transposed)", a->name);

    result->ne[0] = a->ne[1];
    result->ne[1] = a->ne[0];
    result->nb[0] = a->nb[1];
    result->nb[1] = a->nb[0];

    result->op     = TEVO_OP_TRANSPOSE;
    result->src[0] = a;
    return result;
}
