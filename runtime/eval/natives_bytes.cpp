// The natives that reach the byte codecs of runtime/host: checksum (87),
// compress (103), decompress (104), enbase (91) and debase (84).
//
// Each reads its arguments at the frame's base and leaves its result in the
// base cell. The codecs work on bytes copied out of the argument values into
// C++ vectors, and the result series is made only after they are done, so no
// series buffer is read across an allocation; decompress alone sizes its
// result first and inflates straight into it, reading the input again after
// that allocation, so a large result exists once. The codecs never raise: a
// refusal comes back as a status or as no result, and is turned into the
// language error here.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runtime/checks.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/natives.h"
#include "runtime/host/checksum.h"
#include "runtime/host/deflate.h"
#include "runtime/host/digest.h"
#include "runtime/host/enbase.h"
#include "runtime/host/files.h"
#include "runtime/print_hooks.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::natives {

namespace {

constexpr ArgTypeset kWordArg = arg_typeset({TYPE_WORD});
constexpr ArgTypeset kBytesArg = arg_typeset({TYPE_BINARY, TYPE_STRING});
constexpr ArgTypeset kBinaryArg = arg_typeset({TYPE_BINARY});
// decompress keeps a buffer of this many bytes or less as it is made.
constexpr int64_t kShrinkAbove = 64;
constexpr ArgTypeset kStringArg = arg_typeset({TYPE_STRING});
constexpr ArgTypeset kIntegerArg = arg_typeset({TYPE_INTEGER});

// The entry's type check: script/expect-arg naming the argument. The name
// is made only when the check fails.
void check_arg(const Cell* arg, const ArgTypeset& types, const char* name) {
  if (typeset_has_q(types.bits, TYPE_OF(arg))) return;
  Cell word = word::load(name);
  check_arg_type(arg, types.bits, &word);
}

// The bytes of a binary! from its head, or the UTF-8 of a string! from its
// head.
std::vector<uint8_t> data_bytes(Cell* value) {
  if (TYPE_OF(value) == TYPE_BINARY) return binary::bytes_of(value);
  return binary::string_utf8(value);
}

// The spelling of a word argument (copied: the symbol's text may move).
std::string word_text(const Cell* word) { return std::string(symbol::utf8_of(word->data2)); }

bool same_text_q(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The argument of a refinement, or null when it is absent.
Cell* refinement_arg(const int32_t* refinements, int i) {
  if (!refinements || refinements[i] < 0) return nullptr;
  return stack::arguments() + refinements[i];
}

[[noreturn]] void fire_invalid_with(const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-refine-arg", word::load("with", TYPE_REFINEMENT), *value);
}

// A line the runtime prints of its own, as print would: through the value
// print hooks (the console's, or standard output's in kiv-run).
void print_line(std::string_view text) {
  Cell* line = stack::push_new_cell();
  string::init_cell(line, static_cast<int32_t>(text.size()));
  string::append_text(line, text);
  call_value_hooks(line, 1);
  stack::drop_cells(1);
}

compression::Method compression_method(const Cell* word) {
  std::optional<compression::Method> m;
  if (TYPE_OF(word) == TYPE_WORD) m = compression::method_from_word(word_text(word));
  if (!m) fire(ErrorCategory::kScript, "invalid-arg", *word);
  return *m;
}

// The /base of enbase and debase: 64 by default; 2, 16, 58 and 64 are known.
int64_t chosen_base(const int32_t* refinements) {
  Cell* base = refinement_arg(refinements, 0);
  if (!base) return 64;
  int64_t b = TYPE_OF(base) == TYPE_INTEGER ? integer::get(base) : 0;
  if (!binary::base_q(b)) fire(ErrorCategory::kScript, "invalid-arg", *base);
  return b;
}

}  // namespace

void checksum(int32_t check, const int32_t* refinements) {
  Cell* data = stack::arguments();
  Cell* method = data + 1;
  Cell* spec = refinement_arg(refinements, 0);
  if (check) check_arg(method, kWordArg, "method");

  std::vector<uint8_t> bytes;
  switch (TYPE_OF(data)) {
    case TYPE_STRING:
    case TYPE_BINARY:
      bytes = data_bytes(data);
      break;
    case TYPE_FILE: {
      std::optional<std::vector<uint8_t>> content = simple_io::read_bytes(file::to_os_path(data), -1, -1);
      if (!content) fire(ErrorCategory::kAccess, "cannot-open", *data);
      bytes = std::move(*content);
      break;
    }
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *data);
  }

