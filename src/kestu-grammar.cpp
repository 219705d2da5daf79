#include "kestu-impl.h"

// Grammar-constrained sampling: parse stacks over the caller's rules say which
// characters may come next; tokens are matched by their UTF-8 code points,
// and a token may end inside a character.
//
// Positions are (rule, element) indices, so a copied grammar never points
// into the one it was copied from. Stack expansion follows rule references
// with a work list of its own, never the native stack; a grammar is checked
// before use so that every reference names a rule and no rule reaches itself
// without consuming a character (once the alternatives that can never
// complete are dropped), which keeps that walk finite.

#include <algorithm>
#include <cstring>
#include <map>

namespace {

// Ambiguous rules reach one parse state along many paths, and nested
// ambiguity multiplies the stacks with every character (2^n after n
// characters under x ::= [a] y x | "", y ::= "" | ""). One step expands
// each stack it reaches once, identical stacks are merged, and of the
// distinct ones the first MAX_STACKS are kept; one step's expansion stops
// after MAX_EXPANSION steps. So no grammar can exhaust time or memory.
constexpr size_t MAX_STACKS    = 1024;
constexpr size_t MAX_EXPANSION = 16 * MAX_STACKS;

// A rule that refers to another before its own end leaves a position behind
// on the stack, so nesting (x ::= "(" x ")") deepens the stacks with every
// character. Stacks deeper than this are dropped, as a parser refuses input
// nested beyond its limit: every grammar state then stays within
// MAX_STACKS * MAX_DEPTH positions, however long the text.
constexpr size_t MAX_DEPTH = 256;

// Filtering walks the candidates' characters level by level, with one merged
// set of stacks for all candidates whose characters so far fit the same
// stacks, so its work grows with the characters of the candidates times the
// distinct tops of a set's stacks, never with the paths to them, and its
// depth needs no recursion. One filtering may still do at most this much
// work (distinct stack tops matched against a character, and expansion
// steps); candidates undecided when it is spent are rejected. Accepting a
// token counts the same work along its characters, so a token that costs
// more is one filtering rejects: like any rejected token, it leaves no stacks.
constexpr size_t MAX_FILTER_WORK = size_t(1) << 21;

bool same_pos(kestu_grammar_pos a, kestu_grammar_pos b) {
    return a.rule == b.rule && a.elem == b.elem;
}

// The stacks of one state share most of their bottoms, and copying or
// comparing them whole made each character cost their depth times their
// number. Inside one operation a stack is instead one node: a position on
// top of the node below. Equal stacks are the same node, so merging compares
// ids and a step copies nothing.
struct stack_pool {
    static constexpr uint32_t EMPTY = 0;

    struct node {
        uint32_t          below;
        kestu_grammar_pos top;
        uint32_t          depth;
    };
    std::vector<node>     nodes = {node{EMPTY, {}, 0}};
    std::vector<uint32_t> slots = std::vector<uint32_t>(1024, EMPTY); // open addressing by (below, top)
    std::vector<uint32_t> marks = {0}; // by node: the last round (of merging or expanding) that saw it
    uint32_t              round = 0;

    // by rule: it reaches no character, so every path through it ends where
    // it was referred to, and a reference to it is passed over on one path
    std::vector<bool> silent;

    uint32_t new_round() { return ++round; }

    static size_t slot_of(uint32_t below, kestu_grammar_pos top, size_t mask) {
        uint64_t h = ((uint64_t) below << 32 | top.rule) * 0x9E3779B97F4A7C15ull;
        h ^= (h >> 29) + top.elem * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
        return (size_t) h & mask;
    }

    uint32_t push(uint32_t below, kestu_grammar_pos top) {
        if (2 * nodes.size() >= slots.size()) {
            std::vector<uint32_t> bigger(2 * slots.size(), EMPTY);
            for (uint32_t id = 1; id < (uint32_t) nodes.size(); id++) {
                size_t i = slot_of(nodes[id].below, nodes[id].top, bigger.size() - 1);
                while (bigger[i] != EMPTY) {
                    i = (i + 1) & (bigger.size() - 1);
                }
                bigger[i] = id;
            }
            slots = std::move(bigger);
        }
        const size_t mask = slots.size() - 1;
        size_t       i    = slot_of(below, top, mask);
        for (; slots[i] != EMPTY; i = (i + 1) & mask) {
            const node & n = nodes[slots[i]];
            if (n.below == below && same_pos(n.top, top)) {
                return slots[i];
            }
        }
        const uint32_t id = (uint32_t) nodes.size();
        nodes.push_back({below, top, nodes[below].depth + 1});
        marks.push_back(0);
        slots[i] = id;
        return id;
    }

