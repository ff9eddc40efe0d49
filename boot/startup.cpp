#include "boot/startup.h"

#include <cstring>

#include "library/routines.h"
#include "runtime/case_fold.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/lexer.h"
#include "runtime/eval/lexer_loaders.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/natives_bytes.h"
#include "runtime/eval/natives_encoding.h"
#include "runtime/eval/natives_control.h"
#include "runtime/eval/natives_math.h"
#include "runtime/eval/natives_sets.h"
#include "runtime/eval/natives_core.h"
#include "runtime/eval/natives_further.h"
#include "runtime/eval/natives_value.h"
#include "runtime/eval/parse.h"
#include "runtime/eval/natives_transfer.h"
#include "runtime/handles.h"
#include "runtime/host/console.h"
#include "runtime/host/random.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::boot {
namespace {

const Source kSources[] = {
#include "boot_sources.inc"
};

bool g_started = false;

// Binds the words of a spec file: each entry is a set-word, the spec block
// and the table index; the word gets a native! or action! (type) made from
// them.
void bind_spec_file(const char* name, uint32_t type) {
  const char* text = source_text(name);
  if (!text) fire(ErrorCategory::kInternal, "not-done");
  Cell* file = stack::push_new_cell();
  load_text(text, file);
  uint32_t node = file->data2;
  uint32_t n = series_length(node);
  for (uint32_t i = 0; i + 2 < n; i += 3) {
    Cell word = series_head_cell(node)[i];
    Cell spec = series_head_cell(node)[i + 1];
    Cell index = series_head_cell(node)[i + 2];
    if (TYPE_OF(&word) != TYPE_SET_WORD || TYPE_OF(&spec) != TYPE_BLOCK || TYPE_OF(&index) != TYPE_INTEGER)
      fire(ErrorCategory::kSyntax, "bad-header", name);
    Cell* value = stack::push_new_cell();
    native::init_cell(value, type, spec.data2, index.data2);
    native::remember_builtin(value);
    word.header = TYPE_WORD;
    _context::set_word(&word, value);
    stack::drop_cells(1);
  }
  stack::drop_cells(1);
}

// Sets the word of every registered type's name to its datatype! value;
// series! is left to the library, where it names a typeset.
void bind_datatype_words() {
  for (uint32_t t = 1; t < kTypeTableSize; ++t) {
    if (t == TYPE_SERIES || !type_registered(t) || type_name_table[t].word.header == 0) continue;
    Cell word = type_name_table[t].word;
    Cell value{TYPE_DATATYPE, t, 0, 0};
    _context::set_word(&word, &value);
  }
}

// Runs one library module's top-level code.
void run_module(const Source& source) {
  stack::FrameGuard guard;
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  load_text(source.text, code);
  block::mark_library_code(code->data2);
  Cell block = *code;
  interpreter::evaluate_block(&block, true);
  stack::pop_frame_drop();
}

// Every source but the spec files of boot/ is a module.
bool module_q(const char* name) { return std::strncmp(name, "boot/", 5) != 0; }

// The word through which library modules make their routines, and its
// routine: routine* spec [block!] entry [word!].
constexpr const char* kRoutineMaker = "routine*";

void bind_routine_maker(Cell* word) {
  if (routine::find_entry(kRoutineMaker) == 0) routine::register_entry(kRoutineMaker, library::make_routine);
  stack::TopGuard guard;
  Cell* spec = stack::push_new_cell();
  load_text("spec [block!] entry [word!]", spec);
  routine::push(spec, nullptr, routine::find_entry(kRoutineMaker), 0, false);
  _context::set_word(word, stack::last_pushed());
}

}  // namespace

const Source* sources(uint32_t* count) {
  *count = sizeof kSources / sizeof kSources[0];
  return kSources;
}

const char* source_text(std::string_view name) {
  for (const Source& s : kSources)
    if (name == s.name) return s.text;
  return nullptr;
}

void load_text(std::string_view text, Cell* out) {
  lexer::LexRequest request;
  request.input = reinterpret_cast<const uint8_t*>(text.data());
  request.length = text.size();
  lexer::LexResult result = lexer::lex_source(request);
  *out = Cell{TYPE_BLOCK, 0, result.block, 0};
}

void runtime_init() {
  if (g_started) return;
  g_started = true;
  set_boot_mode(true);
  init_hooks();
  platform::init();
  console::init();
  random::init();
  init_memory();  // the collector's tables, the first node and series frames, the root block
  init_handles();
  register_datatypes();
  actions_init();
  support::init();
  symbol::init_table();
  _context::init_global();  // and the words of the type names
  init_case_folding();
  word::init_builtin_words();
  natives_init();
  natives::install_core_natives();
  natives::install_control_natives();
  natives::install_byte_natives();
  natives::install_math_natives();
  natives::install_set_natives();
  natives::install_value_natives();
  natives::install_further_natives();
  natives::install_encoding_natives();
  natives::install_parse_native();  // and the parse stacks
  natives::install_transfer_natives();
  ownership::init();
  stack::init();
  lexer::init();
  lexer::install_default_loaders();

  bind_datatype_words();
  bind_spec_file("boot/natives.kiv", TYPE_NATIVE);
  bind_spec_file("boot/actions.kiv", TYPE_ACTION);
  error::set_near_reader(interpreter::error_position);
  interpreter::init();
  slot_table::init();
  collector::init_counters();
  library::register_routines();
  kivbin::register_routines();
}

void boot_library() {
  collector::set_enabled(true);
  set_boot_mode(false);
  Cell maker = word::load(kRoutineMaker);
  bind_routine_maker(&maker);
  for (const Source& s : kSources)
    if (module_q(s.name)) run_module(s);
  // Routines are made only by the library.
  Cell unset{TYPE_UNSET, 0, 0, 0};
  _context::set_word(&maker, &unset);
}

void start() {
  runtime_init();
  boot_library();
}

}  // namespace kiv::boot
