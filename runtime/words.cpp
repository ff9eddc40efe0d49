#include "runtime/words.h"

namespace kiv::words {

namespace {

struct Entry {
  Kind kind;
  std::string_view text;
};

constexpr Entry kEntries[kWordCount] = {
#define KIV_WORD(kind, name, text) {Kind::kind, text},
#include "runtime/words.def"
#undef KIV_WORD
};

uint32_t g_symbols[kWordCount];
Cell g_cells[kWordCount];  // unset! once the initialiser below has run

}  // namespace

static const bool g_cells_ready = (reset(), true);

std::string_view text(Id id) { return kEntries[id].text; }
Kind kind(Id id) { return kEntries[id].kind; }
uint32_t symbol_of(Id id) { return g_symbols[id]; }
const Cell* cell_of(Id id) { return &g_cells[id]; }

bool is(const Cell* word, Id id) {
  uint32_t t = TYPE_OF(word);
  bool word_kind = (t >= TYPE_WORD && t <= TYPE_ISSUE);
  return word_kind && g_symbols[id] != 0 && word->data2 == g_symbols[id];
}

void init_common_words(const Loader& loader) {
  for (int i = 0; i < kWordCount; i++) {
    Kind k = kEntries[i].kind;
    if (k == Kind::REFINEMENT || k == Kind::ISSUE) continue;
    g_symbols[i] = loader.intern(kEntries[i].text);
    if (k == Kind::KEYWORD || k == Kind::GLOBAL) loader.global_word(g_symbols[i], &g_cells[i]);
  }
}

void init_refinement_words(const Loader& loader) {
  for (int i = 0; i < kWordCount; i++) {
    if (kEntries[i].kind != Kind::REFINEMENT) continue;
    loader.refinement(kEntries[i].text, &g_cells[i]);
    g_symbols[i] = g_cells[i].data2;
  }
}

void init_issue_word(const Loader& loader) {
  for (int i = 0; i < kWordCount; i++) {
    if (kEntries[i].kind != Kind::ISSUE) continue;
    loader.issue(kEntries[i].text, &g_cells[i]);
    g_symbols[i] = g_cells[i].data2;
  }
}

void reset() {
  for (int i = 0; i < kWordCount; i++) {
    g_symbols[i] = 0;
    set_unset(&g_cells[i]);
  }
}

}  // namespace kiv::words
