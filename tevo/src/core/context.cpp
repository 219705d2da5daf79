#define TEVO_SOURCE_PATH "tevo/src/tevo"

// Arena contexts, the object list and tensor records.

#include "core/impl.h"

#include <cinttypes>
#include <cstdarg>

static_assert(sizeof(struct tevo_object) == 32, "object header is 32 bytes");
static_assert(sizeof(struct tevo_tensor) == 336, "tensor record is 336 bytes");
static_assert(sizeof(struct tevo_tensor) % TEVO_MEM_ALIGN == 0, "tensor record keeps data aligned");

extern "C" {

struct tevo_context * tevo_init(struct tevo_init_params params) {
    if (params.mem_size == 0) {
        params.mem_size = TEVO_MEM_ALIGN;
    }
    const size_t mem_size = params.mem_buffer ? params.mem_size : TEVO_PAD(params.mem_size, TEVO_MEM_ALIGN);

    struct tevo_context * ctx = (struct tevo_context *) tevo_malloc(sizeof(struct tevo_context));

    ctx->mem_size         = mem_size;
    ctx->mem_buffer       = params.mem_buffer ? params.mem_buffer : tevo_aligned_malloc(mem_size);
    ctx->mem_buffer_owned = params.mem_buffer ? false : true;
    ctx->no_alloc         = params.no_alloc;
    ctx->n_objects        = 0;
    ctx->objects_begin    = NULL;
    ctx->objects_end      = NULL;

    TEVO_ASSERT(ctx->mem_buffer != NULL);
    TEVO_ASSERT(((uintptr_t) (ctx->mem_buffer))%TEVO_MEM_ALIGN == 0);

    return ctx;
}

void tevo_reset(struct tevo_context * ctx) {
    if (ctx == NULL) {
        return;
    }
    ctx->n_objects     = 0;
    ctx->objects_begin = NULL;
    ctx->objects_end   = NULL;
}

void tevo_free(struct tevo_context * ctx) {
    if (ctx == NULL) {
        return;
    }
    if (ctx->mem_buffer_owned) {
        tevo_aligned_free(ctx->mem_buffer, ctx->mem_size);
    }
    free(ctx);
}

size_t tevo_used_mem(const struct tevo_context * ctx) {
    return ctx->objects_end == NULL ? 0 : ctx->objects_end->offs + ctx->objects_end->size;
}

bool tevo_get_no_alloc(struct tevo_context * ctx) {
    return ctx->no_alloc;
}

void tevo_set_no_alloc(struct tevo_context * ctx, bool no_alloc) {
    ctx->no_alloc = no_alloc;
}

void * tevo_get_mem_buffer(const struct tevo_context * ctx) {
    return ctx->mem_buffer;
}

size_t tevo_get_mem_size(const struct tevo_context * ctx) {
    return ctx->mem_size;
}

size_t tevo_get_max_tensor_size(const struct tevo_context * ctx) {
    size_t max_size = 0;
    for (struct tevo_tensor * tensor = tevo_get_first_tensor(ctx); tensor != NULL;
         tensor                      = tevo_get_next_tensor(ctx, tensor)) {
        const size_t bytes = tevo_nbytes(tensor);
        max_size           = TEVO_MAX(max_size, bytes);
    }
    return max_size;
}

struct tevo_object * tevo_new_object(struct tevo_context * ctx, enum tevo_object_type type, size_t size) {
    struct tevo_object * obj_cur = ctx->objects_end;

    const size_t cur_offs = obj_cur == NULL ? 0 : obj_cur->offs;
    const size_t cur_size = obj_cur == NULL ? 0 : obj_cur->size;
    const size_t cur_end  = cur_offs + cur_size;

    TEVO_ASSERT(size <= SIZE_MAX - (TEVO_MEM_ALIGN - 1));
    const size_t size_needed = TEVO_PAD(size, TEVO_MEM_ALIGN);

    if (cur_end > SIZE_MAX - size_needed) {
        TEVO_LOG_WARN("%s: overflow detected in cur_end (%zu) + size_needed (%zu)\n", "tevo_new_object", cur_end,
                      size_needed);
        return NULL;
    }
    if (cur_end + size_needed > SIZE_MAX - TEVO_OBJECT_SIZE) {
        TEVO_LOG_WARN("%s: overflow detected in cur_end (%zu) + size_needed (%zu) + TEVO_OBJECT_SIZE (%zu)\n",
                      "tevo_new_object", cur_end, size_needed, (size_t) TEVO_OBJECT_SIZE);
        return NULL;
    }

    char * const mem_buffer = (char *) ctx->mem_buffer;

    if (cur_end + size_needed + TEVO_OBJECT_SIZE > ctx->mem_size) {
        TEVO_LOG_WARN("%s: not enough space in the context's memory pool (needed %zu, available %zu)\n",
                      "tevo_new_object", cur_end + size_needed + TEVO_OBJECT_SIZE, ctx->mem_size);
        return NULL;
    }

    struct tevo_object * const obj_new = (struct tevo_object *) (mem_buffer + cur_end);
    obj_new->offs = cur_end + TEVO_OBJECT_SIZE;
    obj_new->size = size_needed;
    obj_new->next = NULL;
    obj_new->type = type;
    memset(obj_new->padding, 0, sizeof(obj_new->padding));

    TEVO_ASSERT(((uintptr_t) (mem_buffer + obj_new->offs))%TEVO_MEM_ALIGN == 0);

    if (obj_cur != NULL) {
        obj_cur->next = obj_new;
    } else {
        ctx->objects_begin = obj_new;
    }
    ctx->objects_end = obj_new;

    return obj_new;
}

struct tevo_tensor * tevo_new_tensor_impl(struct tevo_context * ctx, enum tevo_type type, int n_dims,
                                          const int64_t * ne, struct tevo_tensor * view_src, size_t view_offs) {
    TEVO_ASSERT(type >= 0 && type < TEVO_TYPE_COUNT);
    TEVO_ASSERT(n_dims >= 1 && n_dims <= TEVO_MAX_DIMS);
    // a retired type has no layout: every size computation would divide by zero
    TEVO_ASSERT(tevo_blck_size(type) > 0);
    // A negative extent would pass every size check below as a tensor of no
    // bytes (in a context without data) and fail much later, elsewhere.
    for (int i = 0; i < n_dims; i++) {
        if (ne[i] < 0) {
            TEVO_ABORT("negative extent: ne[%d] = %" PRId64, i, ne[i]);
        }
    }
    // block types are never split inside a row
    TEVO_ASSERT(ne[0] % tevo_blck_size(type) == 0);

    // views always point at a root; offsets whose sum wraps lie past it
    bool offs_wrapped = false;
    if (view_src != NULL && view_src->view_src != NULL) {
        offs_wrapped = __builtin_add_overflow(view_offs, view_src->view_offs, &view_offs);
        view_src     = view_src->view_src;
    }

    int64_t current_nelements = ne[0];
    for (int i = 1; i < n_dims; ++i) {
        if (ne[i] > 1) {
            TEVO_ASSERT(INT64_MAX / ne[i] > current_nelements);
            current_nelements *= ne[i];
        }
    }

    // the byte size must not wrap either: it sizes the data reserved below
    // and the root that views are checked against
    TEVO_ASSERT(ne[0] <= 0 || (size_t) ne[0] <= SIZE_MAX / tevo_type_size(type));
    size_t data_size = tevo_row_size(type, ne[0]);
    for (int i = 1; i < n_dims; i++) {
        TEVO_ASSERT(ne[i] <= 1 || SIZE_MAX / ne[i] >= data_size);
        data_size *= ne[i];
    }

    if (view_src != NULL) {
        // checked in a form that cannot wrap: an offset near SIZE_MAX would
        // otherwise place the view before its root. A view without elements
        // is checked too: its data pointer is formed from the offset.
        const size_t root_size = tevo_nbytes(view_src);
        TEVO_ASSERT_AS(!offs_wrapped && view_offs <= root_size && data_size <= root_size - view_offs,
                       "view_src == NULL || data_size == 0 || data_size + view_offs <= tevo_nbytes(view_src)");
    }

    void * data = NULL;
    if (view_src != NULL) {
        data = view_src->data != NULL ? (char *) view_src->data + view_offs : NULL;
    }

    size_t obj_alloc_size = 0;
    if (view_src == NULL && !ctx->no_alloc) {
        // data lives right after the record in the pool
        obj_alloc_size = data_size;
    }

    TEVO_ASSERT(TEVO_TENSOR_SIZE <= SIZE_MAX - obj_alloc_size);

    struct tevo_object * const obj_new = tevo_new_object(ctx, TEVO_OBJECT_TYPE_TENSOR, TEVO_TENSOR_SIZE + obj_alloc_size);
    TEVO_ASSERT(obj_new);

    struct tevo_tensor * const result = (struct tevo_tensor *) ((char *) ctx->mem_buffer + obj_new->offs);

    memset(result, 0, sizeof(struct tevo_tensor));
    result->type      = type;
    result->buffer    = NULL;
    result->op        = TEVO_OP_NONE;
    result->view_src  = view_src;
    result->view_offs = view_offs;
    result->data      = obj_alloc_size > 0 ? (void *) (result + 1) : data;
    result->extra     = NULL;

    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        result->ne[i] = i < n_dims ? ne[i] : 1;
    }

    result->nb[0] = tevo_type_size(type);
    result->nb[1] = result->nb[0] * (result->ne[0] / tevo_blck_size(type));
    for (int i = 2; i < TEVO_MAX_DIMS; i++) {
        result->nb[i] = result->nb[i - 1] * result->ne[i - 1];
    }

    ctx->n_objects++;

    return result;
}

