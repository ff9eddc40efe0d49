#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/lexer.h"
#include "runtime/eval/natives.h"
#include "runtime/print_hooks.h"
#include "runtime/series.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::char_cell;
using testing::float_cell;
using testing::int_cell;
using testing::logic_cell;
using testing::type_cell;
using testing::Raised;

// Every value a test holds lives in a RootedCell, and the collector is
// enabled (by the fixture), so under KIV_GC_TORTURE the buffers move between
// any two steps.
class BinaryTest : public testing::CoreTypesTest {
 protected:
  RootedCell bin(const Bytes& bytes, int32_t head = 0) {
    RootedCell b;
    binary::load(bytes.data(), bytes.size(), b.get());
    b->data1 = static_cast<uint32_t>(head);
    return b;
  }
  RootedCell str(const std::u32string& text) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (char32_t c : text) string::append_char(s.get(), static_cast<uint32_t>(c));
    return s;
  }
  static Bytes bytes(Cell c) { return binary::bytes_of(&c); }
  // Bytes of the whole buffer, whatever the head.
  static Bytes whole(Cell c) {
    c.data1 = 0;
    return binary::bytes_of(&c);
  }
  static Bytes filled(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
  }

  // Refinement positions of the actions' specs.
  std::vector<int32_t> refs(std::initializer_list<int32_t> positions) {
    std::vector<int32_t> r(positions);
    r.resize(16, -1);
    return r;
  }

  std::string mold(Cell value, bool only = false, bool flat = false, int32_t part = -1) {
    std::vector<int32_t> r = refs({only ? 1 : -1, -1, flat ? 1 : -1, part >= 0 ? 1 : -1});
    Cell result = part >= 0 ? call_action(ACT_MOLD, {value, int_cell(part)}, r)
                            : call_action(ACT_MOLD, {value}, r);
    return text_of(&result);
  }
  std::string form(Cell value) {
    Cell result = call_action(ACT_FORM, {value});
    return text_of(&result);
  }
  Cell to_binary(Cell spec) { return call_action(ACT_TO, {type_cell(TYPE_BINARY), spec}); }

  static std::string hex(const Bytes& b) {
    std::string s;
    for (uint8_t c : b) s += string::byte_to_hex(c);
    return s;
  }
};

// ---------------------------------------------------------------------------
// to binary! and back

