#pragma once

// Extra CPU buffer types: buffer types that keep some weights in a layout of
// their own, and therefore plan and compute the nodes that read them. The
// engine knows them only through these two classes and one process-wide list.

#include "backend/impl.h"
#include "tevo-cpu.h"

#include <vector>

struct tevo_compute_params;

namespace tevo::cpu {

// handed out per node by an extra buffer type
class tensor_traits {
  public:
    virtual ~tensor_traits();
    // true when this object handles op; its work-buffer need goes to size
    virtual bool work_size(int n_threads, const struct tevo_tensor * op, size_t & size) = 0;
    // true when it computed op
    virtual bool compute_forward(struct tevo_compute_params * params, struct tevo_tensor * op) = 0;
};

// the context object of every buffer type in the extra list
class extra_buffer_type {
  public:
    virtual ~extra_buffer_type();
    virtual bool            supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) = 0;
    virtual tensor_traits * get_tensor_traits(const struct tevo_tensor * op) = 0;
};

}  // namespace tevo::cpu

// The repacked-weight buffer type ("CPU_REPACK", cpu/repack/), the only
// member of the list, is public: tevo_backend_cpu_repack_buffer_type in
// tevo-cpu.h, with C linkage.

// the process-wide list, built once on first use
std::vector<tevo_backend_buffer_type_t> & tevo_backend_cpu_get_extra_buffer_types();

// whether the buffer type is one of the extra list
bool tevo_backend_cpu_is_extra_buffer_type(tevo_backend_buffer_type_t buft);

// The hooks through which the graph walk and the planner offer every node to
// the extra buffer types before the engine's own kernels and sizes.
bool tevo_cpu_extra_compute_forward(struct tevo_compute_params * params, struct tevo_tensor * op);
bool tevo_cpu_extra_work_size(int n_threads, const struct tevo_tensor * op, size_t * size);