struct tevo_tensor * tevo_new_tensor(struct tevo_context * ctx, enum tevo_type type, int n_dims, const int64_t * ne) {
    return tevo_new_tensor_impl(ctx, type, n_dims, ne, NULL, 0);
}

struct tevo_tensor * tevo_new_tensor_1d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0) {
    return tevo_new_tensor(ctx, type, 1, &ne0);
}

struct tevo_tensor * tevo_new_tensor_2d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0, int64_t ne1) {
    const int64_t ne[2] = { ne0, ne1 };
    return tevo_new_tensor(ctx, type, 2, ne);
}

struct tevo_tensor * tevo_new_tensor_3d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0, int64_t ne1,
                                        int64_t ne2) {
    const int64_t ne[3] = { ne0, ne1, ne2 };
    return tevo_new_tensor(ctx, type, 3, ne);
}

struct tevo_tensor * tevo_new_tensor_4d(struct tevo_context * ctx, enum tevo_type type, int64_t ne0, int64_t ne1,
                                        int64_t ne2, int64_t ne3) {
    const int64_t ne[4] = { ne0, ne1, ne2, ne3 };
    return tevo_new_tensor(ctx, type, 4, ne);
}

void * tevo_new_buffer(struct tevo_context * ctx, size_t nbytes) {
    struct tevo_object * obj = tevo_new_object(ctx, TEVO_OBJECT_TYPE_WORK_BUFFER, nbytes);
    TEVO_ASSERT(obj);
    return (char *) ctx->mem_buffer + obj->offs;
}