  std::string name = TYPE_OF(method) == TYPE_WORD ? word_text(method) : std::string();
  if (!checksum::method_q(name)) fire(ErrorCategory::kScript, "invalid-arg", *method);
  std::optional<checksum::MethodId> id = checksum::method_id(name);
  bool adler = same_text_q(name, "adler32");
  bool hash = same_text_q(name, "hash");

  // The checksums: an integer!, and no key.
  if (adler || id == checksum::kTcp || id == checksum::kCrc32) {
    if (spec) fire_invalid_with(method);
    uint32_t sum = adler ? adler32(bytes) : id == checksum::kCrc32 ? crc32(bytes) : checksum::internet(bytes);
    integer::init_cell(data, static_cast<int32_t>(sum));
    return;
  }

  if (!spec) {
    if (hash) fire_invalid_with(method);
    std::optional<std::vector<uint8_t>> digest = crypto::digest(bytes, *id);
    if (!digest) fire(ErrorCategory::kScript, "invalid-arg", Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(*id), 0});
    binary::load(digest->data(), digest->size(), data);
    return;
  }

  switch (TYPE_OF(spec)) {
    case TYPE_STRING:
    case TYPE_BINARY: {
      if (hash) fire_invalid_with(method);
      std::vector<uint8_t> key = data_bytes(spec);
      std::optional<std::vector<uint8_t>> mac = checksum::hmac(bytes, key, *id);
      if (!mac) {
        print_line(checksum::kHmacUnsupportedMessage);
        binary::load(nullptr, 0, data);
        return;
      }
      binary::load(mac->data(), mac->size(), data);
      return;
    }
    case TYPE_INTEGER:
      print_line(checksum::kHashNotImplementedMessage);
      integer::init_cell(data, 0);
      return;
    default:
      fire_invalid_with(spec);
  }
}

void compress(int32_t check, const int32_t*) {
  Cell* data = stack::arguments();
  Cell* method = data + 1;
  if (check) {
    check_arg(data, kBytesArg, "data");
    check_arg(method, kWordArg, "method");
  }
  if (TYPE_OF(data) != TYPE_BINARY && TYPE_OF(data) != TYPE_STRING)
    fire(ErrorCategory::kScript, "invalid-arg", *data);
  compression::Method m = compression_method(method);
  compression::Outcome out = compression::compress(m, data_bytes(data));
  if (out.status != compression::Status::kOk) fire(ErrorCategory::kScript, "invalid-data", *data);
  binary::load(out.bytes.data(), out.bytes.size(), data);
}

