// Cell bookkeeping of the self-attention cache: where a batch goes, how many
// cells the next graph attends over, which cells a sequence gives up, and the
// sharing of cells between sequences. Also the cache buffer itself.

#include "kestu-impl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct captured {
    std::vector<std::string> lines;
};

void capture(enum tevo_log_level, const char * text, void * user_data) {
    static_cast<captured *>(user_data)->lines.push_back(text);
}

// a cache with cells only: the bookkeeping never touches the buffer
kestu_kv_cache cells_only(uint32_t size) {
    kestu_kv_cache cache;
    cache.size = size;
    cache.cells.resize(size);
    return cache;
}

// batch of n tokens of one sequence at positions p0..
struct batch_holder {
    kestu_batch batch;
    batch_holder(int n_max) : batch(kestu_batch_init(n_max, KESTU_MAX_DECODERS)) {}
    ~batch_holder() { kestu_batch_free(batch); }
};

void fill(kestu_batch & batch, int n, int p0, int32_t seq) {
    kestu_batch_fill(batch, nullptr, n, p0, seq);
}

class KvCache : public ::testing::Test {
protected:
    captured log;
    void SetUp() override { kestu_log_set(capture, &log); }
    void TearDown() override { kestu_log_set(nullptr, nullptr); }
};

TEST_F(KvCache, BatchFillFlagsOnlyTheLastTokenAndCopiesIds) {
    batch_holder h(8);
    const kestu_token ids[3] = { 7, 8, 9 };
    kestu_batch_fill(h.batch, ids, 3, 5, 2);
    EXPECT_EQ(h.batch.n_tokens, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(h.batch.token[i], ids[i]);
        EXPECT_EQ(h.batch.pos[i], 5 + i);
        EXPECT_EQ(h.batch.n_seq_id[i], 1);
        EXPECT_EQ(h.batch.seq_id[i][0], 2);
        EXPECT_EQ(h.batch.logits[i], i == 2 ? 1 : 0);
    }
    // NULL tokens keep the ids
    kestu_batch_fill(h.batch, nullptr, 2, 0, 0);
    EXPECT_EQ(h.batch.token[0], 7);
    EXPECT_EQ(h.batch.logits[1], 1);
    // the sequence-id arrays end with one NULL entry
    EXPECT_EQ(h.batch.seq_id[8], nullptr);
}

TEST_F(KvCache, SlotsFillInOrderAndNCountsUpToTheLastUsedCell) {
    kestu_kv_cache cache = cells_only(16);
    batch_holder   h(16);

    fill(h.batch, 3, 0, 0);
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_EQ(cache.head, 0u);
    EXPECT_EQ(cache.n, 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(cache.cells[i].pos, i);
        EXPECT_TRUE(cache.cells[i].has_seq_id(0));
    }

    // the next search starts at head, skips the used cells
    fill(h.batch, 1, 3, 0);
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_EQ(cache.head, 3u);
    EXPECT_EQ(cache.n, 4u);
    EXPECT_EQ(cache.cells[3].pos, 3);
}

TEST_F(KvCache, OneTokenInCellZeroAttendsOverOneCell) {
    kestu_kv_cache cache = cells_only(8);
    batch_holder   h(8);
    fill(h.batch, 1, 0, 0);
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_EQ(cache.n, 1u);
}

TEST_F(KvCache, TooManyTokensFailWithTheMessage) {
    kestu_kv_cache cache = cells_only(4);
    batch_holder   h(8);
    fill(h.batch, 5, 0, 0);
    EXPECT_FALSE(kestu_kv_cache_find_slot(cache, h.batch));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "kestu_kv_cache_find_slot: n_tokens=5 > n_ctx=4\n");
}

TEST_F(KvCache, NoFreeStretchFailsSilently) {
    kestu_kv_cache cache = cells_only(6);
    batch_holder   h(8);
    // used cells 0..1 and 3..4: free 2 and 5, no stretch of two
    for (int i : { 0, 1, 3, 4 }) {
        cache.cells[i].pos = i;
        cache.cells[i].seq_id.insert(0);
    }
    fill(h.batch, 2, 10, 1);
    EXPECT_FALSE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_TRUE(log.lines.empty());

    // a single token fits, after wrapping from a head near the end
    cache.head = 5;
    fill(h.batch, 1, 10, 1);
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_EQ(cache.head, 5u);
    EXPECT_EQ(cache.n, 6u);
}

