#pragma once

// Table machinery shared by the graph-constructor tests: each case builds a
// node in a fresh no-allocation context and states the record it expects.

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/impl.h"
#include "tevo.h"

namespace opstest {

inline uint32_t f32_bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

struct Ctx {
    tevo_context * ctx;

    explicit Ctx(size_t n_tensors = 64) {
        setenv("TEVO_NO_BACKTRACE", "1", 1);
        tevo_init_params params = { n_tensors * tevo_tensor_overhead(), NULL, true };
        ctx                     = tevo_init(params);
    }

    ~Ctx() { tevo_free(ctx); }

    Ctx(const Ctx &)             = delete;
    Ctx & operator=(const Ctx &) = delete;

    tevo_tensor * t(tevo_type type, int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1, int64_t ne3 = 1,
                    const char * name = "") {
        tevo_tensor * r = tevo_new_tensor_4d(ctx, type, ne0, ne1, ne2, ne3);
        tevo_set_name(r, name);
        return r;
    }

    tevo_tensor * f32(int64_t ne0, int64_t ne1 = 1, int64_t ne2 = 1, int64_t ne3 = 1, const char * name = "") {
        return t(TEVO_TYPE_F32, ne0, ne1, ne2, ne3, name);
    }
};

struct Word {
    int      index;
    uint32_t bits;
};

// what a case built: the node, the sources it should carry in order, and the
// tensor it should be a view of (NULL: not a view)
struct Built {
    tevo_tensor *              result;
    std::vector<tevo_tensor *> src;
    tevo_tensor *              view_of = nullptr;
};

struct Expect {
    tevo_type              type;
    std::array<int64_t, 4> ne;
    tevo_op                op;
    std::vector<Word>      words; // every other word must read 0
    std::string            name;
    std::array<size_t, 4>  nb = { 0, 0, 0, 0 }; // all 0: packed strides
};

struct Case {
    const char *               label;
    std::function<Built(Ctx &)> build;
    Expect                     expect;
};

inline std::array<size_t, 4> packed_strides(tevo_type type, const std::array<int64_t, 4> & ne) {
    std::array<size_t, 4> nb;
    nb[0] = tevo_type_size(type);
    nb[1] = nb[0] * (size_t) (ne[0] / tevo_blck_size(type));
    nb[2] = nb[1] * (size_t) ne[1];
    nb[3] = nb[2] * (size_t) ne[2];
    return nb;
}

inline void check_node(const Built & b, const Expect & e) {
    const tevo_tensor * r = b.result;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, e.type);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r->ne[i], e.ne[i]) << "ne[" << i << "]";
    }
    const bool                  packed = e.nb[0] == 0 && e.nb[1] == 0 && e.nb[2] == 0 && e.nb[3] == 0;
    const std::array<size_t, 4> nb     = packed ? packed_strides(e.type, e.ne) : e.nb;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r->nb[i], nb[i]) << "nb[" << i << "]";
    }
    EXPECT_EQ(r->op, e.op) << tevo_op_name(r->op);

    uint32_t words[16] = { 0 };
    for (const Word & w : e.words) {
        words[w.index] = w.bits;
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ((uint32_t) r->op_params[i], words[i]) << "word " << i;
    }

    EXPECT_STREQ(r->name, e.name.c_str());
    EXPECT_EQ(r->flags, 0);

    for (int i = 0; i < TEVO_MAX_SRC; ++i) {
        const tevo_tensor * want = i < (int) b.src.size() ? b.src[i] : nullptr;
        EXPECT_EQ(r->src[i], want) << "src[" << i << "]";
    }

    if (b.view_of) {
        const tevo_tensor * root = b.view_of->view_src ? b.view_of->view_src : b.view_of;
        EXPECT_EQ(r->view_src, root);
    } else {
        EXPECT_EQ(r->view_src, nullptr);
    }
}

inline void run_table(const std::vector<Case> & cases) {
    for (const Case & c : cases) {
        SCOPED_TRACE(c.label);
        Ctx   ctx;
        Built b = c.build(ctx);
        check_node(b, c.expect);
    }
}

// pattern matching an assertion failure of the constructors' unit
inline std::string assert_re(const std::string & cond) {
    const std::string text    = "TEVO_ASSERT(" + cond + ") failed";
    std::string       pattern = "tevo/src/tevo:[0-9]+: ";
    for (char ch : text) {
        if (strchr("\\^$.|?*+()[]{}", ch)) {
            pattern += '\\';
        }
        pattern += ch;
    }
    return pattern;
}

// a constructor call expected to abort with the given condition text
struct DeathCase {
    const char *               label;
    std::function<void(Ctx &)> build;
    const char *               cond;
};

inline void run_deaths(const std::vector<DeathCase> & cases) {
    for (const DeathCase & d : cases) {
        SCOPED_TRACE(d.label);
        Ctx c;
        EXPECT_DEATH(d.build(c), assert_re(d.cond));
    }
}

} // namespace opstest
