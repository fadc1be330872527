// Win32: memory: the local-memory heap, and pages, which Windows makes as
// they are first touched.
#include <windows.h>

#include <malloc.h>

#include <cstddef>

#include "platform.h"

namespace platform {

// Windows makes a committed page when it is first touched, there is no
// cheaper way; its large pages need a privilege that users lack.
void *make_pages(std::size_t size) {
  return _aligned_malloc(size == 0 ? 1 : size, 4096);
}

void free_pages(void *block, std::size_t /*size*/) {
  _aligned_free(block);
}

bool worth_a_second_worker(std::uint64_t size) {
  return size > (std::uint64_t{32} << 20);
}

void *local_alloc(int size) {
  if (size < 0) {
    return nullptr;
  }
  // A moveable block of 0 bytes is born discarded and cannot be locked.
  return LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size == 0 ? 1 : static_cast<SIZE_T>(size));
}

void *local_lock(void *handle) {
  return LocalLock(handle);
}

void local_unlock(void *handle) {
  LocalUnlock(handle);
}

void local_free(void *handle) {
  LocalFree(handle);
}

}  // namespace platform
