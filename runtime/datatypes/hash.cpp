#include "runtime/datatypes/hash.h"

#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::hash {

namespace {

inline int32_t total_cells(const Cell* block) { return static_cast<int32_t>(node_buffer(block->data2)->length()); }

// A copy of the cells of a block-kind value from its head, as a new hash!
// written to out.
void copy_into(const Cell* spec, Cell* out) {
  RootedCell made(Cell{TYPE_BLOCK, 0, block::copy_cells(spec, false, false), 0});
  index_in_place(made.get());
  *out = *made;
}

}  // namespace

void index_in_place(Cell* block) {
  // The table indexes the whole buffer whatever the head: the upkeep of the
  // block handlers counts cells from the buffer's first cell.
  Cell plain{TYPE_BLOCK, 0, block->data2, 0};
  int32_t n = total_cells(&plain);
  uint32_t table = hashtable_init(static_cast<uint32_t>(n < 1 ? 1 : n), &plain, hashtable::kKindHash, 0);
  set_type(block, TYPE_HASH);
  block->data3 = table;
}

Cell* make(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    int32_t size = get_make_size(spec);
    RootedCell made;
    block::init_cell(made.get(), size < 1 ? 1 : size);
    index_in_place(made.get());
    *type = *made;
    return type;
  }
  if (st == TYPE_BLOCK) {
    copy_into(spec, type);
    return type;
  }
  return to(type, spec);
}

Cell* to(Cell* type, Cell* spec) {
  if (TYPE_OF(spec) == TYPE_HASH) {
    copy_into(spec, type);
    return type;
  }
  // Converted as to block! does, then indexed.
  Cell target = datatype_cell(TYPE_BLOCK);
  Cell* converted = stack::push_copy(&target);
  block::to(converted, spec);
  index_in_place(converted);
  *type = *converted;
  stack::drop_cells(1);
  return type;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent) {
  if (!flags.only) {
    static constexpr char kPrefix[] = "make hash! ";
    string::append_text(buffer, kPrefix);
    limit -= static_cast<int32_t>(sizeof kPrefix - 1);
  }
  return block::mold(value, buffer, flags, part, limit, indent);
}

Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types) {
  RootedCell source(*value);
  // The whole block with nothing left out or copied deeper: the index is
  // copied with it. Otherwise the copy gets an index of its own.
  bool whole = !part && !deep && !types && source->data1 == 0 && series::has_hash_table_q(source.get());
  RootedCell made;
  block::copy(source.get(), made.get(), part, deep, types);
  if (whole) {
    uint32_t table = hashtable_copy(source->data3, made->data2);
    set_type(made.get(), TYPE_HASH);
    made->data3 = table;
  } else {
    index_in_place(made.get());
  }
  *destination = *made;
  return destination;
}

void init() {
  datatype::register_type(TYPE_HASH, TYPE_BLOCK, "hash!", {
      own<ACT_MAKE>(make), refuse<ACT_RANDOM>, own<ACT_TO>(to), own<ACT_MOLD>(mold), own<ACT_COPY>(copy),
  });
}

}  // namespace kiv::hash
