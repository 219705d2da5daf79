#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/tevo-cpu"

#include "cpu/extra-buffer-types.h"

namespace tevo::cpu {

tensor_traits::~tensor_traits() {}

extra_buffer_type::~extra_buffer_type() {}

}  // namespace tevo::cpu

std::vector<tevo_backend_buffer_type_t> & tevo_backend_cpu_get_extra_buffer_types() {
    // a function-local static: concurrent first callers wait for the one that builds it
    static std::vector<tevo_backend_buffer_type_t> bufts = [] {
        std::vector<tevo_backend_buffer_type_t> list;
        if (tevo_backend_buffer_type_t repack = tevo_backend_cpu_repack_buffer_type()) {
            list.push_back(repack);
        }
        return list;
    }();
    return bufts;
}

bool tevo_backend_cpu_is_extra_buffer_type(tevo_backend_buffer_type_t buft) {
    if (buft == NULL) {
        return false;
    }
    for (tevo_backend_buffer_type_t extra : tevo_backend_cpu_get_extra_buffer_types()) {
        if (extra == buft) {
            return true;
        }
    }
    return false;
}

bool tevo_cpu_extra_compute_forward(struct tevo_compute_params * params, struct tevo_tensor * op) {
    for (tevo_backend_buffer_type_t extra : tevo_backend_cpu_get_extra_buffer_types()) {
        if (extra == NULL || extra->context == NULL) {
            continue;
        }
        auto * buft_extra = (tevo::cpu::extra_buffer_type *) extra->context;
        tevo::cpu::tensor_traits * traits = buft_extra->get_tensor_traits(op);
        if (traits != NULL && traits->compute_forward(params, op)) {
            return true;
        }
    }
    return false;
}

bool tevo_cpu_extra_work_size(int n_threads, const struct tevo_tensor * op, size_t * size) {
    for (tevo_backend_buffer_type_t extra : tevo_backend_cpu_get_extra_buffer_types()) {
        if (extra == NULL || extra->context == NULL) {
            continue;
        }
        auto * buft_extra = (tevo::cpu::extra_buffer_type *) extra->context;
        tevo::cpu::tensor_traits * traits = buft_extra->get_tensor_traits(op);
        if (traits != NULL && traits->work_size(n_threads, op, *size)) {
            return true;
        }
    }
    return false;
}
