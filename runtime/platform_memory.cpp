#include "runtime/platform_memory.h"

#include <sys/mman.h>

namespace kiv::platform {

namespace {
int g_refusals = 0;
}

void* alloc_virtual(size_t size, bool executable) {
  if (g_refusals > 0) {
    --g_refusals;
    return nullptr;
  }
  int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
  void* p = mmap(nullptr, size, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool free_virtual(void* address, size_t size) { return munmap(address, size) == 0; }

void* reserve_virtual(size_t size) {
  void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool commit_virtual(void* address, size_t size) {
  if (g_refusals > 0) {
    --g_refusals;
    return false;
  }
  return mprotect(address, size, PROT_READ | PROT_WRITE) == 0;
}

bool decommit_virtual(void* address, size_t size) {
  return madvise(address, size, MADV_DONTNEED) == 0 && mprotect(address, size, PROT_NONE) == 0;
}

bool protect_virtual(void* address, size_t size) { return mprotect(address, size, PROT_NONE) == 0; }

void refuse_virtual_allocations(int count) { g_refusals = count; }

}  // namespace kiv::platform
