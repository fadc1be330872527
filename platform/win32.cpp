// Win32 implementation of the platform services.
#include "win32.h"

#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdint>

#include "platform.h"

namespace platform {

namespace {

using GetDiskFreeSpaceExFn = BOOL(WINAPI *)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                            PULARGE_INTEGER);

HANDLE handle_of(std::FILE *fp) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
}

// The absolute name of path, or path itself when it has none.
std::string full_path(const char *path) {
  const DWORD needed = GetFullPathNameA(path, 0, nullptr, nullptr);
  if (needed == 0) {
    return path;
  }
  std::string full(needed, '\0');
  const DWORD length = GetFullPathNameA(path, needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return path;
  }
  full.resize(length);
  return full;
}

// The directory part of an absolute name, its last separator included.
std::string directory_of(const std::string &path) {
  return path.substr(0, path.find_last_of("\\/") + 1);
}

bool identify(const char *name, BY_HANDLE_FILE_INFORMATION &info) {
  // No access is asked for, so that files open elsewhere can be identified;
  // backup semantics let directories be opened too.
  const HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  return known;
}

// The attributes that the rewritten file takes over from the original.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

std::string free_space_root(const char *path) {
  if (path[0] != '\0' && path[1] == ':') {
    return std::string(path, 2) + '\\';
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

std::int64_t regular_file_size(std::FILE *fp) {
  const HANDLE file = handle_of(fp);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileSizeEx(file, &size)) {
    return -1;
  }
  return size.QuadPart;
}

const char *map_file(std::FILE *fp, std::size_t &size) {
  const std::int64_t file_size = regular_file_size(fp);
  if (file_size <= 0 || static_cast<std::uint64_t>(file_size) > SIZE_MAX) {
    return nullptr;
  }
  const HANDLE mapping = CreateFileMappingA(handle_of(fp), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    return nullptr;
  }
  // The view holds the mapping by itself.
  const void *data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  CloseHandle(mapping);
  if (data == nullptr) {
    return nullptr;
  }
  size = static_cast<std::size_t>(file_size);
  return static_cast<const char *>(data);
}

void unmap_file(const char *data, std::size_t /*size*/) {
  UnmapViewOfFile(data);
}

bool same_file(const char *first, const char *second) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return identify(first, a) && identify(second, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

std::FILE *create_temp_beside(const char *path, std::string &temp_path) {
  const std::string directory = directory_of(full_path(path));
  char name[MAX_PATH];
  if (GetTempFileNameA(directory.c_str(), "nlf", 0, name) == 0) {
    return nullptr;
  }
  std::FILE *fp = std::fopen(name, "wb");
  if (fp == nullptr) {
    DeleteFileA(name);
    return nullptr;
  }
  temp_path = name;
  return fp;
}

bool replace_with(const char *temp_path, const char *path) {
  const std::string target = full_path(path);
  const DWORD attributes = GetFileAttributesA(target.c_str());
  // A read-only file is not replaced behind its back; it stays as it is.
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  const DWORD kept = attributes & kKeptAttributes;
  return SetFileAttributesA(temp_path, kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept) &&
         MoveFileExA(temp_path, target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace platform
