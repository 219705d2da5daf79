// A tiny backend library for the registry tests. One source, built several
// times; the compile definitions choose its names, device type, interface
// version, score and failure:
//   TB_REG_NAME, TB_DEV_NAME   registry and device names (texts)
//   TB_DEV_TYPE                device type number (default 1, GPU)
//   TB_API_VERSION             reported interface version (default 3)
//   TB_SCORE                   exports "tevo_backend_score" returning it
//   TB_INIT_NULL               "tevo_backend_init" returns NULL
//   TB_NO_INIT                 exports no "tevo_backend_init"
// It calls no library function: everything goes through its own tables.

#include "backend/impl.h"

#ifndef TB_DEV_TYPE
#define TB_DEV_TYPE 1
#endif
#ifndef TB_API_VERSION
#define TB_API_VERSION 3
#endif

namespace {

const char * tb_backend_name(tevo_backend_t backend) {
    return TB_DEV_NAME;
}

void tb_backend_free(tevo_backend_t backend) {
    delete backend;
}

const char * tb_dev_name(tevo_backend_dev_t dev) {
    return TB_DEV_NAME;
}

const char * tb_dev_description(tevo_backend_dev_t dev) {
    return "test device";
}

void tb_dev_memory(tevo_backend_dev_t dev, size_t * mem_free, size_t * mem_total) {
    *mem_free  = 0;
    *mem_total = 0;
}

enum tevo_backend_device_type tb_dev_type(tevo_backend_dev_t dev) {
    return (enum tevo_backend_device_type) TB_DEV_TYPE;
}

void tb_dev_props(tevo_backend_dev_t dev, struct tevo_backend_dev_props * props) {
    props->name        = TB_DEV_NAME;
    props->description = "test device";
    props->type        = tb_dev_type(dev);
}

// the backend keeps the parameter text it was created with as its context
tevo_backend_t tb_dev_init(tevo_backend_dev_t dev, const char * params) {
    struct tevo_backend_i iface = {};
    iface.get_name = tb_backend_name;
    iface.free     = tb_backend_free;
    return new tevo_backend{NULL, iface, dev, (void *) params};
}

bool tb_dev_supports_op(tevo_backend_dev_t dev, const struct tevo_tensor * op) {
    return false;
}

bool tb_dev_supports_buft(tevo_backend_dev_t dev, tevo_backend_buffer_type_t buft) {
    return false;
}

const char * tb_reg_name(tevo_backend_reg_t reg);
size_t       tb_reg_dev_count(tevo_backend_reg_t reg);
tevo_backend_dev_t tb_reg_dev_get(tevo_backend_reg_t reg, size_t index);

struct tevo_backend_reg tb_reg = {
    TB_API_VERSION,
    {tb_reg_name, tb_reg_dev_count, tb_reg_dev_get, NULL},
    NULL,
};

struct tevo_backend_device tb_device = {
    {tb_dev_name, tb_dev_description, tb_dev_memory, tb_dev_type, tb_dev_props, tb_dev_init, NULL, NULL, NULL,
     tb_dev_supports_op, tb_dev_supports_buft, NULL, NULL, NULL, NULL},
    &tb_reg,
    NULL,
};

const char * tb_reg_name(tevo_backend_reg_t reg) {
    return TB_REG_NAME;
}

size_t tb_reg_dev_count(tevo_backend_reg_t reg) {
    return 1;
}

tevo_backend_dev_t tb_reg_dev_get(tevo_backend_reg_t reg, size_t index) {
    return &tb_device;
}

}  // namespace

extern "C" {

#ifndef TB_NO_INIT
__attribute__((visibility("default"))) tevo_backend_reg_t tevo_backend_init(void) {
#ifdef TB_INIT_NULL
    return NULL;
#else
    return &tb_reg;
#endif
}
#endif

#ifdef TB_SCORE
__attribute__((visibility("default"))) int tevo_backend_score(void) {
    return TB_SCORE;
}
#endif

}
