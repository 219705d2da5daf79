// tevo-iquant-grids: writes the code lists of the i-quant lattice grids as a
// C++ header (tevo/src/quants/iquants-codes.h).
//
//   build/tools/iquant-grids/tevo-iquant-grids > tevo/src/quants/iquants-codes.h
//
// A code packs one level per value of a group: 2 bits per value at bits 2j
// for the 8-value grids (levels 0..2), 3 bits at bits 3j for the 4-value
// grids (levels 0..7). The formats fix each list's size, its first and last
// entries and, for some, an even sum of levels; which points fill the rest
// is ours. We take the points that Gaussian data land on most often when
// quantized under the format's own rules:
//
// 1. The admissible points: levels in range, the parity rule where stated,
//    nothing below the fixed first entries or above the fixed last ones
//    except those entries themselves.
// 2. Gaussian blocks of 256 values with log-normal importance weights are
//    quantized by a model of the format's quantizer (its sub-block size,
//    weights, sign-parity flip, candidate scales and nearest-point search)
//    with every admissible point available; each group's chosen point is
//    counted. The most frequent points, with the fixed ones, form the list.
// 3. For the 2- and 3-bit grids the list is then improved by swaps: the
//    quantizer runs constrained to the list; each missing point collects the
//    error the groups that wanted it would have saved, each listed point the
//    error its groups would add were it gone (moving to their next nearest
//    listed point). A batch of the best gains replaces as many of the
//    smallest losses; a batch is kept only if the weighted error on a
//    separate set of blocks falls, else the batch size halves, until it
//    reaches zero or 40 rounds have run.
//
// The 1-bit grid's groups are split exactly into three levels (the split
// does not depend on the grid), so one counting round is all it needs; it
// also keeps the all-zero point, which a zero sub-block is written as.
//
// Everything is seeded and the Gaussian numbers come from the raw Mersenne
// Twister output: the same program writes the same lists (it takes a few
// minutes).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// lattices and lists

struct Lattice {
    int width;  // values per group
    int bits;   // per value in a code
    int levels; // levels per value

    int  ncodes() const { return 1 << (width * bits); }
    int  level(uint32_t code, int j) const { return (int) (code >> (bits * j)) & ((1 << bits) - 1); }
    bool in_range(uint32_t code) const {
        for (int j = 0; j < width; ++j) {
            if (level(code, j) >= levels) return false;
        }
        return true;
    }
    int level_sum(uint32_t code) const {
        int s = 0;
        for (int j = 0; j < width; ++j) s += level(code, j);
        return s;
    }
};

const Lattice lattice2 = { 8, 2, 3 };
const Lattice lattice3 = { 4, 3, 8 };

struct ListRules {
    const char *          name;
    const char *          doc;
    const Lattice *       lat;
    int                   size;
    bool                  even;
    std::vector<uint32_t> first; // the list's first entries
    std::vector<uint32_t> last;  // and its last ones
    std::vector<uint32_t> keep;  // further points it must hold
};

std::vector<uint8_t> admissible(const ListRules & s) {
    std::vector<uint8_t> a((size_t) s.lat->ncodes(), 0);
    for (uint32_t c = 0; c < (uint32_t) s.lat->ncodes(); ++c) {
        if (!s.lat->in_range(c)) continue;
        if (s.even && s.lat->level_sum(c) % 2 != 0) continue;
        const bool fixed = std::find(s.first.begin(), s.first.end(), c) != s.first.end() ||
                           std::find(s.last.begin(), s.last.end(), c) != s.last.end();
        if (!fixed && (c < s.first.back() || c > s.last.front())) continue;
        a[c] = 1;
    }
    return a;
}

// ---------------------------------------------------------------------------
// nearest points of a set: for every in-range code not in the set, the
// set's points at the two smallest squared distances of levels; the search
// then picks the one with the smallest weighted error.

struct Projection {
    std::vector<std::vector<uint16_t>> near; // by code; empty for members
};

