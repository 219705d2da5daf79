#include "kestu-impl.h"

// Grammar-constrained sampling: parse stacks over the caller's rules say which
// characters may come next; tokens are matched by their UTF-8 code points,
// and a token may end inside a character.
//
// Positions are (rule, element) indices, so a copied grammar never points
// into the one it was copied from. Stack expansion recurses through rule
// references; a grammar is checked before use so that every reference
// names a rule and no rule reaches itself without consuming a character,
// which keeps that recursion finite.

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace {

// Ambiguous rules reach one parse state along many paths, and nested
// ambiguity multiplies the stacks with every character (2^n after n
// characters under x ::= [a] y x | "", y ::= "" | ""). Identical stacks are
// merged, and of the distinct ones the first MAX_STACKS are kept, so that no
// grammar can exhaust time or memory; one expansion stops growing at
// MAX_EXPANDED stacks, before merging.
constexpr size_t MAX_STACKS   = 1024;
constexpr size_t MAX_EXPANDED = 4 * MAX_STACKS;

// Filtering walks the candidates' characters level by level, with one merged
// set of stacks for all candidates that share a prefix, so its work grows
// with the characters of the candidates times the stacks of a set, never
// with the paths to them, and its depth needs no recursion. One filtering
// may still visit at most this many stacks; candidates undecided when they
// are spent are rejected.
constexpr size_t MAX_FILTER_STACKS = size_t(1) << 20;

// orders stacks by their positions, bottom first
struct stack_less {
    bool operator()(const kestu_grammar_stack * a, const kestu_grammar_stack * b) const {
        return std::lexicographical_compare(a->begin(), a->end(), b->begin(), b->end(),
                                            [](const kestu_grammar_pos & x, const kestu_grammar_pos & y) {
                                                return x.rule != y.rule ? x.rule < y.rule : x.elem < y.elem;
                                            });
    }
};

// merges identical stacks, keeping the first of each in order; true when
// distinct stacks beyond MAX_STACKS (or beyond an expansion's limit) were lost
bool merge_stacks(kestu_grammar_stacks & stacks) {
    bool cut = stacks.size() >= MAX_EXPANDED;
    if (stacks.size() < 2) {
        return cut;
    }
    std::set<const kestu_grammar_stack *, stack_less> seen;
    std::vector<size_t>                              keep;
    for (size_t i = 0; i < stacks.size(); i++) {
        if (seen.insert(&stacks[i]).second) {
            if (keep.size() == MAX_STACKS) {
                cut = true;
                break;
            }
            keep.push_back(i);
        }
    }
    if (keep.size() == stacks.size()) {
        return cut;
    }
    kestu_grammar_stacks kept;
    kept.reserve(keep.size());
    for (size_t i : keep) {
        kept.push_back(std::move(stacks[i]));
    }
    stacks = std::move(kept);
    return cut;
}

const kestu_grammar_element & elem_at(const kestu_grammar_rules & rules, kestu_grammar_pos pos) {
    return rules[pos.rule][pos.elem];
}

kestu_grammar_pos next_pos(kestu_grammar_pos pos) {
    return {pos.rule, pos.elem + 1};
}

bool is_end_of_sequence(const kestu_grammar_rules & rules, kestu_grammar_pos pos) {
    const kestu_gretype type = elem_at(rules, pos).type;
    return type == KESTU_GRETYPE_END || type == KESTU_GRETYPE_ALT;
}

bool is_char_member(kestu_gretype type) {
    return type == KESTU_GRETYPE_CHAR || type == KESTU_GRETYPE_CHAR_NOT || type == KESTU_GRETYPE_CHAR_ALT;
}

// Does the character set at pos match chr? Also gives the position after the set.
std::pair<bool, kestu_grammar_pos> match_char(const kestu_grammar_rules & rules, kestu_grammar_pos at, uint32_t chr) {
    const kestu_grammar_rule &    rule             = rules[at.rule];
    const kestu_grammar_element * pos              = &rule[at.elem];
    const bool                    is_positive_char = pos->type == KESTU_GRETYPE_CHAR;
    KESTU_ASSERT(is_positive_char || pos->type == KESTU_GRETYPE_CHAR_NOT);

    bool found = false;
    do {
        if (pos[1].type == KESTU_GRETYPE_CHAR_RNG_UPPER) {
            found = found || (pos->value <= chr && chr <= pos[1].value);
            pos += 2;
        } else {
            found = found || pos->value == chr;
            pos += 1;
        }
    } while (pos->type == KESTU_GRETYPE_CHAR_ALT);

    return {found == is_positive_char, kestu_grammar_pos{at.rule, (uint32_t) (pos - rule.data())}};
}

// Could the character begun by a token that ends inside it belong to the set at pos?
bool match_partial_char(const kestu_grammar_rules & rules, kestu_grammar_pos at, kestu_partial_utf8 partial) {
    const kestu_grammar_element * pos              = &elem_at(rules, at);
    const bool                    is_positive_char = pos->type == KESTU_GRETYPE_CHAR;
    KESTU_ASSERT(is_positive_char || pos->type == KESTU_GRETYPE_CHAR_NOT);

    const uint32_t value    = partial.value;
    const int      n_remain = partial.n_remain;

    // invalid input, or the overlong two-byte forms of 0 and 1
    if (n_remain < 0 || (n_remain == 1 && value < 2)) {
        return false;
    }

    // the range of code points the character can still become
    uint32_t       low  = value << (n_remain * 6);
    const uint32_t high = low | ((1u << (n_remain * 6)) - 1);
    if (low == 0) {
        // the shortest form of each length
        if (n_remain == 2) {
            low = 1u << 11;
        } else if (n_remain == 3) {
            low = 1u << 16;
        }
    }

    do {
        if (pos[1].type == KESTU_GRETYPE_CHAR_RNG_UPPER) {
            if (pos->value <= high && low <= pos[1].value) {
                return is_positive_char;
            }
            pos += 2;
        } else {
            if (low <= pos->value && pos->value <= high) {
                return is_positive_char;
            }
            pos += 1;
        }
    } while (pos->type == KESTU_GRETYPE_CHAR_ALT);

    return !is_positive_char;
}

// the stack after its top set matched one character
kestu_grammar_stack advance_stack(const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
                                  kestu_grammar_pos after_set) {
    kestu_grammar_stack next(stack.begin(), stack.end() - 1);
    if (!is_end_of_sequence(rules, after_set)) {
        next.push_back(after_set);
    }
    return next;
}

// ---------------------------------------------------------------------------
// validation

// What is wrong with the rules, or "" when they may be used. Reads each rule
// up to its END, so every rule must have one.
std::string grammar_problem(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule) {
    if (rules == nullptr || n_rules == 0) {
        return "no rules";
    }
    if (start_rule >= n_rules) {
        return kestu_format("start rule %zu does not exist (%zu rules)", start_rule, n_rules);
    }

    // shape of every rule, and which rules can match the empty text
    std::vector<std::vector<kestu_grammar_element>> copy(n_rules);
    for (size_t r = 0; r < n_rules; r++) {
        const kestu_grammar_element * rule = rules[r];
        if (rule == nullptr) {
            return kestu_format("rule %zu is missing", r);
        }
        kestu_gretype prev = KESTU_GRETYPE_ALT; // start of an alternative
        for (size_t i = 0;; i++) {
            const kestu_grammar_element & e = rule[i];
            // a C caller may store any number in the type: read as a number,
            // a value no enumerator has is refused before it is used as one
            int type = 0;
            static_assert(sizeof(type) == sizeof(e.type), "element types are stored as int");
            memcpy(&type, &e.type, sizeof(type));
            if (type < KESTU_GRETYPE_END || type > KESTU_GRETYPE_CHAR_ALT) {
                return kestu_format("rule %zu: element %zu has unknown type %d", r, i, type);
            }
            switch (e.type) {
                case KESTU_GRETYPE_END:
                case KESTU_GRETYPE_ALT:
                case KESTU_GRETYPE_CHAR:
                case KESTU_GRETYPE_CHAR_NOT:
                    break;
                case KESTU_GRETYPE_RULE_REF:
                    if (e.value >= n_rules) {
                        return kestu_format("rule %zu refers to rule %u, which does not exist (%zu rules)", r,
                                            e.value, n_rules);
                    }
                    break;
                case KESTU_GRETYPE_CHAR_RNG_UPPER:
                    if (!is_char_member(prev)) {
                        return kestu_format("rule %zu: element %zu ends a range that has no start", r, i);
                    }
                    break;
                case KESTU_GRETYPE_CHAR_ALT:
                    if (!is_char_member(prev) && prev != KESTU_GRETYPE_CHAR_RNG_UPPER) {
                        return kestu_format("rule %zu: element %zu adds to a character set that has no start", r,
                                            i);
                    }
                    break;
            }
            copy[r].push_back(e);
            prev = e.type;
            if (e.type == KESTU_GRETYPE_END) {
                break;
            }
        }
    }

    // alternatives as element ranges [begin, end)
    std::vector<std::vector<std::pair<size_t, size_t>>> alts(n_rules);
    for (size_t r = 0; r < n_rules; r++) {
        size_t begin = 0;
        for (size_t i = 0; i < copy[r].size(); i++) {
            const kestu_gretype t = copy[r][i].type;
            if (t == KESTU_GRETYPE_ALT || t == KESTU_GRETYPE_END) {
                alts[r].push_back({begin, i});
                begin = i + 1;
            }
        }
    }

    std::vector<bool> nullable(n_rules, false);
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t r = 0; r < n_rules; r++) {
            if (nullable[r]) {
                continue;
            }
            for (const auto & a : alts[r]) {
                bool empty = true;
                for (size_t i = a.first; i < a.second && empty; i++) {
                    const kestu_grammar_element & e = copy[r][i];
                    empty = e.type == KESTU_GRETYPE_RULE_REF && nullable[e.value];
                }
                if (empty) {
                    nullable[r] = true;
                    changed     = true;
                    break;
                }
            }
        }
    }

    // r -> s when r can reach a reference to s before consuming a character
    std::vector<std::vector<uint32_t>> first_refs(n_rules);
    for (size_t r = 0; r < n_rules; r++) {
        for (const auto & a : alts[r]) {
            for (size_t i = a.first; i < a.second; i++) {
                const kestu_grammar_element & e = copy[r][i];
                if (e.type != KESTU_GRETYPE_RULE_REF) {
                    break;
                }
                first_refs[r].push_back(e.value);
                if (!nullable[e.value]) {
                    break;
                }
            }
        }
    }

    // a cycle there is a recursion that consumes nothing
    enum { WHITE, GREY, BLACK };
    std::vector<int> color(n_rules, WHITE);
    for (size_t root = 0; root < n_rules; root++) {
        if (color[root] != WHITE) {
            continue;
        }
        // iterative depth-first walk: (rule, next edge)
        std::vector<std::pair<uint32_t, size_t>> walk = {{(uint32_t) root, 0}};
        color[root]                                    = GREY;
        while (!walk.empty()) {
            auto & [r, k] = walk.back();
            if (k == first_refs[r].size()) {
                color[r] = BLACK;
                walk.pop_back();
                continue;
            }
            const uint32_t s = first_refs[r][k++];
            if (color[s] == GREY) {
                return kestu_format("rule %u can recurse into itself without consuming a character", s);
            }
            if (color[s] == WHITE) {
                color[s] = GREY;
                walk.push_back({s, 0});
            }
        }
    }
    return "";
}

} // namespace

