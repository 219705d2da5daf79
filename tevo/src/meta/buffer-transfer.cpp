#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// Writing, reading and filling meta tensors: the bytes are scattered over
// the sub-tensors by split state and gathered back in the same order. A
// split tensor is cut into pieces, each a run of equal blocks on one device;
// the three transfers share that cutting and differ only in what they do
// with a piece.
//
// Partial tensors are sums over the devices: a write divides the values
// among the devices, a read adds the devices' values up.

#include "meta/impl.h"

#include <vector>

namespace {

// n_copies blocks of size bytes: block k at tensor_offset + k*stride_tensor
// in the sub-tensor of device j and at data_offset + k*stride_data in the data
struct meta_piece {
    size_t j;
    size_t data_offset;
    size_t tensor_offset;
    size_t size;
    size_t n_copies;
    size_t stride_tensor;
    size_t stride_data;
};

enum meta_transfer_kind { META_SET, META_GET, META_MEMSET };

}

static std::vector<meta_piece> meta_plain_pieces(const struct tevo_tensor * tensor, int axis, size_t n_bufs,
                                                 size_t offset, size_t size) {
    const size_t chunk_size_full = meta_axis_bytes(tensor, axis);
    TEVO_ASSERT(offset % chunk_size_full == 0);
    TEVO_ASSERT(size % chunk_size_full == 0);
    const size_t n_chunks = size / chunk_size_full;
    const size_t first    = offset / chunk_size_full;

    std::vector<meta_piece> pieces;
    size_t                  offset_j = 0;
    for (size_t j = 0; j < n_bufs; j++) {
        const size_t chunk = meta_axis_bytes(meta_simple_tensor(tensor, j), axis);
        if (chunk == 0) {
            continue;
        }
        pieces.push_back({ j, offset_j, chunk * first, chunk, n_chunks, chunk, chunk_size_full });
        offset_j += chunk;
    }
    TEVO_ASSERT(offset_j == chunk_size_full);
    return pieces;
}

// several segments or repeats along axis 0 or 1: per row (of dimension
// axis + 1) the pieces of each segment, repeat and device in turn
static std::vector<meta_piece> meta_segment_pieces(const struct tevo_tensor * tensor,
                                                   const meta_split_state & split_state, size_t n_bufs,
                                                   size_t offset, size_t size) {
    TEVO_ASSERT(split_state.axis >= 0 && split_state.axis < TEVO_MAX_DIMS);
    TEVO_ASSERT(split_state.nr[0] != 0);
    TEVO_ASSERT(tensor->ne[3] == 1);
    TEVO_ASSERT(split_state.axis == TEVO_BACKEND_SPLIT_AXIS_1 || split_state.axis == TEVO_BACKEND_SPLIT_AXIS_0);

    const int axis = (int) split_state.axis;
    if (axis == 0) {
        TEVO_ASSERT(tensor->ne[2] == 1);
    }
    const size_t  row_stride = tensor->nb[axis + 1];
    TEVO_ASSERT(offset % row_stride == 0);
    TEVO_ASSERT(size % row_stride == 0);
    const int64_t row_start = (int64_t) (offset / row_stride);
    const int64_t row_count = (int64_t) (size / row_stride);
    TEVO_ASSERT(row_start + row_count <= tensor->ne[axis + 1]);

    const int64_t blck_size = tevo_blck_size(tensor->type);

    std::vector<meta_piece> pieces;
    std::vector<size_t>     offset_j(n_bufs, 0);
    size_t                  offset_data = 0;
    for (int s = 0; s < split_state.n_segments; s++) {
        for (int r = 0; r < split_state.nr[s]; r++) {
            for (size_t j = 0; j < n_bufs; j++) {
                const int64_t n = split_state.ne[s * n_bufs + j];
                size_t        bytes;
                if (axis == 1) {
                    bytes = tensor->nb[1] * (size_t) n;
                } else {
                    TEVO_ASSERT(split_state.ne[s*n_bufs + j] % blck_size == 0);
                    bytes = (size_t) (n / blck_size) * tensor->nb[0];
                }
                if (bytes == 0) {
                    continue;
                }
                const struct tevo_tensor * sub        = meta_simple_tensor(tensor, j);
                const size_t               sub_stride = sub->nb[axis + 1];
                pieces.push_back({ j, offset_data, sub_stride * (size_t) row_start + offset_j[j], bytes,
                                   (size_t) row_count, sub_stride, row_stride });
                offset_j[j] += bytes;
                offset_data += bytes;
            }
        }
    }
    TEVO_ASSERT(offset_data*row_count == size);
    return pieces;
}

static void meta_move_pieces(meta_transfer_kind kind, const struct tevo_tensor * tensor,
                             const std::vector<meta_piece> & pieces, const void * src, void * dst, uint8_t value) {
    for (const meta_piece & p : pieces) {
        struct tevo_tensor * sub = meta_simple_tensor(tensor, p.j);
        switch (kind) {
            case META_SET:
                tevo_backend_tensor_set_2d(sub, (const char *) src + p.data_offset, p.tensor_offset, p.size,
                                           p.n_copies, p.stride_tensor, p.stride_data);
                break;
            case META_GET:
                tevo_backend_tensor_get_2d(sub, (char *) dst + p.data_offset, p.tensor_offset, p.size, p.n_copies,
                                           p.stride_tensor, p.stride_data);
                break;
            case META_MEMSET:
                for (size_t k = 0; k < p.n_copies; k++) {
                    tevo_backend_tensor_memset(sub, value, p.tensor_offset + k * p.stride_tensor, p.size);
                }
                break;
        }
    }
}

