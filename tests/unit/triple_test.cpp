#include <gtest/gtest.h>

#include <cstdint>

#include "actions_test_support.h"
#include "runtime/datatypes/triple.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Triple : public CoreTypesTest {};

TEST_F(Triple, FormAndMoldWriteTheThreeIntegersAndNothingMakesOne) {
  Cell t;
  triple::init_cell(&t, 1, 2, -3);
  Cell r = call_action(ACT_FORM, {t});
  EXPECT_EQ(text_of(&r), "make triple! [1 2 -3]");
  triple::init_cell(&t, INT32_MIN, 0, INT32_MAX);
  r = call_action(ACT_MOLD, {t});
  EXPECT_EQ(text_of(&r), "make triple! [-2147483648 0 2147483647]");
  EXPECT_EQ(raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_TRIPLE), int_cell(1)}); }).id,
            "expect-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_TRIPLE), int_cell(1)}); }).id,
            "expect-arg");
}

}  // namespace
}  // namespace kiv
