#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "actions_test_support.h"
#include "runtime/case_fold.h"
#include "runtime/collector.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/hashtable.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

using hashtable::field;

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

// A text value of the given unit (1, 2 or 4 bytes a code point).
Cell text(const std::u32string& s, uint32_t unit = 1, uint32_t type = TYPE_STRING) {
  const uint32_t node = alloc_series(static_cast<uint32_t>(s.size()) + 1, unit, 0);
  SeriesBuffer* b = node_buffer(node);
  for (size_t i = 0; i < s.size(); i++) {
    const uint32_t cp = s[i];
    std::memcpy(b->data() + i * unit, &cp, unit);  // little-endian: the low bytes
  }
  b->tail = static_cast<uint32_t>(s.size()) * unit;
  return Cell{type, 0, node, 0};
}

Cell binary(const std::string& bytes) {
  const uint32_t node = alloc_bytes(static_cast<uint32_t>(bytes.size()));
  std::memcpy(series_reserve_tail_bytes(node, static_cast<uint32_t>(bytes.size())), bytes.data(), bytes.size());
  return Cell{TYPE_BINARY, 0, node, 0};
}

uint32_t block_length(uint32_t node) { return node_buffer(node)->used_bytes() / sizeof(Cell); }
Cell* block_cells(uint32_t node) { return node_buffer(node)->head_cell(); }

// Appends a value to the block of a rooted hash! or map! cell. The value may
// refer to a new series: it is rooted through the block once appended.
void append(RootedCell& owner, const Cell& value) {
  RootedCell keep(value);
  *series_new_tail_cell(owner->data2) = *keep.get();
}

// The collector runs for every test, and every collection moves buffers when
// the suite runs under KIV_GC_TORTURE.
class HashTable : public kiv::testing::CoreTypesTest {
 protected:
  CollectorEnableScope on_{true};

  // A hash! or map! value with its table, rooted for the test.
  static void make_indexed(RootedCell& cell, uint32_t type, const std::vector<Cell>& values, uint32_t kind) {
    *cell = Cell{type, 0, alloc_cells(static_cast<uint32_t>(values.size()) + 1), 0};
    for (const Cell& v : values) append(cell, v);
    const Cell block = *cell.get();
    const uint32_t table = hashtable_init(static_cast<uint32_t>(values.size()), &block, kind, 0);
    cell->data3 = table;
  }
};

// ---- hashing ---------------------------------------------------------------

TEST_F(HashTable, TextHashesAlikeInEveryUnitAndEveryCase) {
  RootedCell a(text(U"Straße é", 1)), b(text(U"STRASSE", 1)), c(text(U"strAßE É", 2)), d(text(U"straße é", 4));
  EXPECT_EQ(hash_value(a.get()), hash_value(c.get()));
  EXPECT_EQ(hash_value(a.get()), hash_value(d.get()));
  EXPECT_NE(hash_value(a.get()), hash_value(b.get()));
  EXPECT_NE(hash_value(a.get(), true), hash_value(c.get(), true));
  // A file! and a string! of one text hash alike; the table keeps types apart.
  RootedCell f(text(U"Straße é", 1, TYPE_FILE));
  EXPECT_EQ(hash_value(a.get()), hash_value(f.get()));
}

// Equal keys must meet: a one-letter text hashes like each of its case
// partners exactly when string comparison calls the two equal ignoring case.
// (One code point is one hash block, so single letters never collide.)
TEST_F(HashTable, TextHashFoldsAsComparisonFolds) {
  RootedCell a(text(U"x", 4)), b(text(U"x", 4));
  auto put = [](Cell* c, int32_t cp) { std::memcpy(node_buffer(c->data2)->data(), &cp, 4); };
  int checked = 0;
  for (int32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const int32_t up = case_map_char(cp, true), low = case_map_char(cp, false);
    if (up == cp && low == cp) continue;
    for (int32_t other : {up, low, case_map_char(up, false), case_map_char(low, true)}) {
      put(a.get(), cp);
      put(b.get(), other);
      const bool equal = string::compare_worker(a.get(), b.get(), COMP_EQUAL, false) == 0;
      ASSERT_EQ(equal, hash_value(a.get()) == hash_value(b.get())) << std::hex << cp << " / " << other;
      ++checked;
    }
  }
  EXPECT_GT(checked, 5000);

  // Letters equal only through the upper case (long s and s, micro sign and
  // small mu, final and plain sigma) are one key in a table, at any unit.
  RootedCell long_s(text(U"\u017Fun", 2)), micro(text(U"\u00B5m", 2)), final_sigma(text(U"\u03C2", 2));
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {*long_s, *micro, *final_sigma}, hashtable::kKindHash);
  RootedCell sun(text(U"SUN", 1)), mu(text(U"\u03BCM", 4)), sigma(text(U"\u03A3", 2));
  EXPECT_EQ(hashtable_find_index(hash->data3, sun.get(), 0, 1, 0), 0);
  EXPECT_EQ(hashtable_find_index(hash->data3, mu.get(), 0, 1, 0), 1);
  EXPECT_EQ(hashtable_find_index(hash->data3, sigma.get(), 0, 1, 0), 2);
}

