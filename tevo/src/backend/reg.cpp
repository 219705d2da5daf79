#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-reg"

#include "backend/dl.h"
#include "tevo-cpu.h"
#include "core/impl.h"

#include <ctype.h>

#include <algorithm>
#include <vector>

struct tevo_backend_reg_entry {
    tevo_backend_reg_t reg;
    dl_handle_ptr      handle;  // empty for built-in and hand-registered registries
};

struct tevo_backend_registry {
    std::vector<tevo_backend_reg_entry> backends;
    std::vector<tevo_backend_dev_t>     devices;

    tevo_backend_registry() {
        dl_handle_ptr none;
        register_backend(tevo_backend_cpu_reg(), none);
    }

    // Runs among the exit handlers. Code in loaded libraries may still run
    // during exit (their registries and devices are never freed), so they
    // stay mapped: the handles are dropped without closing.
    ~tevo_backend_registry() {
        for (auto & entry : backends) {
            (void) entry.handle.release();
        }
    }

    void register_backend(tevo_backend_reg_t reg, dl_handle_ptr & handle) {
        if (reg == NULL) {
            return;
        }
        for (const auto & entry : backends) {
            if (entry.reg == reg) {
                return;
            }
        }
        backends.push_back({reg, std::move(handle)});
        // the count is asked again before every step
        for (size_t i = 0; i < tevo_backend_reg_dev_count(reg); i++) {
            register_device(tevo_backend_reg_dev_get(reg, i));
        }
    }

    void register_device(tevo_backend_dev_t device) {
        if (std::find(devices.begin(), devices.end(), device) == devices.end()) {
            devices.push_back(device);
        }
    }

    void unload_backend(tevo_backend_reg_t reg, bool quiet) {
        auto it = std::find_if(backends.begin(), backends.end(),
                               [reg](const tevo_backend_reg_entry & entry) { return entry.reg == reg; });
        if (it == backends.end()) {
            if (!quiet) {
                TEVO_LOG_ERROR("%s: backend not found\n", "unload_backend");
            }
            return;
        }
        if (!quiet) {
            TEVO_LOG_DEBUG("%s: unloading %s backend\n", "unload_backend", tevo_backend_reg_name(reg));
        }
        devices.erase(std::remove_if(devices.begin(), devices.end(),
                                     [reg](tevo_backend_dev_t dev) { return tevo_backend_dev_backend_reg(dev) == reg; }),
                      devices.end());
        // the entry's handle closes the library
        backends.erase(it);
    }
};

static tevo_backend_registry & get_reg() {
    static tevo_backend_registry reg;
    return reg;
}

void registry_register_backend(tevo_backend_reg_t reg, dl_handle_ptr & handle) {
    get_reg().register_backend(reg, handle);
}

void tevo_backend_register(tevo_backend_reg_t reg) {
    dl_handle_ptr none;
    get_reg().register_backend(reg, none);
}

void tevo_backend_device_register(tevo_backend_dev_t device) {
    get_reg().register_device(device);
}

size_t tevo_backend_reg_count(void) {
    return get_reg().backends.size();
}

tevo_backend_reg_t tevo_backend_reg_get(size_t index) {
    TEVO_ASSERT(index < tevo_backend_reg_count());
    return get_reg().backends[index].reg;
}

// whole texts equal ignoring letter case; a prefix is no match
static bool tevo_backend_names_match(const char * a, const char * b) {
    size_t i = 0;
    for (; a[i] != '\0' && b[i] != '\0'; i++) {
        if (tolower((unsigned char) a[i]) != tolower((unsigned char) b[i])) {
            return false;
        }
    }
    return a[i] == '\0' && b[i] == '\0';
}

tevo_backend_reg_t tevo_backend_reg_by_name(const char * name) {
    for (size_t i = 0; i < tevo_backend_reg_count(); i++) {
        tevo_backend_reg_t reg = tevo_backend_reg_get(i);
        if (tevo_backend_names_match(tevo_backend_reg_name(reg), name)) {
            return reg;
        }
    }
    return NULL;
}

size_t tevo_backend_dev_count(void) {
    return get_reg().devices.size();
}

tevo_backend_dev_t tevo_backend_dev_get(size_t index) {
    TEVO_ASSERT(index < tevo_backend_dev_count());
    return get_reg().devices[index];
}

tevo_backend_dev_t tevo_backend_dev_by_name(const char * name) {
    for (size_t i = 0; i < tevo_backend_dev_count(); i++) {
        tevo_backend_dev_t dev = tevo_backend_dev_get(i);
        if (tevo_backend_names_match(tevo_backend_dev_name(dev), name)) {
            return dev;
        }
    }
    return NULL;
}

tevo_backend_dev_t tevo_backend_dev_by_type(enum tevo_backend_device_type type) {
    for (size_t i = 0; i < tevo_backend_dev_count(); i++) {
        tevo_backend_dev_t dev = tevo_backend_dev_get(i);
        if (tevo_backend_dev_type(dev) == type) {
            return dev;
        }
    }
    return NULL;
}

tevo_backend_t tevo_backend_init_by_name(const char * name, const char * params) {
    tevo_backend_dev_t dev = tevo_backend_dev_by_name(name);
    if (dev == NULL) {
        return NULL;
    }
    return tevo_backend_dev_init(dev, params);
}

tevo_backend_t tevo_backend_init_by_type(enum tevo_backend_device_type type, const char * params) {
    tevo_backend_dev_t dev = tevo_backend_dev_by_type(type);
    if (dev == NULL) {
        return NULL;
    }
    return tevo_backend_dev_init(dev, params);
}

tevo_backend_t tevo_backend_init_best(void) {
    tevo_backend_dev_t dev = tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_GPU);
    if (dev == NULL) {
        dev = tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_GPU_SECONDARY);
    }
    if (dev == NULL) {
        dev = tevo_backend_dev_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU);
    }
    if (dev == NULL) {
        return NULL;
    }
    return tevo_backend_dev_init(dev, NULL);
}

void tevo_backend_unload(tevo_backend_reg_t reg) {
    get_reg().unload_backend(reg, true);
}
