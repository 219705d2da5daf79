#pragma once

// Several devices for the meta backend's tests. The CPU registry has one
// device, so each test device is a record with the CPU device's slots whose
// backends (CPU backends) report the test device as theirs; the devices of a
// set share one registry. One set's registry also offers the communication
// functions, a plain summation over host memory, so both reduction paths of
// the meta backend run. Split states of stored tensors come from a table by
// tensor name.

#include "backend/impl.h"
#include "meta/impl.h"
#include "tevo-alloc.h"
#include "tevo-cpu.h"
#include "tevo-meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace metatest {

constexpr int max_devices = 4;

struct comm_stats {
    int  n_init      = 0;
    int  n_allreduce = 0;
    int  n_free      = 0;
    bool succeed     = true; // false: decline, so the meta backend reduces by itself
};

struct device_set {
    tevo_backend_reg    reg = {};
    tevo_backend_device devs[max_devices];
    bool                comm     = false;
    int                 n_threads = 2;
    comm_stats          stats;
};

inline device_set * set_of(tevo_backend_reg_t reg) {
    return (device_set *) reg->context;
}

// ---------------------------------------------------------------------------
// communication functions

struct comm_ctx {
    device_set * set;
    size_t       n;
};

inline void * comm_init(tevo_backend_t * backends, size_t n) {
    device_set * set = set_of(tevo_backend_get_device(backends[0])->reg);
    set->stats.n_init++;
    return new comm_ctx{ set, n };
}

inline bool comm_allreduce(void * ctx, tevo_tensor ** tensors) {
    comm_ctx * c = (comm_ctx *) ctx;
    c->set->stats.n_allreduce++;
    if (!c->set->stats.succeed || tensors[0]->type != TEVO_TYPE_F32) {
        return false;
    }
    const size_t       n = (size_t) tevo_nelements(tensors[0]);
    std::vector<float> sum(n, 0.0f);
    std::vector<float> part(n);
    for (size_t j = 0; j < c->n; j++) {
        tevo_backend_tensor_get(tensors[j], part.data(), 0, n * sizeof(float));
        for (size_t i = 0; i < n; i++) {
            sum[i] += part[i];
        }
    }
    for (size_t j = 0; j < c->n; j++) {
        tevo_backend_tensor_set(tensors[j], sum.data(), 0, n * sizeof(float));
    }
    return true;
}

inline void comm_free(void * ctx) {
    comm_ctx * c = (comm_ctx *) ctx;
    c->set->stats.n_free++;
    delete c;
}

// ---------------------------------------------------------------------------
// registry and devices

inline const char * reg_name(tevo_backend_reg_t) {
    return "MetaTest";
}

inline size_t reg_dev_count(tevo_backend_reg_t) {
    return max_devices;
}

inline tevo_backend_dev_t reg_dev(tevo_backend_reg_t reg, size_t index) {
    return &set_of(reg)->devs[index];
}

inline void * reg_proc(tevo_backend_reg_t reg, const char * name) {
    if (set_of(reg)->comm) {
        if (strcmp(name, "tevo_backend_comm_init") == 0) {
            return (void *) comm_init;
        }
        if (strcmp(name, "tevo_backend_comm_allreduce_tensor") == 0) {
            return (void *) comm_allreduce;
        }
        if (strcmp(name, "tevo_backend_comm_free") == 0) {
            return (void *) comm_free;
        }
    }
    return tevo_backend_reg_get_proc_address(tevo_backend_cpu_reg(), name);
}

inline tevo_backend_t dev_init_backend(tevo_backend_dev_t dev, const char *) {
    tevo_backend_t backend = tevo_backend_cpu_init();
    backend->device        = dev;
    tevo_backend_cpu_set_n_threads(backend, set_of(dev->reg)->n_threads);
    return backend;
}

inline void init_set(device_set & set, bool comm) {
    tevo_backend_dev_t cpu = tevo_backend_reg_dev_get(tevo_backend_cpu_reg(), 0);
    set.comm               = comm;
    set.reg.api_version    = TEVO_BACKEND_API_VERSION;
    set.reg.iface          = { reg_name, reg_dev_count, reg_dev, reg_proc };
    set.reg.context        = &set;
    for (tevo_backend_device & d : set.devs) {
        d                    = *cpu;
        d.iface.init_backend = dev_init_backend;
        d.reg                = &set.reg;
    }
}

// meta devices are made once per device list, so the sets live as long
inline device_set & plain_set() {
    static device_set set;
    static bool       made = (init_set(set, false), true);
    (void) made;
    return set;
}

inline device_set & comm_set() {
    static device_set set;
    static bool       made = (init_set(set, true), true);
    (void) made;
    return set;
}

// ---------------------------------------------------------------------------
// split states by tensor name

inline std::map<std::string, meta_split_state> & states() {
    static std::map<std::string, meta_split_state> table;
    return table;
}

inline meta_split_state state_by_name(const tevo_tensor * tensor, void *) {
    auto it = states().find(tensor->name);
    if (it == states().end()) {
        return meta_split_state_plain(TEVO_BACKEND_SPLIT_AXIS_MIRRORED);
    }
    return it->second;
}

// a plain split with the given per-device extents
inline meta_split_state split(tevo_backend_meta_split_axis axis, const std::vector<int64_t> & ne) {
    meta_split_state ss = meta_split_state_plain(axis);
    for (size_t j = 0; j < ne.size(); j++) {
        ss.ne[j] = ne[j];
    }
    return ss;
}

// n extents as even as possible, the first ones larger, each a multiple of unit
inline std::vector<int64_t> even_shares(int64_t total, int n, int64_t unit = 1) {
    std::vector<int64_t> ne(n);
    const int64_t        units = total / unit;
    for (int j = 0; j < n; j++) {
        ne[j] = (units / n + (j < units % n ? 1 : 0)) * unit;
    }
    return ne;
}

inline tevo_backend_dev_t meta_device(device_set & set, int n) {
    std::vector<tevo_backend_dev_t> devs;
    for (int j = 0; j < n; j++) {
        devs.push_back(&set.devs[j]);
    }
    return tevo_backend_meta_device(devs.data(), devs.size(), state_by_name, &states());
}

inline tevo_context * no_alloc_ctx(size_t n_tensors = 256) {
    tevo_init_params params = { n_tensors * tevo_tensor_overhead() + tevo_graph_overhead(), nullptr, true };
    return tevo_init(params);
}

}
