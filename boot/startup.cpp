#include "boot/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library/codec_routines.h"
#include "library/routines.h"
#include "runtime/case_fold.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/event.h"
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
#include "runtime/eval/natives_control.h"
#include "runtime/eval/natives_math.h"
#include "runtime/eval/natives_sets.h"
#include "runtime/eval/natives_core.h"
#include "runtime/eval/natives_further.h"
#include "runtime/eval/natives_value.h"
#include "runtime/eval/parse.h"
#include "runtime/handles.h"
#include "runtime/host/console.h"
#include "runtime/host/files.h"
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
bool g_library_loaded = false;
const uint8_t* g_payload = nullptr;
size_t g_payload_size = 0;
LibraryOrigin g_origin = LibraryOrigin::kEmbeddedText;
// The root block's cell holding the block of the loaded sources: one block
// per source, in binding order.
uint32_t g_sources_cell = 0;

// Start-up cannot go on: the message on standard error, a non-zero status.
[[noreturn]] void boot_failure(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "*** Boot Error: %s\n", message.c_str());
  std::fflush(stderr);
  std::_Exit(kBootFailureStatus);
}

// The block of the loaded sources (kept in the root block).
Cell loaded_sources() { return series_head_cell(root_block())[g_sources_cell]; }

// The block of source i as loaded.
Cell source_block(uint32_t i) {
  Cell all = loaded_sources();
  return series_head_cell(all.data2)[i];
}

// Loads every source in binding order into one block kept in the root
// block: from the folder named by KIV_BOOT_SOURCES (text through the lexer),
// else from the boot payload (Kivbin), else from the embedded text.
void load_sources() {
  uint32_t count = 0;
  const Source* list = sources(&count);
  stack::TopGuard guard;
  Cell* all = stack::push_new_cell();
  const char* folder = std::getenv(kSourceFolderVariable);
  if (folder && *folder) {
    g_origin = LibraryOrigin::kSourceFolder;
    block::init_cell(all, static_cast<int32_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
      std::string path = std::string(folder) + "/" + list[i].name;
      std::string text;
      if (!simple_io::read_whole_file(path, &text)) boot_failure("cannot read the source " + path);
      Cell* block = stack::push_new_cell();
      load_text(text, block);
      Cell copy = *block;
      *series_new_tail_cell(all->data2) = copy;
      stack::drop_cells(1);
    }
  } else if (g_payload) {
    g_origin = LibraryOrigin::kPayload;
    block::init_cell(all, static_cast<int32_t>(count));
    try {
      kivbin::decode(std::span<const uint8_t>(g_payload, g_payload_size), all, kivbin::Mode::kBoot);
    } catch (const LanguageError& e) {
      boot_failure(std::string("the boot payload is damaged: ") + e.what());
    }
    uint32_t n = series_length(all->data2);
    if (n != count) boot_failure("the boot payload holds " + std::to_string(n) + " sources, start-up expects " +
                                 std::to_string(count));
    for (uint32_t i = 0; i < n; ++i)
      if (TYPE_OF(series_head_cell(all->data2) + i) != TYPE_BLOCK)
        boot_failure(std::string("the boot payload's value for ") + list[i].name + " is not a block");
  } else {
    g_origin = LibraryOrigin::kEmbeddedText;
    block::init_cell(all, static_cast<int32_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
      Cell* block = stack::push_new_cell();
      load_text(list[i].text, block);
      Cell copy = *block;
      *series_new_tail_cell(all->data2) = copy;
      stack::drop_cells(1);
    }
  }
  // Library code: tracing sees into none of it.
  for (uint32_t i = 0; i < count; ++i) block::mark_library_code(series_head_cell(all->data2)[i].data2);
  Cell copy = *all;
  g_sources_cell = series_length(root_block());
  *series_new_tail_cell(root_block()) = copy;
}

// The index of a source in binding order; a missing one is a boot failure.
uint32_t source_index(const char* name) {
  uint32_t count = 0;
  const Source* list = sources(&count);
  for (uint32_t i = 0; i < count; ++i)
    if (std::strcmp(list[i].name, name) == 0) return i;
  boot_failure(std::string("no source ") + name);
}

