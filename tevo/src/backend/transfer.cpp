#define TEVO_SOURCE_PATH "tevo/src/tevo-backend"

// Reads, writes, fills and copies of tensor bytes. The bytes of a view live
// in its view source's buffer, so every call resolves that first.

#include "backend/impl.h"
#include "core/impl.h"

#include <stdlib.h>

static tevo_backend_buffer_t tensor_buffer(const struct tevo_tensor * tensor) {
    return tensor->view_src ? tensor->view_src->buffer : tensor->buffer;
}

// offset + size <= nbytes, where a sum that wraps around counts as too far
static bool span_fits(size_t offset, size_t size, size_t nbytes) {
    return size <= nbytes && offset <= nbytes - size;
}

// offset + (n_copies-1)*stride + size <= nbytes, likewise without wrapping
static bool strided_span_fits(size_t offset, size_t size, size_t n_copies, size_t stride, size_t nbytes) {
    size_t last = 0;
    if (n_copies > 0 && (__builtin_mul_overflow(n_copies - 1, stride, &last) ||
                         __builtin_add_overflow(last, offset, &last))) {
        return false;
    }
    return span_fits(last, size, nbytes);
}

#define WRITE_BOUNDS_TEXT "offset + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""
#define READ_BOUNDS_TEXT  "offset + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\""
#define WRITE_2D_BOUNDS_TEXT \
    "offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor write out of bounds\""
#define READ_2D_BOUNDS_TEXT \
    "offset + (n_copies-1)*stride_tensor + size <= tevo_nbytes(tensor) && \"tensor read out of bounds\""

void tevo_backend_tensor_set(struct tevo_tensor * tensor, const void * data, size_t offset, size_t size) {
    TEVO_ASSERT(tensor);
    tevo_backend_buffer_t buf = tensor_buffer(tensor);
    TEVO_ASSERT(buf != NULL && "tensor buffer not set");

    if (size == 0) {
        return;
    }

    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(span_fits(offset, size, tevo_nbytes(tensor)), WRITE_BOUNDS_TEXT);

    buf->iface.set_tensor(buf, tensor, data, offset, size);
}

void tevo_backend_tensor_get(const struct tevo_tensor * tensor, void * data, size_t offset, size_t size) {
    TEVO_ASSERT(tensor);
    tevo_backend_buffer_t buf = tensor_buffer(tensor);
    TEVO_ASSERT(buf != NULL && "tensor buffer not set");

    if (size == 0) {
        return;
    }

    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(span_fits(offset, size, tevo_nbytes(tensor)), READ_BOUNDS_TEXT);

    buf->iface.get_tensor(buf, tensor, data, offset, size);
}

void tevo_backend_tensor_set_async(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data,
                                   size_t offset, size_t size) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(span_fits(offset, size, tevo_nbytes(tensor)), WRITE_BOUNDS_TEXT);

    if (backend->iface.set_tensor_async == NULL) {
        tevo_backend_synchronize(backend);
        tevo_backend_tensor_set(tensor, data, offset, size);
    } else {
        backend->iface.set_tensor_async(backend, tensor, data, offset, size);
    }
}

void tevo_backend_tensor_get_async(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data,
                                   size_t offset, size_t size) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(span_fits(offset, size, tevo_nbytes(tensor)), READ_BOUNDS_TEXT);

    if (backend->iface.get_tensor_async == NULL) {
        tevo_backend_synchronize(backend);
        tevo_backend_tensor_get(tensor, data, offset, size);
    } else {
        backend->iface.get_tensor_async(backend, tensor, data, offset, size);
    }
}

void tevo_backend_tensor_set_2d(struct tevo_tensor * tensor, const void * data, size_t offset, size_t size,
                                size_t n_copies, size_t stride_tensor, size_t stride_data) {
    TEVO_ASSERT(tensor);
    tevo_backend_buffer_t buf = tensor_buffer(tensor);
    TEVO_ASSERT(buf != NULL && "tensor buffer not set");

    if (n_copies <= 1 || buf->iface.set_tensor_2d == NULL) {
        if (n_copies == 0 || size == 0) {
            return;
        }
        // one checked write per block
        for (size_t i = 0; i < n_copies; i++) {
            tevo_backend_tensor_set(tensor, (const char *) data + i * stride_data, offset + i * stride_tensor, size);
        }
        return;
    }
    if (size == 0) {
        return;
    }

    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(strided_span_fits(offset, size, n_copies, stride_tensor, tevo_nbytes(tensor)),
                   WRITE_2D_BOUNDS_TEXT);

    buf->iface.set_tensor_2d(buf, tensor, data, offset, size, n_copies, stride_tensor, stride_data);
}

void tevo_backend_tensor_get_2d(const struct tevo_tensor * tensor, void * data, size_t offset, size_t size,
                                size_t n_copies, size_t stride_tensor, size_t stride_data) {
    TEVO_ASSERT(tensor);
    tevo_backend_buffer_t buf = tensor_buffer(tensor);
    TEVO_ASSERT(buf != NULL && "tensor buffer not set");

    if (n_copies <= 1 || buf->iface.get_tensor_2d == NULL) {
        if (n_copies == 0 || size == 0) {
            return;
        }
        for (size_t i = 0; i < n_copies; i++) {
            tevo_backend_tensor_get(tensor, (char *) data + i * stride_data, offset + i * stride_tensor, size);
        }
        return;
    }
    if (size == 0) {
        return;
    }

    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(strided_span_fits(offset, size, n_copies, stride_tensor, tevo_nbytes(tensor)),
                   READ_2D_BOUNDS_TEXT);

    buf->iface.get_tensor_2d(buf, tensor, data, offset, size, n_copies, stride_tensor, stride_data);
}

