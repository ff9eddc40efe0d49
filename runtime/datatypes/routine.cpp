#include "runtime/datatypes/routine.h"

#include <string>
#include <utility>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::routine {
namespace {

std::vector<std::pair<std::string, Entry>>& entries() {
  static std::vector<std::pair<std::string, Entry>> table;
  return table;
}

}  // namespace

int32_t register_entry(std::string_view name, Entry entry) {
  auto& t = entries();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].first == name) {
      t[i].second = entry;
      return static_cast<int32_t>(i + 1);
    }
  }
  t.emplace_back(std::string(name), entry);
  return static_cast<int32_t>(t.size());
}

int32_t find_entry(std::string_view name) {
  const auto& t = entries();
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i].first == name) return static_cast<int32_t>(i + 1);
  return 0;
}

Entry entry_at(int32_t index) {
  const auto& t = entries();
  if (index < 1 || static_cast<size_t>(index) > t.size()) return nullptr;
  return t[static_cast<size_t>(index - 1)].second;
}

void push(const Cell* spec, const Cell* body, int32_t entry, int32_t second, bool routine_flag) {
  uint32_t ctx = function::push(spec, body, 0, entry, second, 0);
  Cell* fn = stack::last_pushed();
  uint32_t count = 0;
  uint32_t node = function::spec_node(fn);
  for (uint32_t i = 0; i < series_length(node); ++i)
    if (TYPE_OF(series_head_cell(node) + i) == TYPE_WORD) ++count;
  if (count > kMaxArgCount) count = kMaxArgCount;
  uint32_t header = TYPE_ROUTINE | (count << kArgCountShift);
  if (routine_flag) header |= kFlagRoutine;
  fn->header = header;
  *_context::self_cell(ctx) = *fn;
}

uint32_t function_header_bits(const Cell* routine) { return (routine->header & kArgCountMask) >> kArgCountShift; }

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  string::append_text(buffer, "?routine?");
  return limit - 9;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent) {
  Cell fn = *value;
  string::append_text(buffer, "routine ");
  limit -= 8;
  Cell spec{TYPE_BLOCK, 0, function::spec_node(&fn), 0};
  limit = dispatch_mold(&spec, buffer, flags.nested(), part, limit, indent);
  Cell body = *function::aux_cell(&fn, function::kAuxBody);
  if (TYPE_OF(&body) == TYPE_BLOCK) return dispatch_mold(&body, buffer, flags.nested(), part, limit, indent);
  string::append_char(buffer, ' ');
  return dispatch_mold(&body, buffer, flags.nested(), part, limit - 1, indent);
}

void init() {
  datatype::register_type(TYPE_ROUTINE, TYPE_FUNCTION, "routine!",
                          {refuse<ACT_MAKE>, own<ACT_FORM>(form), own<ACT_MOLD>(mold)});
}

}  // namespace kiv::routine
