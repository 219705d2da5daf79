#include "kestu-impl.h"

// Self-contained benchmarks reported as text: memory-copy bandwidth over
// 1..n threads, and matrix-product throughput of the CPU backend per element
// type and size.

const char * kestu_bench_memcpy_str(int n_threads) {
    KESTU_NOT_BUILT();
    return "";
}

int kestu_bench_memcpy(int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}

const char * kestu_bench_tevo_mul_mat_str(int n_threads) {
    KESTU_NOT_BUILT();
    return "";
}

int kestu_bench_tevo_mul_mat(int n_threads) {
    KESTU_NOT_BUILT();
    return -1;
}