bool kestu_grammar_validate(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule) {
    const std::string problem = grammar_problem(rules, n_rules, start_rule);
    if (!problem.empty()) {
        KESTU_LOG_ERROR("%s: invalid grammar: %s\n", __func__, problem.c_str());
        return false;
    }
    return true;
}

std::pair<std::vector<uint32_t>, kestu_partial_utf8> kestu_utf8_decode_partial(const char * text,
                                                                             kestu_partial_utf8 partial_start) {
    // sequence length by the high four bits of the lead byte; 0: cannot lead
    static const int lookup[] = {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 2, 2, 3, 4};

    const unsigned char * pos = (const unsigned char *) text;
    std::vector<uint32_t> code_points;
    uint32_t              value    = partial_start.value;
    int                   n_remain = partial_start.n_remain;

    // finish the character the previous text began
    while (*pos != 0 && n_remain > 0) {
        if ((*pos >> 6) != 2) {
            return {std::vector<uint32_t>{0}, kestu_partial_utf8{0, -1}};
        }
        value = (value << 6) | (*pos & 0x3F);
        ++pos;
        --n_remain;
    }
    if (partial_start.n_remain > 0 && n_remain == 0) {
        code_points.push_back(value);
    }

    while (*pos != 0) {
        n_remain = lookup[*pos >> 4] - 1;
        if (n_remain < 0) {
            return {std::vector<uint32_t>{0}, kestu_partial_utf8{0, n_remain}};
        }
        value = *pos & ((1u << (7 - n_remain)) - 1);
        ++pos;
        while (*pos != 0 && n_remain > 0) {
            value = (value << 6) | (*pos & 0x3F);
            ++pos;
            --n_remain;
        }
        if (n_remain == 0) {
            code_points.push_back(value);
        }
    }
    code_points.push_back(0);
    return {std::move(code_points), kestu_partial_utf8{value, n_remain}};
}

