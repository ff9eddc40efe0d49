#include <gtest/gtest.h>

#include <map>
#include <string>

#include "runtime/datatypes/argument_list.h"
#include "runtime/datatypes/registry.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv {
namespace {

std::map<std::string, Cell>& named_typesets() {
  static std::map<std::string, Cell> sets;
  return sets;
}

// The type-traits table and the typesets a spec names must say the same of
// every group: a type is in the group exactly when the typeset holds it. A row
// with a wrong group bit, or a typeset that lost a member, shows here by name.
TEST(TypeTraits, GroupsAreTheNamedTypesets) {
  interpreter::for_each_named_typeset(
      [](const char* name, const Cell& typeset) { named_typesets()[name] = typeset; });
  const struct {
    const char* typeset;
    uint32_t groups;
  } kCases[] = {
      {"any-string!", kGroupAnyString},     {"any-list!", kGroupAnyList},
      {"any-path!", kGroupAnyPath},         {"any-block!", kGroupAnyBlock},
      {"any-word!", kGroupAnyWord},         {"all-word!", kGroupAllWord},
      {"any-function!", kGroupAnyFunction}, {"any-object!", kGroupAnyObject},
      {"number!", kGroupNumber},            {"any-point!", kGroupAnyPoint},
      {"scalar!", kGroupScalar},            {"series!", kGroupSeries},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(named_typesets().count(c.typeset)) << c.typeset;
    const Cell& ts = named_typesets()[c.typeset];
    for (uint32_t t = 0; t < kTypeTableSize; ++t)
      EXPECT_EQ(typeset_has_q(reinterpret_cast<const uint8_t*>(&ts.data1), t), type_in_group(t, c.groups))
          << c.typeset << " and type id " << t;
  }
}

// A switch that names string! once takes every any-string! kind, and only
// those; ids past the table (internal key kinds) belong to no group.
TEST(TypeTraits, StringGroupTypeStandsForEveryStringKindOnly) {
  for (uint32_t t = 0; t < 256; ++t) {
    const bool text = t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
                      t == TYPE_REF;
    EXPECT_EQ(string_group_type(t), text ? uint32_t{TYPE_STRING} : t) << "type id " << t;
    EXPECT_EQ(type_layout(t) == Layout::kText, text) << "type id " << t;
    if (t >= kTypeTableSize) {
      EXPECT_EQ(type_groups(t), 0u) << "type id " << t;
    }
  }
}

}  // namespace
}  // namespace kiv
