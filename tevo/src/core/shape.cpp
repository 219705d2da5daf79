#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Counts, sizes and layout predicates of a tensor.

#include "core/impl.h"

extern "C" {

int64_t tevo_nelements(const struct tevo_tensor * tensor) {
    return tensor->ne[0] * tensor->ne[1] * tensor->ne[2] * tensor->ne[3];
}

int64_t tevo_nrows(const struct tevo_tensor * tensor) {
    return tensor->ne[1] * tensor->ne[2] * tensor->ne[3];
}

size_t tevo_nbytes(const struct tevo_tensor * tensor) {
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        if (tensor->ne[i] <= 0) {
            return 0;
        }
    }
    size_t       nbytes;
    const size_t blck_size = tevo_blck_size(tensor->type);
    if (blck_size == 1) {
        nbytes = tevo_type_size(tensor->type);
        for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
            nbytes += (tensor->ne[i] - 1) * tensor->nb[i];
        }
    } else {
        nbytes = tensor->ne[0] * tensor->nb[0] / blck_size;
        for (int i = 1; i < TEVO_MAX_DIMS; ++i) {
            nbytes += (tensor->ne[i] - 1) * tensor->nb[i];
        }
    }
    return nbytes;
}

size_t tevo_nbytes_pad(const struct tevo_tensor * tensor) {
    return TEVO_PAD(tevo_nbytes(tensor), TEVO_MEM_ALIGN);
}

size_t tevo_element_size(const struct tevo_tensor * tensor) {
    return tevo_type_size(tensor->type);
}

int tevo_n_dims(const struct tevo_tensor * tensor) {
    for (int i = TEVO_MAX_DIMS - 1; i >= 1; --i) {
        if (tensor->ne[i] > 1) {
            return i + 1;
        }
    }
    return 1;
}

void tevo_unravel_index(const struct tevo_tensor * tensor, int64_t i, int64_t * i0, int64_t * i1, int64_t * i2,
                        int64_t * i3) {
    const int64_t ne2 = tensor->ne[2];
    const int64_t ne1 = tensor->ne[1];
    const int64_t ne0 = tensor->ne[0];

    const int64_t i3_ = (i / (ne2 * ne1 * ne0));
    const int64_t i2_ = (i - i3_ * ne2 * ne1 * ne0) / (ne1 * ne0);
    const int64_t i1_ = (i - i3_ * ne2 * ne1 * ne0 - i2_ * ne1 * ne0) / ne0;
    const int64_t i0_ = (i - i3_ * ne2 * ne1 * ne0 - i2_ * ne1 * ne0 - i1_ * ne0);

    if (i0) { *i0 = i0_; }
    if (i1) { *i1 = i1_; }
    if (i2) { *i2 = i2_; }
    if (i3) { *i3 = i3_; }
}

bool tevo_is_scalar(const struct tevo_tensor * tensor) {
    return tensor->ne[0] == 1 && tensor->ne[1] == 1 && tensor->ne[2] == 1 && tensor->ne[3] == 1;
}

bool tevo_is_vector(const struct tevo_tensor * tensor) {
    return tensor->ne[1] == 1 && tensor->ne[2] == 1 && tensor->ne[3] == 1;
}

bool tevo_is_matrix(const struct tevo_tensor * tensor) {
    return tensor->ne[2] == 1 && tensor->ne[3] == 1;
}

bool tevo_is_3d(const struct tevo_tensor * tensor) {
    return tensor->ne[3] == 1;
}

bool tevo_is_empty(const struct tevo_tensor * tensor) {
    for (int i = 0; i < TEVO_MAX_DIMS; ++i) {
        if (tensor->ne[i] == 0) {
            return true;
        }
    }
    return false;
}

bool tevo_is_transposed(const struct tevo_tensor * tensor) {
    return tensor->nb[0] > tensor->nb[1];
}

bool tevo_is_permuted(const struct tevo_tensor * tensor) {
    return tensor->nb[0] > tensor->nb[1] || tensor->nb[1] > tensor->nb[2] || tensor->nb[2] > tensor->nb[3];
}

bool tevo_is_view(const struct tevo_tensor * tensor) {
    return tensor->view_src != NULL;
}

