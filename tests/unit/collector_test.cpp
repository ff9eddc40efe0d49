#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

Cell block_of(uint32_t node) { return Cell{TYPE_BLOCK, 0, node, 0}; }
Cell string_of(uint32_t node) { return Cell{TYPE_STRING, 0, node, 0}; }

uint32_t text(const char* s) {
  uint32_t n = alloc_bytes(static_cast<uint32_t>(std::strlen(s)));
  std::memcpy(series_reserve_tail_bytes(n, static_cast<uint32_t>(std::strlen(s))), s, std::strlen(s));
  return n;
}

bool holds_text(uint32_t node, const char* s) {
  if (!node_valid_q(node)) return false;
  SeriesBuffer* b = node_buffer(node);
  return b->used_bytes() == std::strlen(s) && std::memcmp(b->head_ptr(), s, b->used_bytes()) == 0;
}

// Every test runs with the collector enabled (and so, under KIV_GC_TORTURE,
// with collections inside its allocations); the heap must verify afterwards.
class Collector : public ::testing::Test {
 protected:
  void TearDown() override {
    collector::HeapReport r = collector::verify_heap();
    EXPECT_TRUE(r.ok) << (r.problems.empty() ? "" : r.problems.front());
  }
  CollectorEnableScope on_{true};
};

TEST_F(Collector, RootedValueSurvivesCollectionsWithItsContentWhileItsBufferMoves) {
  alloc_bytes(500);  // dead, below the value: the first compaction slides it
  RootedCell outer(block_of(alloc_cells(4)));
  *alloc_tail(outer.get()) = string_of(text("kiv!!"));
  bool moved = false;
  for (int i = 0; i < 20; ++i) {
    SeriesBuffer* before = node_buffer(outer->data2);
    alloc_bytes(100);
    ASSERT_TRUE(collector::collect());
    SeriesBuffer* b = node_buffer(outer->data2);
    moved |= b != before;
    ASSERT_EQ(b->length(), 1u);
    ASSERT_TRUE(holds_text(b->head_cell()->data2, "kiv!!")) << "after collection " << i;
  }
  EXPECT_TRUE(moved);
}

TEST_F(Collector, UnreachableSeriesLosesItsNode) {
  uint32_t dead = alloc_cells(2);
  ASSERT_TRUE(node_valid_q(dead));
  collector::collect();
  EXPECT_FALSE(node_valid_q(dead));
}

uint32_t g_cycle_node = 0;
std::vector<bool> g_mark_results;
void mark_cycle_twice() {
  g_mark_results.push_back(collector::mark_series_cells(g_cycle_node));
  g_mark_results.push_back(collector::mark_series_cells(g_cycle_node));
}

TEST_F(Collector, BlockContainingItselfIsMarkedOnceAndTheCollectionEnds) {
  g_cycle_node = alloc_cells(2);
  ASSERT_TRUE(collector::register_mark_callback(mark_cycle_twice));
  uint32_t inner = alloc_cells(1);
  *series_new_tail_cell(g_cycle_node) = block_of(g_cycle_node);  // itself
  *series_new_tail_cell(g_cycle_node) = block_of(inner);
  *series_new_tail_cell(inner) = block_of(g_cycle_node);  // and through another block
  g_mark_results.clear();
  collector::collect();
  collector::unregister_mark_callback(mark_cycle_twice);
  // (Under torture the verifier runs the callback again after the collection.)
  ASSERT_GE(g_mark_results.size(), 2u);
  EXPECT_TRUE(g_mark_results[0]);
  EXPECT_FALSE(g_mark_results[1]);
  EXPECT_TRUE(node_valid_q(inner));
  EXPECT_EQ(series_length(g_cycle_node), 2u);
}

TEST_F(Collector, BufferAbandonedByAGrowIsReclaimedWithoutTouchingANode) {
  collector::collect();
  uint64_t used = memory_stats().series_used;
  uint64_t nodes = 0;
  for (const auto& f : memory_stats().node_frames) nodes += f.used;
  RootedNode block(alloc_cells(16));
  for (int i = 0; i < 17; ++i) series_new_tail_cell(block.get());  // grows once: 16 -> 32 cells
  collector::collect();
  EXPECT_EQ(memory_stats().series_used, used + kBufferOverhead + 32 * sizeof(Cell));
  uint64_t nodes_after = 0;
  for (const auto& f : memory_stats().node_frames) nodes_after += f.used;
  EXPECT_EQ(nodes_after, nodes + 1);
}