Projection project_onto(const Lattice & lat, const std::vector<uint8_t> & set) {
    std::vector<uint32_t> members;
    for (uint32_t c = 0; c < set.size(); ++c) {
        if (set[c]) members.push_back(c);
    }
    Projection p;
    p.near.resize(set.size());
    std::vector<int> dist(members.size());
    for (uint32_t c = 0; c < set.size(); ++c) {
        if (set[c] || !lat.in_range(c)) continue;
        int d1 = INT32_MAX, d2 = INT32_MAX;
        for (size_t k = 0; k < members.size(); ++k) {
            int d = 0;
            for (int j = 0; j < lat.width; ++j) {
                const int t = lat.level(c, j) - lat.level(members[k], j);
                d += t * t;
            }
            dist[k] = d;
            if (d < d1) {
                d2 = d1;
                d1 = d;
            } else if (d > d1 && d < d2) {
                d2 = d;
            }
        }
        for (size_t k = 0; k < members.size(); ++k) {
            if (dist[k] <= d2) p.near[c].push_back((uint16_t) members[k]);
        }
    }
    return p;
}

int nearest_int(float v) {
    return (int) std::nearbyint(v);
}

// ---------------------------------------------------------------------------
// data

struct Block {
    std::array<float, 256> x;
    std::array<float, 256> qw;
};

// Gaussian numbers by Box-Muller from the raw Mersenne Twister output, which
// the language fixes (its distributions it does not), so every standard
// library draws the same data.
struct Gauss {
    std::mt19937 rng;
    double       spare    = 0.0;
    bool         has_spare = false;

    explicit Gauss(uint32_t seed) : rng(seed) {}
    double uniform() { return ((double) rng() + 0.5) / 4294967296.0; }
    double operator()() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        const double a = 6.283185307179586 * uniform();
        spare          = r * std::sin(a);
        has_spare      = true;
        return r * std::cos(a);
    }
};

// values N(0, 1); importance weights log-normal, exp(N(0, 0.5))
std::vector<Block> gaussian_blocks(int n, uint32_t seed) {
    Gauss              g(seed);
    std::vector<Block> blocks((size_t) n);
    for (Block & b : blocks) {
        for (int i = 0; i < 256; ++i) {
            b.x[i]  = (float) g();
            b.qw[i] = (float) std::exp(0.5 * g());
        }
    }
    return blocks;
}

// ---------------------------------------------------------------------------
// model of the 2- and 3-bit quantizers

struct LatticeQuantizer {
    int   sub;           // values per sub-block scale
    bool  flip;          // odd sign counts made even by flipping the least important value
    float sigma2_factor; // sigma2 = factor * sum(x²) / 256
    int   is_lo, is_hi;  // candidate range
    float c0, c1;        // inverse scale (c0 + c1 * is) / top
    bool  nonneg_start;  // top from a weighted fit of the magnitudes (iq2_xxs)
};

// weighted fit x ~ s * L, L in 0..nmax; returns s
float nonneg_fit(int n, int nmax, const float * x, const float * w) {
    float max = 0.0f;
    for (int i = 0; i < n; ++i) max = std::max(max, x[i]);
    if (max < 1e-15f) return 0.0f;
    float iscale = nmax / max, best = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float d = x[i] - nearest_int(iscale * x[i]) / iscale;
        best += w[i] * d * d;
    }
    for (float delta : { -0.4f, -0.3f, -0.2f, -0.1f, 0.1f, 0.2f, 0.3f, 0.4f }) {
        const float is  = (nmax + delta) / max;
        float       err = 0.0f;
        for (int i = 0; i < n; ++i) {
            const float d = x[i] - std::min(nmax, nearest_int(is * x[i])) / is;
            err += w[i] * d * d;
        }
        if (err < best) {
            best   = err;
            iscale = is;
        }
    }
    float sumlx = 0.0f, suml2 = 0.0f;
    for (int i = 0; i < n; ++i) {
        const int l = std::min(nmax, nearest_int(iscale * x[i]));
        sumlx += w[i] * x[i] * l;
        suml2 += w[i] * l * l;
    }
    return suml2 > 0.0f ? sumlx / suml2 : 0.0f;
}

struct SimResult {
    std::vector<double> counts; // by code: the points the groups wanted
    std::vector<double> gain;   // by code off the grid: error saved had it been there
    std::vector<double> loss;   // by grid code: error added were it gone
    double              err = 0.0;
};

// the point among `near` with the smallest weighted error at this scale
uint32_t pick(const Lattice & lat, const std::vector<uint16_t> & near, const float * mag, const float * sw,
              float scale) {
    float    best = INFINITY;
    uint32_t code = near.empty() ? 0 : near[0];
    for (uint16_t c : near) {
        float d2 = 0.0f;
        for (int j = 0; j < lat.width; ++j) {
            const float d = scale * (2 * lat.level(c, j) + 1) - mag[j];
            d2 += sw[j] * d * d;
        }
        if (d2 < best) {
            best = d2;
            code = c;
        }
    }
    return code;
}

