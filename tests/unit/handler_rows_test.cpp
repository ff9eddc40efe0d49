// The resolved handler table of every type, compared with a recorded one
// (handler_rows_recorded.inc). A handler is named by the first place, in type
// order, that holds the same address, so the record says which slots share
// one function without depending on where the build put it. Rewriting how a
// type declares its row must leave this table unchanged; a real change to a
// row updates the record: the failure prints the table to paste.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/datatypes/registry.h"

namespace kiv {
namespace {

const char* const kRecordedRows =
#include "tests/unit/handler_rows_recorded.inc"
    ;

std::string slot_name(uint32_t k) {
  if (k == ACT_EVAL_PATH) return "eval-path";
  if (k == ACT_COMPARE) return "compare";
  if (k == ACT_EMPTY_8) return "empty";
  return kActionInfo[k].word;
}

// Types named by the record; types registered since are not compared.
std::set<std::string> recorded_type_names() {
  std::set<std::string> names;
  std::istringstream in(kRecordedRows);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) names.insert(line.substr(0, line.find(' ')));
  return names;
}

std::string dump_rows(const std::set<std::string>& only) {
  std::vector<uint32_t> types;
  for (uint32_t t = 1; t < kTypeTableSize; ++t)
    if (type_registered(t) && (only.empty() || only.count(type_name_table[t].name))) types.push_back(t);
  std::map<Handler, std::string> first_place;
  std::ostringstream out;
  for (uint32_t t : types) {
    out << type_name_table[t].name;
    for (uint32_t k = 1; k <= kActionCount; ++k) {
      Handler h = type_handler(t, k);
      if (h == nullptr) continue;
      auto [it, fresh] = first_place.emplace(h, std::string(type_name_table[t].name) + "/" + slot_name(k));
      out << ' ' << slot_name(k) << '=' << (fresh ? "*" : it->second);
    }
    out << '\n';
  }
  return out.str();
}

TEST(HandlerRows, ResolvedTableOfEveryTypeIsTheRecordedOne) {
  register_datatypes();
  std::string actual = dump_rows(recorded_type_names());
  EXPECT_EQ(actual, std::string(kRecordedRows)) << "the table as built now:\n" << dump_rows({});
}

}  // namespace
}  // namespace kiv
