#include "kestu-vad-impl.h"

// The voice-activity model: its parameter defaults, the model file read
// through a loader, the placement of each weight, the backends, recurrent
// state and scheduler of the context, and its release.
//
// The file is untrusted input. Every read is checked, so a truncated file
// fails instead of loading stale bytes; every header value the window graph
// depends on is checked against the shapes that graph needs (it has fixed
// extents and would otherwise assert or read out of bounds); and every weight
// must arrive exactly once with its own element type and extents, so no
// weight is ever computed on uninitialised memory.

#include <cfloat>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace {

constexpr uint32_t KESTU_VAD_MAGIC = 0x7465766f;

// longest model-type text and tensor name accepted; real ones are short
constexpr int32_t KESTU_VAD_MAX_TEXT_BYTES = 4096;
// longest analysed window accepted (about a minute of audio)
constexpr int32_t KESTU_VAD_MAX_WINDOW = 1 << 20;

// what the window graph is built for: channels of the four encoder layers,
// their strides, the transform frames it reads and the recurrent width
constexpr int32_t KESTU_VAD_IN_CHANNELS[4]  = {129, 128, 64, 64};
constexpr int32_t KESTU_VAD_OUT_CHANNELS[4] = {128, 64, 64, 128};
constexpr int32_t KESTU_VAD_STRIDES[4]      = {1, 2, 2, 1};
constexpr int32_t KESTU_VAD_FRAMES          = 4;
constexpr int32_t KESTU_VAD_HIDDEN          = 128;
constexpr int32_t KESTU_VAD_STFT_TAPS       = 256;
constexpr int32_t KESTU_VAD_STFT_CHANNELS   = 258;
constexpr int32_t KESTU_VAD_REFLECT_PAD     = 64;

const char * const LOADER = "kestu_vad_init_with_params";

struct vad_reader {
    kestu_model_loader * loader;

    size_t read_count(void * dst, size_t n) { return n == 0 ? 0 : loader->read(loader->context, dst, n); }
    bool   read(void * dst, size_t n) { return n == 0 || read_count(dst, n) == n; }
    bool   read_i32(int32_t & v) { return read(&v, sizeof(v)); }
    bool   eof() { return loader->eof(loader->context); }
};

void log_truncated(const char * what) {
    KESTU_LOG_ERROR("%s: unexpected end of VAD model file in %s\n", LOADER, what);
}

struct vad_ctx_deleter {
    void operator()(kestu_vad_context * ctx) const { kestu_vad_free(ctx); }
};
using vad_ctx_ptr = std::unique_ptr<kestu_vad_context, vad_ctx_deleter>;

struct tevo_ctx_deleter {
    void operator()(tevo_context * ctx) const { tevo_free(ctx); }
};

bool is_gpu_type(enum tevo_backend_device_type type) {
    return type == TEVO_BACKEND_DEVICE_TYPE_GPU || type == TEVO_BACKEND_DEVICE_TYPE_GPU_SECONDARY;
}