// Quantizes the blocks against `grid`; counts the points of `wanted_set`
// the groups would have taken, and with `alt` (every grid point's nearest
// other grid points) the gain and loss of adding or removing points.
SimResult simulate_lattice(const Lattice & lat, const LatticeQuantizer & q, const std::vector<Block> & blocks,
                           const std::vector<uint8_t> & grid, const Projection & to_grid,
                           const std::vector<uint8_t> & wanted_set, const Projection & to_wanted,
                           const Projection * alt = nullptr) {
    SimResult r;
    r.counts.assign((size_t) lat.ncodes(), 0.0);
    r.gain.assign((size_t) lat.ncodes(), 0.0);
    r.loss.assign((size_t) lat.ncodes(), 0.0);
    const int ngroups = q.sub / lat.width;
    std::vector<uint32_t> codes(ngroups), best_codes(ngroups), wanted(ngroups), best_wanted(ngroups);
    for (const Block & b : blocks) {
        float sumx2 = 0.0f;
        for (float v : b.x) sumx2 += v * v;
        const float sigma2 = q.sigma2_factor * sumx2 / 256.0f;

        // magnitudes, with the parity flip on groups of 8 signs
        float mag[256], w[256], sw[256];
        for (int i = 0; i < 256; ++i) {
            mag[i] = std::fabs(b.x[i]);
            w[i]   = b.qw[i] * std::sqrt(sigma2 + b.x[i] * b.x[i]);
            sw[i]  = std::sqrt(w[i]);
        }
        if (q.flip) {
            for (int g = 0; g < 32; ++g) {
                int neg = 0, imin = 8 * g;
                for (int i = 8 * g; i < 8 * g + 8; ++i) {
                    neg += b.x[i] < 0.0f;
                    if (w[i] * b.x[i] * b.x[i] < w[imin] * b.x[imin] * b.x[imin]) imin = i;
                }
                if (neg % 2) mag[imin] = -mag[imin];
            }
        }

        for (int s0 = 0; s0 < 256; s0 += q.sub) {
            const float * m   = mag + s0;
            float         max = 0.0f;
            for (int i = 0; i < q.sub; ++i) max = std::max(max, m[i]);
            if (max < 1e-8f) continue;
            float top = max;
            if (q.nonneg_start) {
                float am[32];
                for (int i = 0; i < q.sub; ++i) am[i] = std::fabs(m[i]);
                top = 3.0f * nonneg_fit(q.sub, 4, am, w + s0);
                if (top <= 0.0f) continue;
            }
            float best = 0.0f, scale = 0.0f;
            for (int is = q.is_lo; is <= q.is_hi; ++is) {
                const float id = (q.c0 + q.c1 * is) / top;
                for (int g = 0; g < ngroups; ++g) {
                    uint32_t c = 0;
                    for (int j = 0; j < lat.width; ++j) {
                        int l = nearest_int(0.5f * (id * m[g * lat.width + j] - 1.0f));
                        l     = std::max(0, std::min(lat.levels - 1, l));
                        c |= (uint32_t) l << (lat.bits * j);
                    }
                    const int o = s0 + g * lat.width;
                    wanted[g]   = wanted_set[c] ? c : pick(lat, to_wanted.near[c], mag + o, sw + o, 1.0f / id);
                    codes[g]    = grid[c] ? c : pick(lat, to_grid.near[c], mag + o, sw + o, 1.0f / id);
                }
                float sumqx = 0.0f, sumq2 = 0.0f;
                for (int g = 0; g < ngroups; ++g) {
                    for (int j = 0; j < lat.width; ++j) {
                        const int   i  = s0 + g * lat.width + j;
                        const float qv = 2 * lat.level(codes[g], j) + 1;
                        sumqx += w[i] * mag[i] * qv;
                        sumq2 += w[i] * qv * qv;
                    }
                }
                if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
                    scale       = sumqx / sumq2;
                    best        = scale * sumqx;
                    best_codes  = codes;
                    best_wanted = wanted;
                }
            }
            if (best <= 0.0f) continue;
            for (int g = 0; g < ngroups; ++g) {
                const int o   = s0 + g * lat.width;
                auto      err = [&](uint32_t c) {
                    double e = 0.0;
                    for (int j = 0; j < lat.width; ++j) {
                        const float d = mag[o + j] - scale * (2 * lat.level(c, j) + 1);
                        e += (double) w[o + j] * d * d;
                    }
                    return e;
                };
                const double e = err(best_codes[g]);
                r.counts[best_wanted[g]] += 1.0;
                r.err += e;
                if (alt == nullptr) continue;
                if (best_wanted[g] != best_codes[g]) {
                    r.gain[best_wanted[g]] += std::max(0.0, e - err(best_wanted[g]));
                }
                double e2 = INFINITY;
                for (uint16_t c : alt->near[best_codes[g]]) e2 = std::min(e2, err(c));
                if (std::isfinite(e2)) r.loss[best_codes[g]] += e2 - e;
            }
        }
    }
    return r;
}

