#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-meta"

// Meta buffers: one simple buffer per device behind one buffer record. Every
// tensor placed in a meta buffer gets one sub-tensor per device, shaped by
// its split state: its slice on that device, or a full copy for mirrored and
// partial tensors. The meta tensor's own data address is a stand-in; a
// sub-tensor sits at the same offset in its simple buffer as the meta tensor
// in the meta buffer.
//
// Sub-tensors of weights (placed in bulk) live in the persistent set for the
// buffer's lifetime. Those of graph tensors go into one of two temporary
// sets; the meta backend recycles the set that does not hold the graph it is
// about to compute, so a new graph's sub-tensors never overwrite the ones in
// use. A graph whose set was recycled while it stayed placed (another graph
// was computed in between) gets its sub-tensors made again from its records
// when it is next written, read or computed.

#include "meta/impl.h"

#include <stdlib.h>

static meta_buffer_context * meta_buf_ctx(tevo_backend_buffer_t buffer) {
    return (meta_buffer_context *) buffer->context;
}

size_t meta_buffer_n_bufs(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
    return meta_buf_ctx(buffer)->bufs.size();
}

// ---------------------------------------------------------------------------
// tensor sets

// room for one tensor record in a context
static size_t meta_record_size(void) {
    return TEVO_PAD(tevo_tensor_overhead(), TEVO_MEM_ALIGN) + TEVO_MEM_ALIGN;
}

static void meta_set_init(meta_tensor_set & set, size_t n_bufs, size_t tensors_per_ctx) {
    set.ctxs.assign(n_bufs, {});
    set.active.assign(n_bufs, 0);
    set.tensors_per_ctx = tensors_per_ctx > 0 ? tensors_per_ctx : 1;
}

// The context of device j that has room for one more record. The chain grows
// instead of starting huge: sets are many (three per buffer and device) and
// most hold a few hundred tensors.
static struct tevo_context * meta_set_room(meta_tensor_set & set, size_t j) {
    std::vector<struct tevo_context *> & chain = set.ctxs[j];
    size_t &                             k     = set.active[j];
    while (k < chain.size() && tevo_used_mem(chain[k]) + meta_record_size() > tevo_get_mem_size(chain[k])) {
        k++;
    }
    if (k == chain.size()) {
        const size_t            n      = set.tensors_per_ctx << TEVO_MIN(chain.size(), (size_t) 8);
        struct tevo_init_params params = { n * meta_record_size(), NULL, true };
        chain.push_back(tevo_init(params));
    }
    return chain[k];
}

static void meta_set_reset(meta_tensor_set & set) {
    for (std::vector<struct tevo_context *> & chain : set.ctxs) {
        for (struct tevo_context * ctx : chain) {
            tevo_reset(ctx);
        }
    }
    for (size_t & k : set.active) {
        k = 0;
    }
    set.subs.clear();
}

static void meta_set_free(meta_tensor_set & set) {
    for (std::vector<struct tevo_context *> & chain : set.ctxs) {
        for (struct tevo_context * ctx : chain) {
            tevo_free(ctx);
        }
    }
    set.ctxs.clear();
    set.subs.clear();
}

meta_buffer_context * meta_buffer_context_new(size_t n_bufs, size_t persistent_cap, size_t temp_cap) {
    meta_buffer_context * ctx = new meta_buffer_context;
    meta_set_init(ctx->persistent, n_bufs, persistent_cap);
    meta_set_init(ctx->temp[0], n_bufs, temp_cap);
    meta_set_init(ctx->temp[1], n_bufs, temp_cap);
    ctx->bufs.assign(n_bufs, nullptr);
    const char * debug = getenv("TEVO_META_DEBUG");
    ctx->meta_debug    = debug != NULL ? atoi(debug) : 0;
    return ctx;
}

// ---------------------------------------------------------------------------
// sub-tensors