TEST_F(HashTable, HashIgnoresWhatEqualityIgnores) {
  Cell zero{TYPE_FLOAT, 0, 0, 0}, negative_zero{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&zero, 0.0);
  set_cell_float(&negative_zero, -0.0);
  EXPECT_EQ(hash_value(&zero), hash_value(&negative_zero));

  // Words of every kind and every spelling of a symbol meet.
  Cell word{TYPE_WORD, 0, 7, 0}, set_word{TYPE_SET_WORD, 123, 7, 4};
  EXPECT_EQ(hash_value(&word), hash_value(&set_word));

  // Header bits other than type and sign do not count for money!; a zero
  // amount's sign does not either.
  Cell money{TYPE_MONEY | 0x4000 | kFlagNewLine, 0x00000012, 0x34000000, 0};
  Cell same{TYPE_MONEY | 0x4000, 0x00000012, 0x34000000, 0};
  Cell zero_pos{TYPE_MONEY, 0x00000005, 0, 0}, zero_neg{TYPE_MONEY | 0x4000, 0x00000005, 0, 0};
  EXPECT_EQ(hash_value(&money), hash_value(&same));
  EXPECT_EQ(hash_value(&zero_pos), hash_value(&zero_neg));

  // Tuples hash their components only.
  Cell t1{TYPE_TUPLE | (3u << 19), 0x00030201, 0, 0}, t2{TYPE_TUPLE | (3u << 19) | kFlagNewLine, 0x00030201, 0, 0};
  EXPECT_EQ(hash_value(&t1), hash_value(&t2));

  const Cell unset{TYPE_UNSET, 0, 0, 0}, none{TYPE_NONE, 0, 0, 0};
  EXPECT_EQ(hash_value(&unset), static_cast<uint32_t>(-2));
  EXPECT_EQ(hash_value(&none), static_cast<uint32_t>(-1));
}

// ---- sizes and growth --------------------------------------------------------

TEST_F(HashTable, EmptyTableHasEightBucketsAndTheSeventhKeyDoublesThem) {
  RootedCell map;
  make_indexed(map, TYPE_MAP, {}, hashtable::kKindMap);
  const uint32_t table = map->data3;
  EXPECT_EQ(field(table, hashtable::kBuckets), 8u);
  EXPECT_EQ(field(table, hashtable::kUpperBound), 6u);
  for (int k = 1; k <= 7; k++) {
    append(map, integer(k));
    append(map, integer(k * 10));
    ASSERT_EQ(hashtable_put_index(table, (k - 1) * 2), (k - 1) * 2);
    EXPECT_EQ(field(table, hashtable::kBuckets), k < 7 ? 8u : 16u) << "after key " << k;
  }
  for (int k = 1; k <= 7; k++) {
    const Cell key = integer(k);
    EXPECT_EQ(hashtable_find_index(table, &key), (k - 1) * 2);
  }
}

// ---- hash! -----------------------------------------------------------------------