// ---------------------------------------------------------------------------
// model of the 1-bit quantizer: per 32 values the exact split into levels
// 0, 1, 2 with the offset of either sign

SimResult simulate_one_bit(const std::vector<Block> & blocks) {
    const float tables[2][3] = { { -0.875f, 0.125f, 1.125f }, { -1.125f, -0.125f, 0.875f } };
    SimResult   r;
    r.counts.assign((size_t) lattice2.ncodes(), 0.0);
    for (const Block & b : blocks) {
        float sumx2 = 0.0f;
        for (float v : b.x) sumx2 += v * v;
        const float sigma2 = 2.0f * sumx2 / 256.0f;
        for (int s0 = 0; s0 < 256; s0 += 32) {
            std::array<std::pair<float, int>, 32> srt;
            float                                 w[32];
            for (int i = 0; i < 32; ++i) {
                srt[i] = { b.x[s0 + i], i };
                w[i]   = b.qw[s0 + i] * std::sqrt(sigma2 + b.x[s0 + i] * b.x[s0 + i]);
            }
            std::sort(srt.begin(), srt.end());
            float S[33] = { 0 }, W[33] = { 0 };
            for (int j = 0; j < 32; ++j) {
                S[j + 1] = S[j] + w[srt[j].second] * srt[j].first;
                W[j + 1] = W[j] + w[srt[j].second];
            }
            float best = -INFINITY, scale = 0.0f;
            int   b1 = 0, b2 = 0;
            for (int i1 = 0; i1 <= 32; ++i1) {
                for (int i2 = i1; i2 <= 32; ++i2) {
                    for (const auto & t : tables) {
                        const float sumqx = S[i1] * t[0] + (S[i2] - S[i1]) * t[1] + (S[32] - S[i2]) * t[2];
                        const float sumq2 =
                            W[i1] * t[0] * t[0] + (W[i2] - W[i1]) * t[1] * t[1] + (W[32] - W[i2]) * t[2] * t[2];
                        if (sumq2 > 0.0f && sumqx * sumqx > best * sumq2) {
                            scale = sumqx / sumq2;
                            best  = scale * sumqx;
                            b1    = i1;
                            b2    = i2;
                        }
                    }
                }
            }
            int L[32];
            for (int j = 0; j < 32; ++j) {
                const int l         = j < b1 ? 0 : (j < b2 ? 1 : 2);
                L[srt[j].second]    = scale < 0.0f ? 2 - l : l;
            }
            for (int g = 0; g < 4; ++g) {
                uint32_t c = 0;
                for (int j = 0; j < 8; ++j) c |= (uint32_t) L[8 * g + j] << (2 * j);
                r.counts[c] += 1.0;
            }
        }
    }
    return r;
}

// ---------------------------------------------------------------------------
// choosing a list from counts

std::vector<uint32_t> choose(const ListRules & s, const std::vector<uint8_t> & adm, const std::vector<double> & counts) {
    std::vector<uint8_t>  taken(adm.size(), 0);
    std::vector<uint32_t> list;
    auto                  take = [&](uint32_t c) {
        if (!taken[c]) {
            taken[c] = 1;
            list.push_back(c);
        }
    };
    for (uint32_t c : s.first) take(c);
    for (uint32_t c : s.last) take(c);
    for (uint32_t c : s.keep) take(c);
    std::vector<uint32_t> order;
    for (uint32_t c = 0; c < adm.size(); ++c) {
        if (adm[c] && !taken[c]) order.push_back(c);
    }
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return counts[a] > counts[b]; });
    for (size_t i = 0; list.size() < (size_t) s.size && i < order.size(); ++i) take(order[i]);
    std::sort(list.begin(), list.end());
    return list;
}

std::vector<uint8_t> as_set(const Lattice & lat, const std::vector<uint32_t> & list) {
    std::vector<uint8_t> set((size_t) lat.ncodes(), 0);
    for (uint32_t c : list) set[c] = 1;
    return set;
}

