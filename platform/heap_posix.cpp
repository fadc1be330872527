// POSIX: memory: pages made at once, and the local-memory heap on the C heap.
#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "platform.h"

namespace platform {

// Older kernels answer EINVAL, and the pages come one fault at a time.
void prefault(void *block, std::size_t size) {
  madvise(block, size, MADV_POPULATE_WRITE);
}

namespace {

// A handle points to this record, never to the block itself, so that code
// which takes a handle for an address fails here as it would on Windows.
struct LocalBlock {
  void *address;
};

}  // namespace

void *local_alloc(int size) {
  if (size < 0) {
    return nullptr;
  }
  // calloc may answer 0 bytes with null, which would read as a failure.
  void *address = std::calloc(1, size == 0 ? 1 : static_cast<std::size_t>(size));
  // cppcheck takes the nothrow new for a store that is never read.
  // cppcheck-suppress unreadVariable
  auto *block = address == nullptr ? nullptr : new (std::nothrow) LocalBlock{address};
  if (block == nullptr) {
    std::free(address);
  }
  return block;
}

void *local_lock(void *handle) {
  return handle == nullptr ? nullptr : static_cast<LocalBlock *>(handle)->address;
}

// Blocks never move here, so there is no lock to release.
void local_unlock(void * /*handle*/) {}

void local_free(void *handle) {
  auto *block = static_cast<LocalBlock *>(handle);
  if (block != nullptr) {
    std::free(block->address);
    delete block;
  }
}
}  // namespace platform