void kestu_grammar_expand_stack(const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
                                kestu_grammar_stacks & new_stacks) {
    if (new_stacks.size() >= MAX_EXPANDED) {
        return;
    }
    if (stack.empty()) {
        new_stacks.push_back(stack);
        return;
    }

    const kestu_grammar_pos       pos = stack.back();
    const kestu_grammar_element & top = elem_at(rules, pos);

    switch (top.type) {
        case KESTU_GRETYPE_RULE_REF: {
            kestu_grammar_pos sub{top.value, 0};
            while (true) {
                // the rest of this rule, then the first element of the alternative
                kestu_grammar_stack next(stack.begin(), stack.end() - 1);
                if (!is_end_of_sequence(rules, next_pos(pos))) {
                    next.push_back(next_pos(pos));
                }
                if (!is_end_of_sequence(rules, sub)) {
                    next.push_back(sub);
                }
                kestu_grammar_expand_stack(rules, next, new_stacks);
                while (!is_end_of_sequence(rules, sub)) {
                    sub = next_pos(sub);
                }
                if (elem_at(rules, sub).type != KESTU_GRETYPE_ALT) {
                    break;
                }
                sub = next_pos(sub);
            }
            break;
        }
        case KESTU_GRETYPE_CHAR:
        case KESTU_GRETYPE_CHAR_NOT:
            new_stacks.push_back(stack);
            break;
        default:
            // a validated grammar never puts anything else on top
            KESTU_ASSERT(false);
    }
}