TEST_F(Collector, DeadBigSeriesIsReleasedAndALiveOneKept) {
  collector::collect();
  size_t bigs = memory_stats().big_series.size();
  RootedNode live(alloc_bytes(kBigSeriesThreshold));
  uint32_t dead = alloc_bytes(kBigSeriesThreshold);
  collector::collect();
  EXPECT_EQ(memory_stats().big_series.size(), bigs + 1);
  EXPECT_FALSE(node_valid_q(dead));
  EXPECT_TRUE(live.buffer()->flags & kSeriesBig);
  EXPECT_FALSE(live.buffer()->flags & kSeriesMarked);
}

TEST_F(Collector, EmptiedNodeFramesAreReleasedAndManyDeadNodesAllReturn) {
  uint64_t free_nodes = 0;
  collector::collect();
  size_t frames = memory_stats().node_frames.size();
  for (const auto& f : memory_stats().node_frames) free_nodes += f.free;
  {
    CollectorEnableScope off(false);
    // More dead nodes than one freed-node batch holds, spilling into new frames.
    for (uint64_t i = 0; i < free_nodes + 25000; ++i) alloc_bytes(1);
  }
  ASSERT_GE(memory_stats().node_frames.size(), frames + 2);
  collector::collect();
  MemoryStats s = memory_stats();
  EXPECT_LE(s.node_frames.size(), frames);
  for (const auto& f : s.node_frames) EXPECT_GT(f.used, 0u);
  NodeFrame* current = memory_state().node_current;
  ASSERT_NE(current, nullptr);
  EXPECT_NE(current->free_head, kNoFreeSlot);
  for (NodeFrame* f = memory_state().node_first; f != current; f = f->next)
    EXPECT_EQ(f->free_head, kNoFreeSlot) << "current must be the first frame with free nodes";
}

// A collection returns the nodes it frees in ascending order (a batch is
// sorted first), so a frame hands them out again from its highest slot down.
// Thousands of them: the batch is sorted by radix, not by comparison.
TEST_F(Collector, FreedNodesComeBackHighestSlotFirstInEachFrame) {
  constexpr uint32_t kCount = 6000;
  std::vector<uint32_t> dead;
  std::vector<RootedNode> kept;
  {
    CollectorEnableScope off(false);
    kept.reserve(kCount / 3);
    for (uint32_t i = 0; i < kCount; ++i) {
      uint32_t node = alloc_bytes(1);
      if (i % 3 == 0) kept.emplace_back(node);
      else dead.push_back(node);
    }
  }
  collector::collect();
  std::vector<uint32_t> again;
  {
    CollectorEnableScope off(false);
    for (size_t i = 0; i < dead.size(); ++i) again.push_back(alloc_bytes(1));
  }
  std::sort(dead.begin(), dead.end());
  size_t reused = 0, checked = 0;
  for (size_t i = 0; i < again.size(); ++i) {
    if (!std::binary_search(dead.begin(), dead.end(), again[i])) continue;
    ++reused;
    if (i + 1 < again.size() && (again[i + 1] >> kNodeSlotBits) == (again[i] >> kNodeSlotBits) &&
        std::binary_search(dead.begin(), dead.end(), again[i + 1])) {
      ++checked;
      EXPECT_LT(again[i + 1], again[i]) << "at " << i;
    }
  }
  EXPECT_GT(reused, dead.size() / 2);
  EXPECT_GT(checked, dead.size() / 2);
  std::sort(again.begin(), again.end());
  EXPECT_EQ(std::adjacent_find(again.begin(), again.end()), again.end()) << "a node handed out twice";
  for (const RootedNode& k : kept) EXPECT_TRUE(node_valid_q(k));
}

