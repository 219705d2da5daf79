#include "kestu-impl.h"

// Text decoder graph: token and position embeddings, self-attention over
// kv_self, cross-attention over kv_cross, and the logits of every token;
// optionally collects the cross-attention weights of the alignment heads.

tevo_cgraph * kestu_build_decoder_graph(kestu_context & ctx, kestu_state & state, int32_t n_tokens,
                                        bool save_alignment_heads, bool worst_case) {
    KESTU_NOT_BUILT();
    return nullptr;
}