static const std::vector<struct tevo_tensor *> * meta_find_subs(const meta_buffer_context * ctx,
                                                                const struct tevo_tensor * tensor) {
    // the current temporary set first: a record reused by a newer graph
    // may still have stale entries in the other one
    const meta_tensor_set * sets[3] = { &ctx->persistent, &ctx->temp[ctx->temp_cur], &ctx->temp[1 - ctx->temp_cur] };
    for (const meta_tensor_set * set : sets) {
        auto it = set->subs.find(tensor);
        if (it != set->subs.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

// Where init_tensor puts a tensor's sub-tensors: weights stay in the
// persistent set, everything else goes to the temporary set being filled.
static void meta_place(meta_buffer_context * ctx, struct tevo_tensor * tensor) {
    ctx->temp_cur = ctx->temp_next;
    if (ctx->persistent.subs.count(tensor) != 0) {
        meta_create_sub_tensors(tensor, ctx->persistent);
    } else {
        meta_create_sub_tensors(tensor, ctx->temp[ctx->temp_cur]);
    }
}

struct tevo_tensor * meta_simple_tensor(const struct tevo_tensor * tensor, size_t index) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
    meta_buffer_context * buf_ctx = meta_buf_ctx(tensor->buffer);
    TEVO_ASSERT(index < buf_ctx->bufs.size());
    const std::vector<struct tevo_tensor *> * subs = meta_find_subs(buf_ctx, tensor);
    if (subs == nullptr && tensor->data != NULL) {
        // its temporary set went to another graph while the tensor stayed
        // placed: its record still says where its data lives
        meta_place(buf_ctx, (struct tevo_tensor *) tensor);
        subs = meta_find_subs(buf_ctx, tensor);
    }
    return subs != nullptr ? (*subs)[index] : nullptr;
}

static bool meta_in_meta_buffer(const struct tevo_tensor * t) {
    return t != NULL && t->buffer != NULL && tevo_backend_buffer_is_meta(t->buffer);
}

// a source's sub-tensor on device j as it stands, without remaking it
static const struct tevo_tensor * meta_current_sub(const struct tevo_tensor * src, size_t j) {
    const std::vector<struct tevo_tensor *> * subs = meta_find_subs(meta_buf_ctx(src->buffer), src);
    return subs != nullptr ? (*subs)[j] : nullptr;
}

// whether T's sub-tensors read the sub-tensors its sources have now: a
// source remade since T was placed leaves T's copies pointing at old records
static bool meta_subs_current(const struct tevo_tensor * tensor, const std::vector<struct tevo_tensor *> & subs) {
    for (size_t j = 0; j < subs.size(); j++) {
        const struct tevo_tensor * sub = subs[j];
        if (meta_in_meta_buffer(tensor->view_src) && sub->view_src != meta_current_sub(tensor->view_src, j)) {
            return false;
        }
        for (int i = 0; i < TEVO_MAX_SRC; i++) {
            const struct tevo_tensor * src = tensor->src[i];
            if (src != tensor && meta_in_meta_buffer(src) && sub->src[i] != meta_current_sub(src, j)) {
                return false;
            }
        }
    }
    return true;
}

void meta_refresh_sub_tensors(struct tevo_tensor * tensor) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
    meta_buffer_context *                     ctx  = meta_buf_ctx(tensor->buffer);
    const std::vector<struct tevo_tensor *> * subs = meta_find_subs(ctx, tensor);
    if (tensor->data != NULL && (subs == nullptr || !meta_subs_current(tensor, *subs))) {
        meta_place(ctx, tensor);
    }
}

// Where a view's slice starts on device j: offsets inside one block below the
// split axis are the same everywhere, larger ones shrink with the device's
// share of the axis.
static size_t meta_sub_view_offset(const struct tevo_tensor * tensor, int split_dim, int64_t share) {
    const size_t offs = tensor->view_offs;
    TEVO_ASSERT(tensor->ne[split_dim] != 0);
    const meta_split_state view_src_ss       = meta_get_split_state(tensor->view_src, true);
    const int              split_dim_view_src = meta_axis_is_split(view_src_ss.axis) ? (int) view_src_ss.axis : -1;
    TEVO_ASSERT(split_dim_view_src >= 0 && split_dim_view_src < TEVO_MAX_DIMS);

    for (int i = 0; i < TEVO_MAX_DIMS; i++) {
        const size_t span = tensor->nb[i] * (size_t) tensor->ne[i];
        if (span >= offs && span < tensor->nb[split_dim]) {
            return offs;
        }
    }
    if (offs > tensor->view_src->nb[split_dim_view_src]) {
        return (size_t) ((int64_t) offs * share / tensor->ne[split_dim]);
    }
    return offs;
}

void meta_create_sub_tensors(struct tevo_tensor * tensor, meta_tensor_set & set) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
    meta_buffer_context * buf_ctx = meta_buf_ctx(tensor->buffer);
    const size_t          n_bufs  = buf_ctx->bufs.size();

    const meta_split_state split_state = meta_get_split_state(tensor, true);
    TEVO_ASSERT(tevo_nelements(tensor) == 0 || split_state.axis != TEVO_BACKEND_SPLIT_AXIS_UNKNOWN);
    TEVO_ASSERT(split_state.n_segments <= 16);
    const bool split     = meta_axis_is_split(split_state.axis);
    const int  split_dim = split ? (int) split_state.axis : -1;

    std::vector<struct tevo_tensor *> subs(n_bufs, nullptr);
    for (size_t j = 0; j < n_bufs; j++) {
        int64_t ne[TEVO_MAX_DIMS];
        size_t  nb[TEVO_MAX_DIMS];
        for (int i = 0; i < TEVO_MAX_DIMS; i++) {
            ne[i] = tensor->ne[i];
            nb[i] = tensor->nb[i];
        }
        int64_t share = 0;
        if (split) {
            share = meta_share(split_state, n_bufs, j);
            for (int i = 0; i < TEVO_MAX_DIMS; i++) {
                if (tensor->nb[i] > tensor->nb[split_dim]) {
                    nb[i] = (size_t) ((int64_t) tensor->nb[i] * share / tensor->ne[split_dim]);
                }
            }
            ne[split_dim] = share;
        }

        struct tevo_tensor * sub = tevo_new_tensor(meta_set_room(set, j), tensor->type, TEVO_MAX_DIMS, ne);
        sub->op = tensor->op;
        for (int i = 0; i < TEVO_MAX_DIMS; i++) {
            sub->nb[i] = nb[i];
        }
        sub->flags = tensor->flags;
        memcpy(sub->op_params, tensor->op_params, sizeof(sub->op_params));
        tevo_set_name(sub, tensor->name);
        sub->buffer    = buf_ctx->bufs[j];
        sub->view_src  = tensor->view_src;
        sub->view_offs = tensor->view_offs;

        const bool view_of_meta = meta_in_meta_buffer(tensor->view_src);
        if (view_of_meta) {
            sub->view_src = meta_simple_tensor(tensor->view_src, j);
            TEVO_ASSERT(sub->view_src != NULL);
            if (split && tensor->view_offs != 0) {
                sub->view_offs = meta_sub_view_offset(tensor, split_dim, share);
            }
        }

        if (sub->view_src != NULL) {
            tevo_backend_buffer_t buffer = buf_ctx->bufs[j];
            if (view_of_meta && sub->view_src->buffer != NULL) {
                buffer = sub->view_src->buffer;
            }
            sub->buffer = buffer;
            if (buffer != NULL && sub->view_src->data != NULL) {
                sub->data = (char *) sub->view_src->data + sub->view_offs;
                TEVO_ASSERT(tevo_backend_buffer_init_tensor(buffer, sub) == TEVO_STATUS_SUCCESS);
            } else {
                // placed later with its view source
                sub->buffer = NULL;
                sub->extra  = tensor->extra;
            }
        } else if (buf_ctx->bufs[j] != NULL) {
            tevo_backend_buffer_t buffer = buf_ctx->bufs[j];
            if (tevo_backend_buffer_is_multi_buffer(buffer)) {
                TEVO_ABORT("multi buffers are not supported by the meta backend");
            }
            const uintptr_t offset = (uintptr_t) tensor->data - TEVO_META_BUFFER_BASE;
            sub->data              = (char *) tevo_backend_buffer_get_base(buffer) + offset;
            TEVO_ASSERT(tevo_backend_buffer_init_tensor(buffer, sub) == TEVO_STATUS_SUCCESS);
        } else {
            sub->extra = tensor->extra;
        }

        for (int i = 0; i < TEVO_MAX_SRC; i++) {
            struct tevo_tensor * src = tensor->src[i];
            if (src == tensor) {
                sub->src[i] = sub;
            } else if (meta_in_meta_buffer(src)) {
                sub->src[i] = meta_simple_tensor(src, j);
            } else {
                sub->src[i] = src;
            }
        }
        subs[j] = sub;
    }

    // a device without any share of a split source has nothing to compute
    for (int i = 0; i < TEVO_MAX_SRC; i++) {
        const struct tevo_tensor * src = tensor->src[i];
        if (src == tensor || !meta_in_meta_buffer(src)) {
            continue;
        }
        const meta_split_state src_ss = meta_get_split_state(src, true);
        if (!meta_axis_is_split(src_ss.axis)) {
            continue;
        }
        for (size_t j = 0; j < n_bufs; j++) {
            if (meta_share(src_ss, n_bufs, j) == 0) {
                subs[j]->flags &= ~TEVO_TENSOR_FLAG_COMPUTE;
            }
        }
    }

    set.subs[tensor] = subs;
}