TEST_F(Collector, LiveBuffersMoveIntoAnEarlierFrameWithRoomOrSlideDown) {
  MemoryState& m = memory_state();
  RootedNode x(0);
  SeriesFrame* n;
  SeriesFrame* p;
  uint32_t p_room;
  {
    CollectorEnableScope off(false);
    // A dead filler that only a fresh frame takes, then a live buffer behind it.
    alloc_bytes(kBigSeriesThreshold - 200000);
    n = m.series_current;
    x = text("behind the filler");
    ASSERT_EQ(m.series_current, n);
    p = n->prev;
    p_room = p ? p->room() : 0;
  }
  SeriesBuffer* before = x.buffer();
  collector::collect();
  ASSERT_TRUE(holds_text(x.get(), "behind the filler"));
  EXPECT_NE(x.buffer(), before);
  auto* at = reinterpret_cast<uint8_t*>(x.buffer());
  SeriesFrame* home = nullptr;
  for (SeriesFrame* f = m.series_first; f; f = f->next)
    if (at >= f->start && at < f->heap) home = f;
  ASSERT_NE(home, nullptr);
  // The earlier frame's room only grows while it is compacted first.
  if (p && p_room >= 52429) {
    EXPECT_EQ(home, p) << "an earlier frame with room takes the live run";
  }
  if (home == n) {
    EXPECT_EQ(at, n->start) << "the live buffer slides to the frame's start";
  } else {
    EXPECT_EQ(home, p);
  }
}

// Marking by type: for each type, what each payload word is to the collector.
enum class Word { kScalar, kNode, kCells, kZero };
struct TypeCase {
  uint32_t type;
  uint32_t flags;
  Word w1, w2, w3;
};
constexpr Word S = Word::kScalar, N = Word::kNode, C = Word::kCells, Z = Word::kZero;

const TypeCase kMarkedTypes[] = {
    {TYPE_BLOCK, 0, S, C, S},      {TYPE_PAREN, 0, S, C, S},      {TYPE_PATH, 0, S, C, S},
    {TYPE_LIT_PATH, 0, S, C, S},   {TYPE_SET_PATH, 0, S, C, S},   {TYPE_GET_PATH, 0, S, C, S},
    {TYPE_STRING, 0, S, N, N},     {TYPE_FILE, 0, S, N, N},       {TYPE_URL, 0, S, N, N},
    {TYPE_TAG, 0, S, N, N},        {TYPE_EMAIL, 0, S, N, N},      {TYPE_REF, 0, S, N, N},
    {TYPE_SYMBOL, 0, S, N, N},     {TYPE_CONTEXT, 0, Z, C, S},    {TYPE_CONTEXT, kFlagContextOnStack, Z, S, S},
    {TYPE_WORD, 0, C, S, S},       {TYPE_SET_WORD, 0, C, S, S},   {TYPE_LIT_WORD, 0, C, S, S},
    {TYPE_GET_WORD, 0, C, S, S},   {TYPE_REFINEMENT, 0, C, S, S}, {TYPE_ISSUE, 0, C, S, S},
    {TYPE_NATIVE, 0, S, C, C},     {TYPE_ACTION, 0, S, C, C},     {TYPE_FUNCTION, 0, C, C, C},
    {TYPE_ROUTINE, 0, C, C, C},    {TYPE_OP, TYPE_FUNCTION << kFlagOpTypeShift, C, C, C},
    {TYPE_OP, TYPE_NATIVE << kFlagOpTypeShift, S, C, C},
    {TYPE_BITSET, 0, S, N, S},     {TYPE_VECTOR, 0, S, N, S},     {TYPE_BINARY, 0, S, N, S},
    {TYPE_OBJECT, 0, C, S, C},     {TYPE_ERROR, 0, C, S, C},      {TYPE_PORT, 0, C, S, C},
    {TYPE_HASH, 0, S, C, Z},       {TYPE_MAP, 0, S, C, Z},        {TYPE_IMAGE, 0, S, N, S},
    {TYPE_EVENT, kFlagEventFromValues, S, C, S},                  {TYPE_EVENT, 0, S, C, S},
};

bool listed(uint32_t type) {
  for (const auto& c : kMarkedTypes)
    if (c.type == type) return true;
  return type == TYPE_HANDLE;  // its word 3 is a registry slot: see the handle tests
}