void tevo_backend_tensor_set_2d_async(tevo_backend_t backend, struct tevo_tensor * tensor, const void * data,
                                      size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                      size_t stride_data) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");

    if (n_copies <= 1 || backend->iface.set_tensor_2d_async == NULL) {
        for (size_t i = 0; i < n_copies; i++) {
            tevo_backend_tensor_set_async(backend, tensor, (const char *) data + i * stride_data,
                                          offset + i * stride_tensor, size);
        }
        return;
    }
    if (size == 0) {
        return;
    }

    TEVO_ASSERT_AS(strided_span_fits(offset, size, n_copies, stride_tensor, tevo_nbytes(tensor)),
                   WRITE_2D_BOUNDS_TEXT);

    backend->iface.set_tensor_2d_async(backend, tensor, data, offset, size, n_copies, stride_tensor, stride_data);
}

void tevo_backend_tensor_get_2d_async(tevo_backend_t backend, const struct tevo_tensor * tensor, void * data,
                                      size_t offset, size_t size, size_t n_copies, size_t stride_tensor,
                                      size_t stride_data) {
    TEVO_ASSERT(backend);
    TEVO_ASSERT(tensor);
    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");

    if (n_copies <= 1 || backend->iface.get_tensor_2d_async == NULL) {
        for (size_t i = 0; i < n_copies; i++) {
            tevo_backend_tensor_get_async(backend, tensor, (char *) data + i * stride_data,
                                          offset + i * stride_tensor, size);
        }
        return;
    }
    if (size == 0) {
        return;
    }

    TEVO_ASSERT_AS(strided_span_fits(offset, size, n_copies, stride_tensor, tevo_nbytes(tensor)),
                   READ_2D_BOUNDS_TEXT);

    backend->iface.get_tensor_2d_async(backend, tensor, data, offset, size, n_copies, stride_tensor, stride_data);
}

void tevo_backend_tensor_memset(struct tevo_tensor * tensor, uint8_t value, size_t offset, size_t size) {
    TEVO_ASSERT(tensor);

    if (size == 0) {
        return;
    }

    tevo_backend_buffer_t buf = tensor_buffer(tensor);
    TEVO_ASSERT(buf != NULL && "tensor buffer not set");
    TEVO_ASSERT(tensor->data != NULL && "tensor not allocated");
    TEVO_ASSERT_AS(span_fits(offset, size, tevo_nbytes(tensor)), WRITE_BOUNDS_TEXT);
    TEVO_ASSERT(buf->iface.memset_tensor != NULL && "memset not implemented by backend buffer");

    buf->iface.memset_tensor(buf, tensor, value, offset, size);
}

void tevo_backend_tensor_copy(struct tevo_tensor * src, struct tevo_tensor * dst) {
    TEVO_ASSERT(tevo_are_same_layout(src, dst) && "cannot copy tensors with different layouts");

    if (src == dst) {
        return;
    }

    if (tevo_backend_buffer_is_host(src->buffer)) {
        tevo_backend_tensor_set(dst, src->data, 0, tevo_nbytes(src));
    } else if (tevo_backend_buffer_is_host(dst->buffer)) {
        tevo_backend_tensor_get(src, dst->data, 0, tevo_nbytes(src));
    } else if (!tevo_backend_buffer_copy_tensor(src, dst)) {
        // neither side is host memory and they cannot copy to each other:
        // go through a temporary host block
        const size_t nbytes = tevo_nbytes(src);
        void *       data   = malloc(nbytes);
        if (data == NULL && nbytes > 0) {
            TEVO_LOG_ERROR("%s: failed to allocate %zu bytes of host memory to copy %s into %s\n",
                           "tevo_backend_tensor_copy", nbytes, src->name, dst->name);
            TEVO_ABORT("failed to allocate host memory for a tensor copy");
        }
        tevo_backend_tensor_get(src, data, 0, nbytes);
        tevo_backend_tensor_set(dst, data, 0, nbytes);
        free(data);
    }
}

void tevo_backend_tensor_copy_async(tevo_backend_t backend_src, tevo_backend_t backend_dst, struct tevo_tensor * src,
                                    struct tevo_tensor * dst) {
    TEVO_ASSERT(tevo_are_same_layout(src, dst) && "cannot copy tensors with different layouts");

    if (src == dst) {
        return;
    }

    TEVO_ASSERT(backend_dst);
    if (backend_dst->iface.cpy_tensor_async != NULL) {
        if (backend_dst->iface.cpy_tensor_async(backend_src, backend_dst, src, dst)) {
            return;
        }
    }

    // an async copy would be ideal, but the backends cannot do it: wait for
    // both queues so the data is complete, then copy synchronously
    tevo_backend_synchronize(backend_src);
    tevo_backend_synchronize(backend_dst);
    tevo_backend_tensor_copy(src, dst);
}
