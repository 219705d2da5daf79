#pragma once

// What the i-quant quantizers share: the search state of the lattice grids
// (built by iquants-grids.cpp, read under a lock that a release waits for)
// and the row quantizers that take an already-held grid.

#include "quants/blocks.h"

#include <shared_mutex>

// Reads one grid's search state: the grid in working form (byte j of a
// point = 2 * level + 1), the map from packed points (2 bits per value at
// bits 2j, or 3 bits at bits 3j) to grid indices or, negated minus one, to
// the position of the point's neighbour list, and the lists themselves
// (count, then grid indices). Holds the slot's read lock for its lifetime,
// so a release waits until the reader is done; a slot that was never built,
// or was released, aborts here with the quantizers' message.
class tevo_iq_grid_reader {
  public:
    explicit tevo_iq_grid_reader(enum tevo_type type);
    ~tevo_iq_grid_reader();
    tevo_iq_grid_reader(const tevo_iq_grid_reader &)             = delete;
    tevo_iq_grid_reader & operator=(const tevo_iq_grid_reader &) = delete;

    const uint64_t * grid8 = nullptr; // the 8-value grids (2-bit and 1-bit types)
    const uint32_t * grid4 = nullptr; // the 4-value grids (3-bit types)
    const int32_t *  map   = nullptr;
    const uint16_t * neighbours = nullptr;
    int              n_points   = 0;

  private:
    std::shared_mutex * lock_;
};

// The chunk quantizer of a grid type with its grid already held (nrows > 0).
size_t tevo_iq_quantize_rows(enum tevo_type type, const tevo_iq_grid_reader & grid, const float * src, void * dst,
                             int64_t nrows, int64_t n_per_row, const float * quant_weights);

// the 1-bit types' part of it (iq1.cpp)
size_t tevo_iq1_quantize_rows(enum tevo_type type, const tevo_iq_grid_reader & grid, const float * src, void * dst,
                              int64_t nrows, int64_t n_per_row, const float * quant_weights);
