#include "kestu-impl.h"

// Which backends a state computes on, and in which buffer type each model
// weight lives: matrix and row-lookup weights take the first buffer type
// whose device accepts a trial operation on them, all others the plain type.
//
// The trial operation is how the CPU's repacking buffer type gets the matrix
// weights it can serve: the device answers for a node whose weight would live
// in that buffer type, so the weight gets a zero-size buffer of the type just
// for the question.

#include <stdexcept>

namespace {

bool is_gpu_type(enum tevo_backend_device_type type) {
    return type == TEVO_BACKEND_DEVICE_TYPE_GPU || type == TEVO_BACKEND_DEVICE_TYPE_GPU_SECONDARY;
}

// the GPU backend chosen by use_gpu and gpu_device, or NULL
tevo_backend_t kestu_backend_init_gpu(const kestu_context_params & params) {
    static const char * const func = "kestu_backend_init_gpu";

    tevo_backend_dev_t dev = nullptr;
    if (params.use_gpu) {
        int cnt = 0;
        for (size_t i = 0; i < tevo_backend_dev_count(); ++i) {
            tevo_backend_dev_t dev_cur = tevo_backend_dev_get(i);
            const enum tevo_backend_device_type type = tevo_backend_dev_type(dev_cur);
            KESTU_LOG_INFO("%s: device %zu: %s (type: %d)\n", func, i, tevo_backend_dev_name(dev_cur), (int) type);
            if (is_gpu_type(type)) {
                KESTU_LOG_INFO("%s: found GPU device %zu: %s (type: %d, cnt: %d)\n", func, i,
                               tevo_backend_dev_name(dev_cur), (int) type, cnt);
                if (cnt == params.gpu_device) {
                    dev = dev_cur;
                }
                if (++cnt > params.gpu_device) {
                    break;
                }
            }
        }
    }

    if (dev == nullptr) {
        KESTU_LOG_INFO("%s: no GPU found\n", func);
        return nullptr;
    }

    KESTU_LOG_INFO("%s: using %s backend\n", func, tevo_backend_dev_name(dev));
    tevo_backend_t result = tevo_backend_dev_init(dev, nullptr);
    if (!result) {
        KESTU_LOG_ERROR("%s: failed to initialize %s backend\n", func, tevo_backend_dev_name(dev));
    }
    return result;
}

} // namespace

std::vector<tevo_backend_t> kestu_backend_init(const kestu_context_params & params) {
    // the tensor library logs through the same callback
    kestu_log_callback callback = nullptr;
    void *             user_data = nullptr;
    kestu_log_get(&callback, &user_data);
    tevo_log_set(callback, user_data);

    std::vector<tevo_backend_t> result;

    tevo_backend_t backend_gpu = kestu_backend_init_gpu(params);
    if (backend_gpu) {
        result.push_back(backend_gpu);
    }

    for (size_t i = 0; i < tevo_backend_dev_count(); ++i) {
        tevo_backend_dev_t dev = tevo_backend_dev_get(i);
        if (tevo_backend_dev_type(dev) != TEVO_BACKEND_DEVICE_TYPE_ACCEL) {
            continue;
        }
        KESTU_LOG_INFO("%s: using %s backend\n", __func__, tevo_backend_dev_name(dev));
        tevo_backend_t backend = tevo_backend_dev_init(dev, nullptr);
        if (!backend) {
            KESTU_LOG_ERROR("%s: failed to initialize %s backend\n", __func__, tevo_backend_dev_name(dev));
            continue;
        }
        result.push_back(backend);
    }

    tevo_backend_t backend_cpu = tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU, nullptr);
    if (backend_cpu == nullptr) {
        // the list would be unusable; free what was made so the throw leaks nothing
        for (tevo_backend_t b : result) {
            tevo_backend_free(b);
        }
        throw std::runtime_error("failed to initialize CPU backend");
    }
    result.push_back(backend_cpu);

    return result;
}

kestu_buft_list (*kestu_buft_list_for_tests)(const kestu_context_params & params) = nullptr;

kestu_buft_list kestu_make_buffer_type_list(const kestu_context_params & params) {
    if (kestu_buft_list_for_tests != nullptr) {
        return kestu_buft_list_for_tests(params);
    }
    kestu_buft_list buft_list;

    if (params.use_gpu) {
        int cnt = 0;
        for (size_t i = 0; i < tevo_backend_dev_count(); ++i) {
            tevo_backend_dev_t dev = tevo_backend_dev_get(i);
            if (!is_gpu_type(tevo_backend_dev_type(dev))) {
                continue;
            }
            if (cnt++ == params.gpu_device) {
                tevo_backend_buffer_type_t buft = tevo_backend_dev_buffer_type(dev);
                if (buft) {
                    buft_list.emplace_back(dev, buft);
                }
                break;
            }
        }
    }

    tevo_backend_dev_t cpu_dev = tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU);
    if (cpu_dev) {
        tevo_backend_reg_t reg = tevo_backend_dev_backend_reg(cpu_dev);
        auto get_extra_bufts = (tevo_backend_dev_get_extra_bufts_t) tevo_backend_reg_get_proc_address(
            reg, "tevo_backend_dev_get_extra_bufts");
        if (get_extra_bufts) {
            tevo_backend_buffer_type_t * extra = get_extra_bufts(cpu_dev);
            while (extra && *extra) {
                buft_list.emplace_back(cpu_dev, *extra);
                ++extra;
            }
        }
    }

    buft_list.emplace_back(cpu_dev, tevo_backend_cpu_buffer_type());

    return buft_list;
}

