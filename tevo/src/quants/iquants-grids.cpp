#define TEVO_SOURCE_PATH "tevo/src/tevo-quants"

// The search state of the i-quant lattice grids: per grid, the points in
// working form (byte j = 2 * level + 1), a map from every packed point to
// its grid index, and for every packed point off the grid the list of grid
// points at its nearest one, two or three distances. The quantizers round a
// group of values to a packed point and look it up; an off-grid point costs
// only a scan of its short list.
//
// Six slots, built once each and released together; iq1_s and iq1_m share
// one. Builds and releases run inside the tensor library's critical section
// (tevo_quantize_init and tevo_quantize_free). Each slot also carries a
// read-write lock: quantizers hold it for reading while they use the slot
// and a release takes it for writing, so a release waits for the
// quantizers in flight instead of freeing memory under them, and a
// quantizer that comes after the release finds the slot empty and stops
// with a message.

#include "quants/impl.h"
#include "quants/iquants-tables.h"
#include "quants/iquants.h"

#include <mutex>
#include <stdint.h>
#include <stdlib.h>
#include <vector>

namespace {

struct iq_grid_slot {
    void *            grid       = nullptr; // uint64_t per point (8 values) or uint32_t (4 values)
    int32_t *         map        = nullptr;
    uint16_t *        neighbours = nullptr;
    std::shared_mutex lock;
};

struct iq_grid_shape {
    int              width;    // values per point
    int              bits;     // per value in a packed point
    int              map_size; // packed points with an entry
    int              depth;    // distinct distances in a neighbour list
    int              n_points;
    const uint16_t * codes;
};

// The 2-bit map covers every packed point whose levels are all at most 2
// (the largest is 43690), the 3-bit map every packed point.
const iq_grid_shape iq2_shapes[4] = {
    { 8, 2, 43692, 2, 256, iq2_xxs_grid_codes },
    { 8, 2, 43692, 2, 512, iq2_xs_grid_codes },
    { 8, 2, 43692, 3, 2048, iq1_s_grid_codes },
    { 8, 2, 43692, 1, 1024, iq2_s_grid_codes },
};
const iq_grid_shape iq3_shapes[2] = {
    { 4, 3, 4096, 2, 256, iq3_xxs_grid_codes },
    { 4, 3, 4096, 3, 512, iq3_s_grid_codes },
};

// slots 0..3 the 2-bit and 1-bit grids, 4 and 5 the 3-bit ones; built on
// first use so that the locks exist before any caller
iq_grid_slot * iq_slots() {
    static iq_grid_slot slots[6];
    return slots;
}

int iq2_slot_of(enum tevo_type type) {
    switch (type) {
        case TEVO_TYPE_IQ2_XXS: return 0;
        case TEVO_TYPE_IQ2_XS: return 1;
        case TEVO_TYPE_IQ1_S:
        case TEVO_TYPE_IQ1_M: return 2;
        case TEVO_TYPE_IQ2_S: return 3;
        default:
            TEVO_Q_CHECK(false, "type == TEVO_TYPE_IQ2_XXS || type == TEVO_TYPE_IQ2_XS || type == TEVO_TYPE_IQ1_S || "
                                "type == TEVO_TYPE_IQ1_M || type == TEVO_TYPE_IQ2_S");
            return -1;
    }
}

int iq3_slot_of(int grid_size) {
    TEVO_Q_CHECK(grid_size == 256 || grid_size == 512, "grid_size == 256 || grid_size == 512");
    return grid_size == 256 ? 0 : 1;
}

template <typename T> T * iq_alloc(size_t n, const char * what) {
    T * p = (T *) malloc(n * sizeof(T));
    TEVO_Q_CHECK(p != nullptr, what);
    return p;
}

// Every off-grid point's list: the grid points at its `depth` smallest
// squared distances, nearest first, each distance in ascending index order.
// Squared level differences order the points as the working values do
// (those are 2 * level + 1); they fit 16 bits (8 values of at most 3², 4 of
// at most 7²), which doubles the vector lanes. lev holds the grid's levels
// value by value. Only memory private to the building thread is touched, so
// the thread checker, which would slow this tenfold with nothing to find,
// leaves it alone.
__attribute__((no_sanitize("thread"))) void iq_neighbour_lists(const iq_grid_shape & sh, const uint8_t * lev,
                                                               int32_t * map, std::vector<uint16_t> & lists) {
    const int np   = sh.n_points;
    const int mask = (1 << sh.bits) - 1;
    std::vector<uint16_t> buckets[3];
    std::vector<int16_t>  d2((size_t) np);
    for (int i = 0; i < sh.map_size; ++i) {
        if (map[i] >= 0) continue;
        for (int k = 0; k < np; ++k) d2[k] = 0;
        for (int j = 0; j < sh.width; ++j) {
            const int16_t   p = (int16_t) ((i >> (sh.bits * j)) & mask);
            const uint8_t * l = lev + (size_t) j * np;
            for (int k = 0; k < np; ++k) {
                const int16_t t = (int16_t) (l[k] - p);
                d2[k]           = (int16_t) (d2[k] + t * t);
            }
        }
        // the `depth` smallest distinct distances, each a minimum over the
        // distances above the previous one (loops the compiler vectorizes)
        int16_t nearest[3];
        int     found = 0;
        int16_t below = -1;
        for (int t = 0; t < sh.depth; ++t) {
            int16_t m = INT16_MAX;
            for (int k = 0; k < np; ++k) {
                const int16_t v = d2[k];
                m               = (v > below && v < m) ? v : m;
            }
            if (m == INT16_MAX) break;
            nearest[found++] = m;
            below            = m;
        }
        // one pass sorts the near points into their distance's bucket
        for (int t = 0; t < found; ++t) buckets[t].clear();
        for (int k = 0; k < np; ++k) {
            if (d2[k] > below) continue;
            for (int t = 0; t < found; ++t) {
                if (d2[k] == nearest[t]) buckets[t].push_back((uint16_t) k);
            }
        }
        map[i]             = -(int32_t) lists.size() - 1;
        const size_t count = lists.size();
        lists.push_back(0);
        for (int t = 0; t < found; ++t) lists.insert(lists.end(), buckets[t].begin(), buckets[t].end());
        lists[count] = (uint16_t) (lists.size() - count - 1);
    }
}

// Builds a slot's three arrays and publishes them, unless another caller
// published first.
void iq_build(iq_grid_slot & slot, const iq_grid_shape & sh) {
    {
        std::shared_lock<std::shared_mutex> lk(slot.lock);
        if (slot.grid != nullptr) {
            return;
        }
    }
    const int np   = sh.n_points;
    const int mask = (1 << sh.bits) - 1;

    // levels by value, point after point within a value, so that the
    // distance loop runs over contiguous bytes
    std::vector<uint8_t> lev((size_t) sh.width * np);
    for (int k = 0; k < np; ++k) {
        for (int j = 0; j < sh.width; ++j) {
            lev[(size_t) j * np + k] = (uint8_t) ((sh.codes[k] >> (sh.bits * j)) & mask);
        }
    }

    void * grid;
    if (sh.width == 8) {
        uint64_t * g = iq_alloc<uint64_t>((size_t) np, "kgrid_q2xs");
        for (int k = 0; k < np; ++k) {
            uint64_t e = 0;
            for (int j = 0; j < 8; ++j) e |= (uint64_t) (2 * lev[(size_t) j * np + k] + 1) << (8 * j);
            g[k] = e;
        }
        grid = g;
    } else {
        uint32_t * g = iq_alloc<uint32_t>((size_t) np, "kgrid_q3xs");
        for (int k = 0; k < np; ++k) {
            uint32_t e = 0;
            for (int j = 0; j < 4; ++j) e |= (uint32_t) (2 * lev[(size_t) j * np + k] + 1) << (8 * j);
            g[k] = e;
        }
        grid = g;
    }

    int32_t * map = iq_alloc<int32_t>((size_t) sh.map_size, "kmap");
    for (int i = 0; i < sh.map_size; ++i) map[i] = -1;
    for (int k = 0; k < np; ++k) map[sh.codes[k]] = k;

    std::vector<uint16_t> lists;
    iq_neighbour_lists(sh, lev.data(), map, lists);
    uint16_t * neighbours = iq_alloc<uint16_t>(lists.size(), "kneighbors");
    memcpy(neighbours, lists.data(), lists.size() * sizeof(uint16_t));

    std::unique_lock<std::shared_mutex> lk(slot.lock);
    if (slot.grid == nullptr) {
        slot.grid       = grid;
        slot.map        = map;
        slot.neighbours = neighbours;
        return;
    }
    lk.unlock();
    free(grid);
    free(map);
    free(neighbours);
}

// Waits for the slot's readers, then empties it.
void iq_release(iq_grid_slot & slot) {
    void *     grid;
    int32_t *  map;
    uint16_t * neighbours;
    {
        std::unique_lock<std::shared_mutex> lk(slot.lock);
        grid            = slot.grid;
        map             = slot.map;
        neighbours      = slot.neighbours;
        slot.grid       = nullptr;
        slot.map        = nullptr;
        slot.neighbours = nullptr;
    }
    free(grid);
    free(map);
    free(neighbours);
}

} // namespace

