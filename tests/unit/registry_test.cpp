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


// Saves the registry's tables and puts them back, so tests that register
// types of their own leave no trace.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(saved_names_, type_name_table, sizeof saved_names_);
    std::memcpy(saved_handlers_, datatype_action_table, sizeof saved_handlers_);
    saved_highest_ = highest_type_id;
  }
  void TearDown() override {
    std::memcpy(type_name_table, saved_names_, sizeof saved_names_);
    std::memcpy(datatype_action_table, saved_handlers_, sizeof saved_handlers_);
    highest_type_id = saved_highest_;
    set_global_word_maker(nullptr);
  }

  // compare, clear and length? of its own; every other slot unsupported.
  void register_parent() {
    const HandlerEntry row[] = {own<ACT_COMPARE>(parent_compare), own<ACT_CLEAR>(parent_clear),
                                own<ACT_LENGTH_Q>(parent_length)};
    datatype::register_type(kParent, 0, "parent!", row);
  }

 private:
  TypeNameEntry saved_names_[kTypeTableSize];
  Handler saved_handlers_[kTypeTableSize * kHandlerRowSize];
  uint32_t saved_highest_;
};

TEST_F(RegistryTest, InheritedSlotCopiesParentHandlerAndParentZeroStaysZero) {
  register_parent();
  const HandlerEntry row[] = {
      kInherit<ACT_FORM>,                 // parent has 0: the child gets 0
      kInherit<ACT_EMPTY_8>,              // slot 8 stays empty whatever a row says
      own<ACT_COMPARE>(child_compare),    // own overrides parent
      kInherit<ACT_LENGTH_Q>,             // parent has a handler
  };
  // clear is not listed: unsupported although the parent has it
  datatype::register_type(kChild, kParent, "child!", row);

  EXPECT_EQ(type_handler(kChild, ACT_LENGTH_Q), reinterpret_cast<Handler>(parent_length));
  EXPECT_EQ(type_handler(kChild, ACT_FORM), nullptr);
  EXPECT_EQ(type_handler(kChild, ACT_EMPTY_8), nullptr);
  EXPECT_EQ(type_handler(kChild, ACT_CLEAR), nullptr);
  Cell a{}, b{};
  EXPECT_EQ(handler_as<ACT_COMPARE>(type_handler(kChild, ACT_COMPARE))(&a, &b, 0), 22);
  EXPECT_EQ(handler_as<ACT_COMPARE>(type_handler(kParent, ACT_COMPARE))(&a, &b, 0), 11);
}

// With unlisted slots inherited, a row lists only what differs from the
// parent: its own handlers and the slots it refuses.
TEST_F(RegistryTest, UnlistedSlotsInheritedTakeEveryParentSlotTheRowDoesNotOverride) {
  register_parent();
  const HandlerEntry row[] = {own<ACT_COMPARE>(child_compare), kNone<ACT_CLEAR>};
  datatype::register_type(kChild, kParent, "child!", row, datatype::Unlisted::kInherited);

  EXPECT_EQ(type_handler(kChild, ACT_LENGTH_Q), reinterpret_cast<Handler>(parent_length));
  EXPECT_EQ(type_handler(kChild, ACT_COMPARE), reinterpret_cast<Handler>(child_compare));
  EXPECT_EQ(type_handler(kChild, ACT_CLEAR), nullptr) << "refused although the parent has it";
  for (uint32_t k = 1; k <= kHandlerRowSize; ++k) {
    if (k == ACT_LENGTH_Q || k == ACT_COMPARE) continue;
    EXPECT_EQ(datatype_action_table[kChild * kHandlerRowSize + k - 1], nullptr) << k;
  }
}

TEST_F(RegistryTest, RowListingNoSlotGivesEveryActionUnsupportedOrEveryOneInherited) {
  register_parent();
  datatype::register_type(kChild, kParent, "child!", datatype::Unlisted::kInherited);
  for (uint32_t k = 1; k <= kActionCount; ++k)
    EXPECT_EQ(type_handler(kChild, k), type_handler(kParent, k)) << k;
  datatype::register_type(kChild, kParent, "child!");
  for (uint32_t k = 1; k <= kActionCount; ++k) EXPECT_EQ(type_handler(kChild, k), nullptr) << k;
}