TEST_F(BinaryTest, ToBinaryOfScalarsGivesTheirBigEndianOrUtf8Bytes) {
  EXPECT_EQ(bytes(to_binary(int_cell(1))), (Bytes{0, 0, 0, 1}));
  EXPECT_EQ(bytes(to_binary(int_cell(-2))), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(bytes(to_binary(float_cell(1.0))), (Bytes{63, 240, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes(to_binary(char_cell(0x20AC))), (Bytes{0xE2, 0x82, 0xAC}));
  EXPECT_EQ(bytes(to_binary(char_cell(0x1F600))), (Bytes{0xF0, 0x9F, 0x98, 0x80}));
  Cell tuple{TYPE_TUPLE | (4u << 19), 0, 0, 0};
  const uint8_t parts[4] = {1, 2, 255, 4};
  std::memcpy(&tuple.data1, parts, 4);
  EXPECT_EQ(bytes(to_binary(tuple)), (Bytes{1, 2, 255, 4}));
}

TEST_F(BinaryTest, ToBinaryOfTextIsUtf8FromTheHeadAndReadsBackAsTheSameText) {
  RootedCell s = str(U"x\u00E9\u20AC\U0001F600");
  s->data1 = 1;
  RootedCell b(to_binary(*s));
  EXPECT_EQ(hex(bytes(*b)), "C3A9E282ACF09F9880");
  // The string module's UTF-8 loader reads exactly these bytes back.
  Bytes raw = bytes(*b);
  RootedCell back;
  string::load_encoded(raw.data(), raw.size(), string::kEncodingUtf8, back.get());
  EXPECT_EQ(text_of(back.get()).size(), 3u);
  EXPECT_EQ(string::char_at_index(back.get(), 2), 0x1F600u);
}

TEST_F(BinaryTest, ToBinaryOfABinaryIsACopyNotTheSameSeries) {
  RootedCell a = bin({1, 2, 3}, 1);
  RootedCell b(to_binary(*a));
  EXPECT_NE(b->data2, a->data2);
  binary::head_pointer(a.get())[0] = 9;
  EXPECT_EQ(bytes(*b), (Bytes{2, 3}));
}

TEST_F(BinaryTest, ToBinaryOfABlockAppendsEachElementNestedBlocksToo) {
  RootedCell inner;
  block::init_cell(inner.get(), 2);
  RootedCell ff = bin({0xFF});
  block::append_cell(inner.get(), ff.get());
  Cell minus = int_cell(-1);
  block::append_cell(inner.get(), &minus);
  RootedCell outer;
  block::init_cell(outer.get(), 4);
  Cell one = int_cell(1), a = char_cell('a');
  RootedCell bc = str(U"bc");
  block::append_cell(outer.get(), &one);
  block::append_cell(outer.get(), &a);
  block::append_cell(outer.get(), bc.get());
  block::append_cell(outer.get(), inner.get());
  EXPECT_EQ(bytes(to_binary(*outer)), (Bytes{1, 'a', 'b', 'c', 0xFF, 0xFF}));
}

TEST_F(BinaryTest, ToBinaryRefusesWhatHasNoBytes) {
  Raised r = raised_by([&] { to_binary(logic_cell(true)); });
  EXPECT_EQ(r.id, "bad-to-arg");
  ASSERT_EQ(r.args.size(), 2u);
  EXPECT_EQ(r.args[0].value.get()->data1, static_cast<uint32_t>(TYPE_BINARY));

  RootedCell blk;
  block::init_cell(blk.get(), 2);
  Cell t = logic_cell(true);
  block::append_cell(blk.get(), &t);
  EXPECT_EQ(raised_by([&] { to_binary(*blk); }).id, "bad-to-arg");

  EXPECT_EQ(raised_by([&] { to_binary(char_cell(0x110000)); }).id, "invalid-char");
}

TEST_F(BinaryTest, ToBinaryOfABlockHoldingItselfIsRefusedNotEndless) {
  RootedCell blk;
  block::init_cell(blk.get(), 2);
  Cell one = int_cell(1);
  block::append_cell(blk.get(), &one);
  block::append_cell(blk.get(), blk.get());
  Raised r = raised_by([&] { to_binary(*blk); });
  EXPECT_EQ(r.category, ErrorCategory::kInternal);
  EXPECT_EQ(r.id, "no-cycle");
}

TEST_F(BinaryTest, ToIntegerReadsTheFirstFourBytesBigEndian) {
  RootedCell b(to_binary(int_cell(-123456)));
  Cell back = call_action(ACT_TO, {type_cell(TYPE_INTEGER), *b});
  EXPECT_EQ(static_cast<int32_t>(back.data2), -123456);
}

// ---------------------------------------------------------------------------
// Mold and form

TEST_F(BinaryTest, MoldWritesUppercaseHexBetweenBracesFromTheHead) {
  EXPECT_EQ(mold(*bin({})), "#{}");
  EXPECT_EQ(mold(*bin({0x00, 0xAB, 0x1F})), "#{00AB1F}");
  EXPECT_EQ(mold(*bin({0x00, 0xAB, 0x1F}, 1)), "#{AB1F}");
  EXPECT_EQ(mold(*bin({0x00, 0xAB, 0x1F}, 3)), "#{}");
  EXPECT_EQ(form(*bin({0x00, 0xAB})), "#{00AB}");
}

TEST_F(BinaryTest, MoldOfAHeadPastTheTailIsEmpty) {
  RootedCell cut = bin({1, 2, 3});
  // Shorten the series through another reference: the old head lies past the tail.
  cut->data1 = 2;
  node_buffer(cut->data2)->tail = node_buffer(cut->data2)->head + 1;
  EXPECT_EQ(mold(*cut), "#{}");
  EXPECT_EQ(binary::length(cut.get()), 0);
}

TEST_F(BinaryTest, MoldBreaksDataOf31BytesOrMoreIntoIndentedLinesOf32) {
  std::string h30 = hex(filled(30)), h31 = hex(filled(31)), h64 = hex(filled(64));
  EXPECT_EQ(mold(*bin(filled(30))), "#{" + h30 + "}");
  EXPECT_EQ(mold(*bin(filled(31))), "#{\n    " + h31 + "\n}");
  EXPECT_EQ(mold(*bin(filled(33))),
            "#{\n    " + hex(filled(32)) + "\n    20\n}");
  // A multiple of 32 ends with the line break after its last full line.
  EXPECT_EQ(mold(*bin(filled(64))),
            "#{\n    " + h64.substr(0, 64) + "\n    " + h64.substr(64) + "\n    }");
  EXPECT_EQ(form(*bin(filled(31))), "#{\n    " + h31 + "\n}");
}

TEST_F(BinaryTest, MoldFlatOnlyAndNestingLevel) {
  std::string h40 = hex(filled(40));
  EXPECT_EQ(mold(*bin(filled(40)), false, true), "#{" + h40 + "}");
  EXPECT_EQ(mold(*bin({1, 2}), true), "0102");
  // Inside a structure one level deep the lines are indented one level more.
  RootedCell out;
  string::init_cell(out.get(), 0);
  RootedCell b = bin(filled(33));
  binary::mold(b.get(), out.get(), {}, nullptr, kNoPartLimit, 1);
  EXPECT_EQ(text_of(out.get()), "#{\n        " + hex(filled(32)) + "\n        20\n    }");
}

TEST_F(BinaryTest, MoldPartStopsAtTheLimit) {
  EXPECT_EQ(mold(*bin({0xAB, 0xCD, 0xEF}), false, false, 5), "#{ABC");
  EXPECT_EQ(mold(*bin({0xAB, 0xCD, 0xEF}), false, false, 4), "#{AB");
  EXPECT_EQ(mold(*bin({0xAB}), false, false, 100), "#{AB}");
}

// ---------------------------------------------------------------------------
// Comparison

bool compare_truth(Cell a, Cell b, int32_t op) {
  RootedCell ra(a), rb(b);
  return actions::compare(ra.get(), rb.get(), op);
}

TEST_F(BinaryTest, EqualityNeedsTheSameBytesFromBothHeads) {
  EXPECT_TRUE(compare_truth(*bin({1, 2, 3}), *bin({9, 1, 2, 3}, 1), COMP_EQUAL));
  EXPECT_FALSE(compare_truth(*bin({1, 2, 3}), *bin({1, 2}), COMP_EQUAL));
  EXPECT_TRUE(compare_truth(*bin({1, 2, 3}), *bin({1, 2}), COMP_NOT_EQUAL));
  EXPECT_TRUE(compare_truth(*bin({}), *bin({5}, 1), COMP_STRICT_EQUAL));
}

TEST_F(BinaryTest, OrderingIsUnsignedBytewiseWithTheShorterPrefixFirst) {
  EXPECT_TRUE(compare_truth(*bin({0x7F}), *bin({0x80}), COMP_LESSER));
  EXPECT_TRUE(compare_truth(*bin({1, 2}), *bin({1, 2, 0}), COMP_LESSER));
  EXPECT_TRUE(compare_truth(*bin({1, 3}), *bin({1, 2, 0}), COMP_GREATER));
  EXPECT_TRUE(compare_truth(*bin({}), *bin({0}), COMP_LESSER));
  EXPECT_TRUE(compare_truth(*bin({4}), *bin({4}), COMP_GREATER_EQUAL));
}

TEST_F(BinaryTest, ABinaryAndAStringAreNeverEqualAndCannotBeOrdered) {
  RootedCell s = str(U"ab");
  EXPECT_FALSE(compare_truth(*bin({'a', 'b'}), *s, COMP_EQUAL));
  Raised r = raised_by([&] { compare_truth(*bin({'a', 'b'}), *s, COMP_LESSER); });
  EXPECT_EQ(r.id, "invalid-compare");
}

TEST_F(BinaryTest, SameNeedsTheSameSeriesAndHead) {
  RootedCell a = bin({1, 2});
  RootedCell b(*a);
  EXPECT_TRUE(compare_truth(*a, *b, COMP_SAME));
  b->data1 = 1;
  EXPECT_FALSE(compare_truth(*a, *b, COMP_SAME));
  EXPECT_FALSE(compare_truth(*a, *bin({1, 2}), COMP_SAME));
}

TEST_F(BinaryTest, MatchModeFindsAPrefixOfABinaryOrOfText) {
  RootedCell b = bin({'a', 'b', 'c'});
  RootedCell ab = str(U"ab"), abcd = str(U"abcd"), empty = str(U""), wide = str(U"a\u0162");
  EXPECT_EQ(binary::compare_series(b.get(), ab.get(), COMP_EQUAL, true), 0);
  EXPECT_NE(binary::compare_series(b.get(), abcd.get(), COMP_EQUAL, true), 0);
  EXPECT_EQ(binary::compare_series(b.get(), empty.get(), COMP_FIND, true), 0);
  EXPECT_NE(binary::compare_series(b.get(), empty.get(), COMP_NOT_EQUAL, true), 0);
  // A character above 255 never equals a byte.
  EXPECT_NE(binary::compare_series(b.get(), wide.get(), COMP_EQUAL, true), 0);
  EXPECT_TRUE(binary::match_head_q(b.get(), bin({'a', 'b'}).get(), COMP_EQUAL));
  Cell a = char_cell('a'), z = char_cell('z');
  EXPECT_TRUE(binary::match_head_q(b.get(), &a, COMP_EQUAL));
  EXPECT_FALSE(binary::match_head_q(b.get(), &z, COMP_EQUAL));
}

TEST_F(BinaryTest, HeadInBitsetReadsMostSignificantBitFirstAndTheComplementBeyond) {
  // Members 0x41 ('A') and 0x07; the bitset stores 9 bytes (0-71).
  RootedCell bits;
  Bytes stored(9, 0);
  stored[0x41 >> 3] |= 0x80 >> (0x41 & 7);
  stored[0] |= 0x80 >> 7;
  binary::load(stored.data(), stored.size(), bits.get());
  set_type(bits.get(), TYPE_BITSET);
  EXPECT_TRUE(binary::head_in_bitset_q(bin({0x41}).get(), bits.get()));
  EXPECT_TRUE(binary::head_in_bitset_q(bin({0x07}).get(), bits.get()));
  EXPECT_FALSE(binary::head_in_bitset_q(bin({0x42}).get(), bits.get()));
  EXPECT_FALSE(binary::head_in_bitset_q(bin({0xF0}).get(), bits.get()));
  EXPECT_FALSE(binary::head_in_bitset_q(bin({}).get(), bits.get()));
  node_buffer(bits->data2)->flags |= 0x00080000;  // complemented
  EXPECT_TRUE(binary::head_in_bitset_q(bin({0xF0}).get(), bits.get()));
}

// ---------------------------------------------------------------------------
// Bitwise actions

TEST_F(BinaryTest, BitwiseResultIsAsLongAsTheLongerArgument) {
  RootedCell a = bin({0xF0, 0x0F, 0xAA}), b = bin({0x3C});
  EXPECT_EQ(bytes(call_action(ACT_AND_T, {*a, *b})), (Bytes{0x30, 0x00, 0x00}));
  EXPECT_EQ(bytes(call_action(ACT_OR_T, {*b, *a})), (Bytes{0xFC, 0x0F, 0xAA}));
  EXPECT_EQ(bytes(call_action(ACT_XOR_T, {*a, *b})), (Bytes{0xCC, 0x0F, 0xAA}));
  // From the heads.
  EXPECT_EQ(bytes(call_action(ACT_AND_T, {*bin({0, 0xFF}, 1), *b})), (Bytes{0x3C}));
  // The arguments are left as they were.
  EXPECT_EQ(bytes(*a), (Bytes{0xF0, 0x0F, 0xAA}));
}

TEST_F(BinaryTest, BitwiseWithANonBinaryIsInvalidArg) {
  Raised r = raised_by([&] { call_action(ACT_XOR_T, {*bin({1}), int_cell(1)}); });
  EXPECT_EQ(r.id, "invalid-arg");
}

TEST_F(BinaryTest, ComplementInvertsFromTheHeadInPlace) {
  RootedCell a = bin({0x00, 0x0F, 0xF0}, 1);
  RootedCell r(call_action(ACT_COMPLEMENT, {*a}));
  EXPECT_EQ(r->data2, a->data2);
  EXPECT_EQ(whole(*a), (Bytes{0x00, 0xF0, 0x0F}));
}

// ---------------------------------------------------------------------------
// append, insert, change

TEST_F(BinaryTest, AppendWritesEachKindOfValueAtTheTailAndAnswersHeadZero) {
  RootedCell b = bin({1}, 1);
  RootedCell s = str(U"\u00E9");
  call_action(ACT_APPEND, {*b, int_cell(-1)});
  call_action(ACT_APPEND, {*b, char_cell(0x20AC)});
  call_action(ACT_APPEND, {*b, *s});
  Cell r = call_action(ACT_APPEND, {*b, *bin({7, 8})});
  EXPECT_EQ(r.data1, 0u);
  EXPECT_EQ(whole(*b), (Bytes{1, 0xFF, 0xE2, 0x82, 0xAC, 0xC3, 0xA9, 7, 8}));
}

TEST_F(BinaryTest, AppendOfAnIntegerOutsideAByteFailsAndChangesNothing) {
  RootedCell b = bin({1});
  EXPECT_EQ(raised_by([&] { call_action(ACT_APPEND, {*b, int_cell(256)}); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_APPEND, {*b, int_cell(-129)}); }).id, "invalid-arg");
  Raised r = raised_by([&] { call_action(ACT_APPEND, {*b, logic_cell(true)}); });
  EXPECT_EQ(r.id, "bad-to-arg");
  EXPECT_EQ(whole(*b), (Bytes{1}));
}

TEST_F(BinaryTest, InsertOpensAGapAtTheHeadAndAnswersThePositionAfterIt) {
  RootedCell b = bin({1, 2, 3}, 1);
  Cell r = call_action(ACT_INSERT, {*b, *bin({8, 9})});
  EXPECT_EQ(r.data1, 3u);
  EXPECT_EQ(whole(*b), (Bytes{1, 8, 9, 2, 3}));
  // At the tail insert appends.
  RootedCell t = bin({1, 2}, 2);
  call_action(ACT_INSERT, {*t, int_cell(3)});
  EXPECT_EQ(whole(*t), (Bytes{1, 2, 3}));
}

TEST_F(BinaryTest, PartCountsInTheInsertedValueAndDupRepeatsIt) {
  RootedCell b = bin({});
  RootedCell s = str(U"\u00E9xyz");
  call_action(ACT_APPEND, {*b, *s, int_cell(2)}, refs({2}));
  EXPECT_EQ(whole(*b), (Bytes{0xC3, 0xA9, 'x'}));
  RootedCell d = bin({0});
  call_action(ACT_INSERT, {*d, *bin({1, 2}), int_cell(3)}, refs({-1, -1, 2}));
  EXPECT_EQ(whole(*d), (Bytes{1, 2, 1, 2, 1, 2, 0}));
}

TEST_F(BinaryTest, AppendingABinaryToItselfDoublesIt) {
  RootedCell b = bin({1, 2, 3});
  call_action(ACT_APPEND, {*b, *b});
  EXPECT_EQ(whole(*b), (Bytes{1, 2, 3, 1, 2, 3}));
  RootedCell c = bin({1, 2, 3}, 1);
  call_action(ACT_INSERT, {*c, *c});
  EXPECT_EQ(whole(*c), (Bytes{1, 2, 3, 2, 3}));
}

TEST_F(BinaryTest, ManyAppendsGrowTheBufferWithoutLosingBytes) {
  RootedCell b = bin({});
  Bytes expect;
  for (int i = 0; i < 600; ++i) {
    call_action(ACT_APPEND, {*b, int_cell(i & 0xFF)});
    expect.push_back(static_cast<uint8_t>(i));
  }
  EXPECT_EQ(whole(*b), expect);
}

TEST_F(BinaryTest, ASizeBeyondTheLargestSeriesIsNoMemoryBeforeAnythingChanges) {
  RootedCell b = bin({1, 2});
  RootedCell four = bin({1, 2, 3, 4});
  const int32_t dup = 0x40000000;  // 4 x 2^30 bytes
  Raised r = raised_by([&] { call_action(ACT_APPEND, {*b, *four, int_cell(dup)}, refs({-1, -1, 2})); });
  EXPECT_EQ(r.category, ErrorCategory::kInternal);
  EXPECT_EQ(r.id, "no-memory");
  r = raised_by([&] { call_action(ACT_CHANGE, {*b, *four, int_cell(dup)}, refs({-1, -1, 2})); });
  EXPECT_EQ(r.id, "no-memory");
  EXPECT_EQ(whole(*b), (Bytes{1, 2}));
}

TEST_F(BinaryTest, ChangeOverwritesAsManyBytesAsItWritesUnlessPartSaysOtherwise) {
  RootedCell b = bin({1, 2, 3, 4}, 1);
  Cell r = call_action(ACT_CHANGE, {*b, *bin({8, 9})});
  EXPECT_EQ(r.data1, 3u);
  EXPECT_EQ(whole(*b), (Bytes{1, 8, 9, 4}));
  // /part 1 replaces one byte by two; /part 3 three bytes by one.
  RootedCell c = bin({1, 2, 3, 4});
  call_action(ACT_CHANGE, {*c, *bin({8, 9}), int_cell(1)}, refs({2}));
  EXPECT_EQ(whole(*c), (Bytes{8, 9, 2, 3, 4}));
  RootedCell d = bin({1, 2, 3, 4});
  call_action(ACT_CHANGE, {*d, int_cell(7), int_cell(3)}, refs({2}));
  EXPECT_EQ(whole(*d), (Bytes{7, 4}));
  // Past the tail the binary grows.
  RootedCell e = bin({1, 2}, 1);
  call_action(ACT_CHANGE, {*e, *bin({5, 6, 7})});
  EXPECT_EQ(whole(*e), (Bytes{1, 5, 6, 7}));
}

TEST_F(BinaryTest, ChangeWritesTheFormOfOtherValuesAndRepeatsWithDup) {
  RootedCell b = bin({0, 0, 0, 0, 0, 0});
  call_action(ACT_CHANGE, {*b, logic_cell(true)});
  EXPECT_EQ(whole(*b), (Bytes{'t', 'r', 'u', 'e', 0, 0}));
  RootedCell d = bin({0, 0, 0, 0, 0});
  call_action(ACT_CHANGE, {*d, int_cell(9), int_cell(3)}, refs({-1, -1, 2}));
  EXPECT_EQ(whole(*d), (Bytes{9, 9, 9, 0, 0}));
}

TEST_F(BinaryTest, ChangeWithItselfUsesTheBytesBeforeTheChange) {
  RootedCell b = bin({1, 2, 3, 4});
  RootedCell from(*b);
  from->data1 = 2;
  call_action(ACT_CHANGE, {*b, *from, int_cell(1)}, refs({2}));
  EXPECT_EQ(whole(*b), (Bytes{3, 4, 2, 3, 4}));
}

// ---------------------------------------------------------------------------
// trim

TEST_F(BinaryTest, TrimRemovesZeroBytesFromTheChosenEnds) {
  struct Case {
    const char* name;
    std::vector<int32_t> refinements;  // /head /tail /auto /lines /all /with
    Bytes expected;
  };
  const Case cases[] = {
      {"both ends", {}, {1, 0, 2}},
      {"head", {1}, {1, 0, 2, 0, 0}},
      {"tail", {-1, 1}, {0, 0, 1, 0, 2}},
      {"head and tail", {1, 1}, {1, 0, 2}},
      {"all", {-1, -1, -1, -1, 1}, {1, 2}},
  };
  for (const auto& c : cases) {
    RootedCell b = bin({9, 0, 0, 1, 0, 2, 0, 0}, 1);
    std::vector<int32_t> r = c.refinements;
    r.resize(16, -1);
    call_action(ACT_TRIM, {*b}, r);
    EXPECT_EQ(bytes(*b), c.expected) << c.name;
    EXPECT_EQ(whole(*b)[0], 9) << c.name << ": the bytes before the head stay";
  }
}

TEST_F(BinaryTest, TrimWithRemovesEveryByteOfItsArgument) {
  RootedCell b = bin({'a', 'b', 0, 'c', 'a'});
  RootedCell s = str(U"ac");
  call_action(ACT_TRIM, {*b, *s}, refs({-1, -1, -1, -1, -1, 1}));
  EXPECT_EQ(whole(*b), (Bytes{'b', 0}));
  RootedCell c = bin({1, 2, 3, 2});
  call_action(ACT_TRIM, {*c, *bin({2})}, refs({-1, -1, -1, -1, -1, 1}));
  EXPECT_EQ(whole(*c), (Bytes{1, 3}));
  RootedCell d = bin({1, 'x', 3});
  call_action(ACT_TRIM, {*d, char_cell('x')}, refs({-1, -1, -1, -1, -1, 1}));
  EXPECT_EQ(whole(*d), (Bytes{1, 3}));
}

TEST_F(BinaryTest, TrimAutoAndLinesAreNotDone) {
  RootedCell b = bin({0, 1});
  EXPECT_EQ(raised_by([&] { call_action(ACT_TRIM, {*b}, refs({-1, -1, 1})); }).id, "not-done");
  EXPECT_EQ(raised_by([&] { call_action(ACT_TRIM, {*b}, refs({-1, -1, -1, 1})); }).id, "not-done");
  EXPECT_EQ(whole(*b), (Bytes{0, 1}));
}

// ---------------------------------------------------------------------------
// Inherited actions and byte routines

TEST_F(BinaryTest, LengthAndPickCountFromTheHead) {
  RootedCell b = bin({5, 6, 7}, 1);
  EXPECT_EQ(call_action(ACT_LENGTH_Q, {*b}).data2, 2u);
  Cell p = call_action(ACT_PICK, {*b, int_cell(2)});
  EXPECT_EQ(TYPE_OF(&p), static_cast<uint32_t>(TYPE_INTEGER));
  EXPECT_EQ(p.data2, 7u);
}

TEST_F(BinaryTest, PokeByteKeepsTheLowByteAndRefusesOtherValues) {
  uint8_t byte = 1;
  Cell v = int_cell(256);
  binary::poke_byte(&byte, &v);
  EXPECT_EQ(byte, 0);
  v = char_cell('A');
  binary::poke_byte(&byte, &v);
  EXPECT_EQ(byte, 'A');
  v = logic_cell(true);
  EXPECT_EQ(raised_by([&] { binary::poke_byte(&byte, &v); }).id, "invalid-arg");
}

TEST_F(BinaryTest, RawAppendAndInsertBytesGrowTheBuffer) {
  RootedCell b;
  binary::make_at(b.get(), 0);
  Bytes big = filled(100);
  binary::append_bytes(b.get(), big.data(), big.size());
  b->data1 = 10;
  const uint8_t mid[2] = {0xAA, 0xBB};
  binary::insert_bytes(b.get(), 5, mid, 2);
  Bytes all = whole(*b);
  ASSERT_EQ(all.size(), 102u);
  EXPECT_EQ(all[14], 14);
  EXPECT_EQ(all[15], 0xAA);
  EXPECT_EQ(all[16], 0xBB);
  EXPECT_EQ(all[17], 15);
  EXPECT_EQ(binary::byte_at_head(b.get()), 10);
}

// ---------------------------------------------------------------------------
// Binary literals in source text

class BinaryLiteralTest : public BinaryTest {
 protected:
  // The bytes of each value the source loads, as hex; the error id when it
  // raises one (with the type it names).
  std::string load(const std::string& src) {
    lexer::LexRequest rq;
    rq.input = reinterpret_cast<const uint8_t*>(src.data());
    rq.length = src.size();
    try {
      lexer::LexResult r = lexer::lex_source(rq);
      RootedCell blk(Cell{TYPE_BLOCK, 0, r.block, 0});
      std::string out;
      uint32_t n = series_length(r.block);
      for (uint32_t i = 0; i < n; ++i) {
        Cell c = node_buffer(r.block)->head_cell()[i];
        if (TYPE_OF(&c) != TYPE_BINARY) return "not a binary";
        if (!out.empty()) out += " ";
        out += hex(bytes(c));
      }
      return out;
    } catch (const LanguageError& e) {
      std::string s = std::string(error_category_name(e.category)) + "/" + e.id;
      for (const auto& a : e.args)
        if (a.kind == ErrorArgument::Kind::kValue && TYPE_OF(a.value.get()) == TYPE_DATATYPE)
          s += a.value.get()->data1 == TYPE_BINARY ? " binary!" : " other!";
      return s;
    }
  }
};

TEST_F(BinaryLiteralTest, LiteralsInEachBase) {
  struct Case {
    const char* source;
    const char* expected;
  };
  const Case cases[] = {
      {"#{0F 1e}", "0F1E"},
      {"#{}", ""},
      {"16#{FF00}", "FF00"},
      {"#{41 ; a comment } in it\n 42}", "4142"},
      {"#{\n  0102\n  0304\n}", "01020304"},
      {"2#{00000001 11111111}", "01FF"},
      {"64#{/w==}", "FF"},
      {"64#{AQID}", "010203"},
      {"64#{AQ ID BA==}", "01020304"},
      {"#{0F1}", "syntax/invalid binary!"},
      {"#{GG}", "syntax/invalid binary!"},
      {"2#{0000001}", "syntax/invalid binary!"},
      {"2#{00000002}", "syntax/invalid binary!"},
      {"64#{/w}", "syntax/invalid binary!"},
      {"64#{/w==AA}", "syntax/invalid binary!"},
      {"8#{00}", "syntax/invalid binary!"},
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.source), c.expected) << "source: " << c.source;
}


// ---------------------------------------------------------------------------
// The natives checksum, compress, decompress, enbase and debase

namespace natives_test {

constexpr uint32_t kDebase = 84;
constexpr uint32_t kChecksum = 87;
constexpr uint32_t kEnbase = 91;
constexpr uint32_t kCompress = 103;
constexpr uint32_t kDecompress = 104;

Bytes from_hex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

}  // namespace natives_test

using namespace natives_test;

class BinaryNatives : public BinaryTest {
 protected:
  RootedCell word(const char* text) { return RootedCell(word::load(text)); }
  RootedCell text(const std::string& s) { return make_string(s); }

  Cell checksum(Cell data, const char* method) {
    return call_native(kChecksum, {data, *word(method)});
  }
  Cell checksum_with(Cell data, const char* method, Cell key) {
    return call_native(kChecksum, {data, *word(method), key}, refs({2}));
  }
  Cell compress(Cell data, const char* method) {
    return call_native(kCompress, {data, *word(method)});
  }
  Cell decompress(Cell data, const char* method) {
    return call_native(kDecompress, {data, *word(method)});
  }
  Cell decompress_size(Cell data, const char* method, int32_t size) {
    return call_native(kDecompress, {data, *word(method), int_cell(size)}, refs({2}));
  }
  std::string enbase(Cell data, int32_t base = 0) {
    Cell r = base ? call_native(kEnbase, {data, int_cell(base)}, refs({1})) : call_native(kEnbase, {data});
    return text_of(&r);
  }
  Cell debase(const std::string& s, int32_t base = 0) {
    RootedCell t = text(s);
    return base ? call_native(kDebase, {*t, int_cell(base)}, refs({1})) : call_native(kDebase, {*t});
  }
};

TEST_F(BinaryNatives, ChecksumsAreIntegersOfTheBytesFromTheHead) {
  RootedCell abc = text("abc");
  EXPECT_EQ(checksum(*abc, "crc32").data2, 0x352441C2u);
  EXPECT_EQ(checksum(*abc, "adler32").data2, 0x024D0127u);
  EXPECT_EQ(checksum(*bin({0x00, 0x01}), "tcp").data2, 0xFFFEu);
  EXPECT_EQ(checksum(*bin({0x01}), "tcp").data2, 0xFFFEu);
  // A binary from its head, method words in any case.
  EXPECT_EQ(checksum(*bin({0xFF, 'a', 'b', 'c'}, 1), "CRC32").data2, 0x352441C2u);
  EXPECT_EQ(checksum(*bin({}), "crc32").data2, 0u);
  // Text is taken as UTF-8.
  RootedCell e = str(U"\u00E9");
  EXPECT_EQ(checksum(*e, "crc32").data2, checksum(*bin({0xC3, 0xA9}), "crc32").data2);
}

TEST_F(BinaryNatives, DigestsAndHmacAreBinaries) {
  RootedCell abc = text("abc");
  EXPECT_EQ(bytes(checksum(*abc, "md5")), from_hex("900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(bytes(checksum(*abc, "sha1")), from_hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(bytes(checksum(*abc, "sha256")),
            from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(bytes(checksum(*abc, "sha384")).size(), 48u);
  EXPECT_EQ(bytes(checksum(*abc, "sha512")).size(), 64u);
  RootedCell data = text("what do ya want for nothing?");
  RootedCell key = text("Jefe");
  EXPECT_EQ(bytes(checksum_with(*data, "sha256", *key)),
            from_hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  EXPECT_EQ(bytes(checksum_with(*data, "md5", *bin({'J', 'e', 'f', 'e'}))),
            from_hex("750c783e6ab0b503eaa86e310a5db738"));
}

TEST_F(BinaryNatives, ChecksumRefusesWhatItCannotDo) {
  RootedCell abc = text("abc");
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* id;
  };
  const Case cases[] = {
      {"unknown method", [&] { checksum(*abc, "crc16"); }, "invalid-arg"},
      {"data of no bytes", [&] { checksum(int_cell(1), "crc32"); }, "invalid-arg"},
      {"key for a checksum", [&] { checksum_with(*abc, "crc32", *abc); }, "invalid-refine-arg"},
      {"key for tcp", [&] { checksum_with(*abc, "tcp", *abc); }, "invalid-refine-arg"},
      {"key for adler32", [&] { checksum_with(*abc, "adler32", *abc); }, "invalid-refine-arg"},
      {"hash without /with", [&] { checksum(*abc, "hash"); }, "invalid-refine-arg"},
      {"hash with a key", [&] { checksum_with(*abc, "hash", *abc); }, "invalid-refine-arg"},
      {"key of another type", [&] { checksum_with(*abc, "md5", logic_cell(true)); }, "invalid-refine-arg"},
      {"method not a word", [&] { call_native(kChecksum, {*abc, *abc}); }, "expect-arg"},
  };
  for (const auto& c : cases) EXPECT_EQ(raised_by(c.call).id, c.id) << c.name;
}

std::string g_printed;
void capture_printed(const Cell* value, int new_line) {
  Cell text = *value;
  for (int32_t i = 0; i < string::length(&text); ++i)
    g_printed.push_back(static_cast<char>(string::char_at_index(&text, string::index_of(&text) + i)));
  if (new_line) g_printed.push_back('\n');
}

TEST_F(BinaryNatives, ChecksumWithAnIntegerSpecPrintsTheNoticeAndAnswersZero) {
  RootedCell abc = text("abc");
  g_printed.clear();
  dyn_print::add(capture_printed, nullptr);
  Cell r = checksum_with(*abc, "hash", int_cell(16));
  dyn_print::remove(capture_printed, nullptr);
  EXPECT_EQ(r.data2, 0u);
  EXPECT_EQ(TYPE_OF(&r), static_cast<uint32_t>(TYPE_INTEGER));
  EXPECT_EQ(g_printed, "** /hash support not yet implemented; algorithm TBD.\n");
}

TEST_F(BinaryNatives, CompressAndDecompressRoundTripInEachMethod) {
  Bytes data;
  for (int i = 0; i < 3000; ++i) data.push_back(static_cast<uint8_t>("abcabcabd"[i % 9] + (i % 97 == 0)));
  for (const char* method : {"zlib", "deflate", "gzip"}) {
    RootedCell packed(compress(*bin(data), method));
    EXPECT_LT(binary::length(packed.get()), 3000) << method;
    EXPECT_EQ(bytes(decompress(*packed, method)), data) << method;
    EXPECT_EQ(bytes(decompress_size(*packed, method, 3000)), data) << method << " /size exact";
    EXPECT_EQ(bytes(decompress_size(*packed, method, 10)), data) << method << " /size too small";
  }
  // Text is compressed as its UTF-8.
  RootedCell s = str(U"\u00E9t\u00E9");
  RootedCell packed(compress(*s, "gzip"));
  EXPECT_EQ(bytes(decompress(*packed, "gzip")), (Bytes{0xC3, 0xA9, 't', 0xC3, 0xA9}));
}

TEST_F(BinaryNatives, KnownStreams) {
  EXPECT_EQ(bytes(compress(*bin({}), "deflate")), (Bytes{0x03, 0x00}));
  EXPECT_EQ(bytes(compress(*bin({}), "zlib")), (Bytes{0x78, 0x01, 0x03, 0x00, 0, 0, 0, 1}));
  // The streams of the system's zlib: zlib framing at level 6, and gzip.
  EXPECT_EQ(bytes(decompress(*bin(from_hex("789ccb48cdc9c90700062c0215")), "zlib")),
            (Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(bytes(decompress(*bin(from_hex("1f8b0800000000000203cb48cdc9c9070086a6103605000000")), "gzip")),
            (Bytes{'h', 'e', 'l', 'l', 'o'}));
  Bytes gz = bytes(compress(*bin({'h', 'i'}), "gzip"));
  ASSERT_GE(gz.size(), 18u);
  EXPECT_EQ(Bytes(gz.begin(), gz.begin() + 3), (Bytes{0x1F, 0x8B, 0x08}));
}

TEST_F(BinaryNatives, MalformedCompressedDataIsInvalidData) {
  Bytes good = from_hex("789ccb48cdc9c90700062c0215");
  Bytes bad_check = good;
  bad_check.back() ^= 1;
  Bytes truncated(good.begin(), good.end() - 3);
  Bytes gz = from_hex("1f8b0800000000000203cb48cdc9c9070086a6103605000000");
  Bytes huge_trailer = gz;
  huge_trailer[gz.size() - 1] = 0x7F;  // claims a size of about 2 GB
  struct Case {
    const char* name;
    Bytes data;
    const char* method;
  };
  const Case cases[] = {
      {"zlib check value", bad_check, "zlib"},
      {"zlib truncated", truncated, "zlib"},
      {"zlib preset dictionary", from_hex("7820"), "zlib"},
      {"not gzip", good, "gzip"},
      {"gzip trailer size", huge_trailer, "gzip"},
      {"deflate block type 3", {0x07}, "deflate"},
      {"deflate empty", {}, "deflate"},
  };
  for (const auto& c : cases) {
    Raised r = raised_by([&] { decompress(*bin(c.data), c.method); });
    EXPECT_EQ(r.category, ErrorCategory::kScript) << c.name;
    EXPECT_EQ(r.id, "invalid-data") << c.name;
  }
}

// A fixed-code DEFLATE stream of one zero byte then `matches` copies of 258
// bytes at distance 1: 13 bits of input for every 258 bytes of output.
Bytes zero_run_stream(size_t matches) {
  Bytes out;
  uint64_t acc = 0;
  int used = 0;
  auto put = [&](uint32_t v, int n) {
    acc |= uint64_t(v) << used;
    for (used += n; used >= 8; used -= 8, acc >>= 8) out.push_back(uint8_t(acc));
  };
  auto code = [&](uint32_t c, int n) {  // Huffman codes go most significant bit first
    uint32_t r = 0;
    for (int i = 0; i < n; ++i) r |= ((c >> i) & 1) << (n - 1 - i);
    put(r, n);
  };
  put(1, 1);  // final block
  put(1, 2);  // fixed codes
  code(0x30, 8);  // literal 0
  for (size_t i = 0; i < matches; ++i) {
    code(0xC5, 8);  // length 258
    code(0, 5);     // distance 1
  }
  code(0, 7);  // end of block
  if (used) out.push_back(uint8_t(acc));
  return out;
}

// A result over the series size limit, measured or claimed, is refused
// before its buffer is allocated (a small stream of zeros asked for gigabytes
// and ended the process when the heap ran out); a claim above the true size
// gives the result in a buffer no larger than it needs.
TEST_F(BinaryNatives, DecompressRefusesResultsOverTheSeriesLimit) {
  const size_t matches = kMaxSeriesBytes / 258 + 1000;
  RootedCell huge = bin(zero_run_stream(matches));
  auto peak_kib = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
  };
  const long peak_before = peak_kib();
  Raised measured = raised_by([&] { decompress(*huge, "deflate"); });
  EXPECT_EQ(measured.category, ErrorCategory::kInternal);
  EXPECT_EQ(measured.id, "no-memory");
  Raised claimed = raised_by([&] { decompress_size(*huge, "deflate", 2147483647); });
  EXPECT_EQ(claimed.category, ErrorCategory::kInternal);
  EXPECT_EQ(claimed.id, "no-memory");
  EXPECT_LT(peak_kib() - peak_before, 256 * 1024) << "KiB more at the peak";

  RootedCell small = bin(zero_run_stream(100));
  RootedCell out(decompress_size(*small, "deflate", 1000000));
  EXPECT_EQ(bytes(*out), Bytes(1 + 258 * 100, 0));
  EXPECT_LE(node_buffer(binary::node_of(out.get()))->size, 2 * (1 + 258 * 100));
  EXPECT_EQ(bytes(decompress_size(*small, "deflate", 2147483647)), Bytes(1 + 258 * 100, 0));
}

TEST_F(BinaryNatives, CompressionArgumentErrors) {
  RootedCell b = bin({1, 2, 3});
  EXPECT_EQ(raised_by([&] { compress(*b, "lzma"); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { decompress(*b, "lzma"); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { decompress_size(*RootedCell(compress(*b, "zlib")), "zlib", -1); }).id, "invalid-arg");
  RootedCell s = text("abc");
  EXPECT_EQ(raised_by([&] { decompress(*s, "zlib"); }).id, "expect-arg");
  EXPECT_EQ(raised_by([&] { compress(int_cell(1), "zlib"); }).id, "expect-arg");
}

TEST_F(BinaryNatives, EnbaseInEachBase) {
  RootedCell hello = text("Hello");
  EXPECT_EQ(enbase(*hello), "SGVsbG8=");
  EXPECT_EQ(enbase(*hello, 64), "SGVsbG8=");
  EXPECT_EQ(enbase(*hello, 16), "48656C6C6F");
  EXPECT_EQ(enbase(*bin({0xA5, 0x01}), 2), "1010010100000001");
  EXPECT_EQ(enbase(*bin({0, 0, 1}), 58), "112");
  EXPECT_EQ(enbase(*bin({0xFF}), 64), "/w==");
  EXPECT_EQ(enbase(*bin({9, 0xFF}, 1)), "/w==");
  EXPECT_EQ(enbase(*bin({})), "");
  RootedCell e = str(U"\u00E9");
  EXPECT_EQ(enbase(*e, 16), "C3A9");
}

TEST_F(BinaryNatives, DebaseInEachBaseAndNoneForInvalidText) {
  EXPECT_EQ(bytes(debase("SGVsbG8=")), (Bytes{'H', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(bytes(debase("SGVs ; a comment\n bG8=")), (Bytes{'H', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(bytes(debase("/w==")), (Bytes{0xFF}));
  EXPECT_EQ(bytes(debase("/w")), (Bytes{}));
  EXPECT_EQ(bytes(debase("ABC", 16)), (Bytes{0xAB}));
  EXPECT_EQ(bytes(debase("ab cd", 16)), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(bytes(debase("112", 58)), (Bytes{0, 0, 1}));
  EXPECT_EQ(bytes(debase("1010010100000001", 2)), (Bytes{0xA5, 0x01}));
  for (auto [s, base] : std::initializer_list<std::pair<const char*, int>>{
           {"S*==", 64}, {"=A==", 64}, {"0G", 16}, {"0O", 58}, {"102", 2}, {"1010101", 2}}) {
    Cell r = debase(s, base);
    EXPECT_EQ(TYPE_OF(&r), static_cast<uint32_t>(TYPE_NONE)) << s << " in base " << base;
  }
  // A string of 2-byte units holding a character no base knows.
  RootedCell wide = str(U"SGVs\u20ACbG8=");
  Cell r = call_native(kDebase, {*wide});
  EXPECT_EQ(TYPE_OF(&r), static_cast<uint32_t>(TYPE_NONE));
}

TEST_F(BinaryNatives, EnbaseAndDebaseRoundTripArbitraryBytes) {
  for (size_t n : {0u, 1u, 2u, 3u, 31u, 100u}) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 37 + (i == 0 ? 0 : 1));
    for (int base : {2, 16, 58, 64}) {
      std::string encoded = enbase(*bin(data), base);
      EXPECT_EQ(bytes(debase(encoded, base)), data) << n << " bytes in base " << base;
    }
  }
}

TEST_F(BinaryNatives, UnknownBasesAreInvalidArg) {
  EXPECT_EQ(raised_by([&] { enbase(*bin({0}), 10); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { debase("00", 8); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { call_native(kDebase, {*bin({0})}); }).id, "expect-arg");
}

TEST_F(BinaryNatives, ToBinaryOfAnIssueDecodesItsSpellingAsHex) {
  Cell issue = word::load("FFa0", TYPE_ISSUE);
  EXPECT_EQ(bytes(to_binary(issue)), (Bytes{0xFF, 0xA0}));
  Cell bad = word::load("xyz", TYPE_ISSUE);
  Raised r = raised_by([&] { to_binary(bad); });
  EXPECT_EQ(r.id, "invalid-data");
}
}  // namespace
}  // namespace kiv