TEST_F(KvCache, DropCellsFreesOnlyTheSequenceFromThePosition) {
    kestu_kv_cache cache = cells_only(8);
    for (int i = 0; i < 6; i++) {
        cache.cells[i].pos = i;
        cache.cells[i].seq_id = { 0 };
    }
    cache.cells[4].seq_id.insert(1);
    cache.head = 6;

    kestu_kv_cache_drop_cells(cache, 0, 3);
    EXPECT_EQ(cache.cells[2].pos, 2);
    EXPECT_EQ(cache.cells[3].pos, -1);
    EXPECT_EQ(cache.cells[4].pos, 4); // still held by sequence 1
    EXPECT_FALSE(cache.cells[4].has_seq_id(0));
    EXPECT_EQ(cache.cells[5].pos, -1);
    EXPECT_EQ(cache.head, 3u); // the first freed cell

    // every sequence, from a negative position on: everything goes
    kestu_kv_cache_drop_cells(cache, -1, -5);
    for (const kestu_kv_cell & c : cache.cells) {
        EXPECT_EQ(c.pos, -1);
        EXPECT_TRUE(c.seq_id.empty());
    }
    EXPECT_EQ(cache.head, 0u);

    // an empty cache is left alone
    kestu_kv_cache empty;
    kestu_kv_cache_drop_cells(empty, 0, 0);
    EXPECT_EQ(empty.head, 0u);
}

TEST_F(KvCache, DropWithNothingFreedKeepsTheHead) {
    kestu_kv_cache cache = cells_only(4);
    cache.cells[0].pos = 0;
    cache.cells[0].seq_id = { 1 };
    cache.head = 2;
    kestu_kv_cache_drop_cells(cache, 0, 0);
    EXPECT_EQ(cache.head, 2u);
    EXPECT_EQ(cache.cells[0].pos, 0);
}

TEST_F(KvCache, SequenceCopySharesCellsInTheRange) {
    kestu_kv_cache cache = cells_only(8);
    for (int i = 0; i < 5; i++) {
        cache.cells[i].pos = i;
        cache.cells[i].seq_id = { 0 };
    }
    cache.head = 5;
    kestu_kv_cache_seq_cp(cache, 0, 3, 1, 4);
    EXPECT_EQ(cache.head, 0u);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(cache.cells[i].has_seq_id(3), i >= 1 && i < 4) << i;
        EXPECT_TRUE(cache.cells[i].has_seq_id(0));
    }
    EXPECT_FALSE(cache.cells[6].has_seq_id(3));
}

TEST_F(KvCache, TwoSequencesClaimTheirOwnCellsInOneBatch) {
    kestu_kv_cache cache = cells_only(8);
    batch_holder   h(8);
    fill(h.batch, 2, 0, 0);
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    kestu_kv_cache_seq_cp(cache, 0, 1, 0, 2);

    // one row per sequence at position 2
    h.batch.n_tokens = 2;
    for (int i = 0; i < 2; i++) {
        h.batch.pos[i]       = 2;
        h.batch.n_seq_id[i]  = 1;
        h.batch.seq_id[i][0] = i;
        h.batch.logits[i]    = 1;
    }
    ASSERT_TRUE(kestu_kv_cache_find_slot(cache, h.batch));
    EXPECT_EQ(cache.head, 2u);
    EXPECT_EQ(cache.n, 4u);
    EXPECT_TRUE(cache.cells[2].has_seq_id(0));
    EXPECT_FALSE(cache.cells[2].has_seq_id(1));
    EXPECT_TRUE(cache.cells[3].has_seq_id(1));
    EXPECT_FALSE(cache.cells[3].has_seq_id(0));
}

TEST_F(KvCache, InitMakesZeroedTensorsAndClearForgetsEveryCell) {
    tevo_backend_t backend = tevo_backend_init_by_type(TEVO_BACKEND_DEVICE_TYPE_CPU, nullptr);
    ASSERT_NE(backend, nullptr);

    kestu_kv_cache cache;
    ASSERT_TRUE(kestu_kv_cache_init(cache, backend, TEVO_TYPE_F16, 8, 2, 256));
    EXPECT_EQ(cache.size, 256u);
    EXPECT_EQ(cache.cells.size(), 256u);
    ASSERT_NE(cache.k, nullptr);
    EXPECT_EQ(tevo_nelements(cache.k), 8 * 2 * 256);
    EXPECT_EQ(cache.k->type, TEVO_TYPE_F16);

    std::vector<uint16_t> data((size_t) tevo_nelements(cache.v), 1);
    tevo_backend_tensor_get(cache.v, data.data(), 0, tevo_nbytes(cache.v));
    for (uint16_t v : data) {
        ASSERT_EQ(v, 0u);
    }

    // dirty the buffer and the cells, then clear
    std::vector<uint16_t> ones(data.size(), 0x3c00);
    tevo_backend_tensor_set(cache.k, ones.data(), 0, tevo_nbytes(cache.k));
    cache.cells[7].pos = 7;
    cache.cells[7].seq_id = { 0 };
    cache.head = 8;
    kestu_kv_cache_clear(cache);
    EXPECT_EQ(cache.head, 0u);
    EXPECT_EQ(cache.cells[7].pos, -1);
    EXPECT_TRUE(cache.cells[7].seq_id.empty());
    tevo_backend_tensor_get(cache.k, data.data(), 0, tevo_nbytes(cache.k));
    for (uint16_t v : data) {
        ASSERT_EQ(v, 0u);
    }

    kestu_kv_cache_free(cache);
    EXPECT_EQ(cache.buffer, nullptr);
    kestu_kv_cache_free(cache); // twice is harmless
    tevo_backend_free(backend);
}

} // namespace
