#include "runtime/host/shared_library.h"

namespace kiv::shared_library {

void* open(const char* soname) {
  // RTLD_LOCAL: the library's names serve only the functions bound from it.
  return dlopen(soname, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace kiv::shared_library
