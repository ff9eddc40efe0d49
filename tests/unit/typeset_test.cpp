#include <gtest/gtest.h>

#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/words.h"

namespace kiv {
namespace {

using namespace kiv::testing;

Cell typeset_of(std::initializer_list<uint32_t> types) {
  Cell t;
  typeset::init_cell(&t);
  for (uint32_t type : types) typeset::set_bit(&t, type);
  return t;
}

class Typeset : public CoreTypesWithWordsTest {
 protected:
  void SetUp() override {
    CoreTypesWithWordsTest::SetUp();
    // The words a spec block uses, bound in the global context with values.
    set_global("integer!", type_cell(TYPE_INTEGER));
    set_global("float!", type_cell(TYPE_FLOAT));
    set_global("number!", typeset_of({TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}));
    set_global("ts-alias", word_value("ts-target"));
  }

  static Cell word_value(const char* text) {
    Cell w;
    word::init_global(symbol::intern(text), &w);
    return w;
  }
  static void set_global(const char* text, Cell value) {
    Cell w = word_value(text);
    word::set(&w, &value);
  }
  bool find(const Cell& t, const Cell& value) { return call_action(ACT_FIND, {t, value}).data1 != 0; }
  std::string mold(const Cell& t, bool only = false) {
    std::vector<int32_t> refs(16, -1);
    if (only) refs[0] = 0;
    Cell r = call_action(ACT_MOLD, {t}, refs);
    return text_of(&r);
  }
  std::string form(const Cell& t) {
    Cell r = call_action(ACT_FORM, {t});
    return text_of(&r);
  }
};

TEST_F(Typeset, BitLayoutIsTheOneTheArgumentChecksRead) {
  Cell t = typeset_of({TYPE_INTEGER, TYPE_BITSET, TYPE_IMAGE});
  for (uint32_t type = 1; type < 60; ++type)
    EXPECT_EQ(typeset_has_q(typeset::bits(&t), type), typeset::has_q(&t, type)) << type;
  EXPECT_TRUE(typeset_has_q(typeset::bits(&t), TYPE_INTEGER));
  // Type 11 is bit 0x80 >> 3 of byte 1 and type 30 bit 0x80 >> 6 of byte 3:
  // bytes in memory order, the lowest byte of word 1 first.
  EXPECT_EQ(t.data1, (0x10u << 8) | (0x02u << 24));
}

TEST_F(Typeset, MakeFromWordsDatatypesAndTypesets) {
  RootedCell spec = block_of({word_value("integer!")});
  Cell t = call_action(ACT_MAKE, {type_cell(TYPE_TYPESET), *spec});
  EXPECT_TRUE(find(t, type_cell(TYPE_INTEGER)));
  EXPECT_FALSE(find(t, type_cell(TYPE_FLOAT)));

  spec = block_of({word_value("integer!"), word_value("number!"), type_cell(TYPE_CHAR)});
  t = call_action(ACT_MAKE, {type_cell(TYPE_TYPESET), *spec});
  for (uint32_t type : {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT, TYPE_CHAR})
    EXPECT_TRUE(typeset::has_q(&t, type)) << type;
  EXPECT_EQ(typeset::count(&t), 4);

  Cell same = call_action(ACT_TO, {type_cell(TYPE_TYPESET), t});
  EXPECT_EQ(same.data1, t.data1);

  RootedCell bad = block_of({int_cell(1)});
  Raised r = raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_TYPESET), *bad}); });
  EXPECT_EQ(r.id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_TYPESET), int_cell(1)}); }).id,
            "bad-to-arg");
}

TEST_F(Typeset, FindWantsADatatype) {
  Cell t = typeset_of({TYPE_INTEGER});
  EXPECT_TRUE(find(t, type_cell(TYPE_INTEGER)));
  EXPECT_FALSE(find(t, type_cell(TYPE_FLOAT)));
  Raised r = raised_by([&] { find(t, word_value("integer!")); });
  EXPECT_EQ(r.id, "invalid-arg") << "an unevaluated word is not a datatype";
}

