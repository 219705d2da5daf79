#include "kestu-impl.h"

// Token-level timestamps by dynamic time warping: the window's text tokens
// are decoded once more while the alignment heads' cross-attention weights are
// kept; normalised, median-filtered and averaged, they form a cost matrix
// whose cheapest path gives each token its audio position.

#include "tevo-cpu.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {

struct tevo_context_free {
    void operator()(tevo_context * c) const { tevo_free(c); }
};
struct free_release {
    void operator()(void * p) const { std::free(p); }
};
struct tevo_backend_release {
    void operator()(tevo_backend_t b) const { tevo_backend_free(b); }
};

float * f32_at(const tevo_tensor * t, int64_t i0, int64_t i1, int64_t i2) {
    return (float *) ((char *) t->data + i0 * t->nb[0] + i1 * t->nb[1] + i2 * t->nb[2]);
}

// The segments' text tokens in order: the rows of the cost matrix after the
// no-timestamps row.
std::vector<kestu_token_data *> text_tokens(const kestu_context & ctx, kestu_state & state, int i_segment,
                                            int n_segments) {
    std::vector<kestu_token_data *> out;
    for (int s = i_segment; s < i_segment + n_segments; s++) {
        for (kestu_token_data & t : state.result[s].tokens) {
            if (t.id < ctx.vocab.token_eot) {
                out.push_back(&t);
            }
        }
    }
    return out;
}

void notify_new_segments(kestu_context & ctx, kestu_state & state, const kestu_full_params & params, int n_segments) {
    if (params.on_new_segment != nullptr) {
        params.on_new_segment(&ctx, &state, n_segments, params.on_new_segment_user_data);
    }
}

} // namespace

void kestu_dtw_median_filter(tevo_tensor * dst, const tevo_tensor * a, int ith, int nth, void * userdata) {
    (void) nth;
    if (ith != 0) {
        return;
    }
    const int filter_width = *(const int *) userdata;
    KESTU_ASSERT(filter_width < a->ne[2]);
    KESTU_ASSERT(filter_width % 2);
    KESTU_ASSERT(tevo_n_dims(a) == 3);
    KESTU_ASSERT(a->type == TEVO_TYPE_F32);

    const int64_t      ne2  = a->ne[2];
    const int          half = filter_width / 2;
    std::vector<float> window(filter_width);
    for (int64_t i = 0; i < a->ne[0]; i++) {
        for (int64_t j = 0; j < a->ne[1]; j++) {
            for (int64_t k = 0; k < ne2; k++) {
                for (int off = -half; off <= half; off++) {
                    int64_t q = k + off;
                    // reflect at both ends of the row
                    if (q < 0) {
                        q = -q;
                    } else if (q >= ne2) {
                        q = 2 * (ne2 - 1) - q;
                    }
                    window[off + half] = *f32_at(a, i, j, q);
                }
                std::sort(window.begin(), window.end());
                *f32_at(dst, i, j, k) = window[half];
            }
        }
    }
}

tevo_tensor * kestu_dtw_path(tevo_context * ctx, tevo_tensor * x) {
    const int64_t N = x->ne[0]; // tokens
    const int64_t M = x->ne[1]; // audio positions
    KESTU_ASSERT(x->type == TEVO_TYPE_F32);

    const float inf = std::numeric_limits<float>::infinity();

    // (N + 1) x (M + 1), row-major by token
    std::vector<float>   cost((size_t) (N + 1) * (M + 1), inf);
    std::vector<int32_t> trace((size_t) (N + 1) * (M + 1), -1);
    auto                 at = [M](int64_t i, int64_t j) { return (size_t) i * (M + 1) + j; };

    cost[at(0, 0)] = 0.0f;
    for (int64_t j = 1; j <= M; j++) {
        for (int64_t i = 1; i <= N; i++) {
            const float c0 = cost[at(i - 1, j - 1)];
            const float c1 = cost[at(i - 1, j)];
            const float c2 = cost[at(i, j - 1)];

            float   c;
            int32_t t;
            if (c0 < c1 && c0 < c2) {
                c = c0;
                t = 0;
            } else if (c1 < c0 && c1 < c2) {
                c = c1;
                t = 1;
            } else {
                // every tie comes from the left
                c = c2;
                t = 2;
            }
            cost[at(i, j)]  = c + *f32_at(x, i - 1, j - 1, 0);
            trace[at(i, j)] = t;
        }
    }
    for (int64_t j = 0; j <= M; j++) {
        trace[at(0, j)] = 2;
    }
    for (int64_t i = 0; i <= N; i++) {
        trace[at(i, 0)] = 1;
    }

    std::vector<std::pair<int32_t, int32_t>> path;
    path.reserve((size_t) (N + M));
    int64_t i = N;
    int64_t j = M;
    while (i > 0 || j > 0) {
        path.push_back({(int32_t) (i - 1), (int32_t) (j - 1)});
        switch (trace[at(i, j)]) {
            case 0:
                i--;
                j--;
                break;
            case 1:
                i--;
                break;
            case 2:
                j--;
                break;
            default:
                KESTU_ASSERT(0);
        }
    }
    std::reverse(path.begin(), path.end());

    tevo_tensor * result = tevo_new_tensor_2d(ctx, TEVO_TYPE_I32, 2, (int64_t) path.size());
    for (size_t k = 0; k < path.size(); k++) {
        tevo_set_i32_nd(result, 0, (int) k, 0, 0, path[k].first);
        tevo_set_i32_nd(result, 1, (int) k, 0, 0, path[k].second);
    }
    return result;
}