// Header values against the window graph: the transform must give at least
// four frames, every encoder layer must have the channels the graph's fixed
// bias shapes assume and a kernel that fits its input, and the recurrent cell
// and output layer must take the 128 channels of the last layer.
bool header_is_usable(const kestu_vad_context & v) {
    if (v.n_window <= KESTU_VAD_REFLECT_PAD || v.n_window > KESTU_VAD_MAX_WINDOW) {
        KESTU_LOG_ERROR("%s: invalid n_window %d in VAD model file (expected %d to %d)\n", LOADER, v.n_window,
                        KESTU_VAD_REFLECT_PAD + 1, KESTU_VAD_MAX_WINDOW);
        return false;
    }
    if (v.lstm_input_size <= 0) {
        KESTU_LOG_ERROR("%s: invalid lstm_input_size %d in VAD model file (expected > 0)\n", LOADER,
                        v.lstm_input_size);
        return false;
    }
    // frames of the transform: (padded window - taps) / hop + 1
    const int64_t padded = int64_t(v.n_window) + 2 * KESTU_VAD_REFLECT_PAD;
    const int64_t frames = padded < KESTU_VAD_STFT_TAPS ? 0 : (padded - KESTU_VAD_STFT_TAPS) / v.lstm_input_size + 1;
    if (frames < KESTU_VAD_FRAMES) {
        KESTU_LOG_ERROR("%s: n_window %d with hop lstm_input_size %d gives %d transform frames (expected >= %d)\n",
                        LOADER, v.n_window, v.lstm_input_size, (int) frames, KESTU_VAD_FRAMES);
        return false;
    }
    int64_t len = KESTU_VAD_FRAMES;
    for (int i = 0; i < 4; i++) {
        if (v.encoder_in_channels[i] != KESTU_VAD_IN_CHANNELS[i]) {
            KESTU_LOG_ERROR("%s: invalid encoder_in_channels[%d] %d in VAD model file (expected %d)\n", LOADER, i,
                            v.encoder_in_channels[i], KESTU_VAD_IN_CHANNELS[i]);
            return false;
        }
        if (v.encoder_out_channels[i] != KESTU_VAD_OUT_CHANNELS[i]) {
            KESTU_LOG_ERROR("%s: invalid encoder_out_channels[%d] %d in VAD model file (expected %d)\n", LOADER, i,
                            v.encoder_out_channels[i], KESTU_VAD_OUT_CHANNELS[i]);
            return false;
        }
        // padding 1 on both sides
        const int32_t k = v.encoder_kernel_size[i];
        if (k < 1 || k > len + 2) {
            KESTU_LOG_ERROR("%s: invalid encoder_kernel_size[%d] %d in VAD model file (expected 1 to %d)\n", LOADER,
                            i, k, (int) (len + 2));
            return false;
        }
        len = (len + 2 - k) / KESTU_VAD_STRIDES[i] + 1;
    }
    if (v.lstm_hidden_size != KESTU_VAD_HIDDEN) {
        KESTU_LOG_ERROR("%s: invalid lstm_hidden_size %d in VAD model file (expected %d)\n", LOADER,
                        v.lstm_hidden_size, KESTU_VAD_HIDDEN);
        return false;
    }
    if (v.final_conv_in != v.lstm_hidden_size) {
        KESTU_LOG_ERROR("%s: invalid final_conv_in %d in VAD model file (expected %d)\n", LOADER, v.final_conv_in,
                        v.lstm_hidden_size);
        return false;
    }
    return true;
}

// type and extents of weight id, from the header values
void weight_shape(const kestu_vad_context & v, int32_t id, enum tevo_type & type, std::vector<int64_t> & ne) {
    const int64_t H = v.lstm_hidden_size;
    switch (id) {
        case KESTU_VAD_STFT_BASIS:
            type = TEVO_TYPE_F16;
            ne   = {KESTU_VAD_STFT_TAPS, 1, KESTU_VAD_STFT_CHANNELS};
            return;
        case KESTU_VAD_ENC0_W:
        case KESTU_VAD_ENC1_W:
        case KESTU_VAD_ENC2_W:
        case KESTU_VAD_ENC3_W: {
            const int i = (id - KESTU_VAD_ENC0_W) / 2;
            type        = TEVO_TYPE_F16;
            ne          = {v.encoder_kernel_size[i], v.encoder_in_channels[i], v.encoder_out_channels[i]};
            return;
        }
        case KESTU_VAD_ENC0_B:
        case KESTU_VAD_ENC1_B:
        case KESTU_VAD_ENC2_B:
        case KESTU_VAD_ENC3_B:
            type = TEVO_TYPE_F32;
            ne   = {v.encoder_out_channels[(id - KESTU_VAD_ENC0_B) / 2]};
            return;
        case KESTU_VAD_LSTM_IH_W:
        case KESTU_VAD_LSTM_HH_W:
            type = TEVO_TYPE_F32;
            ne   = {H, 4 * H};
            return;
        case KESTU_VAD_LSTM_IH_B:
        case KESTU_VAD_LSTM_HH_B:
            type = TEVO_TYPE_F32;
            ne   = {4 * H};
            return;
        case KESTU_VAD_FINAL_W:
            type = TEVO_TYPE_F16;
            ne   = {v.final_conv_in, 1};
            return;
        case KESTU_VAD_FINAL_B:
            type = TEVO_TYPE_F32;
            ne   = {1};
            return;
        default:
            KESTU_ASSERT(false && "unknown voice-activity weight id");
    }
}