// every member's nearest other members (two smallest distances)
Projection alternatives(const Lattice & lat, const std::vector<uint8_t> & set) {
    Projection p;
    p.near.resize(set.size());
    std::vector<uint32_t> members;
    for (uint32_t c = 0; c < set.size(); ++c) {
        if (set[c]) members.push_back(c);
    }
    for (uint32_t c : members) {
        int d1 = INT32_MAX, d2 = INT32_MAX;
        std::vector<int> dist(members.size());
        for (size_t k = 0; k < members.size(); ++k) {
            int d = 0;
            for (int j = 0; j < lat.width; ++j) {
                const int t = lat.level(c, j) - lat.level(members[k], j);
                d += t * t;
            }
            dist[k] = d;
            if (d == 0) continue;
            if (d < d1) {
                d2 = d1;
                d1 = d;
            } else if (d > d1 && d < d2) {
                d2 = d;
            }
        }
        for (size_t k = 0; k < members.size(); ++k) {
            if (dist[k] > 0 && dist[k] <= d2) p.near[c].push_back((uint16_t) members[k]);
        }
    }
    return p;
}

std::vector<uint32_t> make_lattice_list(const ListRules & s, const LatticeQuantizer & q,
                                        const std::vector<Block> & train, const std::vector<Block> & test) {
    const Lattice &            lat = *s.lat;
    const std::vector<uint8_t> adm = admissible(s);
    const Projection           to_adm = project_onto(lat, adm);

    SimResult             r    = simulate_lattice(lat, q, train, adm, to_adm, adm, to_adm);
    std::vector<uint32_t> list = choose(s, adm, r.counts);

    auto evaluate = [&](const std::vector<uint32_t> & l) {
        const std::vector<uint8_t> set = as_set(lat, l);
        return simulate_lattice(lat, q, test, set, project_onto(lat, set), adm, to_adm).err;
    };
    double best_err = evaluate(list);
    fprintf(stderr, "%s: round 0 error %.6g (all admissible points: %.6g)\n", s.name, best_err,
            simulate_lattice(lat, q, test, adm, to_adm, adm, to_adm).err);
    // Swaps: the missing points that would have saved the most error come
    // in for the grid points whose loss would cost the least, a batch at a
    // time; a batch that does not lower the error on the separate blocks
    // is undone and the batch size halved.
    std::vector<uint8_t> fixed((size_t) lat.ncodes(), 0);
    for (uint32_t c : s.first) fixed[c] = 1;
    for (uint32_t c : s.last) fixed[c] = 1;
    for (uint32_t c : s.keep) fixed[c] = 1;
    int batch = s.size / 8;
    for (int round = 1; round <= 40 && batch > 0; ++round) {
        const std::vector<uint8_t> set = as_set(lat, list);
        const Projection           alt = alternatives(lat, set);
        r = simulate_lattice(lat, q, train, set, project_onto(lat, set), adm, to_adm, &alt);
        std::vector<uint32_t> in, out;
        for (uint32_t c = 0; c < set.size(); ++c) {
            if (adm[c] && !set[c] && r.gain[c] > 0.0) in.push_back(c);
            if (set[c] && !fixed[c]) out.push_back(c);
        }
        std::stable_sort(in.begin(), in.end(), [&](uint32_t a, uint32_t b) { return r.gain[a] > r.gain[b]; });
        std::stable_sort(out.begin(), out.end(), [&](uint32_t a, uint32_t b) { return r.loss[a] < r.loss[b]; });
        std::vector<uint8_t> next = set;
        int                  swapped = 0;
        for (size_t k = 0; k < in.size() && k < out.size() && swapped < batch; ++k) {
            next[out[k]] = 0;
            next[in[k]]  = 1;
            ++swapped;
        }
        if (swapped == 0) break;
        std::vector<uint32_t> cand;
        for (uint32_t c = 0; c < next.size(); ++c) {
            if (next[c]) cand.push_back(c);
        }
        const double err = evaluate(cand);
        fprintf(stderr, "%s: round %d, %d swaps: error %.6g\n", s.name, round, swapped, err);
        if (err < best_err) {
            best_err = err;
            list     = cand;
        } else {
            batch /= 2;
        }
    }
    return list;
}

// ---------------------------------------------------------------------------
// output

