#include "kestu-impl.h"

// Model file reading: magic, hyper-parameters, mel filters, vocabulary with
// its special tokens, then the weight tensors, created per buffer type in
// no-allocation contexts, backed by one buffer per buffer type and filled
// straight from the stream.

bool kestu_model_load(kestu_model_loader * loader, kestu_context & ctx) {
    KESTU_NOT_BUILT();
    return false;
}
