#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/unset.h"

namespace kiv {
namespace {

// Ids 55 and 56 are free, so test types can register there without touching
// the rows of real types.
constexpr uint32_t kParent = 55;
constexpr uint32_t kChild = 56;

int32_t parent_compare(Cell*, Cell*, int32_t) { return 11; }
int32_t child_compare(Cell*, Cell*, int32_t) { return 22; }
int32_t parent_length(Cell*) { return 33; }
Cell* parent_clear(Cell* c) { return c; }

// A row of 62 unsupported entries that a test then fills.
std::vector<HandlerEntry> blank_row() {
  std::vector<HandlerEntry> row;
  for (uint32_t k = 1; k <= kActionCount; ++k) row.push_back({nullptr, k, HandlerEntry::kUnsupported});
  return row;
}
void set_inherit(std::vector<HandlerEntry>& row, uint32_t slot) {
  row[slot - 1] = {nullptr, slot, HandlerEntry::kInherited};
}

// Saves the registry's tables and puts them back, so tests that register
// types of their own leave no trace.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(saved_names_, type_name_table, sizeof saved_names_);
    std::memcpy(saved_handlers_, datatype_action_table, sizeof saved_handlers_);
    saved_highest_ = highest_type_id;
    // A runtime booted earlier in this process installed the word maker.
    set_global_word_maker(nullptr);
  }
  void TearDown() override {
    std::memcpy(type_name_table, saved_names_, sizeof saved_names_);
    std::memcpy(datatype_action_table, saved_handlers_, sizeof saved_handlers_);
    highest_type_id = saved_highest_;
    set_global_word_maker(nullptr);
  }

  void register_parent() {
    auto row = blank_row();
    row[ACT_COMPARE - 1] = own<ACT_COMPARE>(parent_compare);
    row[ACT_LENGTH_Q - 1] = own<ACT_LENGTH_Q>(parent_length);
    row[ACT_CLEAR - 1] = own<ACT_CLEAR>(parent_clear);
    datatype::register_type(kParent, 0, "parent!", row.data(), kActionCount);
  }

 private:
  TypeNameEntry saved_names_[kTypeTableSize];
  Handler saved_handlers_[kTypeTableSize * kHandlerRowSize];
  uint32_t saved_highest_;
};

TEST_F(RegistryTest, InheritedSlotCopiesParentHandlerAndParentZeroStaysZero) {
  register_parent();
  auto row = blank_row();
  set_inherit(row, ACT_LENGTH_Q);  // parent has a handler
  set_inherit(row, ACT_FORM);      // parent has 0: the child gets 0
  set_inherit(row, ACT_EMPTY_8);   // slot 8 stays empty whatever a row says
  row[ACT_COMPARE - 1] = own<ACT_COMPARE>(child_compare);  // own overrides parent
  // ACT_CLEAR left unsupported although the parent has it
  datatype::register_type(kChild, kParent, "child!", row.data(), kActionCount);

  EXPECT_EQ(type_handler(kChild, ACT_LENGTH_Q), reinterpret_cast<Handler>(parent_length));
  EXPECT_EQ(type_handler(kChild, ACT_FORM), nullptr);
  EXPECT_EQ(type_handler(kChild, ACT_EMPTY_8), nullptr);
  EXPECT_EQ(type_handler(kChild, ACT_CLEAR), nullptr);
  Cell a{}, b{};
  EXPECT_EQ(handler_as<ACT_COMPARE>(type_handler(kChild, ACT_COMPARE))(&a, &b, 0), 22);
  EXPECT_EQ(handler_as<ACT_COMPARE>(type_handler(kParent, ACT_COMPARE))(&a, &b, 0), 11);
}

TEST_F(RegistryTest, InheritanceHappensAtRegistrationNotLater) {
  register_parent();
  auto row = blank_row();
  set_inherit(row, ACT_COMPARE);
  datatype::register_type(kChild, kParent, "child!", row.data(), kActionCount);
  // The parent registers again with another compare: the child keeps the
  // handler it copied.
  auto parent_row = blank_row();
  parent_row[ACT_COMPARE - 1] = own<ACT_COMPARE>(child_compare);
  datatype::register_type(kParent, 0, "parent!", parent_row.data(), kActionCount);
  EXPECT_EQ(type_handler(kChild, ACT_COMPARE), reinterpret_cast<Handler>(parent_compare));
}

