// How the top level shows an error that nothing caught: the category's
// title, the message from the catalogue's template with the arguments
// filled in (values molded), where it happened and the code near it:
//   *** Script Error: x has no value
//   *** Where: print
//   *** Near : [print x]
// The error! datatype replaces this with the catalogue of the system object.
#pragma once

#include <string>

#include "runtime/language_error.h"

namespace kiv::boot {

// The category's title ("Script Error" ...).
const char* category_title(ErrorCategory category);
// The message alone: the template with the arguments filled in.
std::string error_message(const LanguageError& error);
// A value molded, cut to limit characters when limit > 0 (with "..." when
// cut). Never raises: a value that cannot be molded shows its type.
std::string mold_text(const Cell& value, int32_t limit);
// An error argument as text: a text as it is, a value molded.
std::string argument_text(const ErrorArgument& argument);
// The whole report, lines joined by "\n", without a final line feed. Reads
// where and near from the state the error left (call before anything else
// runs).
std::string form_uncaught(const LanguageError& error);

// The handler of the executables: the report to standard error, then the
// process ends with status 254.
[[noreturn]] void report_uncaught(const LanguageError& error);
// Installs report_uncaught as the value stack's uncaught-error handler.
void install_report_handler();

}  // namespace kiv::boot
