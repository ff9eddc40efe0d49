// error! (type id 34): a language error as a value. An error is an object
// (parent object!) whose context is a copy of the prototype
// system/standard/error, with ten fixed fields in this order:
//
//   0 code   integer!: 100 x the category's position + the id's position
//   1 type   the category word, bound to the catalogue object
//   2 id     the id word, bound to the category object
//   3 arg1   the first argument of the message
//   4 arg2   the second argument
//   5 arg3   the third argument
//   6 near   the code near the error (a block position)
//   7 where  the word of the function in which it happened, or a string
//   8 stack  while the error travels, the integer! call-stack top at which it
//            was raised; once caught, the block of the calling words
//   9 files  the block of the script files being run, or none
//
// Cell: word 1 the context node, word 2 the class id (always 1), word 3 the
// hook node (always 0: errors have no hooks). The context's self cell holds a
// copy of the error cell.
//
// The catalogue, system/catalog/errors, is an object of category objects in
// code order (throw, note, syntax, script, math, access, reserved1,
// reserved2, user, internal); each category object starts with `code` (its
// base code) and `type` (its title), then one word per error id whose value
// is the message template. Ids are counted from 0 after `code` and `type`.
// The catalogue and the other members of `system` that errors read are Kiv
// source (library/system.kiv), which start-up runs as a library module;
// load_system reads the same source as data, for code that runs without the
// interpreter (the unit tests).
//
// Forming never fails: unknown categories and ids become internal
// invalid-error with the unknown word in arg1, and a value that cannot be
// molded is written as its type's name between question marks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"

namespace kiv::error {

enum Field : uint32_t {
  FIELD_CODE = 0,
  FIELD_TYPE = 1,
  FIELD_ID = 2,
  FIELD_ARG1 = 3,
  FIELD_ARG2 = 4,
  FIELD_ARG3 = 5,
  FIELD_NEAR = 6,
  FIELD_WHERE = 7,
  FIELD_STACK = 8,
  FIELD_FILES = 9,
  kFieldCount = 10,
};

constexpr uint32_t kErrorClassId = 1;
// Characters of the near field and of the files block shown by form; of an
// argument molded into a message.
constexpr int32_t kNearLimit = 40;
constexpr int32_t kFilesLimit = 40;
// The stack line names at most this many calls at each end; the calls
// between them are counted ("... 120 more ..."), so a deep recursion stays
// one readable line.
constexpr size_t kStackLineEnds = 10;
constexpr int32_t kArgumentLimit = 80;

// ---------------------------------------------------------------------------
// The system object.

// Builds the members of `system` from the loaded block of the system source:
// its top level is a run of set-words and values, each value one of
// `make object! [spec]` (an object whose spec is read the same way),
// `make block! N`, a function definition (`func`, `function`, `has`,
// `does`; left none until functions can be made from source), the words
// none, true and false, or a literal. Sets the global words it assigns.
// Malformed source raises internal not-done with the value that stopped it.
void load_system(const Cell* source);

// The member's value cell below `system` along the path of text words
// ("catalog", "errors"), or nullptr when a step is missing or not an object.
// Raw address: good until the next allocation. Once keep_system has run, the
// system object it kept is read, whatever the word `system` holds then, so a
// script that sets `system` to something else still gets its errors made.
Cell* system_member(std::initializer_list<const char*> path);
// Keeps the object the global word `system` holds now (start-up calls it once
// the library is loaded); a no-op when it holds no object.
void keep_system();

// The catalogue's context node (system/catalog/errors), 0 when absent.
uint32_t catalog_context();
// The context node of the category at a position, 0 when absent.
uint32_t category_context(uint32_t category);
// The number of ids of a category (0 when absent).
uint32_t id_count(uint32_t category);
// The id's position in its category, -1 when absent.
int32_t id_position(uint32_t category, const char* id);
// 100 x category + position of the id, -1 when the id is absent.
int32_t code_of(ErrorCategory category, const char* id);

// ---------------------------------------------------------------------------
// Making errors. Each writes the new error into out, which must be a cell the
// collector sees (the argument stack, a RootedCell).

// The error of the category and id positions, arguments none.
void make_from_code(Cell* out, int32_t code);
// The error named by the category's position and the id's symbol, with up to
// three arguments (nullptr: none). An id the category lacks gives internal
// invalid-error with the id word as arg1.
void create(Cell* out, uint32_t category, uint32_t id_symbol, const Cell* arg1 = nullptr,
            const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// The error a LanguageError stands for, with the state it was raised in:
// near from the interpreter, where from the call frames up to the
// call-stack top at the throw, stack that top (an integer!). Call it where
// the error is caught, before new frames overwrite the ones it left.
void from_language_error(const LanguageError& error, Cell* out);
// Where near comes from: the interpreter installs a reader that writes the
// code being evaluated (a block at the current expression) and answers
// whether there is any.
using NearReader = bool (*)(Cell* out);
void set_near_reader(NearReader reader);
// For an error whose stack field is an integer!, replaces it by the block of
// calling words (level: system/state/stack-trace when an integer above 0,
// else 1; below 2 only frames whose word refers to a function! are taken);
// when system/state/source-files is a non-empty block, files gets a copy.
// Other values are left alone.
void capture_stack(Cell* value);
// For an error whose stack field is an integer!, sets it to none: once the
// error is caught without capture, the frames that index named are gone and
// others take their place, so it must not be formed from them later.
void forget_stack(const Cell* value);

// ---------------------------------------------------------------------------
// Fields.

uint32_t context_of(const Cell* error);
// Field N's value cell (raw).
Cell* field(const Cell* error, uint32_t n);
// The symbols of the type and id words (0 when not words).
uint32_t type_symbol(const Cell* error);
uint32_t id_symbol(const Cell* error);
// Copies where into out when it is not none; answers whether it did.
bool copy_where(const Cell* error, Cell* out);
Cell* stack_field(const Cell* error);

// ---------------------------------------------------------------------------
// Forming.

// Appends the formed error to the string buffer (the text the console
// prints); answers the limit less the characters written. May rewrite the
// error's type, id and arg1 when they name nothing in the catalogue.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// The formed error as UTF-8 text.
std::string form_text(Cell* value);
// The formed text of a LanguageError that nothing caught, read in the state
// the throw left (see from_language_error). Never throws. Before the
// catalogue exists, a plain "*** category/id" line with the arguments.
std::string form_language_error(const LanguageError& error);
// The uncaught-error handler of the executables: the formed error on
// standard error, then the process ends with status 254.
[[noreturn]] void report_uncaught(const LanguageError& error);

// ---------------------------------------------------------------------------
// Handlers and registration.

Cell* make(Cell* type, Cell* spec);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent, Cell* prev_element,
                int32_t index, PathFlags flags);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers error! (parent object! when it is registered, else none: the
// inherited slots stay unsupported).
void init();

}  // namespace kiv::error