void check_type_case(const TypeCase& k) {
  SCOPED_TRACE(::testing::Message() << "type " << k.type << " flags " << std::hex << k.flags);
  RootedCell cell(Cell{k.type | k.flags, 0, 0, 0});
  const Word words[3] = {k.w1, k.w2, k.w3};
  uint32_t Cell::*slots[3] = {&Cell::data1, &Cell::data2, &Cell::data3};
  // Each word gets a block holding a string: the block tells whether the word
  // was taken as a node, the string whether its cells were scanned. The
  // strings stay rooted until every allocation is done, and the blocks of
  // scalar words come last, so no id is reused before the check.
  uint32_t blocks[3] = {}, strings[3] = {};
  std::vector<RootedNode> hold;
  hold.reserve(3);
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 3; ++i) {
      if (words[i] == Word::kZero || (words[i] == Word::kScalar) != (pass == 1)) continue;
      hold.emplace_back(text("inner"));
      strings[i] = hold.back().get();
      blocks[i] = alloc_cells(1);
      *series_new_tail_cell(blocks[i]) = string_of(strings[i]);
      (*cell).*slots[i] = blocks[i];
    }
  }
  hold.clear();
  collector::collect();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(::testing::Message() << "word " << i + 1);
    switch (words[i]) {
      case Word::kScalar:
        EXPECT_FALSE(node_valid_q(blocks[i])) << "a scalar word kept a series alive";
        break;
      case Word::kNode:
        EXPECT_TRUE(node_valid_q(blocks[i]));
        EXPECT_FALSE(node_valid_q(strings[i])) << "the cells of a non-cell reference were scanned";
        break;
      case Word::kCells:
        EXPECT_TRUE(node_valid_q(blocks[i]));
        EXPECT_TRUE(holds_text(strings[i], "inner"));
        break;
      case Word::kZero:
        break;
    }
  }
}

TEST_F(Collector, MarksThePayloadOfEveryTypeByItsLayout) {
  for (const auto& k : kMarkedTypes) check_type_case(k);
}

TEST_F(Collector, TypesWithoutSeriesKeepNothingAlive) {
  for (uint32_t t = TYPE_DATATYPE; t <= TYPE_EVENT; ++t)
    if (!listed(t)) check_type_case({t, 0, S, S, S});
}

// A hash table record: eleven 32-bit fields.
uint32_t make_record(std::initializer_list<std::pair<int, uint32_t>> fields) {
  uint32_t rec = alloc_zeroed_bytes(44);
  node_buffer(rec)->tail = 44;
  for (auto [i, v] : fields) buffer_set_int32_at(rec, i + 1, static_cast<int32_t>(v));
  return rec;
}

TEST_F(Collector, HashTableMarksItsSeriesAndOnlyLiveRegistryEntries) {
  // A map (kind 1) over a block holding a string.
  RootedNode data(alloc_cells(1));
  *series_new_tail_cell(data.get()) = string_of(text("key"));
  RootedNode flags_keep(alloc_bytes(16)), keys_keep(alloc_bytes(16));
  uint32_t flags = flags_keep, keys = keys_keep;
  RootedCell map(Cell{TYPE_MAP, 0, data.get(), 0});
  map->data3 = make_record({{3, flags}, {4, keys}, {5, data.get()}, {9, 1}});
  // A registry (kind 4, one value cell per entry): a live and a deleted entry.
  RootedNode entries(alloc_cells(4));
  RootedNode live_text(text("live")), dead_text(text("dead"));
  Cell* e = series_new_tail_cell(entries.get());
  *e = Cell{TYPE_UNSET, 7, 0, 0};
  *series_new_tail_cell(entries.get()) = string_of(live_text.get());
  *series_new_tail_cell(entries.get()) = Cell{0, 8, 0, 0};
  *series_new_tail_cell(entries.get()) = string_of(dead_text.get());
  RootedCell registry(Cell{TYPE_MAP, 0, alloc_cells(1), 0});
  registry->data3 = make_record({{1, 32}, {5, entries.get()}, {9, 4}});
  uint32_t live_node = live_text.get(), dead_node = dead_text.get();
  live_text = 0;
  dead_text = 0;
  flags_keep = 0;
  keys_keep = 0;
  entries = 0;
  data = 0;
  collector::collect();
  EXPECT_TRUE(node_valid_q(map->data3));
  EXPECT_TRUE(node_valid_q(flags));
  EXPECT_TRUE(node_valid_q(keys));
  EXPECT_TRUE(holds_text(series_head_cell(map->data2)->data2, "key"));
  EXPECT_TRUE(holds_text(live_node, "live"));
  EXPECT_FALSE(node_valid_q(dead_node));
}

uint32_t g_owned_table = 0;
void mark_owned_table_storage() { collector::mark_hashtable_storage(g_owned_table); }

