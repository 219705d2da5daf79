#include "kestu-impl.h"

// Decoding state: backends, the three key-value caches, the decoder batch,
// the alignment-head masks and one scheduler per graph kind, each sized once
// by a worst-case graph of its kind.

kestu_batch kestu_batch_init(int32_t n_tokens, int32_t n_seq_max) {
    KESTU_NOT_BUILT();
    return kestu_batch{};
}

void kestu_batch_free(kestu_batch & batch) {
    KESTU_NOT_BUILT();
}

bool kestu_sched_graph_init(kestu_sched & sched, std::vector<tevo_backend_t> backends,
                            const std::function<tevo_cgraph *()> & get_graph) {
    KESTU_NOT_BUILT();
    return false;
}

size_t sched_buffer_size(const kestu_sched & sched) {
    KESTU_NOT_BUILT();
    return 0;
}

size_t tensor_list_nbytes(const std::vector<tevo_tensor *> & tensors) {
    KESTU_NOT_BUILT();
    return 0;
}

std::vector<uint32_t> alignment_heads_for_layer(const kestu_context_params & params, int il, int n_text_layer,
                                                int n_text_head) {
    KESTU_NOT_BUILT();
    return {};
}

struct kestu_state * kestu_init_state(struct kestu_context * ctx) {
    KESTU_NOT_BUILT();
    return nullptr;
}

void kestu_free_state(struct kestu_state * state) {
    KESTU_NOT_BUILT();
}