std::vector<kestu_grammar_candidate> kestu_grammar_filter_for_stack(
    const kestu_grammar_rules & rules, const kestu_grammar_stack & stack,
    const std::vector<kestu_grammar_candidate> & candidates) {
    return kestu_grammar_filter_candidates(rules, kestu_grammar_stacks{stack}, candidates);
}

std::vector<kestu_grammar_candidate> kestu_grammar_filter_candidates(
    const kestu_grammar_rules & rules, const kestu_grammar_stacks & stacks,
    const std::vector<kestu_grammar_candidate> & candidates) {
    std::vector<kestu_grammar_candidate> rejects;
    if (candidates.empty() || stacks.empty()) {
        return rejects;
    }

    // candidates that matched their first `depth` code points, and the
    // stacks where that leaves them
    struct group {
        kestu_grammar_stacks                 stacks;
        std::vector<kestu_grammar_candidate> candidates;
        size_t                               depth;
    };
    // a reject comes back as it entered, at its first code point
    auto reject = [&rejects](const kestu_grammar_candidate & c, size_t depth) {
        rejects.push_back({c.id, c.code_points - depth, c.partial_utf8});
    };

    size_t             budget = MAX_FILTER_STACKS;
    std::vector<group> work;
    work.push_back({stacks, candidates, 0});
    while (!work.empty()) {
        group g = std::move(work.back());
        work.pop_back();

        std::map<uint32_t, std::vector<kestu_grammar_candidate>> by_next;
        for (const kestu_grammar_candidate & c : g.candidates) {
            if (*c.code_points != 0) {
                by_next[*c.code_points].push_back(c);
                continue;
            }
            // every character matched; a pending one must still fit some stack
            bool fits = c.partial_utf8.n_remain == 0;
            for (size_t i = 0; i < g.stacks.size() && !fits; i++) {
                fits = !g.stacks[i].empty() && match_partial_char(rules, g.stacks[i].back(), c.partial_utf8);
            }
            if (!fits) {
                reject(c, g.depth);
            }
        }

        for (const auto & [chr, group_candidates] : by_next) {
            kestu_grammar_stacks next_stacks;
            for (const kestu_grammar_stack & stack : g.stacks) {
                if (stack.empty() || budget == 0) {
                    continue;
                }
                budget--;
                const auto m = match_char(rules, stack.back(), chr);
                if (m.first) {
                    kestu_grammar_expand_stack(rules, advance_stack(rules, stack, m.second), next_stacks);
                }
            }
            merge_stacks(next_stacks);
            if (next_stacks.empty() || budget == 0) {
                for (const kestu_grammar_candidate & c : group_candidates) {
                    reject(c, g.depth);
                }
                continue;
            }
            group next{std::move(next_stacks), {}, g.depth + 1};
            for (const kestu_grammar_candidate & c : group_candidates) {
                next.candidates.push_back({c.id, c.code_points + 1, c.partial_utf8});
            }
            work.push_back(std::move(next));
        }
    }
    return rejects;
}