// does dev compute a matrix product whose weight lives in buft?
bool mul_mat_supported(const kestu_vad_context & vctx, tevo_tensor * w, tevo_backend_buffer_type_t buft,
                       tevo_backend_dev_t dev) {
    tevo_init_params params = {
        /*.mem_size   =*/2 * tevo_tensor_overhead(),
        /*.mem_buffer =*/nullptr,
        /*.no_alloc   =*/true,
    };
    std::unique_ptr<tevo_context, tevo_ctx_deleter> ctx(tevo_init(params));
    if (!ctx) {
        throw std::runtime_error("failed to create tevo context");
    }
    tevo_tensor * b       = tevo_new_tensor_4d(ctx.get(), TEVO_TYPE_F32, w->ne[0], vctx.lstm_hidden_size, w->ne[2],
                                               w->ne[3]);
    tevo_tensor * product = tevo_mul_mat(ctx.get(), w, b);

    // the device answers for the buffer type the weight's data would live in
    KESTU_ASSERT(w->buffer == nullptr);
    w->buffer            = tevo_backend_buft_alloc_buffer(buft, 0);
    const bool supported = tevo_backend_dev_supports_op(dev, product);
    tevo_backend_buffer_free(w->buffer);
    w->buffer = nullptr;
    return supported;
}

// Reads tensor records to the end of the stream: each weight exactly once,
// with its own element type and extents.
bool read_tensors(vad_reader & in, kestu_vad_context & vctx, size_t & total_size) {
    std::vector<uint8_t>  read_buf;
    std::set<std::string> loaded;

    while (true) {
        int32_t n_dims = 0, name_len = 0, ttype = 0;
        size_t  got = in.read_count(&n_dims, sizeof(n_dims));
        got += in.read_count(&name_len, sizeof(name_len));
        got += in.read_count(&ttype, sizeof(ttype));

        if (in.eof()) {
            // a record header cut short is a truncated file, not the end of the records
            if (got > 0) {
                log_truncated("a tensor record header");
                return false;
            }
            break;
        }
        if (got != 3 * sizeof(int32_t)) {
            log_truncated("a tensor record header");
            return false;
        }

        if (n_dims < 0 || n_dims > 4) {
            KESTU_LOG_ERROR("%s: invalid n_dims %d in model file (expected 0 <= n_dims <= 4)\n", LOADER, n_dims);
            return false;
        }
        if (ttype < 0 || ttype >= TEVO_TYPE_COUNT) {
            KESTU_LOG_ERROR("%s: invalid ttype %d in model file (expected 0 <= ttype < %d)\n", LOADER, ttype,
                            TEVO_TYPE_COUNT);
            return false;
        }
        if (name_len < 0 || name_len > KESTU_VAD_MAX_TEXT_BYTES) {
            KESTU_LOG_ERROR("%s: invalid tensor name length %d in model file (expected 0 to %d)\n", LOADER, name_len,
                            KESTU_VAD_MAX_TEXT_BYTES);
            return false;
        }

        int32_t ne[4]     = {1, 1, 1, 1};
        int64_t nelements = 1;
        for (int i = 0; i < n_dims; ++i) {
            if (!in.read_i32(ne[i])) {
                log_truncated("a tensor record header");
                return false;
            }
            // negative or overflowing counts match no weight
            if (nelements < 0 || ne[i] < 0 || __builtin_mul_overflow(nelements, int64_t(ne[i]), &nelements)) {
                nelements = -1;
            }
        }

        std::string name(size_t(name_len), '\0');
        if (!in.read(name.data(), name.size())) {
            log_truncated("a tensor name");
            return false;
        }

        auto it = vctx.tensors_by_name.find(name);
        if (it == vctx.tensors_by_name.end()) {
            KESTU_LOG_ERROR("%s: unknown tensor '%s' in model file\n", LOADER, name.c_str());
            return false;
        }
        tevo_tensor * tensor = it->second;

        if (!loaded.insert(name).second) {
            // a repeat would hide a missing weight from the final count
            KESTU_LOG_ERROR("%s: tensor '%s' appears more than once in model file\n", LOADER, name.c_str());
            return false;
        }
        if (tevo_nelements(tensor) != nelements) {
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong size in model file\n", LOADER, name.c_str());
            KESTU_LOG_ERROR("%s: shape: [%d, %d, %d], expected: [%d, %d, %d]\n", LOADER, ne[0], ne[1], ne[2],
                            (int) tensor->ne[0], (int) tensor->ne[1], (int) tensor->ne[2]);
            return false;
        }
        if (tensor->ne[0] != ne[0] || tensor->ne[1] != ne[1] || tensor->ne[2] != ne[2] || tensor->ne[3] != ne[3]) {
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong shape in model file: got [%d, %d, %d], expected [%d, %d, %d]\n",
                            LOADER, name.c_str(), ne[0], ne[1], ne[2], (int) tensor->ne[0], (int) tensor->ne[1],
                            (int) tensor->ne[2]);
            return false;
        }
        if (ttype != tensor->type) {
            // bytes of another type would be read as this one
            KESTU_LOG_ERROR("%s: tensor '%s' has wrong type in model file: got %s, expected %s\n", LOADER,
                            name.c_str(), tevo_type_name((enum tevo_type) ttype), tevo_type_name(tensor->type));
            return false;
        }

        const size_t nbytes = tevo_nbytes(tensor);
        if (tensor->buffer == nullptr) {
            KESTU_LOG_ERROR("%s: tensor '%s' has no buffer\n", LOADER, name.c_str());
            return false;
        }
        if (tevo_backend_buffer_is_host(tensor->buffer)) {
            if (!in.read(tensor->data, nbytes)) {
                log_truncated(("the data of tensor '" + name + "'").c_str());
                return false;
            }
        } else {
            read_buf.resize(nbytes);
            if (!in.read(read_buf.data(), nbytes)) {
                log_truncated(("the data of tensor '" + name + "'").c_str());
                return false;
            }
            tevo_backend_tensor_set(tensor, read_buf.data(), 0, nbytes);
        }

        total_size += nbytes;
        vctx.n_loaded_tensors++;
    }

    KESTU_LOG_INFO("%s: model size    = %7.2f MB\n", LOADER, total_size / 1e6);

    // every weight once: a file without records, or with one missing, would
    // compute on whatever the buffers held
    if (loaded.size() != vctx.tensors_by_name.size()) {
        KESTU_LOG_ERROR("%s: ERROR not all tensors loaded from model file - expected %zu, got %d\n", LOADER,
                        vctx.tensors_by_name.size(), vctx.n_loaded_tensors);
        for (const auto & [name, tensor] : vctx.tensors_by_name) {
            if (loaded.count(name) == 0) {
                KESTU_LOG_ERROR("%s: tensor '%s' is missing from model file\n", LOADER, name.c_str());
                break;
            }
        }
        return false;
    }
    return true;
}

