// Win32: rewriting a file in place: the room reserved for the new text
// before any byte changes; nothing else is taken from or held off a file.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"
#include "win32_internal.h"

namespace platform {

using namespace detail;

namespace {

// Writes count zeros at the end of the file.
bool append_zeros(HANDLE file, std::uint64_t count) {
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(file, end, nullptr, FILE_END)) {
    return false;
  }
  const std::string zeros(std::size_t{1} << 16, '\0');
  for (std::uint64_t left = count; left > 0;) {
    const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(left, zeros.size()));
    DWORD put = 0;
    if (!WriteFile(file, zeros.data(), piece, &put, nullptr) || put == 0) {
      return false;
    }
    left -= put;
  }
  return true;
}

}  // namespace

Reserved reserve(std::FILE *fp, std::uint64_t size) {
  const HANDLE file = handle_of(fp);
  LARGE_INTEGER current{};
  FILETIME modified{};
  if (!GetFileSizeEx(file, &current) || !GetFileTime(file, nullptr, nullptr, &modified)) {
    return Reserved::failed;
  }
  const auto old_size = static_cast<std::uint64_t>(current.QuadPart);
  // A file grown by setting its end may be sparse and run out of room later;
  // zeros written take real room.  The text overwrites them.
  if (old_size >= size || append_zeros(file, size - old_size)) {
    return seek(file, 0) ? Reserved::done : Reserved::failed;
  }
  const DWORD error = GetLastError();
  if (!set_file_size(file, old_size) || !SetFileTime(file, nullptr, nullptr, &modified)) {
    return Reserved::failed;
  }
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? Reserved::no_space
                                                                     : Reserved::failed;
}

// Windows has no sticky directories: whoever may write a directory's files
// may create them.
bool creation_refused(const char * /*path*/) {
  return false;
}

// Other programs are held off by the sharing that they ask for, not by this
// one.
OthersHeldOff::OthersHeldOff(std::FILE * /*fp*/) {}

OthersHeldOff::~OthersHeldOff() = default;

// Writing takes nothing from a file here.
Privileges Privileges::of(std::FILE * /*fp*/) {
  return {};
}

bool Privileges::restore(std::FILE * /*fp*/) const {
  return true;
}

}  // namespace platform
