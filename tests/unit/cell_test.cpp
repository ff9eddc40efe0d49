#include <gtest/gtest.h>

#include "runtime/cell.h"

namespace kiv {

TEST(Cell, SetTypeKeepsFlagBits) {
  Cell c{TYPE_BLOCK | kFlagNewLine | kFlagOwned, 1, 2, 3};
  set_type(&c, TYPE_PAREN);
  EXPECT_EQ(TYPE_OF(&c), TYPE_PAREN);
  EXPECT_EQ(c.header & (kFlagNewLine | kFlagOwned), kFlagNewLine | kFlagOwned);
  EXPECT_EQ(c.data1, 1u);
}

TEST(Cell, CopyOntoItselfChangesNothing) {
  Cell c{TYPE_INTEGER, 7, 8, 9};
  EXPECT_EQ(copy_cell(&c, &c), &c);
  EXPECT_EQ(c.header, TYPE_INTEGER);
  EXPECT_EQ(c.data1, 7u);
}

TEST(Cell, DoubleInWordsTwoAndThreeLeavesWordOne) {
  Cell c{TYPE_FLOAT, 0xDEADBEEF, 0, 0};
  set_cell_float(&c, -0.1);
  EXPECT_EQ(cell_float(&c), -0.1);
  EXPECT_EQ(c.data1, 0xDEADBEEF);
}

}  // namespace kiv
