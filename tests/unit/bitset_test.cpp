#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/words.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Bitset : public CoreTypesWithWordsTest {
 protected:
  static Cell word_cell(const char* text) {
    return Cell{TYPE_WORD, 0, symbol::intern(text), 0xFFFFFFFF};
  }
  static Cell dash() { return word_cell("-"); }

  // make bitset! spec, kept rooted.
  RootedCell make(const Cell& spec) { return RootedCell(call_action(ACT_MAKE, {type_cell(TYPE_BITSET), spec})); }
  RootedCell make_text(const char* text) {
    RootedCell s = make_string(text);
    return make(*s);
  }
  std::string mold(const Cell& b) {
    Cell r = call_action(ACT_MOLD, {b});
    return text_of(&r);
  }
  bool pick(const Cell& b, Cell index) { return call_action(ACT_PICK, {b, index}).data1 != 0; }
  bool member(const Cell& b, uint32_t n) { return bitset::member_q(&b, n); }
  int32_t length(const Cell& b) {
    Cell r = call_action(ACT_LENGTH_Q, {b});
    return integer::get(&r);
  }
  Raised make_error(const Cell& spec) {
    return raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_BITSET), spec}); });
  }
};

TEST_F(Bitset, SizesFromNumbersAndMeasuredSpecs) {
  EXPECT_EQ(length(*make(int_cell(10))), 16);
  EXPECT_EQ(length(*make(int_cell(0))), 0);
  EXPECT_EQ(length(*make(float_cell(8.9))), 8);
  EXPECT_EQ(length(*make(*block_of({}))), 8) << "a measured spec gives at least one byte";
  EXPECT_EQ(length(*make(char_cell(7))), 8) << "member 7 fits the first byte";
  EXPECT_EQ(length(*make(char_cell(8))), 16);
  EXPECT_EQ(mold(*make_text("AB")), "make bitset! #{000000000000000060}");
  EXPECT_EQ(mold(*make(int_cell(0))), "make bitset! #{}");
}

TEST_F(Bitset, EverySpecForm) {
  RootedCell range = block_of({char_cell('a'), dash(), char_cell('z')});
  RootedCell b = make(*range);
  EXPECT_TRUE(pick(*b, char_cell('q')));
  EXPECT_FALSE(pick(*b, char_cell('A')));
  EXPECT_TRUE(call_action(ACT_FIND, {*b, char_cell('a')}).data1);
  Cell missing = call_action(ACT_FIND, {*b, char_cell('{')});
  EXPECT_EQ(TYPE_OF(&missing), TYPE_NONE);

  RootedCell text = make_string("xyz");
  RootedCell mixed =
      block_of({int_cell(1), int_cell(3), dash(), int_cell(5), *text, float_cell(9.7), char_cell(200)});
  b = make(*mixed);
  for (uint32_t n : {1u, 3u, 4u, 5u, 9u, 200u, 120u, 121u, 122u}) EXPECT_TRUE(member(*b, n)) << n;
  for (uint32_t n : {0u, 2u, 6u, 10u, 201u, 119u}) EXPECT_FALSE(member(*b, n)) << n;

  RootedCell nested = block_of({*block_of({int_cell(2)}), int_cell(4)});
  b = make(*nested);
  EXPECT_TRUE(member(*b, 2));
  EXPECT_TRUE(member(*b, 4));

  RootedCell bytes = binary_of({0x80, 0x01});
  b = make(*bytes);
  EXPECT_TRUE(member(*b, 0));
  EXPECT_TRUE(member(*b, 15));
  EXPECT_EQ(length(*b), 16);

  RootedCell copy = make(*b);
  EXPECT_NE(copy->data2, b->data2) << "make from a bitset copies its bytes";
  EXPECT_EQ(mold(*copy), mold(*b));
}