// whether device j's copy of a node (or of the node a view shows) was left
// out of the computation
static bool meta_skipped_on_device(const struct tevo_tensor * sub) {
    const struct tevo_tensor * t = sub;
    while (t->op != TEVO_OP_NONE && tevo_op_is_empty(t->op) && t->src[0] != NULL) {
        t = t->src[0];
    }
    return t->op != TEVO_OP_NONE && !tevo_op_is_empty(t->op) && (t->flags & TEVO_TENSOR_FLAG_COMPUTE) == 0;
}

static void meta_set_partial(const struct tevo_tensor * tensor, const meta_split_state & split_state, size_t n_bufs,
                             const void * data, size_t offset, size_t size) {
    TEVO_ASSERT(tensor->type == TEVO_TYPE_F32);
    TEVO_ASSERT(offset % sizeof(float) == 0);
    TEVO_ASSERT(size % sizeof(float) == 0);

    // devices marked by a non-zero extent take part; none marked means all
    size_t k = 0;
    for (size_t j = 0; j < n_bufs; j++) {
        k += split_state.ne[j] != 0;
    }
    const bool all = k == 0;
    if (all) {
        k = n_bufs;
    }

    const size_t       n = size / sizeof(float);
    std::vector<float> divided(n);
    std::vector<float> zeros(n, 0.0f);
    const float *      x = (const float *) data;
    for (size_t i = 0; i < n; i++) {
        divided[i] = x[i] / (float) k;
    }
    for (size_t j = 0; j < n_bufs; j++) {
        const bool takes_part = all || split_state.ne[j] != 0;
        tevo_backend_tensor_set(meta_simple_tensor(tensor, j), takes_part ? divided.data() : zeros.data(), offset,
                                size);
    }
}

// the value of a partial tensor is the sum of the devices' copies; a device
// that skipped the node holds nothing of it
static void meta_get_partial(const struct tevo_tensor * tensor, size_t n_bufs, void * data, size_t offset,
                             size_t size) {
    TEVO_ASSERT(tensor->type == TEVO_TYPE_F32);
    TEVO_ASSERT(offset % sizeof(float) == 0);
    TEVO_ASSERT(size % sizeof(float) == 0);

    const size_t       n   = size / sizeof(float);
    float *            sum = (float *) data;
    std::vector<float> part(n);
    for (size_t i = 0; i < n; i++) {
        sum[i] = 0.0f;
    }
    for (size_t j = 0; j < n_bufs; j++) {
        const struct tevo_tensor * sub = meta_simple_tensor(tensor, j);
        if (meta_skipped_on_device(sub)) {
            continue;
        }
        tevo_backend_tensor_get(sub, part.data(), offset, size);
        for (size_t i = 0; i < n; i++) {
            sum[i] += part[i];
        }
    }
}

static void meta_transfer(meta_transfer_kind kind, tevo_backend_buffer_t meta_buf, const struct tevo_tensor * tensor,
                          const void * src, void * dst, uint8_t value, size_t offset, size_t size) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(meta_buf));
    const size_t           n_bufs      = meta_buffer_n_bufs(meta_buf);
    const meta_split_state split_state = meta_device_state(tensor);
    TEVO_ASSERT(tevo_is_contiguous(tensor) || split_state.axis == TEVO_BACKEND_SPLIT_AXIS_MIRRORED);

    if (split_state.n_segments == 1 && split_state.nr[0] == 1) {
        switch (split_state.axis) {
            case TEVO_BACKEND_SPLIT_AXIS_MIRRORED:
                if (kind == META_GET) {
                    tevo_backend_tensor_get(meta_simple_tensor(tensor, 0), dst, offset, size);
                    return;
                }
                for (size_t j = 0; j < n_bufs; j++) {
                    struct tevo_tensor * sub = meta_simple_tensor(tensor, j);
                    if (kind == META_SET) {
                        tevo_backend_tensor_set(sub, src, offset, size);
                    } else {
                        tevo_backend_tensor_memset(sub, value, offset, size);
                    }
                }
                return;
            case TEVO_BACKEND_SPLIT_AXIS_PARTIAL:
                if (kind == META_SET) {
                    meta_set_partial(tensor, split_state, n_bufs, src, offset, size);
                } else if (kind == META_GET) {
                    meta_get_partial(tensor, n_bufs, dst, offset, size);
                } else {
                    // only zeros add up to the same bytes on every device
                    TEVO_ASSERT(value == 0);
                    for (size_t j = 0; j < n_bufs; j++) {
                        tevo_backend_tensor_memset(meta_simple_tensor(tensor, j), value, offset, size);
                    }
                }
                return;
            case TEVO_BACKEND_SPLIT_AXIS_0:
            case TEVO_BACKEND_SPLIT_AXIS_1:
            case TEVO_BACKEND_SPLIT_AXIS_2:
            case TEVO_BACKEND_SPLIT_AXIS_3:
                meta_move_pieces(kind, tensor, meta_plain_pieces(tensor, (int) split_state.axis, n_bufs, offset, size),
                                 src, dst, value);
                return;
            default:
                TEVO_ABORT("fatal error");
        }
    }
    meta_move_pieces(kind, tensor, meta_segment_pieces(tensor, split_state, n_bufs, offset, size), src, dst, value);
}

void meta_buffer_set_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, const void * data,
                            size_t offset, size_t size) {
    meta_transfer(META_SET, buffer, tensor, data, nullptr, 0, offset, size);
}

void meta_buffer_get_tensor(tevo_backend_buffer_t buffer, const struct tevo_tensor * tensor, void * data,
                            size_t offset, size_t size) {
    meta_transfer(META_GET, buffer, tensor, nullptr, data, 0, offset, size);
}

void meta_buffer_memset_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor, uint8_t value,
                               size_t offset, size_t size) {
    meta_transfer(META_MEMSET, buffer, tensor, nullptr, nullptr, value, offset, size);
}
