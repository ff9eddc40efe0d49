// dehex and enhex read and write the percent escapes of the url! module
// (runtime/datatypes/url.h); their result is always a new string!, whatever
// string kind they were given. to-hex writes the 32-bit two's complement
// digits of an integer as an issue!. size? asks the operating system for the
// size of a file's content.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/issue.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/eval/natives.h"
#include "runtime/language_error.h"
#include "runtime/member_bits.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::natives {

namespace {

constexpr int kHexDigitsOfInteger = 8;  // an integer! holds 32 bits

inline Cell* arg(int32_t n) { return stack::arguments() + n; }

// Argument typesets, most significant bit first as support.h reads them.
struct Typeset {
  uint8_t bits[12] = {};
};
constexpr Typeset typeset_of(std::initializer_list<uint32_t> types) {
  Typeset t;
  for (uint32_t type : types) add_member(t.bits, type);
  return t;
}
constexpr Typeset kAnyStringArg =
    typeset_of({TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF});
constexpr Typeset kIntegerArg = typeset_of({TYPE_INTEGER});
constexpr Typeset kFileArg = typeset_of({TYPE_FILE});

void check_at(int32_t check, int32_t n, const Typeset& types) {
  if (check && n >= 0) check_arg_type(arg(n), types.bits);
}

// Runs fill on a new string! (pushed, so it is rooted while it fills) and
// leaves that string in the result cell.
template <typename Fill>
void string_result(int32_t capacity, Fill fill) {
  Cell* out = stack::push_new_cell();
  string::init_cell(out, capacity);
  fill(out);
  *arg(0) = *out;
  stack::drop_cells(1);
}

// The size in bytes of the file's content, or -1 when it has none to give:
// a directory, a name the system cannot take, a file that cannot be opened.
int64_t file_size(const std::string& path) {
  // A NUL would cut the name short and name another file.
  if (path.empty() || path.find('\0') != std::string::npos) return -1;
  // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  int got = ::fstat(fd, &st);
  ::close(fd);
  if (got != 0 || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace

void dehex(int32_t check, const int32_t*) {
  check_at(check, 0, kAnyStringArg);
  Cell text = *arg(0);
  string_result(string::length(&text), [&](Cell* out) { url::decode_percent(&text, out); });
}

void enhex(int32_t check, const int32_t*) {
  check_at(check, 0, kAnyStringArg);
  Cell text = *arg(0);
  // A string! keeps only the unreserved characters; the other kinds also
  // keep the characters that have a meaning in a url.
  url::Table table = TYPE_OF(&text) == TYPE_STRING ? url::Table::kStrict : url::Table::kUrl;
  string_result(string::length(&text), [&](Cell* out) { url::encode_percent(&text, out, table); });
}

void to_hex(int32_t check, const int32_t* refinements) {
  check_at(check, 0, kIntegerArg);
  int32_t digits = kHexDigitsOfInteger;
  if (refinements && refinements[0] >= 0) {
    check_at(check, refinements[0], kIntegerArg);
    Cell* length = arg(refinements[0]);
    int32_t wanted = integer::get(length);
    if (wanted < 1) fire(ErrorCategory::kScript, "invalid-arg", *length);
    if (wanted < digits) digits = wanted;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  char text[kHexDigitsOfInteger];
  uint32_t bits = static_cast<uint32_t>(integer::get(arg(0)));
  for (int i = kHexDigitsOfInteger - 1; i >= 0; --i, bits >>= 4) text[i] = kHex[bits & 15];
  issue::init_cell(std::string_view(text + kHexDigitsOfInteger - digits, static_cast<size_t>(digits)),
                   arg(0));
}

void size_q(int32_t check, const int32_t*) {
  check_at(check, 0, kFileArg);
  Cell name = *arg(0);
  int32_t n = string::length(&name);
  // A name ending in a slash names a directory, which has no content size.
  if (n > 0 && string::char_at_index(&name, string::index_of(&name) + n - 1) == '/') {
    none::into_result();
    return;
  }
  int64_t size = file_size(file::to_os_path(&name));
  if (size < 0) {
    none::into_result();
    return;
  }
  // integer! holds 32 bits: a larger file would give a wrong, even negative,
  // size.
  if (size > INT32_MAX) fire(ErrorCategory::kMath, "overflow");
  integer::init_cell(arg(0), static_cast<int32_t>(size));
}

}  // namespace kiv::natives
