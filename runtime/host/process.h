// Child processes: the runner behind the `call` and `browse` natives.
//
// A command runs directly (split into arguments by split_arguments and found
// on PATH by posix_spawnp) or through /bin/sh -c. Its standard streams are
// each either the process's own (console), the null device, a file, or a
// pipe: input from bytes, output and error captured into bytes. One poll
// loop feeds the input while draining output and error, so a child that
// writes much to either stream before reading all its input never stalls the
// exchange. A child that is not waited for is reaped when it ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::os {

// Where one standard stream of the child goes.
struct Redirect {
  enum class Kind {
    kDefault,  // input: the process's own; output and error: the null device
    kConsole,  // the process's own stream
    kData,     // input: the bytes of data; output and error: captured into data
    kFile,     // the file at path (output and error are appended to it)
  };
  Kind kind = Kind::kDefault;
  std::string data;
  std::string path;
};

struct ProcessRequest {
  std::string command;
  bool wait = false;
  bool shell = false;  // run through /bin/sh -c
  Redirect input, output, error;
};

// Runs the command. Answers the exit status when the call waited (forced
// when a stream is redirected: 128 + the signal's number for a child ended
// by a signal), else the child's process id; -1 when it could not be
// started (an input file that cannot be opened, a command not found even by
// the shell). A command not found as a program is tried once more through
// the shell, which then reports what is wrong with it.
int64_t run_process(ProcessRequest& request);

// The words of a command line: blanks separate them; single quotes keep
// everything up to the next single quote; double quotes keep everything up
// to the next double quote, a backslash escaping a double quote or a
// backslash in them; a backslash outside quotes keeps the next character.
std::vector<std::string> split_arguments(std::string_view command);

// Starts the program with the arguments, not waited for (reaped when it
// ends); false when it cannot be started.
bool spawn_detached(const std::vector<std::string>& arguments);

}  // namespace kiv::os
