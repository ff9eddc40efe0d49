// Hash tables: one open-addressing design for the index of hash!, the
// key/value store of map!, the symbol table, the word tables of contexts and
// the runtime's registries keyed by 32-bit values; plus a small pointer map
// on the process heap for the collector.
//
// A table is a series (its record) holding eleven 32-bit fields, the Field
// enumeration below, read from the record's head. The record names the other
// series by node:
//
//   flags   2 bits per bucket, 16 buckets per 32-bit word: bit 1 empty,
//           bit 0 deleted, both clear for a live bucket (a fresh table is all
//           0xAA: every bucket empty); kind 1 has none (0)
//   keys    one 32-bit slot per bucket: the cell index in the data block
//           (kinds 0 and 2; for kind 0 a negative -k names duplicate list k)
//           or the entry's byte offset in the entry series (registries);
//           kind 1: two 32-bit words per bucket, the hash of the key and its
//           cell index, 0xFFFFFFFF for an empty bucket (a map never deletes
//           a bucket, so one probe reads one place)
//   data    the indexed block (kind 0), the key/value block (kind 1), the
//           symbol entries or the context's words (kind 2), or the registry
//           entries (kind >= 3)
//   aux     kind 0: the reverse index, one 32-bit word per block cell holding
//           the cell's bucket + 1 (0xFFFFFFFF: not indexed);
//           registries: the entry size in bytes (16 x value count + 16)
//   lists   kind 0: one node per duplicate list (0 for a free slot); list k
//           is at position k - 1 and holds the cell indexes of equal values
//   stamp   registries: the collector's nodes-cycles + 1 at the last build;
//           kind 0: the first list slot that may be free (a search hint)
//
// Invariants: buckets is a power of two, at least 4; size <= occupied <
// buckets; occupied counts live and deleted buckets and reaching the upper
// bound makes the next insert resize; every cell index stored in keys or a
// list is below the data block's length; for kind 0 a cell is indexed exactly
// when its reverse-index entry names a live bucket, and all values of one
// kind-0 bucket are equal (same type, compare op 0).
//
// Cell indexes count cells from the data block's head. Text is always hashed
// with its case folded (fold_case), whatever the lookup's case rule: the
// comparison then decides, so a case-sensitive and a case-insensitive lookup
// meet the same keys.
//
// Moving collector: every operation that allocates may move every buffer,
// the table's own series included. The routines hold node ids and indexes and
// fetch buffers again after each allocation. Results that are cell addresses
// (hashtable_find, the registry routines) are good only until the caller's
// next allocation; the index forms are safe to keep. The table must be
// reachable (a hash!, map! or context! cell, a registry kept by its owner);
// the collector marks it through collector::mark_hashtable.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/murmur3.h"
#include "runtime/series.h"

