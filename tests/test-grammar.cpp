// Grammar-constrained sampling: which texts a grammar's stacks accept,
// partial UTF-8 sequences across tokens, the penalty in logits processing,
// the refusal of broken grammars and of grammars that match no text, the
// alternatives that can never complete, dropped when a grammar is read, the
// shared model steered to a few of its words, the grammars the driver takes
// or refuses, run on a thread with a small stack, and the begin check under
// the run's settings (leading blank, timestamps, suppressions).

#include "decode-test-vocab.h"
#include "full-test-helpers.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <regex>
#include <set>

using namespace full_test;

static bool operator==(const kestu_grammar_pos & a, const kestu_grammar_pos & b) {
    return a.rule == b.rule && a.elem == b.elem;
}

namespace {

// ---------------------------------------------------------------------------
// building rules

using rule = std::vector<kestu_grammar_element>;

struct item {
    enum kind_t { LIT, SET, NOT_SET, REF, ALT } kind;
    std::u32string text;
    uint32_t       ref = 0;
};

item L(const std::u32string & s) { return {item::LIT, s}; }
// a set: "a-c" is a range, other characters stand for themselves
item S(const std::u32string & s) { return {item::SET, s}; }
item N(const std::u32string & s) { return {item::NOT_SET, s}; }
item R(uint32_t r) { return {item::REF, U"", r}; }
const item A = {item::ALT, U""};

rule make_rule(const std::vector<item> & items) {
    rule r;
    for (const item & it : items) {
        switch (it.kind) {
            case item::LIT:
                for (char32_t c : it.text) {
                    r.push_back({KESTU_GRETYPE_CHAR, (uint32_t) c});
                }
                break;
            case item::SET:
            case item::NOT_SET: {
                bool first = true;
                for (size_t i = 0; i < it.text.size(); i++) {
                    const kestu_gretype t = !first ? KESTU_GRETYPE_CHAR_ALT
                                            : it.kind == item::SET ? KESTU_GRETYPE_CHAR
                                                                   : KESTU_GRETYPE_CHAR_NOT;
                    r.push_back({t, (uint32_t) it.text[i]});
                    if (i + 2 < it.text.size() && it.text[i + 1] == U'-') {
                        r.push_back({KESTU_GRETYPE_CHAR_RNG_UPPER, (uint32_t) it.text[i + 2]});
                        i += 2;
                    }
                    first = false;
                }
                break;
            }
            case item::REF:
                r.push_back({KESTU_GRETYPE_RULE_REF, it.ref});
                break;
            case item::ALT:
                r.push_back({KESTU_GRETYPE_ALT, 0});
                break;
        }
    }
    r.push_back({KESTU_GRETYPE_END, 0});
    return r;
}

struct grammar_def {
    std::vector<rule>                           rules;
    std::vector<const kestu_grammar_element *> ptrs;

    explicit grammar_def(const std::vector<std::vector<item>> & defs) {
        for (const auto & d : defs) {
            rules.push_back(make_rule(d));
        }
        for (const rule & r : rules) {
            ptrs.push_back(r.data());
        }
    }
    // raw elements, for rules the builder would not make
    explicit grammar_def(const std::vector<rule> & raw) : rules(raw) {
        for (const rule & r : rules) {
            ptrs.push_back(r.data());
        }
    }
    kestu_grammar init(size_t start = 0) const { return kestu_grammar_init(ptrs.data(), ptrs.size(), start); }
};

// a code point below 0x10000 in UTF-8
std::string utf8_of(char32_t c) {
    if (c < 0x80) {
        return std::string(1, (char) c);
    }
    if (c < 0x800) {
        return {(char) (0xC0 | (c >> 6)), (char) (0x80 | (c & 0x3F))};
    }
    return {(char) (0xE0 | (c >> 12)), (char) (0x80 | ((c >> 6) & 0x3F)), (char) (0x80 | (c & 0x3F))};
}

// the texts of candidates a grammar state rejects
std::set<std::string> rejected(const kestu_grammar & g, const std::vector<std::string> & texts) {
    std::vector<std::vector<uint32_t>>    decoded;
    std::vector<kestu_partial_utf8>       ends;
    for (const std::string & t : texts) {
        auto d = kestu_utf8_decode_partial(t.c_str(), g.partial_utf8);
        decoded.push_back(d.first);
        ends.push_back(d.second);
    }
    std::vector<kestu_grammar_candidate> cands;
    for (size_t i = 0; i < texts.size(); i++) {
        cands.push_back({(kestu_token) i, decoded[i].data(), ends[i]});
    }
    std::set<std::string> out;
    for (const kestu_grammar_candidate & c : kestu_grammar_filter_candidates(g.rules, g.stacks, cands)) {
        out.insert(texts[c.id]);
        // a reject comes back as it entered, at its first code point
        EXPECT_EQ(c.code_points, decoded[c.id].data()) << texts[c.id];
    }
    return out;
}

// ---------------------------------------------------------------------------
// rules on candidate texts

struct filter_case {
    const char *                         name;
    std::vector<std::vector<item>>       rules;
    std::vector<std::string>             accepted;
    std::vector<std::string>             refused;
};

TEST(GrammarFilter, EachGrammarAcceptsExactlyThePrefixesOfItsLanguage) {
    const std::vector<filter_case> cases = {
        {"set then literal, or a literal",
         {{S(U"a-c"), L(U"x"), A, L(U"yz")}},
         {"", "a", "b", "cx", "y", "yz"},
         {"d", "axq", "z", "ay", "yzz", "ax "}},
        {"negated set, repeated",
         {{N(U"0-9"), R(0), A, N(U"0-9")}},
         {"abc", "a b", "?", "é"},
         {"a1", "7", "ab9c"}},
        {"a reference whose first alternative is empty",
         {{R(1), L(U"x")}, {A, L(U"y")}},
         {"x", "y", "yx"},
         {"xy", "z", "yy", "xx"}},
        {"two alternatives at the start",
         {{L(U"ab"), A, L(U"cd")}},
         {"a", "ab", "c", "cd"},
         {"ad", "ca", "abc", "b"}},
        {"ranges and single characters in one set",
         {{S(U"a-cx0-1")}},
         {"b", "x", "1", "a"},
         {"d", "y", "2", "ab"}},
        {"characters beyond one byte",
         {{L(U"é"), S(U"α-ω"), L(U"!")}},
         {"é", "éβ", "éω!"},
         {"e", "éa", "éβ?"}},
    };
    for (const filter_case & c : cases) {
        SCOPED_TRACE(c.name);
        const grammar_def def(c.rules);
        const kestu_grammar g = def.init();
        ASSERT_FALSE(g.stacks.empty());

        std::vector<std::string> all = c.accepted;
        all.insert(all.end(), c.refused.begin(), c.refused.end());
        const std::set<std::string> got = rejected(g, all);
        EXPECT_EQ(got, std::set<std::string>(c.refused.begin(), c.refused.end()));
    }
}

TEST(GrammarFilter, NoStacksRejectNothing) {
    const grammar_def def({{L(U"a")}});
    kestu_grammar     g = def.init();
    g.stacks.clear();
    EXPECT_TRUE(rejected(g, {"b", "a", "zz"}).empty());
}

TEST(GrammarFilter, ACopyOutlivesItsSource) {
    kestu_grammar copy;
    {
        const grammar_def def({{L(U"ab"), A, L(U"cd")}});
        kestu_grammar     g = def.init();
        copy                = g;
    }
    EXPECT_EQ(rejected(copy, {"a", "cd", "x"}), std::set<std::string>{"x"});
}

// ---------------------------------------------------------------------------
// partial UTF-8

struct decode_case {
    const char *          name;
    kestu_partial_utf8    start;
    std::string           text;
    std::vector<uint32_t> code_points; // with the closing 0
    kestu_partial_utf8    end;
};

TEST(GrammarUtf8, DecodesAcrossTokenBorders) {
    const std::vector<decode_case> cases = {
        {"ascii", {0, 0}, "ab", {'a', 'b', 0}, {'b', 0}},
        {"two bytes", {0, 0}, "\xC3\xA9", {0xE9, 0}, {0xE9, 0}},
        {"four bytes", {0, 0}, "\xF0\x9F\x98\x80", {0x1F600, 0}, {0x1F600, 0}},
        {"ends inside a character", {0, 0}, "a\xE2\x82", {'a', 0}, {0x82, 1}},
        {"completes a pending character", {0x3, 1}, "\xA9z", {0xE9, 'z', 0}, {'z', 0}},
        {"a pending character still pending", {0x2, 2}, "\x82", {0}, {0x82, 1}},
        {"empty text keeps the pending state", {0x3, 1}, "", {0}, {0x3, 1}},
        {"a continuation byte cannot lead", {0, 0}, "a\xA9", {0}, {0, -1}},
        {"a pending character needs continuation bytes", {0x3, 1}, "a", {0}, {0, -1}},
    };
    for (const decode_case & c : cases) {
        SCOPED_TRACE(c.name);
        const auto d = kestu_utf8_decode_partial(c.text.c_str(), c.start);
        EXPECT_EQ(d.first, c.code_points);
        EXPECT_EQ(d.second.n_remain, c.end.n_remain);
        EXPECT_EQ(d.second.value, c.end.value);
    }
}

struct partial_case {
    const char *      name;
    std::vector<item> rule;
    std::string       text; // ends inside a character
    bool              accepted;
};

TEST(GrammarUtf8, AnUnfinishedCharacterIsAcceptedWhereSomeCompletionFits) {
    const std::vector<partial_case> cases = {
        {"two-byte lead inside the range", {S(U"à-ÿ")}, "\xC3", true},
        {"two-byte lead against ascii", {S(U"a-z")}, "\xC3", false},
        {"two-byte lead against a negated ascii set", {N(U"a-z")}, "\xC3", true},
        {"two-byte lead against its own negated range", {N(U"\u00C0-\u00FF")}, "\xC3", false},
        {"single characters of the set", {S(U"xé")}, "\xC3", true},
        {"overlong form 0xC0", {N(U"a")}, "\xC0", false},
        {"overlong form 0xC1", {N(U"a")}, "\xC1", false},
        {"three-byte lead with zero bits starts at 0x800", {S(U"\u0900-\u097F")}, "\xE0", true},
        {"three-byte lead with zero bits excludes ascii", {S(U"a-z")}, "\xE0", false},
        {"four-byte lead", {S(U"\U0001F600")}, "\xF0\x9F", true},
        {"after complete characters", {L(U"a"), S(U"à-ÿ")}, "a\xC3", true},
    };
    for (const partial_case & c : cases) {
        SCOPED_TRACE(c.name);
        const grammar_def def({c.rule});
        const kestu_grammar g = def.init();
        EXPECT_EQ(rejected(g, {c.text}).empty(), c.accepted);
    }
}

TEST(GrammarUtf8, InvalidTextIsRejectedByEveryStack) {
    const grammar_def def({{N(U"a"), A, A, L(U"b")}}); // includes an empty alternative
    const kestu_grammar g = def.init();
    ASSERT_GE(g.stacks.size(), 3u);
    EXPECT_EQ(rejected(g, {"\xA9", "x\xBF"}).size(), 2u);
}

// ---------------------------------------------------------------------------
// acceptance of chosen tokens

const std::vector<std::string> k_texts = {" yes", " no", " y", "es", "o", " n", "x", "\xC3", "\xA9", "\xA9!", "!",
                                          " stop"};

TEST(GrammarAccept, TokensAdvanceTheStacksAndCarryPendingBytes) {
    test_vocab        tv{k_texts, 20, 10};
    const grammar_def def({{L(U"é!")}});
    kestu_grammar     g = def.init();

    kestu_grammar_accept_token(tv.vocab(), g, tv.id("\xC3"));
    EXPECT_EQ(g.partial_utf8.n_remain, 1);
    EXPECT_EQ(rejected(g, {"\xA9!", "\xA9", "x", "!"}), (std::set<std::string>{"x", "!"}));

    kestu_grammar_accept_token(tv.vocab(), g, tv.id("\xA9"));
    EXPECT_EQ(g.partial_utf8.n_remain, 0);
    EXPECT_EQ(rejected(g, {"!", "\xA9!", "x"}), (std::set<std::string>{"\xA9!", "x"}));

    // special tokens leave the state as it is
    const kestu_grammar before = g;
    for (kestu_token id : {tv.eot(), tv.vocab().token_sot, tv.beg() + 3}) {
        kestu_grammar_accept_token(tv.vocab(), g, id);
        EXPECT_EQ(g.stacks, before.stacks);
        EXPECT_EQ(g.partial_utf8.n_remain, before.partial_utf8.n_remain);
    }

    kestu_grammar_accept_token(tv.vocab(), g, tv.id("!"));
    ASSERT_EQ(g.stacks.size(), 1u);
    EXPECT_TRUE(g.stacks[0].empty()); // complete
}

TEST(GrammarAccept, ATokenNoStackTakesLeavesNoStack) {
    test_vocab        tv{k_texts, 20, 10};
    const grammar_def def({{L(U" yes")}});
    kestu_grammar     g = def.init();
    kestu_grammar_accept_token(tv.vocab(), g, tv.id(" no"));
    EXPECT_TRUE(g.stacks.empty());
}

TEST(GrammarAccept, AmbiguousRulesKeepTheirStacksFew) {
    // found by fuzzing: x ::= [a] y x | "" with y ::= "" | "" doubled the
    // stacks with every character, 2^40 of them after these 40
    test_vocab        tv{{"a", "aaaa", "b"}, 20, 10};
    const grammar_def def({{S(U"a"), R(1), R(0), A}, {A}});
    kestu_grammar     g = def.init();
    for (int i = 0; i < 40; i++) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("a"));
    }
    // another [a], or the end
    EXPECT_EQ(g.stacks.size(), 2u);
    EXPECT_EQ(rejected(g, {"a", "aaaa", "b"}), std::set<std::string>{"b"});
}