TEST_F(HashTable, HashFindsDuplicatesByPositionSkipAndDirection) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1), integer(2), integer(1), integer(3), integer(1)}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  const Cell one = integer(1);
  struct Case {
    int32_t start, skip;
    bool last, reverse;
    int32_t expected;
  } cases[] = {
      {0, 1, false, false, 0},  // the first
      {1, 1, false, false, 2},  // after the first occurrence: the second
      {3, 1, false, false, 4},
      {0, 1, true, false, 4},   // last
      {3, 1, true, false, 4},
      {4, 1, false, true, 2},   // reverse: the largest before the start
      {0, 1, false, true, -1},
      {1, 2, false, false, -1}, // grid 1, 3: no 1 there
      {0, 2, false, false, 0},
      {2, 2, true, false, 4},
      {5, 1, false, false, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hashtable_find_index(table, &one, c.start, c.skip, 0, c.last, c.reverse), c.expected)
        << "start " << c.start << " skip " << c.skip << " last " << c.last << " reverse " << c.reverse;
  }
  const Cell two = integer(2), four = integer(4);
  EXPECT_EQ(hashtable_find_index(table, &two), 1);
  EXPECT_EQ(hashtable_find_index(table, &four), -1);
  EXPECT_EQ(field(table, hashtable::kSize), 5u);
}

TEST_F(HashTable, HashMatchesCaseByTheLookupsOp) {
  RootedCell a(text(U"abc")), b(text(U"ABC")), f(text(U"abc", 1, TYPE_FILE));
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {*a, *b, *f}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  RootedCell mixed(text(U"Abc", 2)), upper(text(U"ABC", 4));
  EXPECT_EQ(hashtable_find_index(table, mixed.get(), 0, 1, 0), 0);
  EXPECT_EQ(hashtable_find_index(table, mixed.get(), 1, 1, 0), 1);  // "ABC" equals ignoring case
  EXPECT_EQ(hashtable_find_index(table, upper.get(), 0, 1, 2), 1);   // strict: only "ABC"
  EXPECT_EQ(hashtable_find_index(table, mixed.get(), 0, 1, 2), -1);
  // Same text, other type: a separate entry.
  RootedCell file(text(U"ABC", 1, TYPE_FILE));
  EXPECT_EQ(hashtable_find_index(table, file.get()), 2);
}

TEST_F(HashTable, DeletingDuplicatesEmptiesTheListThenTheBucket) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1), integer(1), integer(5), integer(1)}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  const Cell one = integer(1);
  for (uint32_t i : {1u, 0u, 3u}) {
    EXPECT_TRUE(hashtable_delete_index(table, i));
    EXPECT_FALSE(hashtable_delete_index(table, i)) << "deleted twice: " << i;
  }
  EXPECT_EQ(hashtable_find_index(table, &one), -1);
  EXPECT_EQ(field(table, hashtable::kSize), 1u);
  // Indexed again, the values are found again, at their own places.
  hashtable_put_index(table, 3);
  hashtable_put_index(table, 0);
  EXPECT_EQ(hashtable_find_index(table, &one), 0);
  EXPECT_EQ(hashtable_find_index(table, &one, 1), 3);
  // A cell already indexed is not entered twice.
  hashtable_put_index(table, 3);
  EXPECT_EQ(field(table, hashtable::kSize), 3u);
}