TEST_F(RegistryTest, SlotsPastTheActionsStayEmpty) {
  register_parent();
  for (uint32_t k = kActionCount + 1; k <= kHandlerRowSize; ++k)
    EXPECT_EQ(datatype_action_table[kParent * kHandlerRowSize + k - 1], nullptr) << k;
}

TEST_F(RegistryTest, NameEntryKeepsNameAndLengthWithoutBang) {
  register_parent();
  EXPECT_STREQ(type_name_table[kParent].name, "parent!");
  EXPECT_EQ(type_name_table[kParent].length, 6);
  EXPECT_GE(highest_type_id, kParent);
}

Cell fake_word(const char* text, size_t length) {
  // A recognisable stand-in for the global word: header 15, the length in
  // word 2 and the first character in word 3.
  return Cell{TYPE_WORD, 0, static_cast<uint32_t>(length), static_cast<uint32_t>(text[0])};
}

TEST_F(RegistryTest, NameWordIsSetAtRegistrationOnceWordsExist) {
  register_parent();
  EXPECT_EQ(type_name_table[kParent].word.header, 0u) << "no word before the words exist";
  set_global_word_maker(fake_word);
  auto row = blank_row();
  datatype::register_type(kChild, 0, "event!", row.data(), kActionCount);
  EXPECT_EQ(type_name_table[kChild].word.header, TYPE_WORD);
  EXPECT_EQ(type_name_table[kChild].word.data2, 6u);
  EXPECT_EQ(type_name_table[kChild].word.data3, static_cast<uint32_t>('e'));
}

TEST_F(RegistryTest, NamePassSetsTheWordOfEveryRegisteredType) {
  register_datatypes();
  register_parent();
  set_global_word_maker(fake_word);
  init_datatype_words();
  for (uint32_t t = 1; t <= highest_type_id; ++t) {
    if (!type_registered(t)) continue;
    EXPECT_EQ(type_name_table[t].word.header, TYPE_WORD) << t;
    EXPECT_EQ(type_name_table[t].word.data2, std::strlen(type_name_table[t].name)) << t;
  }
}

using RegistryDeathTest = RegistryTest;

TEST_F(RegistryDeathTest, WrongActionCountEndsTheProcessWithTheThreeLines) {
  auto row = blank_row();
  EXPECT_EXIT(datatype::register_type(kParent, 0, "parent!", row.data(), 61),
              ::testing::ExitedWithCode(EXIT_FAILURE),
              "\\*\\*\\* Datatype Error: invalid actions count for type: 55\n"
              "\\*\\*\\* Found: 61\n\\*\\*\\* Expected: 62");
}

TEST_F(RegistryDeathTest, RowOutOfSlotOrderIsRefused) {
  auto row = blank_row();
  std::swap(row[3], row[4]);
  EXPECT_EXIT(datatype::register_type(kParent, 0, "parent!", row.data(), kActionCount),
              ::testing::ExitedWithCode(EXIT_FAILURE), "out of order");
}

TEST_F(RegistryDeathTest, ChildBeforeItsParentIsRefused) {
  auto row = blank_row();
  set_inherit(row, ACT_FORM);
  EXPECT_EXIT(datatype::register_type(kChild, 54 /* not registered */, "child!", row.data(),
                                      kActionCount),
              ::testing::ExitedWithCode(EXIT_FAILURE), "parent not registered");
}

TEST_F(RegistryDeathTest, InheritedEntryWithoutParentIsRefused) {
  auto row = blank_row();
  set_inherit(row, ACT_FORM);
  EXPECT_EXIT(datatype::register_type(kChild, 0, "child!", row.data(), kActionCount),
              ::testing::ExitedWithCode(EXIT_FAILURE), "without a parent");
}

// A row by difference: the slots it does not name are the parent's, refuse
// empties a slot the parent fills, own replaces the parent's handler; without
// a parent every unnamed slot is unsupported.
TEST_F(RegistryTest, RowByDifferenceStartsFromTheParentsRow) {
  register_parent();
  datatype::register_type(kChild, kParent, "child!",
                          {own<ACT_COMPARE>(child_compare), refuse<ACT_CLEAR>});
  EXPECT_EQ(type_handler(kChild, ACT_LENGTH_Q), reinterpret_cast<Handler>(parent_length));
  EXPECT_EQ(type_handler(kChild, ACT_CLEAR), nullptr);
  EXPECT_EQ(type_handler(kChild, ACT_COMPARE), reinterpret_cast<Handler>(child_compare));
  EXPECT_EQ(type_handler(kChild, ACT_FORM), nullptr);

  datatype::register_type(kChild, 0, "child!", {own<ACT_LENGTH_Q>(parent_length)});
  for (uint32_t k = 1; k <= kActionCount; ++k)
    EXPECT_EQ(type_handler(kChild, k) != nullptr, k == ACT_LENGTH_Q) << k;
}