TEST(GrammarAccept, DistinctStacksBeyondTheLimitAreDropped) {
    // x ::= [a] x [b] | [a] x [c] | "": 2^n distinct stacks after n characters
    test_vocab        tv{{"a", "b", "z"}, 20, 10};
    const grammar_def def({{S(U"a"), R(0), S(U"b"), A, S(U"a"), R(0), S(U"c"), A}});
    kestu_grammar     g = def.init();
    log_capture       log;
    for (int i = 0; i < 30; i++) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("a"));
    }
    EXPECT_EQ(g.stacks.size(), 1024u);
    EXPECT_GE(log.count("grammar too ambiguous: kept 1024 of its parse stacks"), 1);
    EXPECT_EQ(rejected(g, {"a", "z"}), std::set<std::string>{"z"});
}

TEST(GrammarFilter, ManyStacksDoNotCostEveryCandidateOfALargeVocabulary) {
    // the same 1024 stacks against a vocabulary whose tokens start with
    // thousands of distinct characters, as a multilingual one does: matching
    // every stack against every first character spent the whole work limit
    // before any candidate was followed, and the fitting ones were rejected too
    const grammar_def def({{S(U"a"), R(0), S(U"b"), A, S(U"a"), R(0), S(U"c"), A}});
    kestu_grammar     g = def.init();
    test_vocab        tv{{"a"}, 20, 10};
    log_capture       log;
    for (int i = 0; i < 30; i++) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("a"));
    }
    ASSERT_EQ(g.stacks.size(), 1024u);

    std::vector<std::string> texts = {"a", "b", "c", "ab", "z"};
    std::set<std::string>    refused = {"z"};
    for (char32_t c = 0x4e00; c < 0x4e00 + 3000; c++) {
        const std::string t = utf8_of(c);
        texts.push_back(t);
        refused.insert(t);
    }
    EXPECT_EQ(rejected(g, texts), refused);
}

struct nesting_case {
    int                      opens; // "(" tokens accepted
    std::vector<std::string> accepted;
    std::vector<std::string> refused;
};

