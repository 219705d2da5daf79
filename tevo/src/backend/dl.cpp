#define TEVO_SOURCE_PATH "tevo/src/tevo-backend-dl"

#include "backend/dl.h"
#include "core/impl.h"
#include "platform/platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// platform wrappers

void dl_handle_deleter::operator()(void * handle) const {
    dlclose(handle);
}

void * dl_load_library(const char * path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void * dl_get_sym(void * handle, const char * name) {
    return dlsym(handle, name);
}

std::string dl_error() {
    const char * err = dlerror();
    return err != NULL ? std::string(err) : std::string();
}

// ---------------------------------------------------------------------------
// loading one library

static tevo_backend_reg_t load_backend(const fs::path & path, bool quiet) {
    const std::string path_str = path.string();

    dl_handle_ptr handle{dl_load_library(path_str.c_str())};
    if (!handle) {
        if (!quiet) {
            TEVO_LOG_ERROR("%s: failed to load %s: %s\n", "load_backend", path_str.c_str(), dl_error().c_str());
        }
        return NULL;
    }

    auto score_fn = (tevo_backend_score_t) dl_get_sym(handle.get(), "tevo_backend_score");
    if (score_fn != NULL && score_fn() == 0) {
        if (!quiet) {
            TEVO_LOG_INFO("%s: backend %s is not supported on this system\n", "load_backend", path_str.c_str());
        }
        return NULL;
    }

    auto backend_init_fn = (tevo_backend_init_t) dl_get_sym(handle.get(), "tevo_backend_init");
    if (backend_init_fn == NULL) {
        if (!quiet) {
            TEVO_LOG_ERROR("%s: failed to find tevo_backend_init in %s\n", "load_backend", path_str.c_str());
        }
        return NULL;
    }

    tevo_backend_reg_t reg = backend_init_fn();
    if (reg == NULL) {
        if (!quiet) {
            TEVO_LOG_ERROR("%s: failed to initialize backend from %s: tevo_backend_init returned NULL\n",
                           "load_backend", path_str.c_str());
        }
        return NULL;
    }
    if (reg->api_version != TEVO_BACKEND_API_VERSION) {
        if (!quiet) {
            TEVO_LOG_ERROR("%s: failed to initialize backend from %s: incompatible API version (backend: %d, "
                           "current: %d)\n",
                           "load_backend", path_str.c_str(), reg->api_version, TEVO_BACKEND_API_VERSION);
        }
        return NULL;
    }

    TEVO_LOG_INFO("%s: loaded %s backend from %s\n", "load_backend", tevo_backend_reg_name(reg), path_str.c_str());

    // a registry registered before keeps its first handle; this one closes
    // here, and the library stays mapped through the first
    registry_register_backend(reg, handle);

    return reg;
}

tevo_backend_reg_t tevo_backend_load(const char * path) {
    return load_backend(fs::path(path), false);
}

// ---------------------------------------------------------------------------
// searching directories

// the running executable's directory with its trailing slash; empty when unknown
static std::string tevo_backend_exe_dir() {
    std::vector<char> buf(1024);
    // a path cannot be longer than the kernel allows; stop growing there
    while (buf.size() <= 65536) {
        size_t len = tevo_platform_exe_path(buf.data(), buf.size());
        if (len > 0) {
            std::string path(buf.data(), len);
            size_t slash = path.find_last_of('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        buf.resize(buf.size() * 2);
    }
    return std::string();
}

// outcome of a stat() of a search path
enum tevo_path_state {
    TEVO_PATH_EXISTS,
    TEVO_PATH_MISSING,
    TEVO_PATH_ERROR,
};

static tevo_path_state tevo_backend_stat(const fs::path & path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        return TEVO_PATH_EXISTS;
    }
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
        return TEVO_PATH_MISSING;
    }
    TEVO_LOG_DEBUG("%s: posix_stat(%s) failure, error-message: %s\n", "tevo_backend_load_best", path.c_str(),
                   strerror(err));
    return TEVO_PATH_ERROR;
}

void tevo_backend_load_best(const char * name, const char * dir_path) {
    const std::string file_prefix = std::string("libtevo-") + name + "-";
    const std::string file_ext    = ".so";

    std::vector<fs::path> search_paths;
    if (dir_path != NULL) {
        search_paths.push_back(fs::path(dir_path));
    } else {
        const std::string exe_dir = tevo_backend_exe_dir();
        if (!exe_dir.empty()) {
            search_paths.push_back(fs::path(exe_dir));
        }
        std::error_code ec;
        fs::path cwd = fs::current_path(ec);
        if (ec) {
            TEVO_LOG_DEBUG("%s: current_path() failure, error-message: %s\n", "tevo_backend_load_best",
                           ec.message().c_str());
        } else {
            search_paths.push_back(cwd);
        }
    }

    int      best_score = 0;
    fs::path best_path;

    for (const fs::path & search_path : search_paths) {
        tevo_path_state state = tevo_backend_stat(search_path);
        if (state == TEVO_PATH_ERROR) {
            continue;
        }
        if (state == TEVO_PATH_MISSING) {
            TEVO_LOG_DEBUG("%s: search path %s does not exist\n", "tevo_backend_load_best", search_path.c_str());
            continue;
        }

        std::error_code ec;
        fs::directory_iterator dir_it(search_path, fs::directory_options::skip_permission_denied, ec);
        if (ec) {
            TEVO_LOG_DEBUG("%s: failed to enumerate %s: %s\n", "tevo_backend_load_best", search_path.c_str(),
                           ec.message().c_str());
            continue;
        }

        for (fs::directory_iterator end; dir_it != end; dir_it.increment(ec)) {
            if (ec) {
                break;
            }
            const fs::directory_entry & entry = *dir_it;
            std::error_code ec_entry;
            if (!entry.is_regular_file(ec_entry)) {  // follows symbolic links
                continue;
            }
            const std::string filename = entry.path().filename().string();
            if (filename.compare(0, file_prefix.size(), file_prefix) != 0 ||
                entry.path().extension().string() != file_ext) {
                continue;
            }

            dl_handle_ptr handle{dl_load_library(entry.path().c_str())};
            if (!handle) {
                continue;
            }
            auto score_fn = (tevo_backend_score_t) dl_get_sym(handle.get(), "tevo_backend_score");
            if (score_fn != NULL) {
                int score = score_fn();
                if (score > best_score) {
                    best_score = score;
                    best_path  = entry.path();
                }
            }
        }
    }

    if (best_score > 0) {
        load_backend(best_path, true);
        return;
    }

    // no variant scored: the plain library, without a score requirement
    for (const fs::path & search_path : search_paths) {
        fs::path path = search_path / (std::string("libtevo-") + name + file_ext);
        if (tevo_backend_stat(path) == TEVO_PATH_EXISTS) {
            load_backend(path, true);
            return;
        }
    }
}

void tevo_backend_load_all_from_path(const char * dir_path) {
    static const char * const names[] = {
        "blas", "zendnn", "cann", "cuda", "hip", "metal", "rpc", "sycl",
        "vulkan", "virtgpu", "opencl", "hexagon", "musa", "openvino", "cpu",
    };
    for (const char * name : names) {
        tevo_backend_load_best(name, dir_path);
    }

    const char * backend_path = getenv("TEVO_BACKEND_PATH");
    if (backend_path != NULL) {
        tevo_backend_load(backend_path);
    }
}

void tevo_backend_load_all(void) {
    tevo_backend_load_all_from_path(NULL);
}