// A reference model: every value of the block is found at its first place at
// or after each start, while the table grows, shrinks and is rebuilt.
::testing::AssertionResult matches_model(uint32_t table, uint32_t block, int probes) {
  const uint32_t n = block_length(block);
  std::mt19937 rng(n);
  for (int p = 0; p < probes && n > 0; p++) {
    const uint32_t at = rng() % n;
    const uint32_t start = rng() % n;
    const Cell value = block_cells(block)[at];
    int32_t expected = -1;
    for (uint32_t i = start; i < n; i++) {
      if (basic_compare(&block_cells(block)[i], &value, 0) == 0) {
        expected = static_cast<int32_t>(i);
        break;
      }
    }
    const int32_t got = hashtable_find_index(table, &value, static_cast<int32_t>(start));
    if (got != expected) {
      return ::testing::AssertionFailure() << "value at " << at << " from " << start << ": " << got << " not "
                                           << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST_F(HashTable, HashGrowsThroughManyKeysWithDuplicatesAndStrings) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  int rebuilds = 0;
  for (int i = 0; i < 3000; i++) {
    if (i % 3 == 0) {
      append(hash, text(i % 2 ? U"Key" + std::u32string(1, U'a' + i % 7) : U"kEY" + std::u32string(1, U'A' + i % 7),
                        i % 5 == 0 ? 2 : 1));
    } else {
      append(hash, integer(i % 500));
    }
    bool rebuilt = false;
    ASSERT_EQ(hashtable_put_index(table, static_cast<uint32_t>(i), &rebuilt), i);
    rebuilds += rebuilt;
  }
  EXPECT_GT(rebuilds, 3);
  EXPECT_EQ(field(table, hashtable::kSize), 3000u);
  EXPECT_TRUE(matches_model(table, hash->data2, 400));
  EXPECT_TRUE(collector::verify_heap().ok);
}

TEST_F(HashTable, HashUsedAsAQueueKeepsItsIndexSmall) {
  // Appending at the tail and dropping from the index for ever must not make
  // the index grow with the number of values ever seen.
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  for (int i = 0; i < 20; i++) append(hash, integer(i));
  hashtable_put_range(table, 0, 1);
  for (int round = 0; round < 400; round++) {
    // Remove the first cell, append a new one: the block stays 20 long.
    hashtable_update_range(table, -1, 0, 19);
    Cell* cells = block_cells(hash->data2);
    std::memmove(cells, cells + 1, 19 * sizeof(Cell));
    cells[19] = integer(20 + round);
    hashtable_put_index(table, 19);
  }
  EXPECT_LE(field(table, hashtable::kBuckets), 64u);
  EXPECT_EQ(field(table, hashtable::kSize), 20u);
  EXPECT_TRUE(matches_model(table, hash->data2, 100));
}

TEST_F(HashTable, UpdateRangeShiftsIndexesAfterInsertAndRemove) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(7), integer(8), integer(7), integer(9), integer(8)}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  const uint32_t block = hash->data2;

  // Insert two cells at 1: [7 x x 8 7 9 8].
  append(hash, integer(0));
  append(hash, integer(0));
  {
    Cell* c = block_cells(block);
    std::memmove(c + 3, c + 1, 4 * sizeof(Cell));
    c[1] = integer(7);
    c[2] = integer(42);
  }
  ASSERT_EQ(hashtable_update_range(table, 2, 1, 4), 0);
  hashtable_put_index(table, 1);
  hashtable_put_index(table, 2);
  EXPECT_TRUE(matches_model(table, block, 200));

  // Remove three cells at 2: [7 7 9 8] (42, 8, 7 go).
  ASSERT_EQ(hashtable_update_range(table, -3, 2, 2), 0);
  {
    Cell* c = block_cells(block);
    std::memmove(c + 2, c + 5, 2 * sizeof(Cell));
    node_buffer(block)->tail -= 3 * sizeof(Cell);
  }
  EXPECT_EQ(field(table, hashtable::kSize), 4u);
  const Cell v42 = integer(42);
  EXPECT_EQ(hashtable_find_index(table, &v42), -1);
  EXPECT_TRUE(matches_model(table, block, 200));
}

TEST_F(HashTable, UpdateRangeRefusesTooManyMovedCellsAndChangesNothing) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1), integer(2)}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  EXPECT_EQ(hashtable_update_range(table, 5, 0, hashtable::kMaxMovedCells + 1), 1);
  const Cell two = integer(2);
  EXPECT_EQ(hashtable_find_index(table, &two), 1);
}

TEST_F(HashTable, MoveKeysFollowsCellsMovedWithinTheBlock) {
  for (auto [to, from, count] : {std::tuple{0u, 3u, 2u}, std::tuple{3u, 0u, 2u}, std::tuple{1u, 4u, 1u}}) {
    std::vector<Cell> values;
    for (int i = 0; i < 6; i++) values.push_back(integer(i % 4));  // 0 1 2 3 0 1
    RootedCell hash;
    make_indexed(hash, TYPE_HASH, values, hashtable::kKindHash);
    // Move the cells the same way in a plain vector, then into the block.
    std::vector<Cell> moved(values.begin() + from, values.begin() + from + count);
    values.erase(values.begin() + from, values.begin() + from + count);
    values.insert(values.begin() + to, moved.begin(), moved.end());
    std::memcpy(block_cells(hash->data2), values.data(), values.size() * sizeof(Cell));
    ASSERT_EQ(hashtable_move_keys(hash->data3, to, from, count), 0);
    EXPECT_TRUE(matches_model(hash->data3, hash->data2, 100)) << to << " " << from << " " << count;
  }
}