// the whole load; NULL after a logged error, everything built so far released
kestu_vad_context * load(kestu_model_loader * loader, const kestu_vad_context_params & params) {
    vad_reader in{loader};

    // a short read leaves the magic unmatched
    uint32_t magic = 0;
    in.read(&magic, sizeof(magic));
    if (magic != KESTU_VAD_MAGIC) {
        KESTU_LOG_ERROR("%s: invalid model data (bad magic)\n", LOADER);
        return nullptr;
    }

    vad_ctx_ptr vctx(new kestu_vad_context);
    vctx->params = params;

    int32_t type_len = 0;
    if (!in.read_i32(type_len)) {
        log_truncated("the model type");
        return nullptr;
    }
    if (type_len < 0 || type_len > KESTU_VAD_MAX_TEXT_BYTES) {
        KESTU_LOG_ERROR("%s: invalid model type length %d in VAD model file (expected 0 to %d)\n", LOADER, type_len,
                        KESTU_VAD_MAX_TEXT_BYTES);
        return nullptr;
    }
    vctx->model_type.assign(size_t(type_len), '\0');
    if (!in.read(vctx->model_type.data(), vctx->model_type.size())) {
        log_truncated("the model type");
        return nullptr;
    }
    KESTU_LOG_INFO("%s: model type: %s\n", LOADER, vctx->model_type.c_str());

    int32_t version[3] = {0, 0, 0};
    for (int32_t & v : version) {
        if (!in.read_i32(v)) {
            log_truncated("the model version");
            return nullptr;
        }
    }
    vctx->model_version = kestu_format("%d.%d.%d", version[0], version[1], version[2]);
    KESTU_LOG_INFO("%s: model version: %s\n", LOADER, vctx->model_version.c_str());

    if (!in.read_i32(vctx->n_window) || !in.read_i32(vctx->n_window_aux)) {
        log_truncated("the header");
        return nullptr;
    }

    if (!in.read_i32(vctx->n_encoder_layers)) {
        log_truncated("the header");
        return nullptr;
    }
    if (vctx->n_encoder_layers != 4) {
        KESTU_LOG_ERROR("%s: invalid n_encoder_layers %d in VAD model file (expected 4)\n", LOADER,
                        vctx->n_encoder_layers);
        return nullptr;
    }

    vctx->encoder_in_channels.assign(4, 0);
    vctx->encoder_out_channels.assign(4, 0);
    vctx->encoder_kernel_size.assign(4, 0);
    for (int i = 0; i < 4; i++) {
        if (!in.read_i32(vctx->encoder_in_channels[i]) || !in.read_i32(vctx->encoder_out_channels[i]) ||
            !in.read_i32(vctx->encoder_kernel_size[i])) {
            log_truncated("the encoder layer sizes");
            return nullptr;
        }
    }
    for (int32_t * field : {&vctx->lstm_input_size, &vctx->lstm_hidden_size, &vctx->final_conv_in,
                            &vctx->final_conv_out}) {
        if (!in.read_i32(*field)) {
            log_truncated("the header");
            return nullptr;
        }
    }

    KESTU_LOG_INFO("%s: n_encoder_layers = %d\n", LOADER, vctx->n_encoder_layers);
    for (int i = 0; i < 4; i++) {
        KESTU_LOG_INFO("%s: encoder_in_channels[%d] = %d\n", LOADER, i, vctx->encoder_in_channels[i]);
    }
    for (int i = 0; i < 4; i++) {
        KESTU_LOG_INFO("%s: encoder_out_channels[%d] = %d\n", LOADER, i, vctx->encoder_out_channels[i]);
    }
    KESTU_LOG_INFO("%s: lstm_input_size = %d\n", LOADER, vctx->lstm_input_size);
    KESTU_LOG_INFO("%s: lstm_hidden_size = %d\n", LOADER, vctx->lstm_hidden_size);
    KESTU_LOG_INFO("%s: final_conv_in = %d\n", LOADER, vctx->final_conv_in);
    KESTU_LOG_INFO("%s: final_conv_out = %d\n", LOADER, vctx->final_conv_out);

    if (!header_is_usable(*vctx)) {
        return nullptr;
    }

    kestu_context_params cparams = kestu_context_default_params();
    cparams.use_gpu              = params.use_gpu;
    cparams.gpu_device           = params.gpu_device;
    const kestu_buft_list buft_list = kestu_make_buffer_type_list(cparams);

    {
        tevo_init_params tparams = {
            /*.mem_size   =*/KESTU_VAD_N_WEIGHTS * tevo_tensor_overhead(),
            /*.mem_buffer =*/nullptr,
            /*.no_alloc   =*/true,
        };
        std::unique_ptr<tevo_context, tevo_ctx_deleter> templates(tevo_init(tparams));
        if (!templates) {
            throw std::runtime_error("failed to create tevo context");
        }
        std::map<tevo_backend_buffer_type_t, tevo_context *> ctx_map;
        static const int32_t order[KESTU_VAD_N_WEIGHTS] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 10, 12, 13, 14};
        for (int32_t id : order) {
            enum tevo_type       type = TEVO_TYPE_F32;
            std::vector<int64_t> ne;
            weight_shape(*vctx, id, type, ne);
            tevo_tensor * meta = tevo_new_tensor(templates.get(), type, int(ne.size()), ne.data());
            vctx->weights[id]  = kestu_vad_create_tensor(*vctx, buft_list, ctx_map, id, meta);
        }

        for (const auto & [buft, buft_ctx] : ctx_map) {
            tevo_backend_buffer_t buf = tevo_backend_alloc_ctx_tensors_from_buft(buft_ctx, buft);
            if (!buf) {
                // its weights would have nowhere to put their data
                KESTU_LOG_ERROR("%s: failed to allocate the %s buffer for the weights\n", LOADER,
                                tevo_backend_buft_name(buft));
                return nullptr;
            }
            vctx->weight_buffers.push_back(buf);
            KESTU_LOG_INFO("%s: %12s total size = %8.2f MB\n", LOADER, tevo_backend_buffer_name(buf),
                           tevo_backend_buffer_get_size(buf) / 1e6);
        }
    }

    size_t total_size = 0;
    if (!read_tensors(in, *vctx, total_size)) {
        return nullptr;
    }

    if (!kestu_vad_init_context(vctx.get())) {
        return nullptr;
    }
    return vctx.release();
}

} // namespace