namespace kiv {

namespace hashtable {

enum Field : uint32_t {
  kSize,        // live keys (kind 0: indexed cells)
  kAux,         // see above
  kLists,       // kind 0: node of the duplicate lists
  kFlags,       // node of the bucket flags
  kKeys,        // node of the bucket slots
  kData,        // node of the data
  kOccupied,    // buckets ever used: live + deleted
  kBuckets,     // a power of two, at least 4
  kUpperBound,  // the occupied count that makes the next insert resize
  kKind,
  kStamp,
  kFieldCount
};

// Kinds.
constexpr uint32_t kKindHash = 0;
constexpr uint32_t kKindMap = 1;
constexpr uint32_t kKindSymbols = 2;  // the symbol table and context word tables
constexpr uint32_t kKindRegistry = 3; // 3 and above: registries keyed by 32-bit values

constexpr double kLoadBound = 0.77;
// hashtable_update_range and hashtable_move_keys refuse more moved cells than this.
constexpr uint32_t kMaxMovedCells = 30000;
constexpr uint32_t kNotIndexed = 0xFFFFFFFF;

// Kind 1 buckets (keys above): the key's hash and its cell index.
struct MapBucket {
  uint32_t hash;
  uint32_t index;
};
constexpr uint32_t kMapEmpty = 0xFFFFFFFF;  // the index of an empty bucket

// Kind 1: the index of the integer key n, or -1 (a removed pair's key too),
// as hashtable_find_hashed answers it for an integer! value under any
// equality op: integers equal only integers, by value. Calls nothing, so
// it stays in line in the map's reads.
inline int32_t map_find_integer(uint32_t table, uint32_t n, uint32_t hash) {
  const auto* record = reinterpret_cast<const uint32_t*>(node_buffer(table)->head_ptr());
  const auto* buckets = reinterpret_cast<const MapBucket*>(node_buffer(record[kKeys])->head_ptr());
  const Cell* data = node_buffer(record[kData])->head_cell();
  const uint32_t mask = record[kBuckets] - 1;
  uint32_t b = hash & mask;
  for (uint32_t step = 1;; step++) {
    const MapBucket e = buckets[b];
    if (e.index == kMapEmpty) return -1;
    if (e.hash == hash && TYPE_OF(&data[e.index]) == TYPE_INTEGER && data[e.index].data2 == n) {
      return static_cast<int32_t>(e.index);
    }
    if (step > mask) return -1;
    b = (b + step) & mask;
  }
}

// An internal cell type: a string whose length (in code points) is word 3
// when that is 0 or more, instead of running to the tail. It hashes and
// compares as a string!.
constexpr uint32_t kTypeStringWithLength = 56;

// Reads one field of a table's record.
uint32_t field(uint32_t table, Field f);

}  // namespace hashtable

// ---------------------------------------------------------------------------
// Hashing.

// The hash of a value, by type (see the table in hashtable.cpp). Text is
// folded with fold_case unless case_sensitive; word kinds hash by their
// canonical symbol, so every spelling and every word kind of one symbol
// hashes alike.
uint32_t hash_value(const Cell* value, bool case_sensitive = false);

// The hash of UTF-8 text as hash_value hashes a string of the same code
// points (folded unless case_sensitive). Symbol names hash this way.
uint32_t hash_utf8(const uint8_t* text, size_t length, bool case_sensitive = false);

// ---------------------------------------------------------------------------
// Value comparison. The tables compare values through a compare routine with
// the signature of the compare action: answers 0 when a equals b under the op
// code (0 equal, 2 strict-equal, 9 same, 12 find's equality ...), another
// value otherwise. The action table installs its entry at start-up; until
// then, and for any routine below given nullptr, the installed routine or
// else basic_compare is used.
using HashCompare = int32_t (*)(const Cell* a, const Cell* b, int32_t op);
void set_hash_compare(HashCompare compare);

// A date's instant (its day number and seconds in UTC): dates hash and order
// by instant, so the same moment in two zones meets. The core cannot read a
// date's payload; date! installs its reader when it registers.
using DateInstantReader = void (*)(const Cell* date, int64_t* days, double* seconds);
void set_date_instant_reader(DateInstantReader reader);
HashCompare hash_compare();

// Equality sufficient for the runtime core: values of one type compare by
// payload (floats by value), text by code points (folded unless the op is 2,
// 8 or 9), binary by bytes, word kinds by symbol (op 2 and 9) or canonical
// symbol. Series other than text and binary compare by identity. Answers 0
// when equal, -2 for different types, else -1 or 1.
int32_t basic_compare(const Cell* a, const Cell* b, int32_t op);

// ---------------------------------------------------------------------------
// Tables.

// Makes a table and answers its node. size: the expected keys (below 4 counts
// as 4; kind 2 doubles sizes of 4,000 and more); buckets = next power of two
// >= (int)(size / 0.77), upper bound = (int)(buckets x 0.77).
// block: the data for kinds 0-2 (a block-like cell; its cells from the cell's
// head index on are indexed, step 2 for a map), or nullptr for a new empty
// block. Kind 2 with value_count 2 and a context! cell as block answers a copy
// of that context's word table. Registries (kind >= 3) get entries of
// value_count value cells and always a new entry series.
uint32_t hashtable_init(uint32_t size, const Cell* block, uint32_t kind, uint32_t value_count,
                        HashCompare compare = nullptr);

// Indexes a cell of the data block (kinds 0 and 1), given by address or by
// index. Kind 0: adds the cell to its bucket (a value equal to one already
// indexed joins its duplicate list); a cell already indexed is left alone. If
// the insert had to rebuild the index, the whole block is indexed afresh and
// *rebuilt is set. Kind 1: enters the key unless a strictly equal key (word
// kinds alike) is there. Answers the index of the key cell now in the table:
// the cell's own, or for kind 1 the equal key found (whose pair, when it had
// been removed, counts as live again); -1 when the cell is not in the block.
int32_t hashtable_put(uint32_t table, const Cell* cell, bool* rebuilt = nullptr,
                      HashCompare compare = nullptr);
int32_t hashtable_put_index(uint32_t table, uint32_t index, bool* rebuilt = nullptr,
                            HashCompare compare = nullptr);

// Indexes the cells from start to the block's tail, every step-th (1, or 2
// for a map). Map: a key equal to one already entered has that pair's value
// replaced by this pair's value and this pair removed from the block.
void hashtable_put_range(uint32_t table, uint32_t start, uint32_t step, HashCompare compare = nullptr);

// Looks a value up under a compare op. Kind 0: among the indexed cells equal
// to the value, those on the skip grid ((index - start) mod skip = 0) count,
// and the answer is the smallest index at or after start; with last, the
// largest at or after start; with reverse, the largest before start. Kind 1:
// the first key in probe order equal to the value (word kinds are looked up
// as set-word!); a key whose pair was removed is still answered. Kind 2: the
// word or symbol entry of the value's symbol. Answers the index, or -1.
int32_t hashtable_find_index(uint32_t table, const Cell* value, int32_t start = 0, int32_t skip = 1,
                             int32_t op = 0, bool last = false, bool reverse = false,
                             HashCompare compare = nullptr);
// The same answering the cell (good until the next allocation), or nullptr.
Cell* hashtable_find(uint32_t table, const Cell* value, int32_t start = 0, int32_t skip = 1,
                     int32_t op = 0, bool last = false, bool reverse = false,
                     HashCompare compare = nullptr);

// Kind 1, for a set that looks a key up before it adds it: the lookup of
// hashtable_find_index (start 0, skip 1) that also answers the value's hash,
// and the insert of the key cell at index known to be absent (a lookup under
// op 0 or 2 found no equal key, and nothing was entered since) with that
// hash, which compares no key. put_absent answers index, as hashtable_put_index.
int32_t hashtable_find_hashed(uint32_t table, const Cell* value, int32_t op, uint32_t* hash,
                              HashCompare compare = nullptr);
int32_t hashtable_put_absent(uint32_t table, uint32_t index, uint32_t hash);

// A resumable lookup (kinds 1 and 2): each call answers the index of the next
// key, in probe order, of the value's type and equal to it under op 0, or -1
// at the end. Start with a fresh cursor.
struct HashCursor {
  uint32_t bucket = 0;
  uint32_t step = 0;
  uint32_t hash = 0;
  bool started = false;
};
int32_t hashtable_find_next(uint32_t table, const Cell* value, HashCursor& cursor,
                            HashCompare compare = nullptr);

// Removes a cell of the data block from the table. Kind 0: the cell's index
// leaves its bucket (and duplicate list; an emptied list frees its slot and
// the bucket becomes deleted). Kind 1: the key's pair is removed: its value
// slot is emptied (a cell with header 0) and the live count drops; the key
// stays findable so that setting it again revives the pair. Answers whether
// something was removed.
bool hashtable_delete(uint32_t table, const Cell* cell, HashCompare compare = nullptr);
bool hashtable_delete_index(uint32_t table, uint32_t index, HashCompare compare = nullptr);

// Empties the table and its data (size and occupied 0, all buckets empty).
void hashtable_clear(uint32_t table);

// Kind 0: removes the cells [start, start + count) from the index. When no
// indexed cell is left, the whole index is reset.
void hashtable_clear_range(uint32_t table, uint32_t start, uint32_t count);

// Kind 0, after `amount` cells were inserted (amount > 0) or removed
// (amount < 0) at start: removed cells leave the index, and every stored
// index at or after the change moves by amount, the reverse index with them.
// count is the number of cells after the change; above kMaxMovedCells nothing
// is done and 1 is answered (rebuild the index instead), else 0. The flag is
// accepted for the callers' sake: the reverse index is always kept right.
int hashtable_update_range(uint32_t table, int32_t amount, uint32_t start, uint32_t count,
                           bool flag = true);

// Kind 0, after the count cells that were at from were moved, within the
// block, to start at index to (an index in the block as it is after the
// move); the cells between shift by count. Answers 1 (nothing done) when
// more than kMaxMovedCells cells are affected, else 0.
int hashtable_move_keys(uint32_t table, uint32_t to, uint32_t from, uint32_t count);

// A copy of the table over another data series (the caller's copy of the
// block; 0 copies the data too): its own flags, keys and, for kind 0, reverse
// index and duplicate lists.
uint32_t hashtable_copy(uint32_t table, uint32_t data);

// Indexes all cells of a kind-0 table's block afresh (after the block was
// reordered wholesale).
void hashtable_rebuild(uint32_t table, HashCompare compare = nullptr);

// ---------------------------------------------------------------------------
// Registries (kind >= 3): entries of value cells keyed by a 32-bit value.
// Cell addresses answered are good until the next allocation.

// The entry's value cells; a new entry has them all unset.
Cell* hashtable_put_key(uint32_t registry, uint32_t key);
// The entry's value cells, or nullptr.
Cell* hashtable_get_key(uint32_t registry, uint32_t key);
// Removes the entry and answers its value cells (still readable until the
// next put), or nullptr when the key is absent.
Cell* hashtable_delete_key(uint32_t registry, uint32_t key);
// Live entries, in entry order: calls fn(key, values, arg) for each; fn must
// not allocate.
void hashtable_each_key(uint32_t registry, void (*fn)(uint32_t key, Cell* values, void* arg), void* arg);

// ---------------------------------------------------------------------------
// Symbol and context tables (kind 2).

// The global symbol table (kind 2 over the symbol block), which gives word
// kinds their canonical symbols. Set once at start-up by the symbol module.
void set_symbol_table(uint32_t table);
uint32_t symbol_table();

// The canonical id of a symbol of the table: its alias when above 0, else
// the id itself. Ids outside the table answer themselves.
uint32_t symbol_canonical(uint32_t table, uint32_t id);
// The canonical id through the global symbol table (the id itself when there
// is none).
uint32_t canonical_symbol(uint32_t id);

// Interns UTF-8 text and answers its 1-based symbol id. An entry with the
// same bytes answers its id. Otherwise a symbol! entry is appended (word 1
// the alias: the canonical id of an entry equal ignoring case, or -1 when
// there is none or case_flag is set; word 2 0; word 3 a byte series holding
// the text and a zero byte not counted in its tail).
uint32_t symbol_table_intern(uint32_t table, const char* text, uint32_t length, bool case_flag = false);

// Finds a symbol in a context's word table: answers the word's index. With
// canonical, spellings of one canonical symbol match; else only the symbol
// itself. Absent: with a context node, a word! cell (context, symbol, new
// index) is appended to the words block, *out_index gets the new index and
// -1 is answered; without one, -1.
int32_t context_table_find(uint32_t table, uint32_t symbol, bool canonical, uint32_t context,
                           int32_t* out_index);

// ---------------------------------------------------------------------------
// Pointer map: the same probing and resizing on the process heap, mapping
// 32-bit keys to 32-bit values (the collector's node relocation). Allocation
// failure raises internal/no-memory.
struct PointerMap;
PointerMap* pointer_map_init(uint32_t size);
void pointer_map_put(PointerMap* map, uint32_t key, uint32_t value);
// The value's place, or nullptr when the key is absent.
uint32_t* pointer_map_get(PointerMap* map, uint32_t key);
bool pointer_map_delete(PointerMap* map, uint32_t key);
void pointer_map_clear(PointerMap* map);
void pointer_map_free(PointerMap* map);
uint32_t pointer_map_size(const PointerMap* map);

}  // namespace kiv