TEST_F(Collector, HashTableStorageMarkingLeavesTheEntriesValuesToDie) {
  RootedNode entries(alloc_cells(2));
  uint32_t owned = text("owned");
  *series_new_tail_cell(entries.get()) = Cell{TYPE_UNSET, 1, 0, 0};
  *series_new_tail_cell(entries.get()) = string_of(owned);
  g_owned_table = make_record({{1, 32}, {5, entries.get()}, {9, 4}});
  collector::set_root_hook(collector::RootHook::kOwnership, mark_owned_table_storage);
  entries = 0;
  collector::collect();
  collector::set_root_hook(collector::RootHook::kOwnership, nullptr);
  EXPECT_TRUE(node_valid_q(g_owned_table));
  EXPECT_FALSE(node_valid_q(owned));
}

uint32_t g_kept_by_callback = 0;
void keep_by_callback() { collector::mark_series_cells(g_kept_by_callback); }

TEST_F(Collector, MarkCallbackKeepsItsSeriesUntilUnregistered) {
  g_kept_by_callback = text("callback");
  ASSERT_TRUE(collector::register_mark_callback(keep_by_callback));
  collector::collect();
  EXPECT_TRUE(holds_text(g_kept_by_callback, "callback"));
  collector::unregister_mark_callback(keep_by_callback);
  collector::collect();
  EXPECT_FALSE(node_valid_q(g_kept_by_callback));
}

template <int I>
void empty_callback() {}

template <int... I>
std::vector<collector::MarkCallback> callbacks(std::integer_sequence<int, I...>) {
  return {&empty_callback<I>...};
}

TEST(CollectorCallbacks, RegistrationStopsAtTheLimitInsteadOfOverflowing) {
  auto fns = callbacks(std::make_integer_sequence<int, collector::kMaxMarkCallbacks + 1>());
  int taken = 0;
  for (auto fn : fns) {
    if (!collector::register_mark_callback(fn)) break;
    ++taken;
  }
  EXPECT_LE(taken, collector::kMaxMarkCallbacks);
  EXPECT_FALSE(collector::register_mark_callback(fns.back()));
  for (auto fn : fns) collector::unregister_mark_callback(fn);
  // The places are free again.
  EXPECT_TRUE(collector::register_mark_callback(fns[0]));
  collector::unregister_mark_callback(fns[0]);
}

uint32_t g_lexer_block = 0;
void mark_lexer_block() { collector::mark_series_cells(g_lexer_block); }
collector::MarkCallback g_installed_lexer_hook = nullptr;
void mark_installed_lexer_hook() {
  if (g_installed_lexer_hook) g_installed_lexer_hook();
}

TEST_F(Collector, RootHookKeepsItsSeriesUntilRemoved) {
  // The real lexer may have installed its hook already (an earlier test ran
  // it): its buffer stays rooted meanwhile, and its hook comes back after.
  g_installed_lexer_hook = collector::root_hook(collector::RootHook::kLexer);
  collector::register_mark_callback(mark_installed_lexer_hook);
  g_lexer_block = alloc_cells(1);
  collector::set_root_hook(collector::RootHook::kLexer, mark_lexer_block);
  collector::collect();
  EXPECT_TRUE(node_valid_q(g_lexer_block));
  collector::set_root_hook(collector::RootHook::kLexer, nullptr);
  collector::collect();
  EXPECT_FALSE(node_valid_q(g_lexer_block));
  collector::set_root_hook(collector::RootHook::kLexer, g_installed_lexer_hook);
  collector::unregister_mark_callback(mark_installed_lexer_hook);
}

TEST_F(Collector, RootBlockKeepsWhatStartUpPutsInIt) {
  uint32_t s = text("permanent");
  *series_new_tail_cell(root_block()) = string_of(s);
  collector::collect();
  EXPECT_TRUE(holds_text(s, "permanent"));
  SeriesBuffer* root = node_buffer(root_block());
  root->tail -= sizeof(Cell);
}

TEST_F(Collector, NoCollectScopeStopsBothAllocationAndExplicitCollections) {
  int saved = collector::torture_interval();
  collector::set_torture_interval(1);
  uint32_t cycles = collector::series_cycles();
  {
    NoCollectScope no;
    uint32_t unrooted = alloc_cells(1);
    alloc_cells(1);
    EXPECT_FALSE(collector::collect());
    EXPECT_TRUE(node_valid_q(unrooted));
  }
  EXPECT_EQ(collector::series_cycles(), cycles);
  collector::set_torture_interval(saved);
}