TEST_F(Bitset, RangesAcrossByteBoundariesSetTestAndClearExactlyTheirMembers) {
  RootedCell b = make(*block_of({int_cell(3), dash(), int_cell(20)}));
  for (uint32_t n = 0; n < 40; ++n) EXPECT_EQ(member(*b, n), n >= 3 && n <= 20) << n;
  auto found = [&](const Cell& bits, std::initializer_list<Cell> spec) {
    Cell r = call_action(ACT_FIND, {bits, *block_of(spec)});
    return TYPE_OF(&r) == TYPE_LOGIC;
  };
  EXPECT_TRUE(found(*b, {int_cell(3), dash(), int_cell(20)}));
  EXPECT_TRUE(found(*b, {int_cell(8), dash(), int_cell(15)}));
  EXPECT_FALSE(found(*b, {int_cell(2), dash(), int_cell(5)}));
  EXPECT_FALSE(found(*b, {int_cell(19), dash(), int_cell(21)}));
  EXPECT_FALSE(found(*b, {int_cell(18), dash(), int_cell(1000)})) << "beyond a plain bitset";

  RootedCell c = make(*block_of({word_cell("not"), int_cell(3), dash(), int_cell(20)}));
  EXPECT_TRUE(found(*c, {int_cell(21), dash(), int_cell(100000)})) << "beyond a complemented one";
  EXPECT_FALSE(found(*c, {int_cell(20), dash(), int_cell(21)}));
  std::vector<int32_t> refs(16, -1);
  refs[1] = 1;  // /key
  call_action(ACT_REMOVE, {*c, *block_of({int_cell(50), dash(), int_cell(70)})}, refs);
  for (uint32_t n = 40; n < 80; ++n) EXPECT_EQ(member(*c, n), n < 50 || n > 70) << n;
  call_action(ACT_APPEND, {*c, *block_of({int_cell(60), dash(), int_cell(64)})});
  for (uint32_t n = 55; n < 75; ++n) EXPECT_EQ(member(*c, n), n < 50 || (n >= 60 && n <= 64) || n > 70) << n;

  // Every code point at once: whole bytes are filled, not bit by bit.
  RootedCell all = make(*block_of({char_cell(0), dash(), char_cell(0x10FFFF)}));
  EXPECT_EQ(length(*all), 0x110000);
  EXPECT_TRUE(member(*all, 0x10FFFF));
  EXPECT_FALSE(member(*all, 0x110000));
}

TEST_F(Bitset, BadSpecsRaiseTheirErrors) {
  EXPECT_EQ(make_error(*block_of({char_cell('z'), dash(), char_cell('a')})).id, "past-end");
  EXPECT_EQ(make_error(*block_of({char_cell('a'), dash()})).id, "past-end");
  EXPECT_EQ(make_error(*block_of({char_cell('a'), dash(), int_cell(5)})).id, "invalid-arg");
  EXPECT_EQ(make_error(*block_of({int_cell(-1)})).id, "out-of-range");
  EXPECT_EQ(make_error(int_cell(-8)).id, "out-of-range");
  EXPECT_EQ(make_error(float_cell(1e300)).id, "out-of-range");
  EXPECT_EQ(make_error(*block_of({float_cell(-1.5)})).id, "out-of-range");
  EXPECT_EQ(make_error(*block_of({*binary_of({1})})).id, "not-done");
  EXPECT_EQ(make_error(*block_of({none_cell()})).id, "bad-make-arg");
  Raised to = raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_BITSET), int_cell(8)}); });
  EXPECT_EQ(to.id, "bad-to-arg") << "to takes no size";
  RootedCell b = make(int_cell(8));
  EXPECT_EQ(raised_by([&] { call_action(ACT_APPEND, {*b, none_cell()}); }).id, "invalid-arg");
}