struct kestu_vad_context_params kestu_vad_default_context_params(void) {
    kestu_vad_context_params result;
    result.n_threads  = 4;
    result.use_gpu    = false;
    result.gpu_device = 0;
    return result;
}

struct kestu_vad_params kestu_vad_default_params(void) {
    kestu_vad_params result;
    result.speech_threshold   = 0.5f;
    result.shortest_speech_ms = 250;
    result.closing_silence_ms = 100;
    result.longest_speech_s   = FLT_MAX;
    result.segment_pad_ms     = 30;
    result.segment_overlap_s  = 0.1f;
    return result;
}

// Reports the bytes actually read, so a truncated file is told from a whole one.
size_t kestu_vad_file_loader_read(void * ctx, void * output, size_t read_size) {
    std::ifstream * fin = static_cast<std::ifstream *>(ctx);
    fin->read(static_cast<char *>(output), std::streamsize(read_size));
    return size_t(fin->gcount());
}

bool kestu_vad_file_loader_eof(void * ctx) {
    return static_cast<std::ifstream *>(ctx)->eof();
}

void kestu_vad_file_loader_close(void * ctx) {
    static_cast<std::ifstream *>(ctx)->close();
}

tevo_tensor * kestu_vad_create_tensor(kestu_vad_context & vctx, const kestu_buft_list & buft_list,
                                      std::map<tevo_backend_buffer_type_t, tevo_context *> & ctx_map, int32_t id,
                                      tevo_tensor * meta) {
    KESTU_ASSERT(!buft_list.empty());

    const enum tevo_op op   = kestu_vad_tensor_ops.at(id);
    const char *       name = kestu_vad_tensor_names.at(id);

    tevo_backend_buffer_type_t buft = nullptr;
    for (const auto & [dev, cand] : buft_list) {
        if (dev == nullptr) {
            // no CPU device registered: only the plain host type is usable
            if (cand == tevo_backend_cpu_buffer_type()) {
                buft = cand;
                break;
            }
            continue;
        }
        const enum tevo_backend_device_type type = tevo_backend_dev_type(dev);
        if (is_gpu_type(type) || (type == TEVO_BACKEND_DEVICE_TYPE_CPU && cand == tevo_backend_cpu_buffer_type())) {
            buft = cand;
            break;
        }
        if (op == TEVO_OP_MUL_MAT && mul_mat_supported(vctx, meta, cand, dev)) {
            buft = cand;
            break;
        }
    }
    if (!buft) {
        throw std::runtime_error(kestu_format("failed to find a compatible buffer type for tensor %s", name));
    }

    tevo_context * ctx = nullptr;
    auto           it  = ctx_map.find(buft);
    if (it != ctx_map.end()) {
        ctx = it->second;
    } else {
        tevo_init_params params = {
            /*.mem_size   =*/KESTU_VAD_N_WEIGHTS * tevo_tensor_overhead(),
            /*.mem_buffer =*/nullptr,
            /*.no_alloc   =*/true,
        };
        ctx = tevo_init(params);
        if (!ctx) {
            throw std::runtime_error("failed to create tevo context");
        }
        ctx_map[buft] = ctx;
        vctx.weight_contexts.push_back(ctx);
    }

    tevo_tensor * tensor       = tevo_dup_tensor(ctx, meta);
    vctx.tensors_by_name[name] = tensor;
    return tensor;
}