tevo_iq_grid_reader::tevo_iq_grid_reader(enum tevo_type type) {
    const bool     three = type == TEVO_TYPE_IQ3_XXS || type == TEVO_TYPE_IQ3_S;
    const int      s     = three ? 4 + iq3_slot_of(type == TEVO_TYPE_IQ3_XXS ? 256 : 512) : iq2_slot_of(type);
    iq_grid_slot & slot  = iq_slots()[s];
    lock_                = &slot.lock;
    lock_->lock_shared();
    if (three) {
        TEVO_Q_CHECK(slot.grid != nullptr, "kgrid_q3xs && \"forgot to call tevo_quantize_init()?\"");
        TEVO_Q_CHECK(slot.map != nullptr, "kmap_q3xs && \"forgot to call tevo_quantize_init()?\"");
        TEVO_Q_CHECK(slot.neighbours != nullptr, "kneighbors_q3xs && \"forgot to call tevo_quantize_init()?\"");
        grid4    = (const uint32_t *) slot.grid;
        n_points = iq3_shapes[s - 4].n_points;
    } else {
        TEVO_Q_CHECK(slot.grid != nullptr, "kgrid_q2xs && \"forgot to call tevo_quantize_init()?\"");
        TEVO_Q_CHECK(slot.map != nullptr, "kmap_q2xs && \"forgot to call tevo_quantize_init()?\"");
        TEVO_Q_CHECK(slot.neighbours != nullptr, "kneighbors_q2xs && \"forgot to call tevo_quantize_init()?\"");
        grid8    = (const uint64_t *) slot.grid;
        n_points = iq2_shapes[s].n_points;
    }
    map        = slot.map;
    neighbours = slot.neighbours;
}

tevo_iq_grid_reader::~tevo_iq_grid_reader() {
    lock_->unlock_shared();
}

extern "C" {

void iq2xs_init_impl(enum tevo_type type) {
    const int s = iq2_slot_of(type);
    iq_build(iq_slots()[s], iq2_shapes[s]);
}

void iq2xs_free_impl(enum tevo_type type) {
    iq_release(iq_slots()[iq2_slot_of(type)]);
}

void iq3xs_init_impl(int grid_size) {
    const int s = iq3_slot_of(grid_size);
    iq_build(iq_slots()[4 + s], iq3_shapes[s]);
}

void iq3xs_free_impl(int grid_size) {
    iq_release(iq_slots()[4 + iq3_slot_of(grid_size)]);
}

} // extern "C"