TEST(GrammarAccept, NestingBeyondTheDepthLimitIsDropped) {
    // x ::= "(" x ")" | "a": each "(" leaves one more ")" on the stacks, and
    // stacks of more than 256 positions are dropped, by filtering and
    // acceptance alike
    test_vocab                      tv{{"(", "a", ")"}, 20, 10};
    const grammar_def               def({{L(U"("), R(0), L(U")"), A, L(U"a")}});
    const std::vector<nesting_case> cases = {
        {0, {"(", "a", "(a)", "((a"}, {")", "a)", "(()"}},
        {254, {"(", "(a", "a", "a)"}, {"((", ")"}},
        {255, {"a", "a)", "a))"}, {"(", ")"}},
    };
    for (const nesting_case & c : cases) {
        SCOPED_TRACE(c.opens);
        kestu_grammar g = def.init();
        log_capture   log;
        for (int i = 0; i < c.opens; i++) {
            kestu_grammar_accept_token(tv.vocab(), g, tv.id("("));
        }
        ASSERT_FALSE(g.stacks.empty());
        EXPECT_EQ(log.count("nested too deeply"), 0);
        std::vector<std::string> all = c.accepted;
        all.insert(all.end(), c.refused.begin(), c.refused.end());
        EXPECT_EQ(rejected(g, all), std::set<std::string>(c.refused.begin(), c.refused.end()));

        // what is opened can still be closed
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("a"));
        for (int i = 0; i < c.opens; i++) {
            kestu_grammar_accept_token(tv.vocab(), g, tv.id(")"));
        }
        ASSERT_EQ(g.stacks.size(), 1u);
        EXPECT_TRUE(g.stacks[0].empty());
    }

    // one more "(" than the deepest case leaves nothing to go on with
    kestu_grammar g = def.init();
    log_capture   log;
    for (int i = 0; i < 256; i++) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("("));
    }
    EXPECT_TRUE(g.stacks.empty());
    EXPECT_EQ(log.count("grammar nested too deeply: dropped its parse stacks beyond 256 positions"), 1);
}

TEST(GrammarAccept, RulesThatReachNoCharacterAreFollowedOnce) {
    // x ::= [a] y1 x | "", y1 ::= y2 y2, ..., y12 ::= "" | "": 2^12 ways
    // through the y rules at every character, all of them ending where they
    // began
    std::vector<std::vector<item>> rules = {{S(U"a"), R(1), R(0), A}};
    for (uint32_t i = 1; i < 12; i++) {
        rules.push_back({R(i + 1), R(i + 1)});
    }
    rules.push_back({A});
    test_vocab        tv{{"a", "aaaa", "b"}, 20, 10};
    const grammar_def def(rules);
    kestu_grammar     g = def.init();
    for (int i = 0; i < 40; i++) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id("aaaa"));
    }
    EXPECT_EQ(g.stacks.size(), 2u);
    EXPECT_EQ(rejected(g, {"a", "aaaa", "b", "ab"}), (std::set<std::string>{"b", "ab"}));
}

TEST(GrammarAccept, AVeryLongTokenOfNestedBracketsIsAcceptedWhole) {
    // x ::= "(" x ")" x | "[" x "]" x | "": brackets nested up to 100 deep,
    // in an order that makes new stacks all the way through the token
    std::string text;
    std::string open;
    uint32_t    seed = 1;
    while (text.size() < 100000) {
        seed            = seed * 1664525u + 1013904223u;
        const bool close = open.size() >= 100 || (!open.empty() && (seed >> 16) % 2 == 0);
        if (close) {
            text += open.back() == '(' ? ')' : ']';
            open.pop_back();
        } else {
            open += (seed >> 20) % 2 == 0 ? '(' : '[';
            text += open.back();
        }
    }
    while (!open.empty()) {
        text += open.back() == '(' ? ')' : ']';
        open.pop_back();
    }
    test_vocab        tv{{text, ")", "("}, 20, 10};
    const grammar_def def({{L(U"("), R(0), L(U")"), R(0), A, L(U"["), R(0), L(U"]"), R(0), A}});
    kestu_grammar     g = def.init();
    kestu_grammar_accept_token(tv.vocab(), g, tv.id(text));
    // another pair, or the end
    EXPECT_EQ(g.stacks.size(), 3u);
    EXPECT_EQ(rejected(g, {"(", "[]", ")", "]"}), (std::set<std::string>{")", "]"}));
}

TEST(GrammarFilter, ALongTokenUnderAmbiguousRulesIsDecidedPromptly) {
    // the same rules from the start: filtering a token of 40 characters
    // follows 2^40 stacks unless its work is bounded; one that fails only at
    // its end is rejected, a short one that fits is taken
    const grammar_def def({{S(U"a"), R(0), S(U"b"), A, S(U"a"), R(0), S(U"c"), A}});
    const kestu_grammar g = def.init();
    const std::string   long_bad(40, 'a');
    EXPECT_EQ(rejected(g, {long_bad + "z", "aab", "aa", "z"}), (std::set<std::string>{long_bad + "z", "z"}));
}

TEST(GrammarFilter, ATokenTooCostlyToFollowIsRejectedAndLeavesNoStacks) {
    // x ::= [a] y1 x | "", y1 ::= y2 y2, ..., y12 ::= "" | [b]: a text of
    // the language, but each character of it takes thousands of expansion
    // steps over the most stacks kept; the work of one filtering is bounded,
    // and acceptance gives up at the same point
    std::vector<std::vector<item>> rules = {{S(U"a"), R(1), R(0), A}};
    for (uint32_t i = 1; i < 12; i++) {
        rules.push_back({R(i + 1), R(i + 1)});
    }
    rules.push_back({A, S(U"b")});
    std::string long_text;
    for (int i = 0; i < 2000; i++) {
        long_text += "ab";
    }
    test_vocab          tv{{long_text, "ab", "c"}, 20, 10};
    const grammar_def   def(rules);
    const kestu_grammar g = def.init();
    EXPECT_EQ(rejected(g, {long_text, "ab", "c"}), (std::set<std::string>{long_text, "c"}));

    kestu_grammar short_one = g;
    kestu_grammar_accept_token(tv.vocab(), short_one, tv.id("ab"));
    EXPECT_FALSE(short_one.stacks.empty());

    kestu_grammar long_one = g;
    log_capture   log;
    kestu_grammar_accept_token(tv.vocab(), long_one, tv.id(long_text));
    EXPECT_TRUE(long_one.stacks.empty());
    EXPECT_EQ(log.count("grammar too costly to follow through this token"), 1);
}

TEST(GrammarFilter, AVeryLongTokenIsFilteredWithoutDeepRecursion) {
    // a model file may carry token texts of up to a megabyte; one level of
    // recursion per character overflowed the stack long before this length
    const grammar_def   def({{N(U"x"), R(0), A}});
    const kestu_grammar g = def.init();
    const std::string   long_text(1 << 18, 'a');
    EXPECT_EQ(rejected(g, {long_text, long_text + "x", "a"}), std::set<std::string>{long_text + "x"});
}

// ---------------------------------------------------------------------------
// the penalty in logits processing

class GrammarLogits : public ::testing::Test {
protected:
    test_vocab                   tv{k_texts, 20, 10};
    std::unique_ptr<kestu_state> st = std::make_unique<kestu_state>();
    kestu_full_params            p  = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
    grammar_def                  def{std::vector<std::vector<item>>{{R(1), R(0), A, R(1)}, {L(U" yes"), A, L(U" no")}}};

    void SetUp() override {
        p.grammar_rule_list      = def.ptrs.data();
        p.grammar_rule_count     = def.ptrs.size();
        p.grammar_start_rule     = 0;
        p.grammar_reject_penalty = 100.0f;
        p.suppress_leading_blank = false;
        p.no_timestamps          = true;
    }

    kestu_decoder & decoder_with(const kestu_grammar & g) {
        st->logits.assign(tv.n_vocab(), 0.0f);
        kestu_decoder & d = st->decoders[0];
        test_reset_decoder(d);
        d.sequence.tokens = test_tokens({tv.id(" y")});
        d.i_batch         = 0;
        d.grammar         = g;
        return d;
    }
};

TEST_F(GrammarLogits, RejectedTextTokensLoseThePenaltyAndNothingElseChanges) {
    kestu_decoder & d = decoder_with(def.init());
    kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr);

    for (int id = 0; id < tv.eot(); id++) {
        const std::string & text = tv.vocab().id_to_token.at(id);
        const bool          ok   = text == " yes" || text == " no" || text == " y" || text == " n";
        EXPECT_EQ(d.logits[id], ok ? 0.0f : -100.0f) << text;
    }
    EXPECT_EQ(d.logits[tv.eot()], 0.0f);
    // log-probabilities follow the lowered logits
    EXPECT_NEAR(d.logprobs[tv.id(" yes")] - d.logprobs[tv.id("x")], 100.0f, 1e-3f);
}