// The caller frees the context when this fails.
bool kestu_vad_init_context(kestu_vad_context * vctx) {
    static const char * const func = "kestu_vad_init_context";

    // never a GPU backend: the list holds the accelerators and the CPU
    kestu_context_params cparams = kestu_context_default_params();
    cparams.use_gpu              = false;
    cparams.gpu_device           = vctx->params.gpu_device;
    vctx->backends               = kestu_backend_init(cparams);

    vctx->lstm_state_meta.resize(2 * tevo_tensor_overhead());
    tevo_init_params params = {
        /*.mem_size   =*/vctx->lstm_state_meta.size(),
        /*.mem_buffer =*/vctx->lstm_state_meta.data(),
        /*.no_alloc   =*/true,
    };
    tevo_context * ctx = tevo_init(params);
    if (!ctx) {
        KESTU_LOG_ERROR("%s: failed to init LSTM state tevo context\n", func);
        return false;
    }
    vctx->h_state = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, vctx->lstm_hidden_size);
    tevo_set_name(vctx->h_state, "h_state");
    vctx->c_state = tevo_new_tensor_1d(ctx, TEVO_TYPE_F32, vctx->lstm_hidden_size);
    tevo_set_name(vctx->c_state, "c_state");
    vctx->lstm_state_buffer = tevo_backend_alloc_ctx_tensors(ctx, vctx->backends[0]);
    tevo_free(ctx);
    if (!vctx->lstm_state_buffer) {
        KESTU_LOG_ERROR("%s: failed to allocate memory for the VAD state\n", func);
        return false;
    }
    // a detection without a reset must not start from whatever the allocation held
    tevo_backend_buffer_clear(vctx->lstm_state_buffer, 0);

    if (!kestu_sched_graph_init(vctx->sched, vctx->backends, [vctx]() { return kestu_vad_graph_for_window(vctx); })) {
        KESTU_LOG_ERROR("%s: failed to init VAD allocator\n", func);
        return false;
    }
    KESTU_LOG_INFO("%s: compute buffer (VAD)   = %7.2f MB\n", func, sched_buffer_size(vctx->sched) / 1e6);
    return true;
}