TEST_F(Bitset, ComplementedBitsetsHoldEverythingBeyondTheirBytes) {
  RootedCell a = make_text("a");
  RootedCell c(call_action(ACT_COMPLEMENT, {*a}));
  EXPECT_FALSE(pick(*c, char_cell('a')));
  EXPECT_TRUE(pick(*c, int_cell(100000)));
  EXPECT_TRUE(member(*a, 'a')) << "complement copies";
  EXPECT_EQ(mold(*c), mold(*a).replace(0, std::strlen("make bitset! "), "make bitset! [not ")
                          .append("]"));

  RootedCell spec = block_of({word_cell("not"), char_cell('a')});
  RootedCell n = make(*spec);
  EXPECT_FALSE(member(*n, 'a'));
  EXPECT_TRUE(member(*n, 'b'));
  EXPECT_TRUE(member(*n, 1000000));
  std::string text = mold(*n);
  EXPECT_EQ(text.rfind("make bitset! [not #{", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "}]") << text;
  EXPECT_EQ(text, "make bitset! [not #{00000000000000000000000040}]") << "the bytes show the members left out";

  // not with a binary: the bits as given are the ones left out.
  RootedCell bspec = block_of({word_cell("NOT"), *binary_of({0x80})});
  RootedCell nb = make(*bspec);
  EXPECT_FALSE(member(*nb, 0));
  EXPECT_TRUE(member(*nb, 1));
  EXPECT_EQ(mold(*nb), "make bitset! [not #{80}]");

  // Setting beyond the bytes of a complemented bitset needs no growth;
  // clearing there does.
  call_action(ACT_APPEND, {*nb, int_cell(500)});
  EXPECT_EQ(length(*nb), 8);
  call_action(ACT_POKE, {*nb, int_cell(500), logic_cell(false)});
  EXPECT_FALSE(member(*nb, 500));
  EXPECT_TRUE(member(*nb, 499));
  EXPECT_TRUE(member(*nb, 501));
}

TEST_F(Bitset, SetOperationsFollowTheRuleOfEachOperation) {
  // Membership of n in a op b must equal the rule applied to the memberships
  // of n in a and b, for plain and complemented operands of different sizes.
  RootedCell plain_small = make(*block_of({int_cell(1), int_cell(3)}));
  RootedCell plain_big = make(*block_of({int_cell(3), int_cell(40)}));
  RootedCell comp_small(call_action(ACT_COMPLEMENT, {*plain_small}));
  RootedCell comp_big(call_action(ACT_COMPLEMENT, {*plain_big}));
  RootedCell* operands[] = {&plain_small, &plain_big, &comp_small, &comp_big};
  struct Op {
    uint32_t action;  // 0: call the bitwise routine with the set code
    int32_t code;
    bool (*rule)(bool, bool);
  };
  const Op ops[] = {
      {ACT_OR_T, 0, [](bool x, bool y) { return x || y; }},
      {ACT_AND_T, 0, [](bool x, bool y) { return x && y; }},
      {ACT_XOR_T, 0, [](bool x, bool y) { return x != y; }},
      {0, SET_UNION, [](bool x, bool y) { return x || y; }},
      {0, SET_INTERSECT, [](bool x, bool y) { return x && y; }},
      {0, SET_EXCLUDE, [](bool x, bool y) { return x && !y; }},
      {0, SET_DIFFERENCE, [](bool x, bool y) { return x != y; }},
  };
  for (const Op& op : ops) {
    for (RootedCell* a : operands) {
      for (RootedCell* b : operands) {
        Cell r;
        if (op.action) {
          r = call_action(op.action, {**a, **b});
        } else {
          Cell word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
          stack::open_call_frame(&word);
          stack::push_copy(a->get());
          stack::push_copy(b->get());
          bitset::bitwise(op.code);
          r = *stack::arguments();
          keep_ = r;
          stack::pop_frame_drop();
        }
        for (uint32_t n : {0u, 1u, 2u, 3u, 39u, 40u, 41u, 1000u}) {
          bool expected = op.rule(member(**a, n), member(**b, n));
          EXPECT_EQ(member(r, n), expected)
              << "op " << op.action << "/" << op.code << " member " << n << " a " << mold(**a)
              << " b " << mold(**b) << " result " << mold(r);
        }
      }
    }
  }
}

TEST_F(Bitset, OrGivesTheLongerLengthAndGivesTheShorter) {
  RootedCell a = make_text("a");  // 13 bytes
  RootedCell b(call_action(ACT_MAKE, {type_cell(TYPE_BITSET), int_cell(8)}));  // 1 byte
  Cell r = call_action(ACT_OR_T, {*a, *b});
  EXPECT_EQ(length(r), 13 * 8) << "the longer of the two";
  r = call_action(ACT_AND_T, {*a, *b});
  EXPECT_EQ(length(r), 8) << "and~ keeps the common bytes";
  RootedCell ab(call_action(ACT_OR_T, {*a, *make_text("b")}));
  EXPECT_TRUE(member(*ab, 'a'));
  EXPECT_TRUE(member(*ab, 'b'));
  EXPECT_EQ(raised_by([&] { call_action(ACT_OR_T, {*a, int_cell(1)}); }).id, "invalid-type");
}

TEST_F(Bitset, RemoveKeyAndClearRemoveMembershipAlsoWhenComplemented) {
  RootedCell spec = block_of({word_cell("not"), char_cell('a')});
  RootedCell c = make(*spec);
  std::vector<int32_t> refs(16, -1);
  refs[1] = 1;  // /key
  call_action(ACT_REMOVE, {*c, char_cell('b')}, refs);
  EXPECT_FALSE(member(*c, 'b'));
  EXPECT_TRUE(member(*c, 'c'));
  call_action(ACT_REMOVE, {*c, int_cell(5000)}, refs);  // beyond the bytes
  EXPECT_FALSE(member(*c, 5000));
  EXPECT_TRUE(member(*c, 4999));

  Cell cleared = call_action(ACT_CLEAR, {*c});
  EXPECT_EQ(cleared.data2, c->data2) << "clear answers the bitset itself";
  for (uint32_t n : {0u, 99u, 4999u, 100000u}) EXPECT_FALSE(member(*c, n)) << n;
  EXPECT_FALSE(bitset::complemented_q(c.get()));

  RootedCell plain = make_text("abc");
  call_action(ACT_REMOVE, {*plain, *make_string("b")}, refs);
  EXPECT_TRUE(member(*plain, 'a'));
  EXPECT_FALSE(member(*plain, 'b'));
  EXPECT_EQ(raised_by([&] { call_action(ACT_REMOVE, {*plain}); }).id, "missing-arg");
}

TEST_F(Bitset, PokeSetsOrClearsByTheValuesTruth) {
  RootedCell b = make(int_cell(8));
  struct Case {
    Cell value;
    bool member;
  };
  const Case cases[] = {{int_cell(1), true},     {logic_cell(false), false}, {logic_cell(true), true},
                        {int_cell(0), false},    {char_cell('x'), true},     {float_cell(0.0), false},
                        {none_cell(), false},    {float_cell(0.5), true}};
  for (const Case& c : cases) {
    Cell r = call_action(ACT_POKE, {*b, int_cell(20), c.value});
    EXPECT_EQ(TYPE_OF(&r), TYPE_OF(&c.value)) << "poke answers the value";
    EXPECT_EQ(member(*b, 20), c.member);
  }
  EXPECT_EQ(length(*b), 24) << "setting beyond the bytes grows the bitset";
}

TEST_F(Bitset, CompareByLengthThenBytesThenComplement) {
  auto cmp = [&](const Cell& a, const Cell& b, int32_t op) {
    return call_action(ACT_COMPARE, {a, b, int_cell(op)}).data1 != 0;
  };
  RootedCell a = make_text("a"), a2 = make_text("a"), b = make_text("b"), big = make(int_cell(800));
  EXPECT_TRUE(cmp(*a, *a2, COMP_EQUAL));
  EXPECT_FALSE(cmp(*a, *a2, COMP_SAME));
  EXPECT_TRUE(cmp(*a, *a, COMP_SAME));
  EXPECT_TRUE(cmp(*a, *b, COMP_GREATER)) << "'a' sets a higher bit of the last byte";
  EXPECT_TRUE(cmp(*a, *big, COMP_LESSER)) << "fewer bytes compare lower";
  RootedCell ca(call_action(ACT_COMPLEMENT, {*a}));
  EXPECT_TRUE(cmp(*a, *ca, COMP_LESSER));
  EXPECT_FALSE(cmp(*a, int_cell(1), COMP_EQUAL));
}

TEST_F(Bitset, CopyIsIndependentAndPathsPickAndPoke) {
  RootedCell a = make_text("a");
  RootedCell copy(call_action(ACT_COPY, {*a}));
  call_action(ACT_APPEND, {*copy, char_cell('b')});
  EXPECT_TRUE(member(*copy, 'b'));
  EXPECT_FALSE(member(*a, 'b'));

  std::vector<int32_t> get(16, -1);
  Cell r = call_action(ACT_EVAL_PATH, {*a, char_cell('a')}, get);
  EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
  EXPECT_EQ(r.data1, 1u);
  std::vector<int32_t> set(16, -1);
  set[0] = 2;
  call_action(ACT_EVAL_PATH, {*a, int_cell(3), logic_cell(true)}, set);
  EXPECT_TRUE(member(*a, 3));
  EXPECT_EQ(raised_by([&] { call_action(ACT_EVAL_PATH, {*a, none_cell()}, get); }).id,
            "invalid-type");
}

TEST_F(Bitset, ReflectAndModifyOwned) {
  RootedCell a = make_text("a");
  Cell owned = word_cell("owned");
  Cell r = call_action(ACT_REFLECT, {*a, owned});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  EXPECT_EQ(raised_by([&] { call_action(ACT_REFLECT, {*a, word_cell("spec")}); }).id, "not-done");
}

TEST_F(Bitset, FormStopsItsHexDigitsAtThePartLimit) {
  RootedCell a = make_text("a");
  std::vector<int32_t> refs(16, -1);
  refs[0] = 1;
  Cell r = call_action(ACT_FORM, {*a, int_cell(17)}, refs);
  EXPECT_EQ(text_of(&r), "make bitset! #{00");
}

}  // namespace
}  // namespace kiv
