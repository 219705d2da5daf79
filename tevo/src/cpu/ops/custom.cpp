#define TEVO_SOURCE_PATH "tevo/src/tevo-cpu/ops"

// Custom operators: every thread of the run calls the user's function once
// with its own ith and the run's nth; the task count only shapes the plan,
// so a function that wants fewer workers skips the surplus ith itself.

#include "cpu/ops/ops.h"

#include <string.h>

static tevo_custom_call tevo_get_custom_call(const tevo_tensor * dst) {
    tevo_custom_call call;
    memcpy(&call, dst->op_params, sizeof(call));
    return call;
}

void tevo_compute_forward_map_custom1(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_custom_call call = tevo_get_custom_call(dst);
    call.fn.map1(dst, dst->src[0], params->ith, params->nth, call.user_data);
}

void tevo_compute_forward_map_custom2(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_custom_call call = tevo_get_custom_call(dst);
    call.fn.map2(dst, dst->src[0], dst->src[1], params->ith, params->nth, call.user_data);
}

void tevo_compute_forward_map_custom3(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_custom_call call = tevo_get_custom_call(dst);
    call.fn.map3(dst, dst->src[0], dst->src[1], dst->src[2], params->ith, params->nth, call.user_data);
}

void tevo_compute_forward_custom(const tevo_compute_params * params, tevo_tensor * dst) {
    const tevo_custom_call call = tevo_get_custom_call(dst);
    call.fn.custom(dst, params->ith, params->nth, call.user_data);
}