struct kestu_vad_context * kestu_vad_init_from_file_with_params(const char * path_model,
                                                                struct kestu_vad_context_params params) {
    if (path_model == nullptr) {
        KESTU_LOG_ERROR("%s: no VAD model path given\n", __func__);
        return nullptr;
    }
    KESTU_LOG_INFO("%s: loading VAD model from '%s'\n", __func__, path_model);

    try {
        std::ifstream fin(path_model, std::ios::binary);
        if (!fin) {
            KESTU_LOG_ERROR("%s: failed to open VAD model '%s'\n", __func__, path_model);
            return nullptr;
        }

        kestu_model_loader loader = {};
        loader.context            = &fin;
        loader.read               = kestu_vad_file_loader_read;
        loader.eof                = kestu_vad_file_loader_eof;
        loader.close              = kestu_vad_file_loader_close;

        kestu_vad_context * vctx = kestu_vad_init_with_params(&loader, params);
        if (vctx) {
            vctx->path = path_model;
        }
        loader.close(loader.context);
        return vctx;
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", __func__, e.what());
        return nullptr;
    }
}

struct kestu_vad_context * kestu_vad_init_with_params(struct kestu_model_loader * loader,
                                                      struct kestu_vad_context_params params) {
    if (loader == nullptr || loader->read == nullptr || loader->eof == nullptr) {
        KESTU_LOG_ERROR("%s: the model loader lacks a read or eof function\n", __func__);
        return nullptr;
    }
    // set-up errors are exceptions inside; none may cross this interface
    try {
        return load(loader, params);
    } catch (const std::exception & e) {
        KESTU_LOG_ERROR("%s: %s\n", __func__, e.what());
    } catch (...) {
        KESTU_LOG_ERROR("%s: unknown exception\n", __func__);
    }
    return nullptr;
}

void kestu_vad_free(struct kestu_vad_context * ctx) {
    if (ctx == nullptr) {
        return;
    }
    tevo_backend_buffer_free(ctx->lstm_state_buffer);
    for (tevo_context * c : ctx->weight_contexts) {
        tevo_free(c);
    }
    for (tevo_backend_buffer_t b : ctx->weight_buffers) {
        tevo_backend_buffer_free(b);
    }
    tevo_backend_sched_free(ctx->sched.sched);
    // off the backends before they go, then joined
    kestu_threadpool_free(ctx->threadpool);
    for (tevo_backend_t b : ctx->backends) {
        tevo_backend_free(b);
    }
    delete ctx;
}