TEST_F(HashTable, ClearRangeOfEverythingResetsTheIndex) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1), integer(1), integer(2), integer(3)}, hashtable::kKindHash);
  const uint32_t table = hash->data3;
  hashtable_clear_range(table, 1, 2);
  const Cell one = integer(1), two = integer(2);
  EXPECT_EQ(hashtable_find_index(table, &one, 1), -1);
  EXPECT_EQ(hashtable_find_index(table, &two), -1);
  EXPECT_EQ(field(table, hashtable::kSize), 2u);
  hashtable_clear_range(table, 0, 10);
  EXPECT_EQ(field(table, hashtable::kSize), 0u);
  EXPECT_EQ(field(table, hashtable::kOccupied), 0u);
  hashtable_put_range(table, 0, 1);
  EXPECT_TRUE(matches_model(table, hash->data2, 50));

  hashtable_clear(table);
  EXPECT_EQ(block_length(hash->data2), 0u);
  EXPECT_EQ(hashtable_find_index(table, &one), -1);
}

TEST_F(HashTable, CopyOwnsItsDuplicateListsAndIndex) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1), integer(1), integer(2)}, hashtable::kKindHash);
  RootedCell copy(Cell{TYPE_HASH, 0, buffer_copy(hash->data2), 0});
  copy->data3 = hashtable_copy(hash->data3, copy->data2);
  ASSERT_TRUE(hashtable_delete_index(copy->data3, 0));
  const Cell one = integer(1);
  EXPECT_EQ(hashtable_find_index(hash->data3, &one), 0);
  EXPECT_EQ(hashtable_find_index(copy->data3, &one), 1);
  EXPECT_EQ(field(hash->data3, hashtable::kSize), 3u);
}

// ---- map! --------------------------------------------------------------------------

TEST_F(HashTable, MapWordKeyIsFoundThroughEveryWordKind) {
  RootedCell map;
  make_indexed(map, TYPE_MAP, {Cell{TYPE_SET_WORD, 0, 12, 0}, integer(1)}, hashtable::kKindMap);
  for (uint32_t kind : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}) {
    const Cell key{kind, 0, 12, 0};
    EXPECT_EQ(hashtable_find_index(map->data3, &key), 0) << kind;
  }
  const Cell refinement{TYPE_REFINEMENT, 0, 12, 0};
  EXPECT_EQ(hashtable_find_index(map->data3, &refinement), -1);
}

TEST_F(HashTable, MapBuiltWithARepeatedKeyKeepsOnePairWithTheLastValue) {
  RootedCell map;
  make_indexed(map, TYPE_MAP,
               {Cell{TYPE_WORD, 0, 3, 0}, integer(1), integer(5), integer(50), Cell{TYPE_SET_WORD, 0, 3, 0},
                integer(2)},
               hashtable::kKindMap);
  ASSERT_EQ(block_length(map->data2), 4u);
  EXPECT_EQ(block_cells(map->data2)[1].data2, 2u);
  EXPECT_EQ(field(map->data3, hashtable::kSize), 2u);
  const Cell five = integer(5);
  EXPECT_EQ(hashtable_find_index(map->data3, &five), 2);
}

TEST_F(HashTable, MapRemovedPairComesBackWithoutASecondPair) {
  RootedCell key(text(U"name"));
  RootedCell map;
  make_indexed(map, TYPE_MAP, {*key, integer(1), integer(2), integer(3)}, hashtable::kKindMap);
  const uint32_t table = map->data3;
  RootedCell lookup(text(U"name", 2));
  EXPECT_TRUE(hashtable_delete(table, lookup.get()));
  EXPECT_EQ(field(table, hashtable::kSize), 1u);
  EXPECT_EQ(block_cells(map->data2)[1].header, 0u);
  EXPECT_FALSE(hashtable_delete(table, lookup.get()));
  // Setting it again: the same pair, live again.
  append(map, text(U"name"));
  append(map, integer(9));
  EXPECT_EQ(hashtable_put_index(table, 4), 0);
  EXPECT_EQ(field(table, hashtable::kSize), 2u);
}