TEST_F(RegistryDeathTest, RowByDifferenceOutOfOrderTwiceInheritedOrOnTheEmptySlotIsRefused) {
  register_parent();
  struct Case {
    std::vector<HandlerEntry> row;
    const char* message;
  };
  const Case cases[] = {
      {{own<ACT_COMPARE>(child_compare), own<ACT_FORM>(nullptr)}, "out of order"},
      {{own<ACT_COMPARE>(child_compare), refuse<ACT_COMPARE>}, "out of order"},
      {{kInherit<ACT_FORM>}, "inherited entry in a row by difference"},
      {{refuse<ACT_EMPTY_8>}, "empty slot"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(datatype::register_differences(kChild, kParent, "child!", c.row.data(), c.row.size()),
                ::testing::ExitedWithCode(EXIT_FAILURE), c.message);
  }
}

// The rows the built types register, slot by slot: a handler where the type
// has one, 0 everywhere else.
TEST_F(RegistryTest, StartupRowsHoldExactlyTheHandlersOfEachType) {
  register_datatypes();
  struct Expect {
    uint32_t type;
    const char* name;
    std::vector<uint32_t> slots;
  };
  const Expect rows[] = {
      {TYPE_DATATYPE, "datatype!", {ACT_FORM, ACT_MOLD, ACT_COMPARE}},
      {TYPE_UNSET, "unset!", {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE}},
      {TYPE_NONE,
       "none!",
       {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_CLEAR, ACT_FIND, ACT_LENGTH_Q,
        ACT_REMOVE, ACT_SELECT, ACT_TAKE}},
      {TYPE_LOGIC,
       "logic!",
       {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_AND_T, ACT_COMPLEMENT,
        ACT_OR_T, ACT_XOR_T}},
      {TYPE_INTEGER,
       "integer!",
       {ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_FORM, ACT_MOLD, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD,
        ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE, ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT,
        ACT_EVEN_Q, ACT_ODD_Q, ACT_AND_T, ACT_COMPLEMENT, ACT_OR_T, ACT_XOR_T}},
  };
  for (const Expect& e : rows) {
    EXPECT_STREQ(type_name_table[e.type].name, e.name);
    for (uint32_t k = 1; k <= kActionCount; ++k) {
      bool expected = std::find(e.slots.begin(), e.slots.end(), k) != e.slots.end();
      EXPECT_EQ(type_handler(e.type, k) != nullptr, expected) << e.name << " slot " << k;
    }
  }
}

// datatype! compares only for equality; everything else is not comparable.
TEST(DatatypeCompare, EqualityOpsAnswerZeroOrOneAndOrderingIsNotComparable) {
  Cell integer_type, integer_type2, float_type, one;
  datatype::init_cell(&integer_type, TYPE_INTEGER);
  datatype::init_cell(&integer_type2, TYPE_INTEGER);
  datatype::init_cell(&float_type, TYPE_FLOAT);
  one = Cell{TYPE_INTEGER, 0, 1, 0};
  struct Case {
    Cell* other;
    int32_t op;
    int32_t expected;
  };
  const Case cases[] = {
      {&integer_type2, COMP_EQUAL, 0},       {&float_type, COMP_EQUAL, 1},
      {&one, COMP_EQUAL, 1},                 {&integer_type2, COMP_NOT_EQUAL, 0},
      {&integer_type2, COMP_STRICT_EQUAL, 0}, {&integer_type2, COMP_SAME, 0},
      {&one, COMP_FIND, 1},                  {&integer_type2, COMP_LESSER, kNotComparable},
      {&one, COMP_LESSER, kNotComparable},   {&integer_type2, COMP_SORT, kNotComparable},
      {&integer_type2, COMP_GREATER_EQUAL, kNotComparable},
  };
  for (const Case& c : cases)
    EXPECT_EQ(datatype::compare(&integer_type, c.other, c.op), c.expected) << "op " << c.op;
}

}  // namespace
}  // namespace kiv