TEST_F(RegistryTest, InheritanceHappensAtRegistrationNotLater) {
  register_parent();
  const HandlerEntry row[] = {kInherit<ACT_COMPARE>};
  datatype::register_type(kChild, kParent, "child!", row);
  // The parent registers again with another compare: the child keeps the
  // handler it copied.
  const HandlerEntry parent_row[] = {own<ACT_COMPARE>(child_compare)};
  datatype::register_type(kParent, 0, "parent!", parent_row);
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
  datatype::register_type(kChild, 0, "event!");
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

TEST_F(RegistryDeathTest, SlotOutOfRangeEndsTheProcessWithTheThreeLines) {
  const HandlerEntry row[] = {kNone<ACT_FORM>,
                              HandlerEntry{nullptr, kActionCount + 1, HandlerEntry::kUnsupported}};
  EXPECT_EXIT(datatype::register_type(kParent, 0, "parent!", row),
              ::testing::ExitedWithCode(EXIT_FAILURE),
              "\\*\\*\\* Datatype Error: action slot out of range for type: 55\n"
              "\\*\\*\\* Found: 63\n\\*\\*\\* Expected: 62");
}

// Each faulty registration ends the process naming its fault.
TEST_F(RegistryDeathTest, FaultyRegistrationIsRefused) {
  struct Case {
    const char* what;
    uint32_t type, parent;
    std::vector<HandlerEntry> row;
    datatype::Unlisted unlisted;
    const char* message;
  };
  using enum datatype::Unlisted;
  const Case cases[] = {
      {"slot 0", kParent, 0, {HandlerEntry{nullptr, 0, HandlerEntry::kUnsupported}}, kUnsupported,
       "slot out of range for type: 55\n.*Found: 0\n"},
      {"out of order", kParent, 0, {kNone<ACT_MOLD>, kNone<ACT_FORM>}, kUnsupported,
       "out of order or listed twice for type: 55\n.*Found: 5\n.*Expected: 7"},
      {"listed twice", kParent, 0, {kNone<ACT_FORM>, kNone<ACT_MOLD>, kNone<ACT_MOLD>},
       kUnsupported, "out of order or listed twice for type: 55\n.*Found: 6\n.*Expected: 7"},
      {"type id 0", 0, 0, {}, kUnsupported, "invalid type id: 0"},
      {"type id past the table", kTypeTableSize, 0, {}, kUnsupported, "invalid type id: 57"},
      {"parent not registered", kChild, 54, {kInherit<ACT_FORM>}, kUnsupported,
       "parent not registered before type: 56"},
      {"inherited entry, no parent", kChild, 0, {kInherit<ACT_FORM>}, kUnsupported,
       "inherited action without a parent for type: 56"},
      {"unlisted inherited, no parent", kChild, 0, {}, kInherited,
       "unlisted actions inherited without a parent for type: 56"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(datatype::register_type(c.type, c.parent, "faulty!", c.row.data(),
                                        static_cast<uint32_t>(c.row.size()), c.unlisted),
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

// Child rows of the built types: slots of their own, slots taken from the
// parent (listed, or all the unlisted ones), slots refused.
TEST_F(RegistryTest, StartupChildRowsTakeFromTheirParentExactlyWhatTheyList) {
  register_datatypes();
  struct Expect {
    uint32_t type, parent;
    std::vector<uint32_t> own, from_parent, refused;
    bool rest_from_parent;
  };
  const Expect rows[] = {
      {TYPE_PAREN, TYPE_BLOCK, {ACT_MOLD}, {}, {}, true},
      {TYPE_REFINEMENT, TYPE_WORD, {ACT_MOLD}, {}, {ACT_INDEX_Q}, true},
      {TYPE_FILE,
       TYPE_URL,
       {ACT_MOLD, ACT_DELETE, ACT_QUERY, ACT_READ, ACT_RENAME, ACT_WRITE},
       {},
       {ACT_OPEN},
       true},
      // routine! names function!'s compare as its own: the same handler.
      {TYPE_ROUTINE, TYPE_FUNCTION, {ACT_FORM, ACT_MOLD}, {ACT_REFLECT, ACT_COMPARE}, {}, false},
  };
  auto in = [](const std::vector<uint32_t>& slots, uint32_t k) {
    return std::find(slots.begin(), slots.end(), k) != slots.end();
  };
  for (const Expect& e : rows) {
    const char* name = type_name_table[e.type].name;
    for (uint32_t k = 1; k <= kActionCount; ++k) {
      Handler child = type_handler(e.type, k), parent = type_handler(e.parent, k);
      if (in(e.own, k)) {
        EXPECT_NE(child, nullptr) << name << " slot " << k;
        EXPECT_NE(child, parent) << name << " slot " << k;
      } else if (in(e.from_parent, k)) {
        EXPECT_NE(parent, nullptr) << name << " slot " << k;
        EXPECT_EQ(child, parent) << name << " slot " << k;
      } else if (in(e.refused, k)) {
        EXPECT_NE(parent, nullptr) << name << " slot " << k << ": the parent has it";
        EXPECT_EQ(child, nullptr) << name << " slot " << k;
      } else {
        EXPECT_EQ(child, e.rest_from_parent ? parent : nullptr) << name << " slot " << k;
      }
    }
    EXPECT_EQ(type_handler(e.type, ACT_EMPTY_8), nullptr) << name;
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