TEST_F(GrammarLogits, AfterACompleteTextOnlyTheEndOfTextKeepsItsLogit) {
    kestu_grammar g = def.init();
    for (const char * t : {" y", "es"}) {
        kestu_grammar_accept_token(tv.vocab(), g, tv.id(t));
    }
    // " yes" may end the text or go on with another word
    kestu_decoder & d = decoder_with(g);
    kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr);
    EXPECT_EQ(d.logits[tv.id(" no")], 0.0f);
    EXPECT_EQ(d.logits[tv.id("x")], -100.0f);

    // a grammar that allows nothing more penalises every text token
    const grammar_def one({{L(U" yes")}});
    kestu_grammar     done = one.init();
    kestu_grammar_accept_token(tv.vocab(), done, tv.id(" yes"));
    p.grammar_rule_list  = one.ptrs.data();
    p.grammar_rule_count = one.ptrs.size();
    kestu_decoder & e    = decoder_with(done);
    kestu_filter_logits(*tv.ctx, *st, e, p, 0.0f, nullptr);
    for (int id = 0; id < tv.eot(); id++) {
        EXPECT_EQ(e.logits[id], -100.0f) << tv.vocab().id_to_token.at(id);
    }
    EXPECT_EQ(e.logits[tv.eot()], 0.0f);
    int best = 0;
    for (int id = 1; id < tv.n_vocab(); id++) {
        best = e.probs[id] > e.probs[best] ? id : best;
    }
    EXPECT_EQ(best, tv.eot());
}

TEST_F(GrammarLogits, AGrammarThatLostEveryStackPenalisesEveryTextToken) {
    // a token the grammar rejected was taken all the same (the penalty is
    // finite): the text has left the grammar, and only its end is free
    kestu_grammar g = def.init();
    kestu_grammar_accept_token(tv.vocab(), g, tv.id("x"));
    ASSERT_TRUE(g.stacks.empty());
    kestu_decoder & d = decoder_with(g);
    kestu_filter_logits(*tv.ctx, *st, d, p, 0.0f, nullptr);
    for (int id = 0; id < tv.eot(); id++) {
        EXPECT_EQ(d.logits[id], -100.0f) << tv.vocab().id_to_token.at(id);
    }
    EXPECT_EQ(d.logits[tv.eot()], 0.0f);
}

// ---------------------------------------------------------------------------
// broken grammars

struct invalid_case {
    const char *      name;
    std::vector<rule> rules;
    size_t            start;
};

kestu_grammar_element el(kestu_gretype t, uint32_t v = 0) {
    return {t, v};
}

TEST(GrammarValidate, BrokenGrammarsAreRefusedAndGoodOnesPass) {
    const kestu_grammar_element END = el(KESTU_GRETYPE_END);
    const kestu_grammar_element ALT = el(KESTU_GRETYPE_ALT);
    auto                        ch  = [](uint32_t c) { return el(KESTU_GRETYPE_CHAR, c); };
    auto                        ref = [](uint32_t r) { return el(KESTU_GRETYPE_RULE_REF, r); };

    const std::vector<invalid_case> bad = {
        {"a reference to a missing rule", {{ch('a'), ref(2), END}, {ch('b'), END}}, 0},
        {"the start rule is missing", {{ch('a'), END}}, 1},
        {"direct left recursion", {{ref(0), ch('a'), ALT, ch('b'), END}}, 0},
        {"left recursion through an empty rule",
         {{ref(1), ref(0), ch('x'), ALT, ch('y'), END}, {ALT, ch('z'), END}},
         0},
        {"a cycle of rules that never consume", {{ref(1), END}, {ref(0), ALT, END}}, 0},
        {"a cycle away from the start rule", {{ch('a'), END}, {ref(2), END}, {ref(1), ch('b'), END}}, 0},
        {"a range with no start", {{el(KESTU_GRETYPE_CHAR_RNG_UPPER, 'z'), END}}, 0},
        {"a range after a range", {{ch('a'), el(KESTU_GRETYPE_CHAR_RNG_UPPER, 'c'),
                                    el(KESTU_GRETYPE_CHAR_RNG_UPPER, 'd'), END}},
         0},
        {"a set member after a reference", {{ref(1), el(KESTU_GRETYPE_CHAR_ALT, 'x'), END}, {ch('a'), END}}, 0},
        {"a set member opening an alternative", {{ch('a'), ALT, el(KESTU_GRETYPE_CHAR_ALT, 'x'), END}}, 0},
        {"an unknown element type", {{el((kestu_gretype) 9, 'x'), END}}, 0},
        // alternatives that can never complete are dropped first: what is left still recurses
        {"left recursion beside a dead one", {{ref(0), ch('a'), ALT, ref(0), ch(0x110000), ALT, ch('b'), END}}, 0},
        {"left recursion in a start rule that never completes", {{ref(0), ch('a'), END}}, 0},
        {"left recursion in a rule a start rule that never completes reaches",
         {{ch('a'), ref(1), END}, {ref(1), ch('x'), END}}, 0},
        {"left recursion in a rule beside a dead alternative that reaches it",
         {{ref(1), ALT, ref(1), ch(0x110000), END}, {ref(1), ch('x'), ALT, ch('y'), END}}, 0},
    };
    for (const invalid_case & c : bad) {
        SCOPED_TRACE(c.name);
        const grammar_def def(c.rules);
        log_capture       log;
        EXPECT_FALSE(kestu_grammar_validate(def.ptrs.data(), def.ptrs.size(), c.start));
        EXPECT_EQ(log.count("invalid grammar"), 1);
        // the driver never gets here with it; on its own it steers nothing
        const kestu_grammar g = kestu_grammar_init(def.ptrs.data(), def.ptrs.size(), c.start);
        EXPECT_TRUE(g.rules.empty() && g.stacks.empty());
    }

    const std::vector<invalid_case> good = {
        {"right recursion", {{ch('a'), ref(0), ALT, END}}, 0},
        {"recursion after a character", {{ch('('), ref(0), ch(')'), ALT, END}}, 0},
        {"an empty rule", {{END}}, 0},
        {"references to later and earlier rules", {{ref(1), ref(2), END}, {ALT, ch('b'), END}, {ref(1), ch('c'), END}}, 0},
        // left recursion only through alternatives that can never complete, which are dropped
        {"left recursion through a character beyond Unicode", {{ref(0), ch(0x110000), ALT, ch('b'), END}}, 0},
        {"left recursion through a rule that never completes",
         {{ref(0), ref(1), ALT, ch('b'), END}, {ch('t'), ref(1), END}}, 0},
        {"a left-recursive rule only a dead alternative reaches", {{ref(1), ALT, ch('b'), END}, {ref(1), ch('x'), END}},
         0},
        {"left recursion past an empty rule through a character beyond Unicode",
         {{ref(1), ref(0), ch(0x110000), ALT, ch('b'), END}, {ALT, ch('z'), END}}, 0},
        {"a rule recursing past an empty rule, only a dead alternative reaches",
         {{ref(1), ref(2), ALT, ch('b'), END}, {ALT, ch('z'), END}, {ref(1), ref(2), ch('x'), END}}, 0},
    };
    for (const invalid_case & c : good) {
        SCOPED_TRACE(c.name);
        const grammar_def def(c.rules);
        EXPECT_TRUE(kestu_grammar_validate(def.ptrs.data(), def.ptrs.size(), c.start));
        EXPECT_FALSE(def.init(c.start).rules.empty());
    }

    EXPECT_FALSE(kestu_grammar_validate(nullptr, 1, 0));
    const kestu_grammar_element * missing[] = {nullptr};
    EXPECT_FALSE(kestu_grammar_validate(missing, 1, 0));
}

struct language_case {
    const char *      name;
    std::vector<rule> rules;
    bool              derives; // some text is a sentence of the grammar
};