bool kestu_dtw_timestamps(kestu_context & ctx, kestu_state & state, const kestu_full_params & params,
                          int i_segment, int n_segments, int seek, int n_frames, int medfilt_width,
                          int n_threads) {
    const kestu_hparams & hp    = ctx.model.hparams;
    const kestu_vocab &   vocab = ctx.vocab;

    const int n_audio_ctx = state.exp_n_audio_ctx > 0 ? state.exp_n_audio_ctx : hp.n_audio_ctx;
    KESTU_ASSERT(n_frames <= n_audio_ctx * 2);
    KESTU_ASSERT(ctx.params.dtw_aheads_preset != KESTU_AHEADS_NONE);
    KESTU_ASSERT(i_segment >= 0 && n_segments >= 1 && (size_t) (i_segment + n_segments) <= state.result.size());

    std::vector<kestu_token_data *> text = text_tokens(ctx, state, i_segment, n_segments);
    for (kestu_token_data * t : text) {
        t->t_dtw = -1;
    }

    // the median filter needs more audio positions than its width: a short
    // window (a short clip, the tail of the audio) keeps its tokens unset
    const int n_audio_tokens = n_frames / 2;
    if (n_audio_tokens <= medfilt_width) {
        KESTU_LOG_WARN("%s: window of %d frames is too short for time warping; token times stay unset\n",
                       __func__, n_frames);
        notify_new_segments(ctx, state, params, n_segments);
        return true;
    }

    // sot [language] no-timestamps text... eot
    std::vector<kestu_token> tokens = {vocab.token_sot};
    if (vocab.is_multilingual()) {
        const int lang_id = params.language != nullptr ? kestu_lang_id(params.language) : -1;
        if (lang_id >= 0) {
            state.lang_id = lang_id;
        }
        tokens.push_back(vocab.token_sot + 1 + state.lang_id);
    }
    const int p = (int) tokens.size();
    tokens.push_back(vocab.token_not);
    for (const kestu_token_data * t : text) {
        tokens.push_back(t->id);
    }
    tokens.push_back(vocab.token_eot);
    const int n_tokens = (int) tokens.size();

    if (n_tokens > hp.n_text_ctx || n_tokens > (int) state.kv_self.size) {
        KESTU_LOG_WARN("%s: %d tokens do not fit the text context; token times stay unset\n", __func__, n_tokens);
        notify_new_segments(ctx, state, params, n_segments);
        return true;
    }

    kestu_kv_cache_clear(state.kv_self);
    kestu_batch_fill(state.batch, tokens.data(), n_tokens, 0, 0);
    kestu_kv_cache_drop_cells(state.kv_self, 0, -1);
    state.aheads_cross_QKs = nullptr;
    if (!kestu_run_decoder(ctx, state, state.batch, n_threads, true, nullptr, nullptr)) {
        KESTU_LOG_ERROR("DECODER FAILED\n");
        return false;
    }

    tevo_tensor * QKs = state.aheads_cross_QKs;
    KESTU_ASSERT(state.aheads_cross_QKs != nullptr);
    KESTU_ASSERT(n_audio_tokens <= state.aheads_cross_QKs->ne[1]);
    KESTU_ASSERT(state.aheads_cross_QKs->type == TEVO_TYPE_F32);
    KESTU_ASSERT(tevo_is_contiguous(state.aheads_cross_QKs));
    KESTU_ASSERT(QKs->ne[0] == n_tokens);

    const int64_t n_heads    = QKs->ne[2];
    const int64_t n_audio_qk = QKs->ne[1];
    state.aheads_cross_QKs_data.resize((size_t) n_tokens * n_audio_qk * n_heads);
    tevo_backend_tensor_get(QKs, state.aheads_cross_QKs_data.data(), 0,
                            state.aheads_cross_QKs_data.size() * sizeof(float));

    // everything the graph below allocates must fit the working memory,
    // which a model with many alignment heads can exceed
    const size_t w_bytes    = (size_t) n_tokens * n_audio_tokens * n_heads * sizeof(float);
    const size_t x_bytes    = (size_t) n_tokens * n_audio_tokens * sizeof(float);
    const size_t path_bytes = 2 * ((size_t) n_tokens + n_audio_tokens + 1) * sizeof(int32_t);
    const size_t need = 3 * w_bytes + 2 * x_bytes + path_bytes + 16 * (tevo_tensor_overhead() + 64) +
                        tevo_graph_overhead();
    if (need > ctx.params.dtw_work_memory) {
        KESTU_LOG_ERROR("%s: time warping needs %zu bytes of work memory, dtw_work_memory is %zu\n", __func__,
                        need, ctx.params.dtw_work_memory);
        return false;
    }

    // The caller may ask for more than the machine has: the pool is
    // allocated here, where a failure ends the run with an error, and lent
    // to the context, which would abort on a failed allocation of its own.
    static_assert(alignof(std::max_align_t) >= TEVO_MEM_ALIGN, "malloc keeps the pool aligned");
    std::unique_ptr<void, free_release> pool(std::malloc(ctx.params.dtw_work_memory));
    if (!pool) {
        KESTU_LOG_ERROR("%s: failed to allocate %zu bytes of work memory\n", __func__, ctx.params.dtw_work_memory);
        return false;
    }
    tevo_init_params wp = {
        /*.mem_size   =*/ctx.params.dtw_work_memory,
        /*.mem_buffer =*/pool.get(),
        /*.no_alloc   =*/false,
    };
    std::unique_ptr<tevo_context, tevo_context_free> work(tevo_init(wp));
    if (!work) {
        KESTU_LOG_ERROR("%s: failed to allocate %zu bytes of work memory\n", __func__, ctx.params.dtw_work_memory);
        return false;
    }
    tevo_context * ctx0 = work.get();

    // [n_tokens, n_audio_tokens, n_heads]: the window's positions of each head
    tevo_tensor * w = tevo_new_tensor_3d(ctx0, TEVO_TYPE_F32, n_tokens, n_audio_tokens, n_heads);
    for (int64_t h = 0; h < n_heads; h++) {
        for (int64_t a = 0; a < n_audio_tokens; a++) {
            const float * src = state.aheads_cross_QKs_data.data() + (size_t) (h * n_audio_qk + a) * n_tokens;
            memcpy(f32_at(w, 0, a, h), src, (size_t) n_tokens * sizeof(float));
        }
    }

    int width = medfilt_width;

    tevo_tensor * x = tevo_norm(ctx0, w, 1e-9f);
    x               = tevo_permute(ctx0, x, 2, 1, 0, 3);
    x               = tevo_permute(ctx0, x, 0, 2, 1, 3); // [n_heads, n_tokens, n_audio_tokens]
    x               = tevo_map_custom1(ctx0, x, kestu_dtw_median_filter, 1, &width);
    x               = tevo_mean(ctx0, x);
    x               = tevo_scale(ctx0, x, -1.0f);
    x               = tevo_reshape_2d(ctx0, x, n_tokens, n_audio_tokens);
    // the no-timestamps row and the text rows
    x = tevo_view_2d(ctx0, x, n_tokens - p - 1, n_audio_tokens, x->nb[1], (size_t) p * x->nb[0]);

    tevo_cgraph * gf = tevo_new_graph(ctx0);
    tevo_build_forward_expand(gf, x);

    std::unique_ptr<tevo_backend, tevo_backend_release> backend(
        tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU, nullptr));
    if (!backend) {
        KESTU_LOG_ERROR("%s: failed to initialize the CPU backend\n", __func__);
        return false;
    }
    tevo_backend_reg_t reg = tevo_backend_dev_backend_reg(tevo_backend_get_device(backend.get()));
    auto set_n_threads = (tevo_backend_set_n_threads_t) tevo_backend_reg_get_proc_address(reg, "tevo_backend_set_n_threads");
    if (set_n_threads != nullptr) {
        set_n_threads(backend.get(), std::max(1, n_threads));
    }
    if (tevo_backend_graph_compute(backend.get(), gf) != TEVO_STATUS_SUCCESS) {
        KESTU_LOG_ERROR("%s: failed to compute the cost matrix\n", __func__);
        return false;
    }
    KESTU_ASSERT(tevo_n_dims(x) == 2);

    tevo_tensor * path = kestu_dtw_path(ctx0, x);

    // text token k takes the first audio position where the path reaches row k + 1
    int32_t last = 0;
    for (int64_t k = 0; k < path->ne[1]; k++) {
        const int32_t row = tevo_get_i32_nd(path, 0, (int) k, 0, 0);
        if (row == last || row < 1 || (size_t) row > text.size()) {
            continue;
        }
        text[row - 1]->t_dtw = seek + 2 * (int64_t) tevo_get_i32_nd(path, 1, (int) k, 0, 0);
        last                 = row;
    }

    work.reset();
    backend.reset();

    notify_new_segments(ctx, state, params, n_segments);
    return true;
}