bool tevo_are_same_shape(const struct tevo_tensor * t0, const struct tevo_tensor * t1) {
    return t0->ne[0] == t1->ne[0] && t0->ne[1] == t1->ne[1] && t0->ne[2] == t1->ne[2] && t0->ne[3] == t1->ne[3];
}

bool tevo_are_same_stride(const struct tevo_tensor * t0, const struct tevo_tensor * t1) {
    return t0->nb[0] == t1->nb[0] && t0->nb[1] == t1->nb[1] && t0->nb[2] == t1->nb[2] && t0->nb[3] == t1->nb[3];
}

bool tevo_can_repeat(const struct tevo_tensor * t0, const struct tevo_tensor * t1) {
    return tevo_is_empty(t0) ? tevo_is_empty(t1)
                             : (t1->ne[0] % t0->ne[0] == 0) && (t1->ne[1] % t0->ne[1] == 0) &&
                                   (t1->ne[2] % t0->ne[2] == 0) && (t1->ne[3] % t0->ne[3] == 0);
}

// The contiguity rule over dimensions 0 .. n-1: dimension 0 may have any
// stride when a row holds exactly one block.
static bool tevo_is_contiguous_n(const struct tevo_tensor * tensor, int n) {
    size_t next_nb = tevo_type_size(tensor->type);
    if (tensor->ne[0] != tevo_blck_size(tensor->type) && tensor->nb[0] != next_nb) {
        return false;
    }
    next_nb *= tensor->ne[0] / tevo_blck_size(tensor->type);
    for (int i = 1; i < n; i++) {
        if (tensor->ne[i] != 1 && tensor->nb[i] != next_nb) {
            return false;
        }
        next_nb *= tensor->ne[i];
    }
    return true;
}

bool tevo_is_contiguous(const struct tevo_tensor * tensor) {
    return tevo_is_contiguous_0(tensor);
}

bool tevo_is_contiguous_0(const struct tevo_tensor * tensor) {
    return tevo_is_contiguous_n(tensor, TEVO_MAX_DIMS);
}

bool tevo_is_contiguous_1(const struct tevo_tensor * tensor) {
    size_t next_nb = tevo_type_size(tensor->type);
    if (tensor->ne[0] != tevo_blck_size(tensor->type) && tensor->nb[0] != next_nb) {
        return false;
    }
    // dimension 1 may have any stride; 2 and 3 are packed over it
    next_nb = tensor->nb[1] * tensor->ne[1];
    if (tensor->ne[2] != 1 && tensor->nb[2] != next_nb) {
        return false;
    }
    next_nb *= tensor->ne[2];
    if (tensor->ne[3] != 1 && tensor->nb[3] != next_nb) {
        return false;
    }
    return true;
}

bool tevo_is_contiguous_2(const struct tevo_tensor * tensor) {
    if (tensor->ne[0] != tevo_blck_size(tensor->type) && tensor->nb[0] != tevo_type_size(tensor->type)) {
        return false;
    }
    return tensor->ne[3] == 1 || tensor->nb[3] == tensor->nb[2] * tensor->ne[2];
}

bool tevo_is_contiguous_to_1(const struct tevo_tensor * tensor) {
    return tevo_is_contiguous_rows(tensor);
}

bool tevo_is_contiguous_to_2(const struct tevo_tensor * tensor) {
    if (!tevo_is_contiguous_rows(tensor)) {
        return false;
    }
    return tensor->ne[1] == 1 ||
           tensor->nb[1] == tevo_type_size(tensor->type) * tensor->ne[0] / tevo_blck_size(tensor->type);
}

bool tevo_is_contiguous_to_3(const struct tevo_tensor * tensor) {
    return tevo_is_contiguous_n(tensor, 3);
}

bool tevo_is_contiguous_rows(const struct tevo_tensor * tensor) {
    return tensor->ne[0] == tevo_blck_size(tensor->type) || tensor->nb[0] == tevo_type_size(tensor->type);
}

bool tevo_is_contiguous_channels(const struct tevo_tensor * tensor) {
    return tensor->nb[0] > tensor->nb[2] && tensor->nb[1] > tensor->nb[0] &&
           tensor->nb[2] == tevo_type_size(tensor->type);
}

bool tevo_is_contiguously_allocated(const struct tevo_tensor * tensor) {
    return tevo_nbytes(tensor) ==
           tevo_nelements(tensor) * tevo_type_size(tensor->type) / tevo_blck_size(tensor->type);
}

} // extern "C"
