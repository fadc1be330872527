// POSIX: memory: pages made at once, and the local-memory heap on the C heap.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Whether a block is mapped apart; smaller ones come from the C heap, which
// has them at hand without a system call.
bool mapped_apart(std::size_t size) {
  return size >= (std::size_t{1} << 20);
}

std::size_t round_up(std::size_t size, std::size_t unit) {
  return (size + unit - 1) / unit * unit;
}

// Maps whole huge pages at a huge-page boundary, the only place where the
// system can give them: a mapping a huge page longer, its ends cut off.
void *map_at_huge_page(std::size_t size) {
  const std::size_t length = round_up(size, kHugePage);
  const int access = PROT_READ | PROT_WRITE;
  const int kind = MAP_PRIVATE | MAP_ANONYMOUS;
  // cppcheck takes -1 for a descriptor, which an anonymous mapping ignores.
  // cppcheck-suppress invalidFunctionArg
  void *mapped = mmap(nullptr, length + kHugePage, access, kind, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t block = round_up(start, kHugePage);
  if (block != start) {
    munmap(mapped, block - start);
  }
  munmap(reinterpret_cast<void *>(block + length), kHugePage - (block - start));
  return reinterpret_cast<void *>(block);
}

// Whether the system gives huge pages to a mapping that asks for them: its
// transparent huge pages are not turned off.
bool huge_pages_on_request() {
  const int fd = ::open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  char setting[64];
  const ssize_t got = posix::read_some(fd, setting, sizeof setting);
  ::close(fd);
  return got > 0 && std::string_view(setting, static_cast<std::size_t>(got)).find("[never]") ==
                        std::string_view::npos;
}

}  // namespace

void *make_pages(std::size_t size) {
  void *block = nullptr;
  if (mapped_apart(size)) {
    block = map_at_huge_page(size);
    // Where huge pages are given only on request; elsewhere no effect.  The
    // request covers whole huge pages, or the system splits the last off.
    if (block != nullptr) {
      madvise(block, round_up(size, kHugePage), MADV_HUGEPAGE);
    }
  } else {
    block = std::aligned_alloc(kPage, round_up(size, kPage));
  }
  // Older kernels answer EINVAL, and the pages come one fault at a time.
  if (block != nullptr) {
    madvise(block, size, MADV_POPULATE_WRITE);
  }
  return block;
}

void free_pages(void *block, std::size_t size) {
  if (block == nullptr) {
    return;
  }
  if (mapped_apart(size)) {
    munmap(block, round_up(size, kHugePage));
  } else {
    std::free(block);
  }
}

bool worth_a_second_worker(std::uint64_t size) {
  constexpr std::uint64_t kInHugePagesFrom = std::uint64_t{4} << 20;
  constexpr std::uint64_t kInSmallPagesFrom = std::uint64_t{32} << 20;
  // The setting is read only where it decides.
  return size > kInHugePagesFrom && (size > kInSmallPagesFrom || huge_pages_on_request());
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