void write_list(const ListRules & s, const std::vector<uint32_t> & list) {
    printf("\n// %s\n", s.doc);
    printf("inline constexpr uint16_t %s[%d] = {\n", s.name, s.size);
    const int per_line = 12;
    for (size_t i = 0; i < list.size(); ++i) {
        printf("%s%5u,%s", i % per_line == 0 ? "    " : " ", list[i],
               (i % per_line == per_line - 1 || i + 1 == list.size()) ? "\n" : "");
    }
    printf("};\n");
}

bool check(const ListRules & s, const std::vector<uint32_t> & list) {
    if ((int) list.size() != s.size) return false;
    for (size_t i = 0; i < s.first.size(); ++i) {
        if (list[i] != s.first[i]) return false;
    }
    for (size_t i = 0; i < s.last.size(); ++i) {
        if (list[list.size() - s.last.size() + i] != s.last[i]) return false;
    }
    return true;
}

} // namespace

int main() {
    const std::vector<uint32_t> first2 = { 0, 2, 5, 8, 10, 17 };
    const ListRules              lists[] = {
        { "iq2_xxs_grid_codes", "iq2_xxs: 256 points of 8 values, levels 0..2, even level sums", &lattice2, 256,
                       true, first2, { 43088, 43268 }, {} },
        { "iq2_xs_grid_codes", "iq2_xs: 512 points of 8 values, levels 0..2, even level sums", &lattice2, 512, true,
                       first2, { 43690 }, {} },
        { "iq2_s_grid_codes", "iq2_s: 1024 points of 8 values, levels 0..2, even level sums", &lattice2, 1024, true,
                       first2, { 43690 }, {} },
        { "iq3_xxs_grid_codes", "iq3_xxs: 256 points of 4 values, levels 0..7, even level sums", &lattice3, 256,
                       true, { 0, 2, 4, 9, 11, 15 }, { 3924, 3992 }, {} },
        { "iq3_s_grid_codes", "iq3_s: 512 points of 4 values, levels 0..7", &lattice3, 512, false,
                       { 0, 1, 2, 5, 7, 8 }, { 3993, 4032 }, {} },
        { "iq1_s_grid_codes",
                       "iq1_s and iq1_m: 2048 points of 8 values, levels 0..2 (values -1, 0, +1); holds 21845, all "
                       "values 0",
                       &lattice2, 2048, false, first2, { 43690 }, { 21845 } },
    };
    const LatticeQuantizer quantizers[] = {
        { 32, true, 1.0f, -6, 6, 5.0f, 0.1f, true },    // iq2_xxs
        { 16, true, 1.0f, -9, 9, 5.0f, 0.1f, false },   // iq2_xs
        { 16, false, 2.0f, -9, 9, 5.0f, 0.1f, false },  // iq2_s
        { 32, true, 2.0f, -15, 15, 15.0f, 0.2f, false }, // iq3_xxs
        { 32, false, 2.0f, -9, 9, 15.0f, 0.2f, false },  // iq3_s
    };

    const std::vector<Block> train = gaussian_blocks(8000, 1);
    const std::vector<Block> test  = gaussian_blocks(2000, 2);

    std::vector<std::vector<uint32_t>> out;
    for (int i = 0; i < 5; ++i) {
        out.push_back(make_lattice_list(lists[i], quantizers[i], train, test));
    }
    {
        const std::vector<uint8_t> adm = admissible(lists[5]);
        SimResult                  r   = simulate_one_bit(gaussian_blocks(40000, 3));
        out.push_back(choose(lists[5], adm, r.counts));
    }

    for (int i = 0; i < 6; ++i) {
        if (!check(lists[i], out[i])) {
            fprintf(stderr, "%s: the list does not have its fixed size, first and last entries\n", lists[i].name);
            return 1;
        }
    }

    printf("#pragma once\n\n");
    printf("// Generated by tools/iquant-grids (see the comment at the top of its main.cpp\n");
    printf("// for how the points are chosen); do not edit. To regenerate:\n");
    printf("//   build/tools/iquant-grids/tevo-iquant-grids > tevo/src/quants/iquants-codes.h\n");
    printf("//\n");
    printf("// The code lists of the i-quant lattice grids, ascending. A code holds one\n");
    printf("// level per value: 2 bits at bits 2j for the 8-value grids, 3 bits at bits\n");
    printf("// 3j for the 4-value grids. These lists define the formats: data quantized\n");
    printf("// with other lists decode to other values.\n\n");
    printf("#include <stdint.h>\n");
    for (int i = 0; i < 6; ++i) write_list(lists[i], out[i]);
    return 0;
}