TEST_F(Typeset, ComplementAndBitwiseOperations) {
  Cell empty = typeset_of({});
  Cell all = call_action(ACT_COMPLEMENT, {empty});
  for (uint32_t type = 1; type <= 54; ++type) EXPECT_TRUE(typeset::has_q(&all, type)) << type;
  Cell both = call_action(ACT_OR_T, {typeset_of({TYPE_INTEGER}), type_cell(TYPE_FLOAT)});
  EXPECT_TRUE(typeset::has_q(&both, TYPE_INTEGER));
  EXPECT_TRUE(typeset::has_q(&both, TYPE_FLOAT));
  Cell common = call_action(ACT_AND_T, {both, typeset_of({TYPE_FLOAT, TYPE_CHAR})});
  EXPECT_EQ(typeset::count(&common), 1);
  EXPECT_TRUE(typeset::has_q(&common, TYPE_FLOAT));
  Cell one = call_action(ACT_XOR_T, {both, typeset_of({TYPE_FLOAT, TYPE_CHAR})});
  EXPECT_TRUE(typeset::has_q(&one, TYPE_INTEGER));
  EXPECT_TRUE(typeset::has_q(&one, TYPE_CHAR));
  EXPECT_FALSE(typeset::has_q(&one, TYPE_FLOAT));
  EXPECT_EQ(raised_by([&] { call_action(ACT_OR_T, {both, int_cell(1)}); }).id, "invalid-arg");

  // The set operation codes.
  struct Case {
    int32_t code;
    std::initializer_list<uint32_t> members;
  };
  const Case cases[] = {{SET_UNION, {TYPE_INTEGER, TYPE_FLOAT, TYPE_CHAR}},
                        {SET_INTERSECT, {TYPE_FLOAT}},
                        {SET_EXCLUDE, {TYPE_INTEGER}},
                        {SET_DIFFERENCE, {TYPE_INTEGER, TYPE_CHAR}}};
  for (const Case& c : cases) {
    Cell word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
    stack::open_call_frame(&word);
    Cell a = both, b = typeset_of({TYPE_FLOAT, TYPE_CHAR});
    stack::push_copy(&a);
    stack::push_copy(&b);
    typeset::do_bitwise(c.code);
    Cell r = *stack::arguments();
    stack::pop_frame_drop();
    Cell expected = typeset_of(c.members);
    EXPECT_EQ(r.data1, expected.data1) << "code " << c.code;
    EXPECT_EQ(r.data2, expected.data2) << "code " << c.code;
  }
}

TEST_F(Typeset, FormAndMoldNameTheMembersInIdOrder) {
  Cell t = typeset_of({TYPE_FLOAT, TYPE_INTEGER});
  EXPECT_EQ(form(t), "make typeset! [integer! float!]");
  EXPECT_EQ(mold(t), "make typeset! [integer! float!]");
  EXPECT_EQ(mold(t, true), "integer! float!");
  EXPECT_EQ(mold(typeset_of({})), "make typeset! []");
  EXPECT_EQ(mold(typeset_of({}), true), "");
}

TEST_F(Typeset, EqualByMembersNeverOrdered) {
  auto cmp = [&](Cell a, Cell b, int32_t op) {
    return call_action(ACT_COMPARE, {a, b, int_cell(op)}).data1 != 0;
  };
  Cell a = typeset_of({TYPE_INTEGER, TYPE_FLOAT}), b = typeset_of({TYPE_FLOAT, TYPE_INTEGER});
  EXPECT_TRUE(cmp(a, b, COMP_EQUAL));
  EXPECT_TRUE(cmp(a, b, COMP_STRICT_EQUAL));
  EXPECT_FALSE(cmp(a, typeset_of({TYPE_INTEGER}), COMP_EQUAL));
  EXPECT_EQ(raised_by([&] { cmp(a, b, COMP_LESSER); }).id, "invalid-compare");
  EXPECT_EQ(typeset::compare(&a, &b, COMP_SORT), 0);
  Cell small = typeset_of({TYPE_CHAR});
  EXPECT_EQ(typeset::compare(&small, &a, COMP_SORT), -1) << "sorting orders by member count";
}

TEST_F(Typeset, FunctionSpecTypeBlocks) {
  RootedCell out = block_of({});
  typeset::at_tail_default(out.get());
  Cell def = series_head_cell(out->data2)[0];
  EXPECT_FALSE(typeset::has_q(&def, TYPE_UNSET));
  EXPECT_TRUE(typeset::has_q(&def, TYPE_NONE));
  EXPECT_TRUE(typeset::has_q(&def, TYPE_EVENT));

  RootedCell spec = block_of({word_value("integer!"), word_value("number!"), word_value("ts-alias"),
                              *block_of({int_cell(1)}), type_cell(TYPE_CHAR)});
  typeset::at_tail_from_block(out.get(), spec.get());
  Cell t = series_head_cell(out->data2)[1];
  for (uint32_t type : {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT, TYPE_CHAR, TYPE_OBJECT})
    EXPECT_TRUE(typeset::has_q(&t, type)) << type;
  EXPECT_EQ(typeset::count(&t), 5) << "a word whose value is a word adds object!; blocks are skipped";

  RootedCell bad = block_of({int_cell(1)});
  Raised r = raised_by([&] { typeset::at_tail_from_block(out.get(), bad.get()); });
  EXPECT_EQ(r.id, "invalid-type-spec");

  RootedCell types = block_of({});
  typeset::to_block(&t, types.get());
  ASSERT_EQ(series_length(types->data2), 5u);
  EXPECT_EQ(series_head_cell(types->data2)[0].data1, TYPE_CHAR) << "lowest id first";
}

}  // namespace
}  // namespace kiv