TEST(GrammarLanguage, GrammarsThatMatchNoTextAreFoundAndOthersPass) {
    const kestu_grammar_element END = el(KESTU_GRETYPE_END);
    const kestu_grammar_element ALT = el(KESTU_GRETYPE_ALT);
    auto                        ch  = [](uint32_t c) { return el(KESTU_GRETYPE_CHAR, c); };
    auto                        non = [](uint32_t c) { return el(KESTU_GRETYPE_CHAR_NOT, c); };
    auto                        up  = [](uint32_t c) { return el(KESTU_GRETYPE_CHAR_RNG_UPPER, c); };
    auto                        alt = [](uint32_t c) { return el(KESTU_GRETYPE_CHAR_ALT, c); };
    auto                        ref = [](uint32_t r) { return el(KESTU_GRETYPE_RULE_REF, r); };

    // a ring of n rules, each a character and a reference to the next: no end
    std::vector<rule> ring;
    for (uint32_t i = 0; i < 100000; i++) {
        ring.push_back({ch('x'), ref((i + 1) % 100000), END});
    }
    std::vector<rule> ring_with_exit = ring;
    ring_with_exit.back() = {ch('x'), ref(0), ALT, ch('y'), END};

    const std::vector<language_case> cases = {
        {"a blank, then an empty range", {{ch(' '), ch('x'), up('w'), END}}, false},
        {"an empty range alone", {{ch('x'), up('w'), END}}, false},
        {"a rule that never completes", {{ref(1), END}, {ch('x'), ref(1), END}}, false},
        {"two rules that only lead to each other", {{ch('x'), ref(1), END}, {ch('y'), ref(0), END}}, false},
        {"a never-ending rule after a good one", {{ref(1), ref(2), END}, {ch('a'), END}, {ch('b'), ref(2), END}},
         false},
        {"an empty set in every alternative",
         {{ch(' '), ch('x'), up('w'), ALT, ch(' '), ch('z'), up('a'), alt('q'), up('p'), END}}, false},
        {"the character 0", {{ch(0), END}}, false},
        {"a character no text can give", {{ch(0x400000), END}}, false},
        {"a negated set of every character", {{non(1), up(0x3FFFFF), END}}, false},
        {"a negated set of every character of Unicode", {{non(0), up(0x10FFFF), END}}, false},
        // a malformed lead byte reads as more, but no text says such a character
        {"a character beyond Unicode", {{ch(0x110000), END}}, false},
        {"a negated set that leaves only what lies beyond Unicode", {{non(1), up(0x10FFFF), END}}, false},
        {"a negated set of every character in pieces", {{non(0), up('a'), alt('b'), up(0x7FFFFFFF), END}}, false},
        {"a ring of 100000 rules", ring, false},
        // fine ones
        {"one good alternative among empty ones", {{ch(' '), ch('x'), up('w'), ALT, ch(' '), ch('b'), END}}, true},
        {"a set with an empty range and a character", {{ch('x'), up('w'), alt('q'), END}}, true},
        {"a rule that may stop", {{ref(1), END}, {ALT, ch('x'), ref(1), END}}, true},
        {"the empty text", {{END}}, true},
        {"a negated set that leaves one character", {{non(1), up('a'), alt('c'), up(0x3FFFFF), END}}, true},
        {"a negated set that leaves the last character", {{non(1), up(0x10FFFE), END}}, true},
        {"the last character of Unicode", {{ch(0x10FFFF), END}}, true},
        {"a ring of 100000 rules with a way out", ring_with_exit, true},
        {"a word, repeated", {{ref(1), ref(0), ALT, ref(1), END}, {ch(' '), ch('y'), END}}, true},
    };
    for (const language_case & c : cases) {
        SCOPED_TRACE(c.name);
        const grammar_def   def(c.rules);
        const kestu_grammar g = def.init();
        ASSERT_FALSE(g.rules.empty());
        log_capture log;
        EXPECT_EQ(kestu_grammar_derives_text(g, 0), c.derives);
        EXPECT_EQ(log.count("the grammar matches no text"), c.derives ? 0 : 1);
    }
}

// [^\x00-\U0010FFFF]: no character of a text
const item NOTHING = {item::NOT_SET, std::u32string(U"\0-\U0010FFFF", 3)};
// [U+110000]: a character beyond Unicode, which no text says
const item BEYOND = {item::SET, std::u32string(1, (char32_t) 0x110000)};

struct drop_case {
    const char *                   name;
    std::vector<std::vector<item>> written;
    std::vector<std::vector<item>> kept;      // what the grammar holds after reading it
    std::vector<std::vector<item>> parsed_as = {}; // the grammar parsing starts as, if not `kept`
};

TEST(GrammarInit, AlternativesThatCannotCompleteAreDroppedAndNothingElse) {
    const std::vector<std::vector<item>> all_end = {
        {R(1), R(0), A, R(1), A},
        {L(U" yes"), A, S(U"a-c"), L(U"x"), A, R(2), L(U"w")},
        {A, L(U"z")},
    };
    const std::vector<drop_case> cases = {
        {"every alternative can end: nothing changes", all_end, all_end},
        {"a dead alternative first", {{L(U" stop"), R(1), A, L(U" two")}, {L(U"x"), R(1)}},
         {{L(U" two")}, {L(U"x"), R(1)}}},
        {"a dead alternative last", {{L(U" two"), A, L(U" stop"), R(1)}, {L(U"x"), R(1)}},
         {{L(U" two")}, {L(U"x"), R(1)}}},
        {"a dead alternative between empty ones", {{A, R(1), A}, {L(U"x"), R(1)}}, {{A}, {L(U"x"), R(1)}}},
        {"a dead alternative of a nullable rule",
         {{R(1), L(U" two")}, {A, L(U" stop"), A, R(2)}, {L(U" right"), R(2)}},
         {{R(1), L(U" two")}, {A, L(U" stop")}, {L(U" right"), R(2)}}},
        {"the only way a nullable rule matches text is dead", {{R(1), L(U" two")}, {A, R(2)}, {L(U"x"), R(2)}},
         {{R(1), L(U" two")}, {}, {L(U"x"), R(2)}}},
        {"a set no character matches", {{L(U" two"), NOTHING, A, L(U" one")}}, {{L(U" one")}}},
        {"an empty range", {{L(U"a"), S(U"x-w"), A, L(U"b")}}, {{L(U"b")}}},
        // a rule that never completes keeps what was written: nothing that can end reaches it
        {"a rule that never completes through another",
         {{R(1), A, L(U" two")}, {L(U" a"), R(2)}, {L(U"x"), R(2)}},
         {{L(U" two")}, {L(U" a"), R(2)}, {L(U"x"), R(2)}}},
        {"a start rule that never completes", {{L(U" stop"), R(1)}, {L(U"x"), R(1)}},
         {{L(U" stop"), R(1)}, {L(U"x"), R(1)}}},
        // left recursion only through them is left behind with them
        {"left recursion through a character beyond Unicode", {{R(0), BEYOND, A, L(U" stop")}}, {{L(U" stop")}}},
        {"left recursion through a rule that never completes", {{R(0), R(1), A, L(U" stop")}, {L(U" two"), R(1)}},
         {{L(U" stop")}, {L(U" two"), R(1)}}},
        // a left-recursive rule that nothing uses any more is kept, and
        // refused if written so (see GrammarValidate)
        {"a left-recursive rule only a dead alternative reaches", {{R(1), A, L(U" stop")}, {R(1), L(U" x")}},
         {{L(U" stop")}, {R(1), L(U" x")}}, {{L(U" stop")}}},
        {"left recursion past a nullable rule through a set no character matches",
         {{R(1), R(0), NOTHING, A, L(U" stop")}, {A, L(U" two")}}, {{L(U" stop")}, {A, L(U" two")}}},
        {"a rule recursing past a nullable rule, only a dead alternative reaches",
         {{R(1), R(2), A, L(U" stop")}, {A, L(U" two")}, {R(1), R(2), L(U" x")}},
         {{L(U" stop")}, {A, L(U" two")}, {R(1), R(2), L(U" x")}}, {{L(U" stop")}}},
    };
    for (const drop_case & c : cases) {
        SCOPED_TRACE(c.name);
        const grammar_def   written(c.written);
        const grammar_def   kept(c.kept);
        const kestu_grammar g = written.init();
        ASSERT_EQ(g.rules.size(), kept.rules.size());
        for (size_t r = 0; r < g.rules.size(); r++) {
            ASSERT_EQ(g.rules[r].size(), kept.rules[r].size()) << "rule " << r;
            for (size_t i = 0; i < g.rules[r].size(); i++) {
                EXPECT_EQ(g.rules[r][i].type, kept.rules[r][i].type) << "rule " << r << ", element " << i;
                EXPECT_EQ(g.rules[r][i].value, kept.rules[r][i].value) << "rule " << r << ", element " << i;
            }
        }
        // parsing starts as it would from the grammar written without them
        EXPECT_FALSE(g.stacks.empty());
        EXPECT_EQ(g.stacks, grammar_def(c.parsed_as.empty() ? c.kept : c.parsed_as).init().stacks);
    }
}

TEST(GrammarValidate, TheDriverRefusesABrokenGrammarBeforeAnyWork) {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    ASSERT_NE(ctx, nullptr);
    const grammar_def def(std::vector<rule>{{el(KESTU_GRETYPE_RULE_REF, 0), el(KESTU_GRETYPE_END)}});

    kestu_full_params p  = worker_params();
    p.grammar_rule_list  = def.ptrs.data();
    p.grammar_rule_count = def.ptrs.size();

    const clip &  k        = sample_clips().at(0);
    const int32_t n_encode = ctx->state->n_encode;
    log_capture   log;
    EXPECT_EQ(kestu_full(ctx, p, k.samples.data(), (int) k.samples.size()), KESTU_FULL_ERR_GRAMMAR);
    EXPECT_EQ(ctx->state->n_encode, n_encode);
    EXPECT_EQ(log.count("invalid grammar"), 1);
    EXPECT_TRUE(ctx->state->result.empty());
}