TEST_F(HashTable, MapKeysDifferingInCaseAreDistinctAndFoundOneByOne) {
  RootedCell lower(text(U"key")), upper(text(U"KEY"));
  RootedCell map;
  make_indexed(map, TYPE_MAP, {*lower, integer(1), *upper, integer(2)}, hashtable::kKindMap);
  const uint32_t table = map->data3;
  EXPECT_EQ(field(table, hashtable::kSize), 2u);
  EXPECT_EQ(hashtable_find_index(table, upper.get(), 0, 1, 2), 2);
  RootedCell mixed(text(U"Key"));
  HashCursor cursor;
  std::vector<int32_t> found;
  for (int32_t i; (i = hashtable_find_next(table, mixed.get(), cursor)) >= 0;) found.push_back(i);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<int32_t>{0, 2}));
}

// ---- registries --------------------------------------------------------------------

uint32_t g_registry = 0;
void mark_registry() {
  if (g_registry) collector::mark_hashtable(g_registry);
}

class HashRegistry : public HashTable {
 protected:
  void SetUp() override {
    collector::register_mark_callback(mark_registry);
    g_registry = hashtable_init(0, nullptr, 4, 3);
  }
  void TearDown() override { g_registry = 0; }
};

TEST_F(HashRegistry, KeysSurviveGrowthDeletionAndReuse) {
  std::map<uint32_t, int32_t> model;
  std::mt19937 rng(5);
  for (int step = 0; step < 6000; step++) {
    const uint32_t key = rng() % 1500 + 1;
    if (rng() % 3 == 0) {
      Cell* v = hashtable_delete_key(g_registry, key);
      EXPECT_EQ(v != nullptr, model.erase(key) == 1);
    } else {
      Cell* v = hashtable_put_key(g_registry, key);
      if (!model.count(key)) {
        EXPECT_EQ(TYPE_OF(v), TYPE_UNSET) << "a new entry starts unset";
      }
      v[2] = integer(static_cast<int32_t>(key) * 3);
      model[key] = static_cast<int32_t>(key) * 3;
    }
  }
  EXPECT_EQ(field(g_registry, hashtable::kSize), model.size());
  for (uint32_t key = 1; key <= 1500; key++) {
    Cell* v = hashtable_get_key(g_registry, key);
    ASSERT_EQ(v != nullptr, model.count(key) == 1) << key;
    if (v) {
      EXPECT_EQ(static_cast<int32_t>(v[2].data2), model[key]);
    }
  }
  size_t seen = 0;
  hashtable_each_key(
      g_registry, [](uint32_t, Cell*, void* n) { ++*static_cast<size_t*>(n); }, &seen);
  EXPECT_EQ(seen, model.size());
}

TEST_F(HashRegistry, EntryValuesKeepTheirSeriesAlive) {
  for (uint32_t key = 1; key <= 50; key++) {
    RootedCell keep(text(U"value " + std::u32string(1, U'A' + key % 26)));
    hashtable_put_key(g_registry, key)[0] = *keep.get();
  }
  collector::collect();
  for (uint32_t key = 1; key <= 50; key++) {
    const Cell* v = hashtable_get_key(g_registry, key);
    ASSERT_NE(v, nullptr);
    ASSERT_TRUE(node_valid_q(v->data2));
    EXPECT_EQ(node_buffer(v->data2)->head_ptr()[6], 'A' + key % 26);
  }
  EXPECT_TRUE(collector::verify_heap().ok);
}

TEST_F(HashTable, WrongKindOfTableIsRefusedWithAnError) {
  RootedCell hash;
  make_indexed(hash, TYPE_HASH, {integer(1)}, hashtable::kKindHash);
  EXPECT_THROW(hashtable_put_key(hash->data3, 1), LanguageError);
  EXPECT_THROW(symbol_table_intern(hash->data3, "a", 1), LanguageError);
  EXPECT_THROW(hashtable_find_index(0, hash.get()), LanguageError);
}

// ---- symbols and contexts -----------------------------------------------------------

class HashSymbols : public HashTable {
 protected:
  RootedCell symbols_;
  uint32_t saved_ = 0;
  void SetUp() override {
    saved_ = symbol_table();
    *symbols_ = Cell{TYPE_BLOCK, 0, alloc_cells(16), 0};
    const Cell block = *symbols_.get();
    symbols_->data3 = hashtable_init(0, &block, hashtable::kKindSymbols, 0);
    // Marked through a map!-shaped cell: the block and the table.
    set_type(symbols_.get(), TYPE_MAP);
    set_symbol_table(symbols_->data3);
  }
  void TearDown() override { set_symbol_table(saved_); }
  uint32_t intern(const std::string& s, bool case_flag = false) {
    return symbol_table_intern(symbols_->data3, s.data(), static_cast<uint32_t>(s.size()), case_flag);
  }
};