TEST(CollectorEnabling, DisabledCollectorNeverCollectsOnAllocationButExplicitCollectRuns) {
  CollectorEnableScope off(false);
  int saved = collector::torture_interval();
  collector::set_torture_interval(1);
  uint32_t cycles = collector::series_cycles();
  uint32_t unrooted = alloc_cells(1);
  for (int i = 0; i < 10; ++i) alloc_bytes(16);
  EXPECT_EQ(collector::series_cycles(), cycles);
  EXPECT_TRUE(node_valid_q(unrooted));
  EXPECT_TRUE(collector::collect());
  EXPECT_EQ(collector::series_cycles(), cycles + 1);
  EXPECT_FALSE(node_valid_q(unrooted));
  collector::set_torture_interval(saved);
}

TEST_F(Collector, VerifierReportsAReachableCellNamingAFreedNode) {
  uint32_t dead = alloc_cells(1);
  collector::collect();
  ASSERT_FALSE(node_valid_q(dead));
  RootedCell stale(block_of(dead));
  collector::HeapReport r = collector::verify_heap();
  EXPECT_FALSE(r.ok);
  ASSERT_FALSE(r.problems.empty());
  EXPECT_NE(r.problems.front().find("not in use"), std::string::npos) << r.problems.front();
  set_unset(stale.get());
}

TEST_F(Collector, VerifierReportsAnOverwrittenGuardWord) {
  RootedNode n(alloc_bytes(16));
  uint32_t saved = *n.buffer()->guard();
  *n.buffer()->guard() = 0;  // as a write one byte past the capacity would
  collector::HeapReport r = collector::verify_heap();
  *n.buffer()->guard() = saved;
  EXPECT_FALSE(r.ok);
  ASSERT_FALSE(r.problems.empty());
  EXPECT_NE(r.problems.front().find("guard"), std::string::npos) << r.problems.front();
}

class TortureEveryAllocation : public Collector {
 protected:
  void SetUp() override {
    saved_ = collector::torture_interval();
    collector::set_torture_interval(1);
  }
  void TearDown() override {
    collector::set_torture_interval(saved_);
    Collector::TearDown();
  }
  int saved_ = 0;
};

TEST_F(TortureEveryAllocation, EveryLiveBufferMovesAtEveryAllocation) {
  RootedNode small(text("small"));
  RootedNode big(alloc_bytes(kBigSeriesThreshold));
  RootedNode heap(alloc_heap_series(1, 16, 0));
  SeriesBuffer* s = small.buffer();
  SeriesBuffer* b = big.buffer();
  SeriesBuffer* h = heap.buffer();
  alloc_bytes(1);
  EXPECT_NE(small.buffer(), s);
  EXPECT_NE(big.buffer(), b);
  EXPECT_EQ(heap.buffer(), h) << "heap series never move";
  EXPECT_TRUE(holds_text(small.get(), "small"));
}

TEST_F(TortureEveryAllocation, MixedWorkloadKeepsTheHeapVerified) {
  // Every collection here verifies the heap (and aborts on a failure).
  RootedCell top(block_of(alloc_cells(1)));
  for (int i = 0; i < 40; ++i) {
    RootedNode inner(alloc_cells(1));
    *series_new_tail_cell(inner.get()) = string_of(text("leaf"));
    if (i % 3) *alloc_tail(top.get()) = block_of(inner.get());
    alloc_bytes(static_cast<uint32_t>(i * 37));  // garbage
  }
  SeriesBuffer* b = node_buffer(top->data2);
  ASSERT_EQ(b->length(), 26u);
  for (uint32_t i = 0; i < 26; ++i) {
    uint32_t inner = node_buffer(top->data2)->head_cell()[i].data2;
    EXPECT_TRUE(holds_text(series_head_cell(inner)->data2, "leaf")) << i;
  }
}

TEST(CollectorTortureDeathTest, RawPointerKeptAcrossAnAllocationFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CollectorEnableScope on(true);
        collector::set_torture_interval(1);
        RootedNode n(text("stale"));
        volatile uint8_t* p = node_buffer(n.get())->head_ptr();
        alloc_bytes(1);  // moves every buffer; the old frame is made inaccessible
        std::printf("%d\n", p[0]);
      },
      "");
}

}  // namespace
}  // namespace kiv
