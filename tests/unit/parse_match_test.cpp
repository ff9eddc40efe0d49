// The parse matchers on text with a tag! rule, whose angle brackets count
// as part of the match (no literal can make a tag! until the type is
// registered, so the case tables cannot show this yet).
#include <gtest/gtest.h>

#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/parse_match.h"
#include "runtime/series.h"

namespace kiv {
namespace {

class ParseMatchTest : public ::testing::Test {
 protected:
  CollectorEnableScope enable_{true};

  static RootedCell text(const std::u32string& chars, uint32_t type = TYPE_STRING) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (char32_t c : chars) string::append_char(s.get(), static_cast<uint32_t>(c));
    set_type(s.get(), type);
    return s;
  }
  static int32_t end_of(const RootedCell& s) { return parse::total_units(s.get()); }
};

TEST_F(ParseMatchTest, TagRuleMatchesWithItsAngleBrackets) {
  RootedCell input = text(U"<b>y");
  RootedCell tag = text(U"b", TYPE_TAG);
  ASSERT_TRUE(parse::match_value(input.get(), end_of(input), tag.get(), COMP_EQUAL));
  EXPECT_EQ(input->data1, 3u);
}

TEST_F(ParseMatchTest, TagRuleDoesNotMatchBareTextOrAnUnclosedTag) {
  for (const std::u32string& s : {std::u32string(U"by"), std::u32string(U"<by"), std::u32string(U"<b")}) {
    RootedCell input = text(s);
    RootedCell tag = text(U"b", TYPE_TAG);
    EXPECT_FALSE(parse::match_value(input.get(), end_of(input), tag.get(), COMP_EQUAL));
    EXPECT_EQ(input->data1, 0u);
  }
}

TEST_F(ParseMatchTest, ToAndThruATagStopBeforeAndAfterIt) {
  RootedCell input = text(U"x<B>y");
  RootedCell tag = text(U"b", TYPE_TAG);
  int32_t start = -1;
  ASSERT_TRUE(parse::find_to_thru(input.get(), end_of(input), tag.get(), COMP_EQUAL, &start));
  EXPECT_EQ(start, 1);          // `to` goes back here: "<B>y"
  EXPECT_EQ(input->data1, 4u);  // `thru` stays here: "y"

  input->data1 = 0;
  EXPECT_FALSE(parse::find_to_thru(input.get(), end_of(input), tag.get(), COMP_STRICT_EQUAL, &start));
  EXPECT_EQ(input->data1, 0u);
}

TEST_F(ParseMatchTest, TagSearchStopsAtTheLimit) {
  RootedCell input = text(U"x<b>y");
  RootedCell tag = text(U"b", TYPE_TAG);
  int32_t start = -1;
  EXPECT_FALSE(parse::find_to_thru(input.get(), 3, tag.get(), COMP_EQUAL, &start));
  EXPECT_TRUE(parse::find_to_thru(input.get(), 4, tag.get(), COMP_EQUAL, &start));
}

}  // namespace
}  // namespace kiv
