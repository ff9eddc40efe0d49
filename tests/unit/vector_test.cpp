// The vector! routines other modules build vectors with (argument arrays,
// stored vectors), which no Kiv code reaches directly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/vector.h"
#include "runtime/series.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

using testing::char_cell;
using testing::float_cell;
using testing::int_cell;

class VectorTest : public testing::CoreTypesTest {
 protected:
  // The elements from the head, each read back as its value's number.
  static std::vector<double> numbers(Cell v) {
    std::vector<double> out;
    int32_t n = vector::length(&v);
    for (int32_t i = 0; i < n; ++i) {
      Cell e = vector::pick_value(&v, static_cast<int32_t>(v.data1) + i);
      out.push_back(TYPE_OF(&e) == TYPE_INTEGER ? static_cast<double>(static_cast<int32_t>(e.data2))
                    : TYPE_OF(&e) == TYPE_CHAR  ? static_cast<double>(e.data2)
                                                : cell_float(&e));
    }
    return out;
  }
};

TEST_F(VectorTest, ArgumentArrayAppendsRawInt32AndIsCutAtItsHead) {
  RootedCell v;
  vector::make_at(v.get(), 2, TYPE_INTEGER, 4);
  for (int32_t i = 0; i < 100; ++i) vector::append_int32(v.get(), i * 1000 - 7);
  EXPECT_EQ(vector::length(v.get()), 100);
  EXPECT_EQ(numbers(*v)[99], 98993.0);
  v->data1 = 3;
  vector::truncate_at_head(v.get());
  v->data1 = 0;
  EXPECT_EQ(numbers(*v), (std::vector<double>{-7, 993, 1993}));
}

TEST_F(VectorTest, ElementsReadBackSignExtendedOrAsFloats) {
  uint8_t b8 = 0x80;
  uint8_t b16[2] = {0xFF, 0x7F};
  EXPECT_EQ(vector::get_integer_element(&b8, 1), -128);
  EXPECT_EQ(vector::get_integer_element(b16, 2), 32767);
  float f = 0.5f;
  uint8_t raw[4];
  std::memcpy(raw, &f, 4);
  EXPECT_EQ(vector::get_float_element(raw, 4), 0.5);
}

TEST_F(VectorTest, AppendValueRefusesAnotherElementTypeAndKeepsTheVector) {
  RootedCell v;
  vector::make_at(v.get(), 1, TYPE_FLOAT, 4);
  Cell one_and_half = float_cell(1.5);
  vector::append_value(v.get(), &one_and_half);
  Cell wrong = int_cell(2);
  auto r = raised_by([&] { vector::append_value(v.get(), &wrong); });
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.id, "invalid-arg");
  Cell none{TYPE_NONE, 0, 0, 0};
  r = raised_by([&] { vector::append_value(v.get(), &none); });
  EXPECT_EQ(r.id, "invalid-type");
  EXPECT_EQ(numbers(*v), (std::vector<double>{1.5}));
}

TEST_F(VectorTest, LoadBlockChecksEveryValueBeforeAppendingAny) {
  RootedCell v, b;
  vector::make_at(v.get(), 1, TYPE_CHAR, 2);
  block::init_cell(b.get(), 3);
  Cell a = char_cell('a'), z = char_cell(0x263A), bad = int_cell(1);
  block::append_cell(b.get(), &a);
  block::append_cell(b.get(), &z);
  vector::load_block(v.get(), b.get());
  EXPECT_EQ(numbers(*v), (std::vector<double>{97, 0x263A}));
  block::append_cell(b.get(), &bad);
  auto r = raised_by([&] { vector::load_block(v.get(), b.get()); });
  EXPECT_EQ(r.id, "invalid-arg");
  EXPECT_EQ(vector::length(v.get()), 2);
}

TEST_F(VectorTest, ASizeBeyondTheLargestSeriesIsNoMemory) {
  RootedCell v;
  auto r = raised_by([&] { vector::make_at(v.get(), int64_t{1} << 31, TYPE_FLOAT, 8); });
  EXPECT_EQ(r.id, "no-memory");
}

TEST_F(VectorTest, ToBlockGivesValuesOfTheElementTypeFromTheHead) {
  RootedCell v, out;
  vector::make_at(v.get(), 3, TYPE_PERCENT, 8);
  for (double d : {0.25, 0.5, 1.0}) {
    Cell p{TYPE_PERCENT, 0, 0, 0};
    set_cell_float(&p, d);
    vector::append_value(v.get(), &p);
  }
  v->data1 = 1;
  vector::to_block(v.get(), out.get());
  ASSERT_EQ(series_length(out->data2), 2u);
  Cell first = series_head_cell(out->data2)[0];
  EXPECT_EQ(TYPE_OF(&first), TYPE_PERCENT);
  EXPECT_EQ(cell_float(&first), 0.5);
}

}  // namespace
}  // namespace kiv
