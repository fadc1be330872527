// Win32: what files are, reading and writing them, the spool, flushing and
// free space.
#include "win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"
#include "win32_internal.h"

namespace platform {

using namespace detail;

namespace detail {

HANDLE handle_of(std::FILE *fp) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
}

FileStatus status_from(HANDLE file) {
  FileStatus status;
  if (file == INVALID_HANDLE_VALUE) {
    return status;
  }
  status.exists = true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    // A device such as NUL or COM1 has no file of its own.
    status.unidentified = GetFileType(file) == FILE_TYPE_DISK;
    return status;
  }
  status.regular = GetFileType(file) == FILE_TYPE_DISK &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  if (status.regular) {
    status.size =
        static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  }
  status.sized = status.regular && status.size > 0;
  status.modified =
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                info.ftLastWriteTime.dwLowDateTime);
  status.links = info.nNumberOfLinks;
  status.volume = info.dwVolumeSerialNumber;
  status.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return status;
}

bool seek(HANDLE file, std::uint64_t offset) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
}

bool set_file_size(HANDLE file, std::uint64_t size) {
  return seek(file, size) && SetEndOfFile(file) && seek(file, 0);
}

FileStatus status_of_name(const std::wstring &name) {
  const HANDLE file = open_for_identity(name);
  const FileStatus status = status_from(file);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  return status;
}

std::FILE *stream_on(HANDLE file, const char *mode, int flags) {
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE *fp = _fdopen(fd, mode);
  if (fp == nullptr) {
    _close(fd);
  }
  return fp;
}

HANDLE create_unique(const std::wstring &directory, DWORD access, DWORD flags, std::wstring &name,
                     SECURITY_ATTRIBUTES *security) {
  static DWORD next = GetCurrentProcessId() * 65599U ^ GetTickCount();
  constexpr int kAttempts = 100;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::wstring suffix = L"00000000.tmp";
    for (DWORD value = next++, digit = 8; digit > 0; value >>= 4) {
      suffix[--digit] = L"0123456789abcdef"[value & 15];
    }
    name = directory + L"nlf" + suffix;
    const HANDLE file = CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    security, CREATE_NEW, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return file;
    }
    const DWORD error = GetLastError();
    // A name taken, or one whose file is being deleted: another name.
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
        error != ERROR_ACCESS_DENIED) {
      break;
    }
  }
  name.clear();
  return INVALID_HANDLE_VALUE;
}

}  // namespace detail

namespace {

using GetDiskFreeSpaceExFn = BOOL(WINAPI *)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                            PULARGE_INTEGER);

// ReadFile's count is 32-bit.
DWORD chunk_of(std::size_t size) {
  return size > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(size);
}

std::int64_t read_file(HANDLE file, char *buffer, std::size_t size) {
  DWORD got = 0;
  if (ReadFile(file, buffer, chunk_of(size), &got, nullptr)) {
    return got;
  }
  // A pipe whose writer has gone is at its end.
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

}  // namespace

std::string free_space_root(const char *path) {
  if (path[0] != '\0' && path[1] == ':') {
    return std::string(path, 2) + '\\';
  }
  const std::wstring name = wide(path);
  // \\?\X:\... and \\server\share\...: the volume that the name is on.
  if (starts_with(name, L"\\\\") || starts_with(name, L"//")) {
    std::wstring volume(name.size() + 2, L'\0');
    // Wine finds no volume for a name on a share; its root serves as well.
    const std::wstring root =
        GetVolumePathNameW(name.c_str(), volume.data(), static_cast<DWORD>(volume.size()))
            ? std::wstring(volume.c_str())
            : share_root(name);
    std::string narrow_root;
    return !root.empty() && narrow(root.c_str(), narrow_root) ? narrow_root : std::string();
  }
  return "\\";
}

double free_space_by_clusters(const char *root) {
  DWORD sectors_per_cluster = 0;
  DWORD bytes_per_sector = 0;
  DWORD free_clusters = 0;
  DWORD total_clusters = 0;
  if (GetDiskFreeSpaceA(root, &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                        &total_clusters) != TRUE) {
    return -1.0;
  }
  // A 32-bit product would wrap at 4 GiB of free space.
  return static_cast<double>(free_clusters) * static_cast<double>(sectors_per_cluster) *
         static_cast<double>(bytes_per_sector);
}