kestu_grammar kestu_grammar_init(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule) {
    kestu_grammar grammar;
    if (!kestu_grammar_validate(rules, n_rules, start_rule)) {
        // nothing to steer by: decoding goes on unconstrained
        return grammar;
    }

    grammar.rules.resize(n_rules);
    for (size_t r = 0; r < n_rules; r++) {
        for (const kestu_grammar_element * e = rules[r];; e++) {
            grammar.rules[r].push_back(*e);
            if (e->type == KESTU_GRETYPE_END) {
                break;
            }
        }
    }

    kestu_grammar_pos alt{(uint32_t) start_rule, 0};
    while (true) {
        kestu_grammar_stack stack;
        if (!is_end_of_sequence(grammar.rules, alt)) {
            stack.push_back(alt);
        }
        kestu_grammar_expand_stack(grammar.rules, stack, grammar.stacks);
        while (!is_end_of_sequence(grammar.rules, alt)) {
            alt = next_pos(alt);
        }
        if (elem_at(grammar.rules, alt).type != KESTU_GRETYPE_ALT) {
            break;
        }
        alt = next_pos(alt);
    }
    if (merge_stacks(grammar.stacks)) {
        KESTU_LOG_WARN("%s: grammar too ambiguous: kept %zu of its parse stacks\n", __func__, MAX_STACKS);
    }
    grammar.partial_utf8 = {0, 0};
    return grammar;
}

void kestu_grammar_accept_token(const kestu_vocab & vocab, kestu_grammar & grammar, kestu_token token) {
    const auto it = vocab.id_to_token.find(token);
    if (it == vocab.id_to_token.end() || it->second.rfind("[_", 0) == 0) {
        // special tokens (and ids without text) say nothing about the text
        return;
    }

    const auto decoded = kestu_utf8_decode_partial(it->second.c_str(), grammar.partial_utf8);
    for (const uint32_t * cp = decoded.first.data(); *cp != 0; cp++) {
        kestu_grammar_stacks next_stacks;
        for (const kestu_grammar_stack & stack : grammar.stacks) {
            if (stack.empty()) {
                continue;
            }
            const auto m = match_char(grammar.rules, stack.back(), *cp);
            if (m.first) {
                kestu_grammar_expand_stack(grammar.rules, advance_stack(grammar.rules, stack, m.second), next_stacks);
            }
        }
        if (merge_stacks(next_stacks)) {
            KESTU_LOG_WARN("%s: grammar too ambiguous: kept %zu of its parse stacks\n", __func__, MAX_STACKS);
        }
        grammar.stacks = std::move(next_stacks);
    }
    grammar.partial_utf8 = decoded.second;
}