struct tevo_tensor * tevo_dup_tensor(struct tevo_context * ctx, const struct tevo_tensor * src) {
    return tevo_new_tensor(ctx, src->type, TEVO_MAX_DIMS, src->ne);
}

struct tevo_tensor * tevo_view_tensor(struct tevo_context * ctx, struct tevo_tensor * src) {
    struct tevo_tensor * result = tevo_new_tensor_impl(ctx, src->type, TEVO_MAX_DIMS, src->ne, src, 0);
    tevo_format_name(result, "%s (view)", src->name);
    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        result->nb[i] = src->nb[i];
    }
    return result;
}

struct tevo_tensor * tevo_dup(struct tevo_context * ctx, struct tevo_tensor * a) {
    struct tevo_tensor * result = tevo_dup_tensor(ctx, a);
    result->op     = TEVO_OP_DUP;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_dup_inplace(struct tevo_context * ctx, struct tevo_tensor * a) {
    struct tevo_tensor * result = tevo_view_tensor(ctx, a);
    result->op     = TEVO_OP_DUP;
    result->src[0] = a;
    return result;
}

struct tevo_tensor * tevo_get_first_tensor(const struct tevo_context * ctx) {
    struct tevo_object * obj        = ctx->objects_begin;
    char * const         mem_buffer = (char *) ctx->mem_buffer;
    while (obj != NULL) {
        if (obj->type == TEVO_OBJECT_TYPE_TENSOR) {
            return (struct tevo_tensor *) (mem_buffer + obj->offs);
        }
        obj = obj->next;
    }
    return NULL;
}

struct tevo_tensor * tevo_get_next_tensor(const struct tevo_context * ctx, struct tevo_tensor * tensor) {
    struct tevo_object * obj        = (struct tevo_object *) ((char *) tensor - TEVO_OBJECT_SIZE);
    obj                             = obj->next;
    char * const         mem_buffer = (char *) ctx->mem_buffer;
    while (obj != NULL) {
        if (obj->type == TEVO_OBJECT_TYPE_TENSOR) {
            return (struct tevo_tensor *) (mem_buffer + obj->offs);
        }
        obj = obj->next;
    }
    return NULL;
}

struct tevo_tensor * tevo_get_tensor(struct tevo_context * ctx, const char * name) {
    for (struct tevo_tensor * t = tevo_get_first_tensor(ctx); t != NULL; t = tevo_get_next_tensor(ctx, t)) {
        if (strcmp(t->name, name) == 0) {
            return t;
        }
    }
    return NULL;
}

void * tevo_get_data(const struct tevo_tensor * tensor) {
    return tensor->data;
}

float * tevo_get_data_f32(const struct tevo_tensor * tensor) {
    return (float *) tensor->data;
}

const char * tevo_get_name(const struct tevo_tensor * tensor) {
    return tensor->name;
}

struct tevo_tensor * tevo_set_name(struct tevo_tensor * tensor, const char * name) {
    size_t i;
    for (i = 0; i < sizeof(tensor->name) - 1 && name[i] != '\0'; i++) {
        tensor->name[i] = name[i];
    }
    tensor->name[i] = '\0';
    return tensor;
}

struct tevo_tensor * tevo_format_name(struct tevo_tensor * tensor, const char * fmt, ...) {
    // the source name may be this tensor's own: format from a copy
    char    buf[TEVO_MAX_NAME];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    memcpy(tensor->name, buf, sizeof(buf));
    return tensor;
}

size_t tevo_tensor_overhead(void) {
    return TEVO_OBJECT_SIZE + TEVO_TENSOR_SIZE;
}

void tevo_print_object(const struct tevo_object * obj) {
    TEVO_LOG_INFO(" - tevo_object: type = %d, offset = %zu, size = %zu, next = %p\n", obj->type, obj->offs,
                  obj->size, (const void *) obj->next);
}

void tevo_print_objects(const struct tevo_context * ctx) {
    struct tevo_object * obj = ctx->objects_begin;
    TEVO_LOG_INFO("%s: objects in context %p:\n", "tevo_print_objects", (const void *) ctx);
    while (obj != NULL) {
        tevo_print_object(obj);
        obj = obj->next;
    }
    TEVO_LOG_INFO("%s: --- end ---\n", "tevo_print_objects");
}

} // extern "C"