double free_space(const char *path) {
  const std::string root = free_space_root(path);
  if (root.empty()) {
    return -1.0;
  }
  // Looked up at run time, since systems before it lack the extended query.
  const HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
  const auto extended = kernel == nullptr
                            ? nullptr
                            : reinterpret_cast<GetDiskFreeSpaceExFn>(reinterpret_cast<void (*)()>(
                                  GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
  double result = -1.0;
  if (extended != nullptr) {
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER total_free{};
    if (extended(root.c_str(), &available, &total, &total_free)) {
      result = static_cast<double>(available.HighPart) * 4294967296.0 +
               static_cast<double>(available.LowPart);
    }
  } else {
    result = free_space_by_clusters(root.c_str());
  }
  if (kernel != nullptr) {
    FreeLibrary(kernel);
  }
  return result;
}

FileStatus status_of(const char *path) {
  const std::wstring name = native(path);
  FileStatus status = status_of_name(name);
  // Some devices, such as CON, cannot be opened that way.
  if (!status.exists) {
    status.exists = GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES ||
                    GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  return status;
}

FileStatus status_of(std::FILE *fp) {
  return status_from(handle_of(fp));
}

std::int64_t read(std::FILE *fp, char *buffer, std::size_t size) {
  return read_file(handle_of(fp), buffer, size);
}

std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset) {
  // Positioned, then read plainly: a read given its offset in an OVERLAPPED
  // moves the position just the same, and under Wine it costs a round trip
  // to the server per read.
  const HANDLE file = handle_of(fp);
  return seek(file, offset) ? read_file(file, buffer, size) : -1;
}

bool write_all(std::FILE *fp, const char *data, std::size_t size) {
  const HANDLE file = handle_of(fp);
  while (size > 0) {
    DWORD put = 0;
    if (!WriteFile(file, data, chunk_of(size), &put, nullptr) || put == 0) {
      return false;
    }
    data += put;
    size -= put;
  }
  return true;
}

bool write_at(std::FILE *fp, const char *data, std::size_t size, std::uint64_t offset) {
  return seek(handle_of(fp), offset) && write_all(fp, data, size);
}

std::FILE *open_file(const char *path, const char *mode) {
  const std::wstring name = native(path);
  if (name.empty()) {
    return nullptr;
  }
  const std::string kind = mode;
  const bool reading = kind == "rb";
  if (reading || kind == "r+b") {
    // Shared for reading, writing and deletion, so that a file that another
    // program holds with delete access can still be read and rewritten.  A
    // file opened only for reading is read from front to back: the cache
    // may read further ahead and keep less behind.  A read-only file is
    // opened for reading alone, also where Wine runs as the host's root and
    // would write it: rewriting it in place then fails before any byte
    // changes, a writing error as for a read-only file that is replaced.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    const bool read_only =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    const bool writing = !reading && !read_only;
    const HANDLE file =
        CreateFileW(name.c_str(), writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, kShareAll,
                    nullptr, OPEN_EXISTING, reading ? FILE_FLAG_SEQUENTIAL_SCAN : 0, nullptr);
    return stream_on(file, writing ? "r+b" : "rb", writing ? _O_RDWR : _O_RDONLY);
  }
  // Windows refuses to write a read-only file, except to a process that
  // Wine runs as the host's root.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return nullptr;
  }
  return _wfopen(name.c_str(), wide(mode).c_str());
}

std::FILE *open_spool() {
  const DWORD needed = GetTempPathW(0, nullptr);
  std::wstring directory(needed, L'\0');
  const DWORD length = needed == 0 ? 0 : GetTempPathW(needed, directory.data());
  if (length == 0 || length >= needed) {
    return nullptr;
  }
  directory.resize(length);
  std::wstring name;
  // The system removes the file when its last handle closes, also when the
  // process is killed.
  return stream_on(create_unique(long_form(directory), GENERIC_READ | GENERIC_WRITE,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, name),
                   "w+b", _O_RDWR);
}

bool has_free_space_figure(std::FILE *fp, const char *path) {
  return status_of(fp).regular && !free_space_root(path).empty();
}

bool truncate(std::FILE *fp, std::uint64_t size) {
  return set_file_size(handle_of(fp), size);
}

bool flush(std::FILE *fp) {
  return FlushFileBuffers(handle_of(fp)) != 0;
}

}  // namespace platform