// ---------------------------------------------------------------------------
// the shared model

std::vector<std::string> words_of(const std::string & text) {
    std::vector<std::string> words;
    size_t                   i = 0;
    while (i < text.size()) {
        const size_t j = text.find(' ', i);
        words.push_back(text.substr(i, j == std::string::npos ? std::string::npos : j - i));
        i = j == std::string::npos ? text.size() : j + 1;
    }
    return words;
}

// root ::= word root | word ; word ::= " w1" | " w2" | ...
grammar_def words_grammar(const std::vector<std::u32string> & words) {
    std::vector<item> word;
    for (size_t i = 0; i < words.size(); i++) {
        if (i > 0) {
            word.push_back(A);
        }
        word.push_back(L(U" " + words[i]));
    }
    return grammar_def(std::vector<std::vector<item>>{{R(1), R(0), A, R(1)}, word});
}

struct steer_case {
    const char *                clip;
    std::vector<std::u32string> words;
    std::set<std::string>       allowed;
    std::string                 expected; // the clip's words that the grammar allows
};

TEST(GrammarSharedModel, AGrammarSteersTheTextToItsWords) {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    ASSERT_NE(ctx, nullptr);

    const std::vector<steer_case> cases = {
        {"09.f32", {U"four", U"down", U"stop", U"yes"}, {"four", "down", "stop", "yes"}, "four down stop"},
        {"01.f32", {U"yes", U"no", U"stop"}, {"yes", "no", "stop"}, "stop stop"},
        {"07.f32", {U"nine", U"left"}, {"nine", "left"}, "nine"},
    };
    for (const steer_case & c : cases) {
        SCOPED_TRACE(c.clip);
        const clip * k = nullptr;
        for (const clip & x : sample_clips()) {
            k = x.name == c.clip ? &x : k;
        }
        ASSERT_NE(k, nullptr);

        kestu_full_params plain = worker_params();
        ASSERT_EQ(kestu_full(ctx, plain, k->samples.data(), (int) k->samples.size()), KESTU_FULL_OK);
        ASSERT_EQ(text_of(*ctx->state), k->text);

        const grammar_def def = words_grammar(c.words);
        kestu_full_params p   = worker_params();
        p.grammar_rule_list   = def.ptrs.data();
        p.grammar_rule_count  = def.ptrs.size();
        ASSERT_EQ(kestu_full(ctx, p, k->samples.data(), (int) k->samples.size()), KESTU_FULL_OK);
        const std::string text = text_of(*ctx->state);
        for (const std::string & w : words_of(text)) {
            EXPECT_TRUE(c.allowed.count(w)) << "'" << w << "' in '" << text << "'";
        }
        // the model's own choice among what the grammar leaves: the clip's allowed words
        EXPECT_EQ(text, c.expected);
    }
}

// ---------------------------------------------------------------------------
// grammars the driver takes or refuses

// r0 ::= r1, ..., r(n-1) ::= rn, rn ::= " yes" | " no"
std::vector<rule> chain_of(uint32_t n) {
    std::vector<rule> rules;
    for (uint32_t i = 0; i < n; i++) {
        rules.push_back(make_rule({R(i + 1)}));
    }
    rules.push_back(make_rule({L(U" yes"), A, L(U" no")}));
    return rules;
}

// r0 ::= r1 "x", ..., r(n-1) ::= rn "x", rn ::= " yes": n positions deep before a character
std::vector<rule> nested_of(uint32_t n) {
    std::vector<rule> rules;
    for (uint32_t i = 0; i < n; i++) {
        rules.push_back(make_rule({R(i + 1), L(U"x")}));
    }
    rules.push_back(make_rule({L(U" yes")}));
    return rules;
}

// r0 ::= r1 words; r1 ::= r2, ..., rn ::= "" (a chain that matches nothing);
// words ::= word words | word; word ::= " yes" | " no" | " stop"
std::vector<rule> nullable_chain_of(uint32_t n) {
    std::vector<rule> rules = {make_rule({R(1), R(n + 1)})};
    for (uint32_t i = 1; i < n; i++) {
        rules.push_back(make_rule({R(i + 1)}));
    }
    rules.push_back(make_rule({}));
    rules.push_back(make_rule({R(n + 2), R(n + 1), A, R(n + 2)}));
    rules.push_back(make_rule({L(U" yes"), A, L(U" no"), A, L(U" stop")}));
    return rules;
}

// one rule of n words " w0" | " w1" | ...: as many stacks at the start
std::vector<rule> alternatives_of(int n) {
    std::vector<item> words;
    for (int i = 0; i < n; i++) {
        if (i > 0) {
            words.push_back(A);
        }
        std::u32string w = U" w";
        for (char c : std::to_string(i)) {
            w += (char32_t) c;
        }
        words.push_back(L(w));
    }
    return {make_rule(words)};
}