// ---------------------------------------------------------------------------
// graph hand-over

void meta_buffer_begin_graph(tevo_backend_buffer_t buffer, const struct tevo_cgraph * cgraph) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
    meta_buffer_context * ctx = meta_buf_ctx(buffer);

    auto held_in = [ctx](const struct tevo_tensor * t) {
        for (int s : { ctx->temp_cur, 1 - ctx->temp_cur }) {
            if (ctx->temp[s].subs.count(t) != 0) {
                return s;
            }
        }
        return -1;
    };
    int holder = -1;
    for (int i = 0; i < cgraph->n_leafs + cgraph->n_nodes && holder < 0; i++) {
        const struct tevo_tensor * t = i < cgraph->n_leafs ? cgraph->leafs[i] : cgraph->nodes[i - cgraph->n_leafs];
        if (t->buffer == buffer) {
            holder = held_in(t);
        }
    }

    const int victim = holder < 0 ? 1 - ctx->temp_cur : 1 - holder;
    if (holder >= 0 && victim == ctx->temp_cur) {
        // a graph placed after this one lives in the other set: keep both
        return;
    }
    ctx->temp_next = victim;
    // what the devices held of the recycled tensors, and their split states,
    // are of no more interest; the graph about to be prepared records its own
    // anew. Both maps thus hold no more than the graphs the sets hold.
    for (const auto & entry : ctx->temp[victim].subs) {
        ctx->device_states.erase(entry.first);
        ctx->split_cache.erase({ entry.first, false });
        ctx->split_cache.erase({ entry.first, true });
    }
    meta_set_reset(ctx->temp[victim]);
}