TEST_F(HashSymbols, SpellingsDifferingInCaseShareTheirCanonicalSymbol) {
  const uint32_t foo = intern("foo");
  const uint32_t Foo = intern("Foo");
  EXPECT_NE(foo, Foo);
  EXPECT_EQ(intern("foo"), foo);
  const uint32_t FOO = intern("FOO");
  EXPECT_NE(FOO, foo);
  EXPECT_NE(FOO, Foo);
  EXPECT_EQ(canonical_symbol(Foo), foo);
  EXPECT_EQ(canonical_symbol(FOO), foo);
  EXPECT_EQ(canonical_symbol(foo), foo);
  // Entry layout: alias -1 when canonical, UTF-8 text with a zero byte after it.
  const Cell& entry = block_cells(symbols_->data2)[foo - 1];
  EXPECT_EQ(TYPE_OF(&entry), TYPE_SYMBOL);
  EXPECT_EQ(static_cast<int32_t>(entry.data1), -1);
  EXPECT_EQ(entry.data2, 0u);
  EXPECT_EQ(node_buffer(entry.data3)->used_bytes(), 3u);
  EXPECT_EQ(node_buffer(entry.data3)->head_ptr()[3], 0);
}

TEST_F(HashSymbols, NonAsciiLettersFoldAsTextComparisonFoldsThem) {
  const uint32_t lower = intern("ärger");
  const uint32_t upper = intern("ÄRGER");
  EXPECT_NE(lower, upper);
  EXPECT_EQ(canonical_symbol(upper), lower);
}

TEST_F(HashSymbols, VariantInternKeepsItsOwnCanonicalSymbol) {
  const uint32_t top = intern("TOP");
  const uint32_t variant = intern("top", true);
  EXPECT_NE(variant, top);
  EXPECT_EQ(canonical_symbol(variant), variant);
}

TEST_F(HashSymbols, ThousandsOfSymbolsGrowTheTableAndStayFound) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 3000; i++) ids.push_back(intern("sym-" + std::to_string(i)));
  EXPECT_GT(field(symbols_->data3, hashtable::kBuckets), 1024u);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(intern("sym-" + std::to_string(i)), ids[i]);
  EXPECT_EQ(canonical_symbol(intern("SYM-17")), ids[17]);
}

TEST_F(HashSymbols, ContextTableAppendsWordsAndFindsThemBySymbol) {
  const uint32_t a = intern("alpha"), A = intern("ALPHA"), b = intern("beta");
  RootedCell context(Cell{TYPE_CONTEXT, 0, alloc_cells(2), 0});
  context->data1 = hashtable_init(0, nullptr, hashtable::kKindSymbols, 0);
  const uint32_t table = context->data1;
  const uint32_t ctx_node = context->data2;  // the words refer to a live node
  int32_t out = -5;
  EXPECT_EQ(context_table_find(table, a, true, 0, &out), -1);
  EXPECT_EQ(out, -5) << "no context: nothing added";
  EXPECT_EQ(context_table_find(table, a, true, ctx_node, &out), -1);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(context_table_find(table, b, true, ctx_node, &out), -1);
  EXPECT_EQ(out, 1);
  EXPECT_EQ(context_table_find(table, A, true, 0, &out), 0);
  EXPECT_EQ(context_table_find(table, A, false, 0, &out), -1);
  const Cell& word = block_cells(field(table, hashtable::kData))[1];
  EXPECT_EQ(TYPE_OF(&word), TYPE_WORD);
  EXPECT_EQ(word.data1, ctx_node);
  EXPECT_EQ(word.data2, b);
  EXPECT_EQ(word.data3, 1u);
  // Growth keeps indexes: they are positions in the words block.
  std::vector<uint32_t> syms;
  for (int i = 0; i < 200; i++) {
    syms.push_back(intern("w" + std::to_string(i)));
    context_table_find(table, syms.back(), true, ctx_node, &out);
    ASSERT_EQ(out, i + 2);
  }
  for (int i = 0; i < 200; i++) ASSERT_EQ(context_table_find(table, syms[i], true, 0, &out), i + 2);
  // A copy of the word table for a new context.
  const uint32_t copy = hashtable_init(0, context.get(), hashtable::kKindSymbols, 2);
  RootedCell copy_cell(Cell{TYPE_CONTEXT, copy, 0, 0});
  EXPECT_EQ(context_table_find(copy, b, true, 0, &out), 1);
  EXPECT_NE(field(copy, hashtable::kData), field(table, hashtable::kData));
}