    uint32_t intern(const kestu_grammar_stack & stack) {
        uint32_t id = EMPTY;
        for (const kestu_grammar_pos & p : stack) {
            id = push(id, p);
        }
        return id;
    }

    kestu_grammar_stack unfold(uint32_t id) const {
        kestu_grammar_stack stack(nodes[id].depth);
        for (size_t i = stack.size(); i > 0; i--, id = nodes[id].below) {
            stack[i - 1] = nodes[id].top;
        }
        return stack;
    }
};

// merges identical stacks, keeping the first of each in order; true when
// distinct stacks beyond MAX_STACKS were lost
bool merge_stacks(stack_pool & pool, std::vector<uint32_t> & ids) {
    const uint32_t round = pool.new_round();
    size_t         n     = 0;
    for (const uint32_t id : ids) {
        if (pool.marks[id] == round) {
            continue;
        }
        pool.marks[id] = round;
        if (n == MAX_STACKS) {
            ids.resize(n);
            return true;
        }
        ids[n++] = id;
    }
    ids.resize(n);
    return false;
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

// the position after the character set at `at`
kestu_grammar_pos end_of_set(const kestu_grammar_rules & rules, kestu_grammar_pos at) {
    const kestu_grammar_rule &    rule = rules[at.rule];
    const kestu_grammar_element * pos  = &rule[at.elem];
    do {
        pos += pos[1].type == KESTU_GRETYPE_CHAR_RNG_UPPER ? 2 : 1;
    } while (pos->type == KESTU_GRETYPE_CHAR_ALT);
    return {at.rule, (uint32_t) (pos - rule.data())};
}

// the rules that reach no character (see stack_pool::silent): all but
// those with a character set, and those that refer to one of them
std::vector<bool> silent_rules(const kestu_grammar_rules & rules) {
    std::vector<bool>                  silent(rules.size(), true);
    std::vector<std::vector<uint32_t>> referrers(rules.size());
    std::vector<uint32_t>              speaking;
    for (uint32_t r = 0; r < (uint32_t) rules.size(); r++) {
        for (const kestu_grammar_element & e : rules[r]) {
            if (e.type == KESTU_GRETYPE_RULE_REF) {
                referrers[e.value].push_back(r);
            } else if ((e.type == KESTU_GRETYPE_CHAR || e.type == KESTU_GRETYPE_CHAR_NOT) && silent[r]) {
                silent[r] = false;
                speaking.push_back(r);
            }
        }
    }
    while (!speaking.empty()) {
        const uint32_t s = speaking.back();
        speaking.pop_back();
        for (const uint32_t r : referrers[s]) {
            if (silent[r]) {
                silent[r] = false;
                speaking.push_back(r);
            }
        }
    }
    return silent;
}

// Sets are judged over the code points of Unicode, which token texts
// encode (0 ends a text): a set that only the decoder's reading of
// malformed lead bytes could satisfy matches nothing a text says.
constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

// whether the character set at `at` matches some code point a text can give
bool set_can_match(const kestu_grammar_rules & rules, kestu_grammar_pos at) {
    const kestu_grammar_element *              pos      = &elem_at(rules, at);
    const bool                                 positive = pos->type == KESTU_GRETYPE_CHAR;
    std::vector<std::pair<uint32_t, uint32_t>> members; // inclusive, within the code points of a text
    do {
        const bool     range = pos[1].type == KESTU_GRETYPE_CHAR_RNG_UPPER;
        const uint32_t low   = std::max(pos->value, 1u);
        const uint32_t high  = std::min(range ? pos[1].value : pos->value, MAX_CODE_POINT);
        if (low <= high) {
            members.push_back({low, high});
        }
        pos += range ? 2 : 1;
    } while (pos->type == KESTU_GRETYPE_CHAR_ALT);
    if (positive) {
        return !members.empty();
    }
    // a negated set matches what no member covers
    std::sort(members.begin(), members.end());
    uint32_t next = 1; // the first code point the members so far leave out
    for (const auto & [low, high] : members) {
        if (low > next) {
            return true;
        }
        next = std::max(next, high + 1);
    }
    return next <= MAX_CODE_POINT;
}

// One alternative as the fixed point below sees it: its rule and the rules
// it refers to, once per reference.
struct alt_refs {
    uint32_t              rule;
    std::vector<uint32_t> refs;
};

// The rules that some alternative settles, an alternative settling its rule
// once every rule it refers to is settled (one without references at once),
// by a work list: each alternative counts its references to rules not yet
// settled, and a rule found settled counts down the alternatives that refer
// to it; the alternative that reaches 0 settles its rule. So every reference
// is visited a bounded number of times, however the rules are ordered.
std::vector<bool> settled_rules(size_t n_rules, const std::vector<alt_refs> & alts) {
    std::vector<bool>                  settled(n_rules, false);
    std::vector<size_t>                pending(alts.size()); // by alternative
    std::vector<std::vector<uint32_t>> users(n_rules);       // by rule: alternatives, once per reference
    std::vector<uint32_t>              found;                // settled rules whose users are still to count down
    for (uint32_t k = 0; k < (uint32_t) alts.size(); k++) {
        pending[k] = alts[k].refs.size();
        for (const uint32_t target : alts[k].refs) {
            users[target].push_back(k);
        }
        if (pending[k] == 0 && !settled[alts[k].rule]) {
            settled[alts[k].rule] = true;
            found.push_back(alts[k].rule);
        }
    }
    while (!found.empty()) {
        const uint32_t s = found.back();
        found.pop_back();
        for (const uint32_t k : users[s]) {
            if (--pending[k] == 0 && !settled[alts[k].rule]) {
                settled[alts[k].rule] = true;
                found.push_back(alts[k].rule);
            }
        }
    }
    return settled;
}

// One alternative as written: its elements [begin, end) in its rule (end is
// its ALT or END), the rules it refers to, once per reference, and whether
// one of its character sets matches nothing.
struct written_alt {
    uint32_t              rule;
    uint32_t              begin;
    uint32_t              end;
    std::vector<uint32_t> refs;
    bool                  empty_set;
};

std::vector<written_alt> alternatives_of(const kestu_grammar_rules & rules) {
    std::vector<written_alt> alts;
    for (uint32_t r = 0; r < (uint32_t) rules.size(); r++) {
        kestu_grammar_pos pos{r, 0};
        while (true) {
            written_alt a{r, pos.elem, 0, {}, false};
            while (!is_end_of_sequence(rules, pos)) {
                const kestu_grammar_element & e = elem_at(rules, pos);
                if (e.type == KESTU_GRETYPE_RULE_REF) {
                    a.refs.push_back(e.value);
                    pos = next_pos(pos);
                } else {
                    a.empty_set = a.empty_set || !set_can_match(rules, pos);
                    pos         = end_of_set(rules, pos);
                }
            }
            a.end = pos.elem;
            alts.push_back(std::move(a));
            if (elem_at(rules, pos).type != KESTU_GRETYPE_ALT) {
                break;
            }
            pos = next_pos(pos);
        }
    }
    return alts;
}

// The rules that can be completed, that is derive some text: a rule
// completes with one of its alternatives, an alternative once each of its
// references names a rule that completes, unless one of its character sets
// matches nothing.
std::vector<bool> completing_rules(size_t n_rules, const std::vector<written_alt> & alts) {
    std::vector<alt_refs> live;
    for (const written_alt & a : alts) {
        if (!a.empty_set) {
            live.push_back({a.rule, a.refs});
        }
    }
    return settled_rules(n_rules, live);
}

std::vector<bool> completing_rules(const kestu_grammar_rules & rules) {
    return completing_rules(rules.size(), alternatives_of(rules));
}

// Drops from the rules that can be completed the alternatives that cannot
// (one that needs a rule that never completes, or a character set that
// matches nothing), as if they were not written: otherwise parsing would
// follow them into text no sentence of the grammar begins with, and the
// first characters counted at the start would include theirs. A rule that
// never completes keeps what was written, as only a start rule that never
// completes still reaches one, and such a grammar is refused. Rules without
// such an alternative are left as they are.
void drop_dead_alternatives(kestu_grammar_rules & rules) {
    const std::vector<written_alt> alts      = alternatives_of(rules);
    const std::vector<bool>        completes = completing_rules(rules.size(), alts);
    auto                           dropped   = [&](const written_alt & a) {
        return completes[a.rule] &&
               (a.empty_set || std::any_of(a.refs.begin(), a.refs.end(), [&](uint32_t s) { return !completes[s]; }));
    };
    size_t k = 0; // the alternatives come rule by rule, in order
    for (uint32_t r = 0; r < (uint32_t) rules.size(); r++) {
        const size_t first    = k;
        bool         any_drop = false;
        for (; k < alts.size() && alts[k].rule == r; k++) {
            any_drop = any_drop || dropped(alts[k]);
        }
        if (!any_drop) {
            continue;
        }
        kestu_grammar_rule kept;
        for (size_t j = first; j < k; j++) {
            if (!dropped(alts[j])) {
                kept.insert(kept.end(), rules[r].begin() + alts[j].begin, rules[r].begin() + alts[j].end);
                kept.push_back({KESTU_GRETYPE_ALT, 0});
            }
        }
        // a rule that completes keeps at least one alternative
        kept.back() = {KESTU_GRETYPE_END, 0};
        rules[r]    = std::move(kept);
    }
}

// the rules `start` reaches through references, itself included
std::vector<bool> reached_rules(const kestu_grammar_rules & rules, size_t start) {
    std::vector<bool>     reached(rules.size(), false);
    std::vector<uint32_t> todo = {(uint32_t) start};
    reached[start]             = true;
    while (!todo.empty()) {
        const uint32_t r = todo.back();
        todo.pop_back();
        for (const kestu_grammar_element & e : rules[r]) {
            if (e.type == KESTU_GRETYPE_RULE_REF && !reached[e.value]) {
                reached[e.value] = true;
                todo.push_back(e.value);
            }
        }
    }
    return reached;
}

// what one step's expansion reached
struct expansion {
    std::vector<uint32_t> stacks;        // in the order found
    uint32_t              round = 0;     // marks the stacks expanded so far; 0: every path is followed
    size_t                work  = 0;     // expansion steps taken
    bool                  cut   = false; // stopped after MAX_EXPANSION steps
    bool                  deep  = false; // a stack deeper than MAX_DEPTH was dropped
    std::vector<uint32_t> todo;          // stacks still to expand, last first
};

// adds every stack reachable from `id` whose top is a character set (or
// that is empty), depth first with the alternatives in order; the walk keeps
// its own list of stacks still to expand, so a long chain of references
// costs no native stack
void expand(const kestu_grammar_rules & rules, stack_pool & pool, uint32_t id, expansion & ex) {
    std::vector<uint32_t> & todo = ex.todo;
    todo.assign(1, id);
    while (!todo.empty()) {
        // merging would keep the first MAX_STACKS, and what one step finds is
        // distinct when each stack is expanded once
        if (ex.work == MAX_EXPANSION || (ex.round != 0 && ex.stacks.size() > MAX_STACKS)) {
            ex.cut = true;
            todo.clear();
            return;
        }
        id = todo.back();
        todo.pop_back();
        ex.work++;
        if (ex.round != 0) {
            if (pool.marks[id] == ex.round) {
                continue; // reached before in this step: what it leads to is found already
            }
            pool.marks[id] = ex.round;
        }
        if (id != stack_pool::EMPTY) {
            const kestu_grammar_pos       pos = pool.nodes[id].top;
            const kestu_grammar_element & top = elem_at(rules, pos);
            if (top.type == KESTU_GRETYPE_RULE_REF) {
                // the rest of this rule, then the first element of each alternative
                const uint32_t below = pool.nodes[id].below;
                const uint32_t rest  = is_end_of_sequence(rules, next_pos(pos)) ? below : pool.push(below, next_pos(pos));
                if (pool.silent[top.value]) {
                    todo.push_back(rest);
                    continue;
                }
                // pushed last to first, so the first alternative is expanded first
                const size_t      first = todo.size();
                kestu_grammar_pos sub{top.value, 0};
                while (true) {
                    todo.push_back(is_end_of_sequence(rules, sub) ? rest : pool.push(rest, sub));
                    while (!is_end_of_sequence(rules, sub)) {
                        sub = next_pos(sub);
                    }
                    if (elem_at(rules, sub).type != KESTU_GRETYPE_ALT) {
                        break;
                    }
                    sub = next_pos(sub);
                }
                std::reverse(todo.begin() + first, todo.end());
                continue;
            }
            if (top.type != KESTU_GRETYPE_CHAR && top.type != KESTU_GRETYPE_CHAR_NOT) {
                // a validated grammar never puts anything else on top
                KESTU_ASSERT(false);
            }
        }
        if (pool.nodes[id].depth > MAX_DEPTH) {
            ex.deep = true;
            continue;
        }
        ex.stacks.push_back(id);
    }
}

// The stacks of a state differ mostly in their bottoms: their tops, the
// character sets a next character is matched against, are few. Each
// distinct top is matched once, whatever number of stacks share it.
struct stack_tops {
    std::vector<kestu_grammar_pos>     tops;
    std::vector<std::vector<uint32_t>> members; // by top: indices into the stacks, ascending
};

stack_tops tops_of(const stack_pool & pool, const std::vector<uint32_t> & stacks) {
    stack_tops                                      t;
    std::map<std::pair<uint32_t, uint32_t>, size_t> where; // top -> its index in t.tops
    for (size_t i = 0; i < stacks.size(); i++) {
        if (stacks[i] == stack_pool::EMPTY) {
            continue;
        }
        const kestu_grammar_pos top = pool.nodes[stacks[i]].top;
        const auto [it, added]      = where.emplace(std::make_pair(top.rule, top.elem), t.tops.size());
        if (added) {
            t.tops.push_back(top);
            t.members.emplace_back();
        }
        t.members[it->second].push_back((uint32_t) i);
    }
    return t;
}

// indices of the stacks whose top set matches chr, ascending
std::vector<uint32_t> fitting(const kestu_grammar_rules & rules, const stack_tops & t, uint32_t chr) {
    std::vector<uint32_t> fit;
    size_t                n_matched = 0;
    for (size_t k = 0; k < t.tops.size(); k++) {
        if (match_char(rules, t.tops[k], chr).first) {
            fit.insert(fit.end(), t.members[k].begin(), t.members[k].end());
            n_matched++;
        }
    }
    if (n_matched > 1) {
        std::sort(fit.begin(), fit.end());
    }
    return fit;
}

// The stacks after a character that the stacks of `fit` (indices into
// `stacks`) match: each without its top set, plus the position after the
// set, expanded. The next stacks do not depend on which character it was,
// only on the stacks it fits. Filtering and acceptance both step this way,
// so a token the filter lets through is one acceptance can follow.
expansion advance(const kestu_grammar_rules & rules, stack_pool & pool, const std::vector<uint32_t> & stacks,
                  const std::vector<uint32_t> & fit) {
    expansion ex;
    ex.round = pool.new_round();
    for (const uint32_t i : fit) {
        const stack_pool::node  n     = pool.nodes[stacks[i]];
        const kestu_grammar_pos after = end_of_set(rules, n.top);
        expand(rules, pool, is_end_of_sequence(rules, after) ? n.below : pool.push(n.below, after), ex);
    }
    return ex;
}

// merges what a step reached; true when distinct stacks were lost to the limits
bool merge_expansion(stack_pool & pool, expansion & ex) {
    const bool lost = merge_stacks(pool, ex.stacks);
    return lost || ex.cut;
}

void warn_lost(const char * func, bool cut, bool deep) {
    if (cut) {
        KESTU_LOG_WARN("%s: grammar too ambiguous: kept %zu of its parse stacks\n", func, MAX_STACKS);
    }
    if (deep) {
        KESTU_LOG_WARN("%s: grammar nested too deeply: dropped its parse stacks beyond %zu positions\n", func,
                       MAX_DEPTH);
    }
}

// A long token leaves behind the nodes of every stack it passed through:
// the pool is rebuilt from the stacks still held once it has grown well past them.
void compact(stack_pool & pool, std::vector<uint32_t> & ids) {
    stack_pool fresh;
    fresh.silent = std::move(pool.silent);
    for (uint32_t & id : ids) {
        id = fresh.intern(pool.unfold(id));
    }
    pool = std::move(fresh);
}

// ---------------------------------------------------------------------------
// validation

// What is wrong with the rules, or "" when they may be used; then `used`
// holds them as parsing uses them. Reads each rule up to its END, so every
// rule must have one.
std::string grammar_problem(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule,
                            kestu_grammar_rules & used) {
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

    // Left recursion is judged on the rules as parsing uses them: an
    // alternative that can never complete is dropped when the grammar is
    // read, so a recursion only it takes is never followed, and a rule the
    // start rule reached only through such alternatives is no longer used.
    const std::vector<bool> reached_as_written = reached_rules(copy, start_rule);
    drop_dead_alternatives(copy);
    const std::vector<bool> reached = reached_rules(copy, start_rule);

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

    // Nullable rules: those an alternative of references to nullable rules
    // alone settles.
    std::vector<alt_refs> ref_alts;
    for (size_t r = 0; r < n_rules; r++) {
        for (const auto & a : alts[r]) {
            alt_refs refs{(uint32_t) r, {}};
            bool     only_refs = true;
            for (size_t i = a.first; i < a.second && only_refs; i++) {
                only_refs = copy[r][i].type == KESTU_GRETYPE_RULE_REF;
                refs.refs.push_back(copy[r][i].value);
            }
            if (only_refs) {
                ref_alts.push_back(std::move(refs));
            }
        }
    }
    const std::vector<bool> nullable = settled_rules(n_rules, ref_alts);

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
        if (color[root] != WHITE || (reached_as_written[root] && !reached[root])) {
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
    used = std::move(copy);
    return "";
}

// The text tokens (ids below end of text with a text) as candidates,
// decoded from the pending bytes of a grammar state.
struct text_candidates {
    std::vector<std::vector<uint32_t>>   decoded; // the candidates point into these
    std::vector<kestu_grammar_candidate> candidates;
};

text_candidates candidates_of(const kestu_vocab & vocab, kestu_partial_utf8 partial) {
    text_candidates                 t;
    std::vector<kestu_partial_utf8> ends;
    std::vector<kestu_token>        ids;
    for (auto it = vocab.id_to_token.begin(); it != vocab.id_to_token.end() && it->first < vocab.token_eot; ++it) {
        if (it->second.empty()) {
            continue;
        }
        auto d = kestu_utf8_decode_partial(it->second.c_str(), partial);
        t.decoded.push_back(std::move(d.first));
        ends.push_back(d.second);
        ids.push_back(it->first);
    }
    t.candidates.reserve(t.decoded.size());
    for (size_t i = 0; i < t.decoded.size(); ++i) {
        t.candidates.push_back({ids[i], t.decoded[i].data(), ends[i]});
    }
    return t;
}

} // namespace

bool kestu_grammar_validate(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule,
                            kestu_grammar_rules * used) {
    kestu_grammar_rules copy;
    const std::string   problem = grammar_problem(rules, n_rules, start_rule, copy);
    if (!problem.empty()) {
        KESTU_LOG_ERROR("%s: invalid grammar: %s\n", __func__, problem.c_str());
        return false;
    }
    if (used != nullptr) {
        *used = std::move(copy);
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
    stack_pool pool;
    pool.silent = silent_rules(rules);
    expansion ex; // every path, as the caller may want them all
    expand(rules, pool, pool.intern(stack), ex);
    for (const uint32_t id : ex.stacks) {
        new_stacks.push_back(pool.unfold(id));
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
        std::vector<uint32_t>                stacks;
        std::vector<kestu_grammar_candidate> candidates;
        size_t                               depth;
    };
    // a reject comes back as it entered, at its first code point
    auto reject = [&rejects](const std::vector<kestu_grammar_candidate> & cs, size_t depth) {
        for (const kestu_grammar_candidate & c : cs) {
            rejects.push_back({c.id, c.code_points - depth, c.partial_utf8});
        }
    };

    stack_pool pool;
    pool.silent = silent_rules(rules);
    group first{{}, candidates, 0};
    for (const kestu_grammar_stack & stack : stacks) {
        first.stacks.push_back(pool.intern(stack));
    }
    size_t             work = 0;
    std::vector<group> todo;
    todo.push_back(std::move(first));
    while (!todo.empty()) {
        group g = std::move(todo.back());
        todo.pop_back();

        const stack_tops tops = tops_of(pool, g.stacks);

        std::map<uint32_t, std::vector<kestu_grammar_candidate>> by_next;
        for (const kestu_grammar_candidate & c : g.candidates) {
            if (*c.code_points != 0) {
                by_next[*c.code_points].push_back(c);
                continue;
            }
            // every character matched; a pending one must still fit some stack
            bool fits = c.partial_utf8.n_remain == 0;
            for (size_t k = 0; k < tops.tops.size() && !fits; k++) {
                fits = match_partial_char(rules, tops.tops[k], c.partial_utf8);
            }
            if (!fits) {
                reject({c}, g.depth);
            }
        }

        // characters that fit the same stacks lead to the same next stacks
        std::map<std::vector<uint32_t>, std::vector<kestu_grammar_candidate>> by_fit;
        for (const auto & [chr, group_candidates] : by_next) {
            std::vector<uint32_t> fit;
            if (work < MAX_FILTER_WORK) {
                fit = fitting(rules, tops, chr);
                work += tops.tops.size();
            }
            if (fit.empty()) {
                reject(group_candidates, g.depth);
                continue;
            }
            std::vector<kestu_grammar_candidate> & to = by_fit[fit];
            to.insert(to.end(), group_candidates.begin(), group_candidates.end());
        }

        for (const auto & [fit, group_candidates] : by_fit) {
            expansion ex;
            if (work < MAX_FILTER_WORK) {
                ex = advance(rules, pool, g.stacks, fit);
                work += ex.work;
                merge_expansion(pool, ex);
            }
            if (ex.stacks.empty() || work >= MAX_FILTER_WORK) {
                reject(group_candidates, g.depth);
                continue;
            }
            group next{std::move(ex.stacks), {}, g.depth + 1};
            next.candidates.reserve(group_candidates.size());
            for (const kestu_grammar_candidate & c : group_candidates) {
                next.candidates.push_back({c.id, c.code_points + 1, c.partial_utf8});
            }
            todo.push_back(std::move(next));
        }
    }
    return rejects;
}

kestu_grammar kestu_grammar_init(const kestu_grammar_element * const * rules, size_t n_rules, size_t start_rule) {
    kestu_grammar grammar;
    // the rules come back copied, without the alternatives that cannot complete
    if (!kestu_grammar_validate(rules, n_rules, start_rule, &grammar.rules)) {
        // nothing to steer by: decoding goes on unconstrained
        return grammar;
    }

    stack_pool pool;
    pool.silent = silent_rules(grammar.rules);
    expansion ex;
    ex.round              = pool.new_round();
    kestu_grammar_pos alt{(uint32_t) start_rule, 0};
    while (true) {
        expand(grammar.rules, pool,
               is_end_of_sequence(grammar.rules, alt) ? stack_pool::EMPTY : pool.push(stack_pool::EMPTY, alt), ex);
        while (!is_end_of_sequence(grammar.rules, alt)) {
            alt = next_pos(alt);
        }
        if (elem_at(grammar.rules, alt).type != KESTU_GRETYPE_ALT) {
            break;
        }
        alt = next_pos(alt);
    }
    // The start is where every decoder begins: cut by a bound, it would be
    // some other grammar, or none, and decoding would not keep to this one.
    const bool  lost = merge_expansion(pool, ex);
    std::string beyond;
    if (ex.cut && ex.work == MAX_EXPANSION) {
        beyond = kestu_format("its start takes more than %zu expansion steps", MAX_EXPANSION);
    } else if (lost) {
        beyond = kestu_format("its start has more than %zu parse stacks", MAX_STACKS);
    } else if (ex.deep) {
        beyond = kestu_format("its start nests deeper than %zu positions", MAX_DEPTH);
    }
    if (!beyond.empty()) {
        KESTU_LOG_ERROR("%s: grammar beyond the library's bounds: %s\n", __func__, beyond.c_str());
        return kestu_grammar{};
    }
    for (const uint32_t id : ex.stacks) {
        grammar.stacks.push_back(pool.unfold(id));
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
    stack_pool pool;
    pool.silent = silent_rules(grammar.rules);
    std::vector<uint32_t> ids;
    for (const kestu_grammar_stack & stack : grammar.stacks) {
        ids.push_back(pool.intern(stack));
    }
    size_t held = pool.nodes.size();
    size_t work = 0;
    bool   cut  = false;
    bool   deep = false;
    for (const uint32_t * cp = decoded.first.data(); *cp != 0 && !ids.empty(); cp++) {
        const stack_tops            tops = tops_of(pool, ids);
        const std::vector<uint32_t> fit  = fitting(grammar.rules, tops, *cp);
        expansion                   ex   = advance(grammar.rules, pool, ids, fit);
        work += tops.tops.size() + ex.work;
        cut  = merge_expansion(pool, ex) || cut;
        deep = deep || ex.deep;
        ids  = std::move(ex.stacks);
        if (work >= MAX_FILTER_WORK) {
            KESTU_LOG_WARN("%s: grammar too costly to follow through this token: no parse stack is left\n", __func__);
            ids.clear();
        }
        if (pool.nodes.size() > 4 * held + (1 << 16)) {
            compact(pool, ids);
            held = pool.nodes.size();
        }
    }
    warn_lost(__func__, cut, deep);
    grammar.stacks.clear();
    for (const uint32_t id : ids) {
        grammar.stacks.push_back(pool.unfold(id));
    }
    grammar.partial_utf8 = decoded.second;
}

std::vector<kestu_token> kestu_grammar_rejected_tokens(const kestu_vocab & vocab, const kestu_grammar & grammar) {
    const text_candidates    t = candidates_of(vocab, grammar.partial_utf8);
    std::vector<kestu_token> ids;
    if (grammar.stacks.empty()) {
        // the grammar cannot go on: no text fits it any more
        for (const kestu_grammar_candidate & c : t.candidates) {
            ids.push_back(c.id);
        }
        return ids;
    }
    const auto rejects = kestu_grammar_filter_candidates(grammar.rules, grammar.stacks, t.candidates);
    for (const kestu_grammar_candidate & c : rejects) {
        ids.push_back(c.id);
    }
    return ids;
}

bool kestu_grammar_can_begin(const kestu_vocab & vocab, const kestu_grammar & grammar,
                             const std::vector<bool> & first_tokens) {
    if (grammar.stacks.empty()) {
        KESTU_LOG_ERROR("%s: no token of the vocabulary can begin the grammar\n", __func__);
        return false;
    }
    const text_candidates t = candidates_of(vocab, grammar.partial_utf8);
    std::vector<bool>     rejected(first_tokens.size(), false);
    for (const kestu_grammar_candidate & c :
         kestu_grammar_filter_candidates(grammar.rules, grammar.stacks, t.candidates)) {
        if (c.id >= 0 && (size_t) c.id < rejected.size()) {
            rejected[c.id] = true;
        }
    }
    // what the grammar begins with may be what the run's settings suppress
    // where its text begins
    kestu_token suppressed   = -1;
    int         n_suppressed = 0;
    for (const kestu_grammar_candidate & c : t.candidates) {
        if (c.id < 0 || (size_t) c.id >= first_tokens.size() || rejected[c.id]) {
            continue;
        }
        if (first_tokens[c.id]) {
            return true;
        }
        if (n_suppressed++ == 0) {
            suppressed = c.id;
        }
    }
    if (n_suppressed > 0) {
        KESTU_LOG_ERROR("%s: the tokens that can begin the grammar ('%s' and %d more) are suppressed where the text "
                        "begins by the run's settings (leading blank, suppress_pattern, non-speech tokens)\n",
                        __func__, vocab.id_to_token.at(suppressed).c_str(), n_suppressed - 1);
    } else {
        KESTU_LOG_ERROR("%s: no token of the vocabulary can begin the grammar\n", __func__);
    }
    return false;
}

bool kestu_grammar_derives_text(const kestu_grammar & grammar, size_t start_rule) {
    if (start_rule < grammar.rules.size() && completing_rules(grammar.rules)[start_rule]) {
        return true;
    }
    KESTU_LOG_ERROR("%s: the grammar matches no text: no alternative of its start rule can be completed (a rule that "
                    "never ends, or a character set that matches no character)\n",
                    __func__);
    return false;
}
