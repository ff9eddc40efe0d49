// System libraries opened on first use instead of at process start: the
// dynamic loader's work for a library and everything it depends on (loading,
// relocation, symbol lookup) is paid by the first program that needs it,
// not by every launch. A library opened stays open for the life of the
// process.
#pragma once

#include <dlfcn.h>

namespace kiv::shared_library {

// The library of that file name (its soname); null when it cannot be
// loaded. Callers open a library once and keep the functions they bind.
void* open(const char* soname);

// Sets *function to the library's function of that name; false when the
// library has none.
template <typename F>
bool bind(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(dlsym(library, name));
  return *function != nullptr;
}

}  // namespace kiv::shared_library