namespace {

// does dev compute op's trial node when the weight lives in buft?
bool weight_buft_supported(const kestu_hparams & hparams, tevo_tensor * w, enum tevo_op op,
                           tevo_backend_buffer_type_t buft, tevo_backend_dev_t dev) {
    tevo_init_params params = {
        /*.mem_size   =*/ 2 * tevo_tensor_overhead(),
        /*.mem_buffer =*/ nullptr,
        /*.no_alloc   =*/ true,
    };
    tevo_context * ctx = tevo_init(params);
    if (!ctx) {
        throw std::runtime_error("failed to create tevo context");
    }

    tevo_tensor * op_tensor = nullptr;
    switch (op) {
        case TEVO_OP_MUL_MAT: {
            tevo_tensor * b = tevo_new_tensor_4d(ctx, TEVO_TYPE_F32, w->ne[0], hparams.n_audio_ctx, w->ne[2], w->ne[3]);
            op_tensor = tevo_mul_mat(ctx, w, b);
            break;
        }
        case TEVO_OP_GET_ROWS: {
            tevo_tensor * ids = tevo_new_tensor_1d(ctx, TEVO_TYPE_I32, 8);
            op_tensor = tevo_get_rows(ctx, w, ids);
            break;
        }
        default:
            TEVO_ASSERT(false && "unsupported trial operation");
    }

    // the device sees which buffer type the weight's data would live in
    TEVO_ASSERT(w->buffer == nullptr);
    w->buffer = tevo_backend_buft_alloc_buffer(buft, 0);
    const bool supported = tevo_backend_dev_supports_op(dev, op_tensor);
    tevo_backend_buffer_free(w->buffer);
    w->buffer = nullptr;

    tevo_free(ctx);
    return supported;
}

tevo_backend_buffer_type_t select_weight_buft(const kestu_hparams & hparams, tevo_tensor * w, enum tevo_op op,
                                              const kestu_buft_list & buft_list) {
    TEVO_ASSERT(!buft_list.empty());

    for (const auto & [dev, buft] : buft_list) {
        if (dev == nullptr) {
            // no CPU device registered: only the plain host type is usable
            if (buft == tevo_backend_cpu_buffer_type()) {
                return buft;
            }
            continue;
        }
        const enum tevo_backend_device_type type = tevo_backend_dev_type(dev);
        const bool acceptable = is_gpu_type(type) ||
                                (type == TEVO_BACKEND_DEVICE_TYPE_CPU && buft == tevo_backend_cpu_buffer_type());
        if (op == TEVO_OP_MUL_MAT || op == TEVO_OP_GET_ROWS) {
            if (acceptable || weight_buft_supported(hparams, w, op, buft, dev)) {
                return buft;
            }
        } else if (acceptable) {
            return buft;
        }
    }
    return nullptr;
}

} // namespace

tevo_tensor * create_model_tensor(kestu_placement & placement, int32_t role, int32_t kind, tevo_tensor * meta,
                                  int32_t layer) {
    const enum tevo_op op = kestu_tensor_ops.at(role);
    const char * name_template = kestu_tensor_names.at(kind).at(role);

    tevo_backend_buffer_type_t buft = select_weight_buft(placement.hparams, meta, op, placement.buft_list);
    if (!buft) {
        throw std::runtime_error(kestu_format("failed to find a compatible buffer type for tensor %s", name_template));
    }

    tevo_context * ctx = nullptr;
    auto it = placement.ctx_map.find(buft);
    if (it != placement.ctx_map.end()) {
        ctx = it->second;
    } else {
        tevo_init_params params = {
            /*.mem_size   =*/ placement.n_tensors * tevo_tensor_overhead(),
            /*.mem_buffer =*/ nullptr,
            /*.no_alloc   =*/ true,
        };
        ctx = tevo_init(params);
        if (!ctx) {
            throw std::runtime_error("failed to create tevo context");
        }
        placement.ctx_map[buft] = ctx;
        placement.model.ctxs.push_back(ctx);
    }

    tevo_tensor * tensor = tevo_dup_tensor(ctx, meta);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    placement.model.tensors[kestu_format(name_template, layer)] = tensor;
#pragma GCC diagnostic pop

    return tensor;
}
