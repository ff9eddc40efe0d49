// handle!: made from C++ only; form, mold (plain and /all, with and without
// a kind) and comparison, alone and inside a block.
#include <gtest/gtest.h>

#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/handle.h"
#include "runtime/handles.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Handle : public CoreTypesTest {
 protected:
  std::string molded(Cell value, MoldFlags flags) {
    RootedCell out;
    string::init_cell(out.get(), 16);
    dispatch_mold(&value, out.get(), flags, nullptr, kNoPartLimit, 0);
    return text_of(out.get());
  }
  std::string formed(Cell value) {
    RootedCell out;
    string::init_cell(out.get(), 16);
    dispatch_form(&value, out.get(), nullptr, kNoPartLimit);
    return text_of(out.get());
  }
  static Cell make(int32_t value, int kind) {
    Cell h;
    return *handle::make_in(&h, value, kind);
  }
};

TEST_F(Handle, FormsAsEightHexDigitsAndMoldsAsItsTypeOrConstruction) {
  static int image_kind = register_handle_kind("image", nullptr);
  ASSERT_GT(image_kind, 0);
  EXPECT_EQ(formed(make(0, 0)), "00000000h");
  EXPECT_EQ(formed(make(0x1F3A0, 0)), "0001F3A0h");
  EXPECT_EQ(formed(make(-1, 0)), "FFFFFFFFh");
  EXPECT_EQ(molded(make(0x1F3A0, image_kind), {}), "handle!");
  EXPECT_EQ(molded(make(0x1F3A0, image_kind), {.all = true}), "#[handle! 0001F3A0h image]");
  EXPECT_EQ(molded(make(10, 0), {.all = true}), "#[handle! 0000000Ah]");
  // A kind number nobody registered is written without a name.
  EXPECT_EQ(molded(make(10, 19), {.all = true}), "#[handle! 0000000Ah]");
  RootedCell block = block_of({make(1, 0), int_cell(2)});
  EXPECT_EQ(molded(*block.get(), {}), "[handle! 2]");
  Cell pushed = *handle::push_null();
  EXPECT_EQ(pushed.data1, 0u);
  EXPECT_EQ(pushed.data2, 0u);
  EXPECT_EQ(static_cast<int32_t>(pushed.data3), -1) << "no registry slot";
  handle::append_to_block(block.get(), 7, 0);
  EXPECT_EQ(molded(*block.get(), {.all = true}), "[#[handle! 00000001h] 2 #[handle! 00000007h]]");
}

TEST_F(Handle, ComparesByValueAloneAndIsNeverOrderedAgainstOtherTypes) {
  Cell a = make(5, 1), b = make(5, 2), c = make(-3, 1);
  EXPECT_TRUE(actions::compare(&a, &b, COMP_EQUAL)) << "kinds take no part";
  EXPECT_TRUE(actions::compare(&c, &a, COMP_LESSER)) << "signed values";
  EXPECT_TRUE(actions::compare(&a, &c, COMP_GREATER));
  EXPECT_FALSE(actions::compare(&a, &c, COMP_EQUAL));
  Cell five = int_cell(5);
  EXPECT_FALSE(actions::compare(&a, &five, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&a, &five, COMP_NOT_EQUAL));
  Raised r = raised_by([&] { actions::compare(&a, &five, COMP_GREATER); });
  EXPECT_EQ(r.id, "invalid-compare");
  r = raised_by([&] { actions::compare(&a, &five, COMP_LESSER); });
  EXPECT_EQ(r.id, "invalid-compare");
}

TEST_F(Handle, EveryOtherActionIsUnsupported) {
  Cell h = make(1, 0);
  EXPECT_EQ(raised_by([&] { call_action(ACT_ADD, {h, int_cell(1)}); }).id, "expect-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_HANDLE), int_cell(1)}); }).id,
            "expect-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_HANDLE), int_cell(1)}); }).id,
            "expect-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_EVEN_Q, {h}); }).id, "expect-arg");
}

}  // namespace
}  // namespace kiv