// Binds the words of a spec file: each entry is a set-word, the spec block
// and the table index; the word gets a native! or action! (type) made from
// them.
void bind_spec_file(const char* name, uint32_t type) {
  Cell* file = stack::push_new_cell();
  *file = source_block(source_index(name));
  uint32_t node = file->data2;
  uint32_t n = series_length(node);
  for (uint32_t i = 0; i + 2 < n; i += 3) {
    Cell word = series_head_cell(node)[i];
    Cell spec = series_head_cell(node)[i + 1];
    Cell index = series_head_cell(node)[i + 2];
    if (TYPE_OF(&word) != TYPE_SET_WORD || TYPE_OF(&spec) != TYPE_BLOCK || TYPE_OF(&index) != TYPE_INTEGER)
      boot_failure(std::string("bad entry in ") + name);
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
void run_module(uint32_t i) {
  stack::FrameGuard guard;
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  *code = source_block(i);
  Cell block = *code;
  interpreter::evaluate_block(&block, true);
  stack::pop_frame_drop();
}

// The value of system/options/float/<name>, null when the library has no
// such member.
const Cell* float_option(const char* name) {
  // The symbols are interned before any address is read: interning may
  // allocate, which moves buffers.
  uint32_t path[] = {symbol::intern("options"), symbol::intern("float"), symbol::intern(name)};
  uint32_t system = symbol::intern("system");
  const Cell* value = _context::value_of_symbol(system, _context::global());
  for (uint32_t member : path) {
    if (!value || TYPE_OF(value) != TYPE_OBJECT) return nullptr;
    int32_t i = _context::find_symbol(value->data1, member);
    if (i < 0) return nullptr;
    value = _context::value_at(value->data1, static_cast<uint32_t>(i));
  }
  return value;
}

// The runtime's float text flags take the values the library gave
// system/options/float, so the option read and the behaviour agree from the
// start (later changes go through the option's change handler).
void sync_float_options() {
  auto truth = [](const Cell* v) {
    return !(TYPE_OF(v) == TYPE_NONE || (TYPE_OF(v) == TYPE_LOGIC && v->data1 == 0));
  };
  if (const Cell* v = float_option("pretty?")) float_::pretty_print_q = truth(v);
  if (const Cell* v = float_option("full?")) float_::full_support_q = truth(v);
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

void set_boot_payload(const uint8_t* data, size_t size) {
  g_payload = data;
  g_payload_size = size;
}

std::span<const uint8_t> boot_payload() { return {g_payload, g_payload ? g_payload_size : 0}; }

LibraryOrigin library_origin() { return g_origin; }

void runtime_core_init() {
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
  parse::init();  // the parse stacks
  ownership::init();
  stack::init();
  lexer::init();
  lexer::install_default_loaders();
}

void runtime_init() {
  if (g_library_loaded) return;
  g_library_loaded = true;
  runtime_core_init();
  load_sources();
  bind_datatype_words();
  library::bind_typeset_words();
  bind_spec_file("boot/natives.kiv", TYPE_NATIVE);
  bind_spec_file("boot/actions.kiv", TYPE_ACTION);
  error::set_near_reader(interpreter::error_position);
  interpreter::init();
  slot_table::init();
  collector::init_counters();
  library::register_routines();
  kivbin::register_routines();
  library::register_codec_routines();
  image::register_routines();
}

namespace {

// Registers event! once the library's top-level code has run, sets its
// datatype word and binds its routines to their global words.
void init_event_type() {
  event::init();
  Cell type_word = type_name_table[TYPE_EVENT].word;
  Cell type_value{TYPE_DATATYPE, TYPE_EVENT, 0, 0};
  type_word.header = TYPE_WORD;
  _context::set_word(&type_word, &type_value);
  for (const event::Routine& r : event::kRoutines) {
    stack::TopGuard guard;
    Cell* spec = stack::push_new_cell();
    load_text(r.spec, spec);
    Cell inner = *series_head_cell(spec->data2);
    *spec = inner;
    _context::bind_block(spec, _context::global(), false);
    routine::push(spec, nullptr, routine::register_entry(r.word, r.entry), 0, true);
    Cell word = word::load(r.word);
    _context::set_word(&word, stack::last_pushed());
  }
}

}  // namespace

void boot_library() {
  collector::set_enabled(true);
  set_boot_mode(false);
  Cell maker = word::load(kRoutineMaker);
  bind_routine_maker(&maker);
  uint32_t count = 0;
  const Source* list = sources(&count);
  for (uint32_t i = 0; i < count; ++i)
    if (module_q(list[i].name)) run_module(i);
  init_event_type();
  // Routines are made only by the library.
  Cell unset{TYPE_UNSET, 0, 0, 0};
  _context::set_word(&maker, &unset);
  sync_float_options();
  error::keep_system();
}

void start() {
  runtime_init();
  boot_library();
}

}  // namespace kiv::boot