// ---- pointer map -------------------------------------------------------------------

TEST(HashPointerMap, PutGetDeleteThroughGrowth) {
  PointerMap* map = pointer_map_init(0);
  for (uint32_t k = 1; k <= 5000; k++) pointer_map_put(map, k * 16, k);
  for (uint32_t k = 1; k <= 5000; k += 2) EXPECT_TRUE(pointer_map_delete(map, k * 16));
  EXPECT_FALSE(pointer_map_delete(map, 16));
  EXPECT_EQ(pointer_map_size(map), 2500u);
  for (uint32_t k = 1; k <= 5000; k++) {
    uint32_t* v = pointer_map_get(map, k * 16);
    ASSERT_EQ(v != nullptr, k % 2 == 0) << k;
    if (v) {
      EXPECT_EQ(*v, k);
    }
  }
  pointer_map_put(map, 32, 99);
  EXPECT_EQ(*pointer_map_get(map, 32), 99u);
  pointer_map_clear(map);
  EXPECT_EQ(pointer_map_get(map, 32), nullptr);
  pointer_map_free(map);
}

// ---- collector torture -------------------------------------------------------------

// Every few allocations a collection moves every buffer: the tables must hold
// node ids only. Runs with a short interval whatever the environment says.
TEST_F(HashTable, TablesStayWholeWhileEveryAllocationMovesBuffers) {
  const int saved = collector::torture_interval();
  collector::set_torture_interval(3);
  {
    RootedCell hash;
    make_indexed(hash, TYPE_HASH, {}, hashtable::kKindHash);
    RootedCell map;
    make_indexed(map, TYPE_MAP, {}, hashtable::kKindMap);
    for (int i = 0; i < 400; i++) {
      append(hash, i % 2 ? text(U"v" + std::u32string(1, U'a' + i % 13), 1 + (i % 3 == 0)) : integer(i % 37));
      hashtable_put_index(hash->data3, static_cast<uint32_t>(i));
      append(map, binary(std::string(1 + i % 5, static_cast<char>('a' + i % 11))));
      append(map, integer(i));
      hashtable_put_index(map->data3, static_cast<uint32_t>(2 * i));
    }
    EXPECT_TRUE(matches_model(hash->data3, hash->data2, 300));
    RootedCell probe(binary("ccc"));
    const int32_t at = hashtable_find_index(map->data3, probe.get(), 0, 1, 2);
    ASSERT_GE(at, 0);
    EXPECT_EQ(node_buffer(block_cells(map->data2)[at].data2)->used_bytes(), 3u);
  }
  collector::set_torture_interval(saved);
  EXPECT_TRUE(collector::verify_heap().ok);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

// A table reached first as a plain node (a RootedNode, or the source of a
// copy in progress) must still keep its flags, keys and entries alive.
TEST_F(HashTable, TableHeldOnlyAsANodeKeepsItsBuffersThroughACollection) {
  RootedCell map;
  make_indexed(map, TYPE_MAP, {integer(1), integer(10), integer(2), integer(20)}, hashtable::kKindMap);
  RootedNode table(map->data3);
  RootedNode data(map->data2);
  *map = Cell{TYPE_NONE, 0, 0, 0};  // the map value is gone; only the nodes are held
  collector::collect();
  collector::collect();
  EXPECT_TRUE(collector::verify_heap().ok);
  const Cell two = integer(2);
  EXPECT_EQ(hashtable_find_index(table.get(), &two), 2);

  // Copying the table while only its node is held keeps both intact.
  RootedNode copy(hashtable_copy(table.get(), 0));
  collector::collect();
  EXPECT_EQ(hashtable_find_index(copy.get(), &two), 2);
  EXPECT_EQ(hashtable_find_index(table.get(), &two), 2);
}

}  // namespace
}  // namespace kiv