void decompress(int32_t check, const int32_t* refinements) {
  Cell* data = stack::arguments();
  Cell* method = data + 1;
  Cell* size = refinement_arg(refinements, 0);
  if (check) {
    check_arg(data, kBinaryArg, "data");
    check_arg(method, kWordArg, "method");
    if (size) check_arg(size, kIntegerArg, "length");
  }
  if (TYPE_OF(data) != TYPE_BINARY) fire(ErrorCategory::kScript, "invalid-arg", *data);
  compression::Method m = compression_method(method);
  std::optional<size_t> expected;
  if (size) {
    if (TYPE_OF(size) != TYPE_INTEGER || integer::get(size) < 0)
      fire(ErrorCategory::kScript, "invalid-arg", *size);
    expected = static_cast<size_t>(integer::get(size));
  }
  auto input = [data] {
    return std::span<const uint8_t>(binary::head_pointer(data), static_cast<size_t>(binary::length(data)));
  };
  compression::Result r = compression::decompress_size(m, input(), expected);
  if (r.status != compression::Status::kOk) fire(ErrorCategory::kScript, "invalid-data", *data);
  // A claim below the true size costs one more buffer, of the size asked for.
  for (int attempt = 0;; ++attempt) {
    // Refused before anything is allocated for it.
    if (r.size > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
    Cell out;
    binary::make_at(&out, static_cast<int32_t>(r.size));  // may move the input
    Held<SeriesBuffer> b = node_buffer(binary::node_of(&out));
    r = compression::decompress_into(m, std::span<uint8_t>(b->tail_ptr(), r.size), input());
    if (r.status == compression::Status::kOk) {
      b->tail += static_cast<uint32_t>(r.size);
      *data = out;
      // A claim well above the result would leave most of the buffer unused.
      if (b->size > kShrinkAbove && r.size * 2 < static_cast<size_t>(b->size))
        expand_series_copy(b.get(), std::max<int64_t>(static_cast<int64_t>(r.size), kShrinkAbove));
      return;
    }
    if (r.status != compression::Status::kOutputTooSmall || attempt > 0)
      fire(ErrorCategory::kScript, "invalid-data", *data);
  }
}

void enbase(int32_t check, const int32_t* refinements) {
  Cell* value = stack::arguments();
  if (check) {
    check_arg(value, kBytesArg, "value");
    if (Cell* b = refinement_arg(refinements, 0)) check_arg(b, kIntegerArg, "base-value");
  }
  if (TYPE_OF(value) != TYPE_BINARY && TYPE_OF(value) != TYPE_STRING)
    fire(ErrorCategory::kScript, "invalid-arg", *value);
  int64_t base = chosen_base(refinements);
  std::vector<uint8_t> bytes = data_bytes(value);
  uint64_t size = binary::encoded_size_max(base, bytes.size());
  if (size > 0xFFFFFFFFu) fire(ErrorCategory::kScript, "too-long");
  if (size > kMaxSeriesBytes) {
    // No buffer that large can be had.
    *value = none_value;
    return;
  }
  std::string text;
  switch (base) {
    case 2: text = binary::encode_2(bytes); break;
    case 16: text = binary::encode_16(bytes); break;
    case 58: text = binary::encode_58(bytes); break;
    default: text = binary::encode_64(bytes); break;
  }
  string::init_cell(value, static_cast<int32_t>(text.size()));
  string::append_text(value, std::string_view(text));
}

void debase(int32_t check, const int32_t* refinements) {
  Cell* value = stack::arguments();
  if (check) {
    check_arg(value, kStringArg, "value");
    if (Cell* b = refinement_arg(refinements, 0)) check_arg(b, kIntegerArg, "base-value");
  }
  if (!string::any_string_q(TYPE_OF(value))) fire(ErrorCategory::kScript, "invalid-arg", *value);
  int64_t base = chosen_base(refinements);
  // The decoders read the characters where they are: they allocate no series.
  size_t count = static_cast<size_t>(string::length(value));
  HeldPtr<const uint8_t> p = string::head_pointer(value);
  uint32_t unit = string::unit_of(value);
  binary::CodeUnits text =
      unit == 1   ? binary::CodeUnits(std::span<const uint8_t>(p, count))
      : unit == 2 ? binary::CodeUnits(std::span<const uint16_t>(reinterpret_cast<const uint16_t*>(bare(p)), count))
                  : binary::CodeUnits(std::span<const uint32_t>(reinterpret_cast<const uint32_t*>(bare(p)), count));
  std::optional<std::vector<uint8_t>> bytes;
  switch (base) {
    case 2: bytes = binary::decode_2(text); break;
    case 16: bytes = binary::decode_16(text); break;
    case 58: bytes = binary::decode_58(text); break;
    default: bytes = binary::decode_64(text); break;
  }
  if (!bytes) {
    *value = none_value;
    return;
  }
  binary::load(bytes->data(), bytes->size(), value);
}

}  // namespace kiv::natives
