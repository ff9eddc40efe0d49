// The C++ form of a language error.
//
// Low-level code that must fail with a language error (the memory manager's
// internal/no-memory, a decoder's bad data ...) throws a LanguageError. It
// names the error by category and id, as the error catalogue does, and carries
// up to three arguments, each a text or a value. The code that turns it into
// an error! value (the error machinery of the interpreter) reads them in order.
//
// Value arguments are held in RootedCell objects, so the series they refer to
// stay alive while the exception unwinds, however many allocations and
// collections happen on the way to the handler.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "runtime/cell.h"
#include "runtime/collector.h"

namespace kiv {

// The categories in the order of the error catalogue; the position times 100
// is the category's base code.
enum class ErrorCategory : uint8_t {
  kThrow = 0,
  kNote = 1,
  kSyntax = 2,
  kScript = 3,
  kMath = 4,
  kAccess = 5,
  kReserved1 = 6,
  kReserved2 = 7,
  kUser = 8,
  kInternal = 9,
};

// The category's word as the catalogue spells it ("internal" ...).
inline const char* error_category_name(ErrorCategory c) {
  static const char* const names[] = {"throw", "note",      "syntax",    "script", "math",
                                      "access", "reserved1", "reserved2", "user",   "internal"};
  auto i = static_cast<unsigned>(c);
  return i < 10 ? names[i] : "internal";
}

// One argument of an error: absent, a text, or a value.
struct ErrorArgument {
  enum class Kind : uint8_t { kNone, kText, kValue };
  Kind kind = Kind::kNone;
  std::string text;  // kText
  RootedCell value;  // kValue (unset otherwise)

  ErrorArgument() = default;
  ErrorArgument(const char* t) : kind(Kind::kText), text(t) {}
  ErrorArgument(std::string t) : kind(Kind::kText), text(std::move(t)) {}
  ErrorArgument(const Cell& v) : kind(Kind::kValue), value(v) {}

  bool present() const { return kind != Kind::kNone; }
};

struct LanguageError : std::exception {
  ErrorCategory category = ErrorCategory::kInternal;
  std::string id;  // the id's word, e.g. "no-memory"
  std::array<ErrorArgument, 3> args;

  LanguageError(ErrorCategory cat, std::string error_id, ErrorArgument arg1 = {},
                ErrorArgument arg2 = {}, ErrorArgument arg3 = {})
      : category(cat), id(std::move(error_id)), args{std::move(arg1), std::move(arg2), std::move(arg3)} {
    label_ = std::string(error_category_name(category)) + "/" + id;
  }

  int arg_count() const {
    int n = 0;
    for (const auto& a : args) n += a.present() ? 1 : 0;
    return n;
  }

  // "category/id", for diagnostics only.
  const char* what() const noexcept override { return label_.c_str(); }

 private:
  std::string label_;
};

}  // namespace kiv
