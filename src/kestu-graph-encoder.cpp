#include "kestu-impl.h"

// Audio graphs: the convolution stem, the encoder layers and the
// cross-attention key and value projection into kv_cross. Built afresh for
// every run in a no-allocation context over the scheduler's metadata memory.

tevo_cgraph * kestu_build_conv_graph(kestu_context & ctx, kestu_state & state) {
    KESTU_NOT_BUILT();
    return nullptr;
}

tevo_cgraph * kestu_build_encoder_graph(kestu_context & ctx, kestu_state & state) {
    KESTU_NOT_BUILT();
    return nullptr;
}

tevo_cgraph * kestu_build_cross_graph(kestu_context & ctx, kestu_state & state) {
    KESTU_NOT_BUILT();
    return nullptr;
}