// runs fn on a thread whose stack holds `bytes`
void on_stack_of(size_t bytes, const std::function<void()> & fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    auto      body = [](void * f) -> void * {
        (*(const std::function<void()> *) f)();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, (void *) &fn), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// whether the whole of text is a sentence of the grammar
bool in_language(const grammar_def & def, const std::string & text) {
    test_vocab    tv{{text}, 20, 10};
    kestu_grammar g = def.init();
    kestu_grammar_accept_token(tv.vocab(), g, tv.id(text));
    return std::any_of(g.stacks.begin(), g.stacks.end(), [](const kestu_grammar_stack & s) { return s.empty(); });
}

struct driver_case {
    const char *      name;
    std::vector<rule> rules;
    int               code;     // KESTU_FULL_OK: the text is a sentence of the grammar (or of `language`)
    const char *      log_part; // of a refusal
    float             penalty = 100.0f;
    bool              suppress_leading_blank = true;
    const char *      clip = "01.f32";
    // run four times from the defaults: timestamps on (as the defaults have
    // them) and off, rejected tokens masked (+inf) and lowered by 1e9
    bool              each_setting = false;
    const char *      language = nullptr; // the texts allowed, as an expression; else the grammar's sentences
};

driver_case in_each_setting(const char * name, const char * clip, std::vector<rule> rules, int code,
                            const char * log_part, const char * language = nullptr) {
    driver_case c{name, std::move(rules), code, log_part};
    c.clip         = clip;
    c.each_setting = true;
    c.language     = language;
    return c;
}

TEST(GrammarDriver, EachGrammarSteersTheTextOrIsRefusedBeforeAnyWork) {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    ASSERT_NE(ctx, nullptr);

    const kestu_grammar_element END = el(KESTU_GRETYPE_END);
    const kestu_grammar_element ALT = el(KESTU_GRETYPE_ALT);
    const char * const          NO_TOKEN = "no token of the vocabulary can begin the grammar";
    const char * const          SUPPRESSED = "are suppressed where the text begins by the run's settings";
    const char * const          NO_TEXT    = "the grammar matches no text";
    const char * const          LEFT_0 = "invalid grammar: rule 0 can recurse into itself without consuming a character";

    // dead ::= " stop" dead, a rule that never completes, is the grammar's
    // last rule; the clip begins with " stop"
    auto with_dead = [](std::vector<std::vector<item>> defs) {
        const uint32_t dead = (uint32_t) defs.size();
        defs.push_back({L(U" stop"), R(dead)});
        return grammar_def(defs).rules;
    };
    const uint32_t DEAD_1 = 1; // its index after one rule
    const uint32_t DEAD_2 = 2; // after two

    const std::vector<driver_case> cases = {
        // (with the default penalty in GrammarSharedModel)
        {"words, with rejected tokens masked outright", words_grammar({U"yes", U"no", U"stop"}).rules,
         KESTU_FULL_OK, "", INFINITY},
        // one native frame per reference overflowed a 1 MiB stack near here
        {"a chain of 16000 references", chain_of(16000), KESTU_FULL_OK, ""},
        {"a chain of 100000 references that match nothing, then words", nullable_chain_of(100000), KESTU_FULL_OK,
         ""},
        // the model's words all begin with a space
        {"words without the leading space", {make_rule({L(U"yes"), A, L(U"no")})}, KESTU_FULL_ERR_GRAMMAR,
         NO_TOKEN},
        {"an empty rule", {{END}}, KESTU_FULL_ERR_GRAMMAR, NO_TOKEN},
        {"a rule of empty alternatives", {{ALT, ALT, END}}, KESTU_FULL_ERR_GRAMMAR, NO_TOKEN},
        {"an inverted range [z-a]", {{el(KESTU_GRETYPE_CHAR, 'z'), el(KESTU_GRETYPE_CHAR_RNG_UPPER, 'a'), END}},
         KESTU_FULL_ERR_GRAMMAR, NO_TOKEN},
        {"the character 0", {{el(KESTU_GRETYPE_CHAR, 0), END}}, KESTU_FULL_ERR_GRAMMAR, NO_TOKEN},
        {"a character beyond every UTF-8 sequence", {{el(KESTU_GRETYPE_CHAR, 0x200000), END}},
         KESTU_FULL_ERR_GRAMMAR, NO_TOKEN},
        {"a chain of 16400 references", chain_of(16400), KESTU_FULL_ERR_GRAMMAR,
         "grammar beyond the library's bounds: its start takes more than 16384 expansion steps"},
        {"a chain of 100000 references", chain_of(100000), KESTU_FULL_ERR_GRAMMAR,
         "its start takes more than 16384 expansion steps"},
        {"2000 alternatives at the start", alternatives_of(2000), KESTU_FULL_ERR_GRAMMAR,
         "grammar beyond the library's bounds: its start has more than 1024 parse stacks"},
        {"300 positions deep before the first character", nested_of(300), KESTU_FULL_ERR_GRAMMAR,
         "grammar beyond the library's bounds: its start nests deeper than 256 positions"},
        // the vocabulary has " " and no word that begins with "c", "d" or "y"
        // alone: only the blank can begin these, and the first step suppresses it
        {"' cat' | ' dog', with rejected tokens masked outright", {make_rule({L(U" cat"), A, L(U" dog")})},
         KESTU_FULL_ERR_GRAMMAR, SUPPRESSED, INFINITY},
        {"' cat' | ' dog'", {make_rule({L(U" cat"), A, L(U" dog")})}, KESTU_FULL_ERR_GRAMMAR, SUPPRESSED},
        {"' y'", {make_rule({L(U" y")})}, KESTU_FULL_ERR_GRAMMAR, SUPPRESSED},
        // the model decodes without timestamps whatever the parameters say,
        // so no first timestamp can let the blank come first
        in_each_setting("' cat' | ' dog' on a clip of other words", "02.f32", {make_rule({L(U" cat"), A, L(U" dog")})},
                        KESTU_FULL_ERR_GRAMMAR, SUPPRESSED),
        in_each_setting("blanks only", "05.f32", {make_rule({R(1)}), make_rule({L(U" "), A, L(U" "), R(1)})},
                        KESTU_FULL_ERR_GRAMMAR, SUPPRESSED),
        // grammars that match no text at all
        {"a blank, then an empty range, with the blank free at the start", {make_rule({L(U" "), S(U"x-w")})},
         KESTU_FULL_ERR_GRAMMAR, NO_TEXT, 100.0f, false},
        {"a word, then an empty range", {make_rule({L(U" one"), S(U"x-w")})}, KESTU_FULL_ERR_GRAMMAR, NO_TEXT},
        {"words that never end", {make_rule({R(1)}), make_rule({L(U" one"), R(1), A, L(U" two"), R(1)})},
         KESTU_FULL_ERR_GRAMMAR, NO_TEXT},
        in_each_setting("a set no character matches", "01.f32", {make_rule({NOTHING})}, KESTU_FULL_ERR_GRAMMAR,
                        NO_TOKEN),
        // alternatives that can never complete are not followed
        in_each_setting("' stop' dead | ' two'", "01.f32", with_dead({{L(U" stop"), R(DEAD_1), A, L(U" two")}}),
                        KESTU_FULL_OK, "", "^ two$"),
        in_each_setting("' stop' dead | 'x'", "01.f32", with_dead({{L(U" stop"), R(DEAD_1), A, L(U"x")}}),
                        KESTU_FULL_ERR_GRAMMAR, NO_TOKEN),
        // the end of text is never penalised: the text may stop inside " one"
        in_each_setting("' two' [^\\x00-\\U0010FFFF] | ' one'", "01.f32",
                        {make_rule({L(U" two"), NOTHING, A, L(U" one")})}, KESTU_FULL_OK, "", "^ one?$"),
        // ... nor when they are alternatives of a rule that may match the
        // empty text, or are reached past one
        in_each_setting("opt ' two', opt ::= '' | ' right' | dead", "01.f32",
                        with_dead({{R(1), L(U" two")}, {A, L(U" right"), A, R(DEAD_2)}}), KESTU_FULL_OK, "",
                        "^( right)? two$"),
        in_each_setting("opt ' two', opt ::= '' | dead", "01.f32", with_dead({{R(1), L(U" two")}, {A, R(DEAD_2)}}),
                        KESTU_FULL_OK, "", "^ two$"),
        in_each_setting("opt ' two', opt ::= '' | ' stop' [^\\x00-\\U0010FFFF]", "01.f32",
                        {make_rule({R(1), L(U" two")}), make_rule({A, L(U" stop"), NOTHING})}, KESTU_FULL_OK, "",
                        "^ two$"),
        in_each_setting("opt dead | ' two', opt ::= '' | ' stop'", "01.f32",
                        with_dead({{R(1), R(DEAD_2), A, L(U" two")}, {A, L(U" stop")}}), KESTU_FULL_OK, "",
                        "^ two$"),
        in_each_setting("none dead | ' two', none ::= ''", "01.f32",
                        with_dead({{R(1), R(DEAD_2), A, L(U" two")}, {}}), KESTU_FULL_OK, "", "^ two$"),
        // left recursion only through such alternatives goes with them
        in_each_setting("root [U+110000] | ' stop'", "01.f32", {make_rule({R(0), BEYOND, A, L(U" stop")})},
                        KESTU_FULL_OK, "", "^ stop$"),
        in_each_setting("root dead | ' stop'", "01.f32", with_dead({{R(0), R(DEAD_1), A, L(U" stop")}}),
                        KESTU_FULL_OK, "", "^ stop$"),
        in_each_setting("d | ' stop', d ::= d ' x'", "01.f32",
                        {make_rule({R(1), A, L(U" stop")}), make_rule({R(1), L(U" x")})}, KESTU_FULL_OK, "",
                        "^ stop$"),
        in_each_setting("opt root [^\\x00-\\U0010FFFF] | ' stop', opt ::= '' | ' two'", "01.f32",
                        {make_rule({R(1), R(0), NOTHING, A, L(U" stop")}), make_rule({A, L(U" two")})},
                        KESTU_FULL_OK, "", "^ stop$"),
        in_each_setting("d | ' stop', opt ::= '' | ' two', d ::= opt d ' x'", "01.f32",
                        {make_rule({R(2), A, L(U" stop")}), make_rule({A, L(U" two")}),
                         make_rule({R(1), R(2), L(U" x")})},
                        KESTU_FULL_OK, "", "^ stop$"),
        // live left recursion stays refused
        {"root ' a' | ' b'", {make_rule({R(0), L(U" a"), A, L(U" b")})}, KESTU_FULL_ERR_GRAMMAR, LEFT_0},
        {"opt root ' a' | ' b', opt ::= '' | ' c'",
         {make_rule({R(1), R(0), L(U" a"), A, L(U" b")}), make_rule({A, L(U" c")})}, KESTU_FULL_ERR_GRAMMAR,
         LEFT_0},
        {"root ' a' | root [U+110000] | ' stop'", {make_rule({R(0), L(U" a"), A, R(0), BEYOND, A, L(U" stop")})},
         KESTU_FULL_ERR_GRAMMAR, LEFT_0},
        {"d | ' stop', d ::= d ' x' | ' y'", {make_rule({R(1), A, L(U" stop")}), make_rule({R(1), L(U" x"), A, L(U" y")})},
         KESTU_FULL_ERR_GRAMMAR, "invalid grammar: rule 1 can recurse into itself without consuming a character"},
        {"root ' a'", {make_rule({R(0), L(U" a")})}, KESTU_FULL_ERR_GRAMMAR, LEFT_0},
    };
    for (const driver_case & c : cases) {
        SCOPED_TRACE(c.name);
        const clip * k = nullptr;
        for (const clip & x : sample_clips()) {
            k = x.name == c.clip ? &x : k;
        }
        ASSERT_NE(k, nullptr);
        const grammar_def def(c.rules);

        std::vector<kestu_full_params> settings;
        if (c.each_setting) {
            for (const bool no_timestamps : {false, true}) {
                for (const float penalty : {INFINITY, 1e9f}) {
                    kestu_full_params p      = kestu_full_default_params(KESTU_SAMPLING_GREEDY);
                    p.n_threads              = 2;
                    p.no_timestamps          = no_timestamps;
                    p.grammar_reject_penalty = penalty;
                    settings.push_back(p);
                }
            }
        } else {
            kestu_full_params p      = worker_params();
            p.grammar_reject_penalty = c.penalty;
            settings.push_back(p);
        }
        for (kestu_full_params p : settings) {
            SCOPED_TRACE(std::string("no_timestamps ") + (p.no_timestamps ? "true" : "false") + ", penalty " +
                         std::to_string(p.grammar_reject_penalty));
            p.grammar_rule_list      = def.ptrs.data();
            p.grammar_rule_count     = def.ptrs.size();
            p.suppress_leading_blank = c.suppress_leading_blank;

            const int32_t n_encode = ctx->state->n_encode;
            int           status   = INT_MIN;
            log_capture   log;
            // the whole run on a thread with a small stack, as an application may start one
            on_stack_of(1 << 20, [&] { status = kestu_full(ctx, p, k->samples.data(), (int) k->samples.size()); });
            EXPECT_EQ(status, c.code);
            if (status != c.code) {
                continue;
            }
            if (c.code != KESTU_FULL_OK) {
                EXPECT_EQ(log.count(c.log_part), 1);
                EXPECT_EQ(ctx->state->n_encode, n_encode);
                EXPECT_TRUE(ctx->state->result.empty());
                continue;
            }
            std::string text;
            for (const kestu_segment & s : ctx->state->result) {
                text += s.text;
            }
            EXPECT_FALSE(text.empty());
            if (c.language != nullptr) {
                EXPECT_TRUE(std::regex_match(text, std::regex(c.language))) << "'" << text << "'";
            } else {
                EXPECT_TRUE(in_language(def, text)) << "'" << text << "'";
            }
        }
    }
}

struct begin_case {
    const char *                              name;
    std::vector<rule>                         rules;
    std::function<void(kestu_full_params &)> settings;
    int                                       code;
    const kestu_context *                     model = nullptr; // the shipped one
};

// The check before decoding counts the tokens the run's first text token may
// be under its settings: what the first step leaves, or the step after a
// first timestamp or speaker turn, which no longer suppresses the blank,
// with the timestamps the model lets the run have.
TEST(GrammarDriver, OnlyTokensTheRunMayBeginWithCanBeginTheGrammar) {
    kestu_context * ctx = shared_model("digits-tiny-f16.bin");
    ASSERT_NE(ctx, nullptr);
    // the shipped model has two text layers and decodes without timestamps;
    // over these vocabularies only " " begins ' cat' | ' dog'
    test_vocab keeps_timestamps{{" ", "cat", "dog"}, 20, 10};
    test_vocab two_layers{{" ", "cat", "dog"}, 20, 10};
    two_layers.ctx->model.hparams.n_text_layer = 2;
    test_vocab two_layers_kept{{" ", "cat", "dog"}, 20, 10};
    two_layers_kept.ctx->model.hparams.n_text_layer = 2;
    two_layers_kept.ctx->model.hparams.n_vocab      = 51866; // the size that keeps them

    const std::vector<rule> cat_dog = {make_rule({L(U" cat"), A, L(U" dog")})}; // only " " begins it
    const std::vector<rule> y       = {make_rule({L(U" y")})};
    const std::vector<rule> yes_no  = {make_rule({L(U" yes"), A, L(U" no")})};
    auto                    blank_free = [](kestu_full_params & p) { p.suppress_leading_blank = false; };
    auto                    timestamps = [](kestu_full_params & p) { p.no_timestamps = false; };

    const std::vector<begin_case> cases = {
        {"blank suppressed", cat_dog, [](kestu_full_params &) {}, KESTU_FULL_ERR_GRAMMAR},
        {"blank suppressed, rejected tokens masked", cat_dog,
         [](kestu_full_params & p) { p.grammar_reject_penalty = INFINITY; }, KESTU_FULL_ERR_GRAMMAR},
        {"blank suppressed, ' y'", y, [](kestu_full_params &) {}, KESTU_FULL_ERR_GRAMMAR},
        {"blank free", cat_dog, blank_free, KESTU_FULL_OK},
        {"blank free, rejected tokens masked", cat_dog,
         [&](kestu_full_params & p) {
             blank_free(p);
             p.grammar_reject_penalty = INFINITY;
         },
         KESTU_FULL_OK},
        {"blank free, ' y'", y, blank_free, KESTU_FULL_OK},
        {"timestamps asked for, but the model decodes without them", cat_dog, timestamps, KESTU_FULL_ERR_GRAMMAR},
        {"timestamps asked for, rejected tokens masked, but the model decodes without them", cat_dog,
         [&](kestu_full_params & p) {
             timestamps(p);
             p.grammar_reject_penalty = INFINITY;
         },
         KESTU_FULL_ERR_GRAMMAR},
        {"a first timestamp lets the blank follow", cat_dog, timestamps, KESTU_FULL_OK, keeps_timestamps.ctx.get()},
        {"no timestamps asked for", cat_dog, [](kestu_full_params &) {}, KESTU_FULL_ERR_GRAMMAR,
         keeps_timestamps.ctx.get()},
        {"two text layers turn timestamps off", cat_dog, timestamps, KESTU_FULL_ERR_GRAMMAR, two_layers.ctx.get()},
        {"two text layers and the vocabulary that keeps them", cat_dog, timestamps, KESTU_FULL_OK,
         two_layers_kept.ctx.get()},
        {"a segment full after one token leaves no text after the timestamp", cat_dog,
         [&](kestu_full_params & p) {
             timestamps(p);
             p.max_segment_tokens = 1;
         },
         KESTU_FULL_ERR_GRAMMAR, keeps_timestamps.ctx.get()},
        {"the pattern suppresses the blank after a timestamp too", cat_dog,
         [&](kestu_full_params & p) {
             timestamps(p);
             p.suppress_pattern = " ";
         },
         KESTU_FULL_ERR_GRAMMAR, keeps_timestamps.ctx.get()},
        {"a first speaker turn lets the blank follow", cat_dog,
         [](kestu_full_params & p) { p.speaker_turn_detection = true; }, KESTU_FULL_OK},
        {"a logits callback may lift the blank's mask", cat_dog,
         [](kestu_full_params & p) {
             p.on_logits = [](kestu_context *, kestu_state *, const kestu_token_data *, int, float *, void *) {};
         },
         KESTU_FULL_OK},
        {"both words suppressed by the pattern", yes_no,
         [](kestu_full_params & p) { p.suppress_pattern = " (yes|no)"; }, KESTU_FULL_ERR_GRAMMAR},
        {"one word suppressed by the pattern", yes_no, [](kestu_full_params & p) { p.suppress_pattern = " yes"; },
         KESTU_FULL_OK},
    };
    for (const begin_case & c : cases) {
        SCOPED_TRACE(c.name);
        const grammar_def def(c.rules);
        kestu_full_params p      = worker_params();
        p.grammar_rule_list      = def.ptrs.data();
        p.grammar_rule_count     = def.ptrs.size();
        p.grammar_reject_penalty = 100.0f;
        c.settings(p);
        log_capture log;
        EXPECT_EQ(kestu_full_refusal(c.model != nullptr ? *c.model : *ctx, p, nullptr, 0), c.code);
        EXPECT_EQ(log.count("are suppressed where the text begins by the run's settings"),
                  c.code == KESTU_FULL_OK ? 0 : 1);
    }

    // non-speech tokens, over a vocabulary that has them
    test_vocab        tv{{" (", " yes"}, 20, 10};
    const grammar_def paren({make_rule({L(U" ("), S(U"a-z")})});
    for (const bool suppress : {false, true}) {
        SCOPED_TRACE(suppress ? "non-speech suppressed" : "non-speech free");
        kestu_full_params p   = worker_params();
        p.grammar_rule_list   = paren.ptrs.data();
        p.grammar_rule_count  = paren.ptrs.size();
        p.suppress_non_speech = suppress;
        log_capture log;
        EXPECT_EQ(kestu_full_refusal(*tv.ctx, p, nullptr, 0), suppress ? KESTU_FULL_ERR_GRAMMAR : KESTU_FULL_OK);
        EXPECT_EQ(log.count("(' (' and 0 more) are suppressed"), suppress ? 1 : 0);
    }
}

} // namespace