// ---------------------------------------------------------------------------
// what the devices hold

meta_split_state meta_device_state(const struct tevo_tensor * tensor) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
    const meta_buffer_context * ctx = meta_buf_ctx(tensor->buffer);
    auto                        it  = ctx->device_states.find(tensor);
    if (it != ctx->device_states.end() && meta_tensor_records_equal(it->second.record, *tensor)) {
        return meta_split_state_plain(it->second.axis);
    }
    return meta_get_split_state(tensor, false);
}

void meta_set_device_state(const struct tevo_tensor * tensor, enum tevo_backend_meta_split_axis axis) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(tensor->buffer));
    meta_buf_ctx(tensor->buffer)->device_states[tensor] = { axis, *tensor };
}

// ---------------------------------------------------------------------------
// buffer slots

void meta_buffer_context_free(meta_buffer_context * ctx) {
    ctx->split_cache.clear();
    ctx->device_states.clear();
    for (tevo_backend_buffer_t buf : ctx->bufs) {
        tevo_backend_buffer_free(buf);
    }
    meta_set_free(ctx->temp[1]);
    meta_set_free(ctx->temp[0]);
    meta_set_free(ctx->persistent);
    delete ctx;
}

static void meta_buffer_free_buffer(tevo_backend_buffer_t buffer) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
    meta_buffer_context_free(meta_buf_ctx(buffer));
}

bool tevo_backend_buffer_is_meta(tevo_backend_buffer_t buffer) {
    return buffer != NULL && buffer->iface.free_buffer == meta_buffer_free_buffer;
}

static void * meta_buffer_get_base(tevo_backend_buffer_t buffer) {
    return (void *) TEVO_META_BUFFER_BASE;
}

static enum tevo_status meta_buffer_init_tensor(tevo_backend_buffer_t buffer, struct tevo_tensor * tensor) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
    meta_place(meta_buf_ctx(buffer), tensor);
    return TEVO_STATUS_SUCCESS;
}

static void meta_buffer_clear(tevo_backend_buffer_t meta_buf, uint8_t value) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(meta_buf));
    for (tevo_backend_buffer_t buf : meta_buf_ctx(meta_buf)->bufs) {
        if (buf != NULL) {
            tevo_backend_buffer_clear(buf, value);
        }
    }
}

static void meta_buffer_reset(tevo_backend_buffer_t meta_buf) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(meta_buf));
    for (tevo_backend_buffer_t buf : meta_buf_ctx(meta_buf)->bufs) {
        if (buf != NULL) {
            tevo_backend_buffer_reset(buf);
        }
    }
}

void tevo_backend_meta_buffer_set_usage(tevo_backend_buffer_t buffer, enum tevo_backend_buffer_usage usage) {
    TEVO_ASSERT(tevo_backend_buffer_is_meta(buffer));
    for (tevo_backend_buffer_t buf : meta_buf_ctx(buffer)->bufs) {
        if (buf != NULL) {
            tevo_backend_buffer_set_usage(buf, usage);
        }
    }
}

const struct tevo_backend_buffer_i & meta_buffer_iface(void) {
    static const struct tevo_backend_buffer_i iface = {
        /* .free_buffer   = */ meta_buffer_free_buffer,
        /* .get_base      = */ meta_buffer_get_base,
        /* .init_tensor   = */ meta_buffer_init_tensor,
        /* .memset_tensor = */ meta_buffer_memset_tensor,
        /* .set_tensor    = */ meta_buffer_set_tensor,
        /* .get_tensor    = */ meta_buffer_get_tensor,
        /* .set_tensor_2d = */ NULL,
        /* .get_tensor_2d = */ NULL,
        /* .cpy_tensor    = */ NULL,
        /* .clear         = */ meta_buffer_clear,
        /* .reset         = */ meta_buffer_reset,
    };
    return iface;
}
