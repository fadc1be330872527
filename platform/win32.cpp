// Win32 implementation of the platform services.
#include "win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
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

namespace {

FileStatus status_from(HANDLE file) {
  FileStatus status;
  if (file == INVALID_HANDLE_VALUE) {
    return status;
  }
  status.exists = true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    return status;  // a device such as NUL or COM1: no file of its own
  }
  status.regular = GetFileType(file) == FILE_TYPE_DISK &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  if (status.regular) {
    status.size =
        static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  }
  status.volume = info.dwVolumeSerialNumber;
  status.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return status;
}

// ReadFile's count is 32-bit.
DWORD chunk_of(std::size_t size) {
  return size > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(size);
}

std::int64_t read_file(HANDLE file, char *buffer, std::size_t size, OVERLAPPED *where) {
  DWORD got = 0;
  if (ReadFile(file, buffer, chunk_of(size), &got, where)) {
    return got;
  }
  // A pipe whose writer has gone is at its end; so is a read past the end.
  const DWORD error = GetLastError();
  return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : -1;
}

// A stream on a handle opened by the system call itself: the C runtime's
// own open cannot share deletion.
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

// Opens a file for writing so that it can be deleted while open: an
// interruption removes a temporary file that the process still holds.
std::FILE *open_shared_for_writing(const char *name) {
  return stream_on(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                   "wb", _O_WRONLY);
}

}  // namespace

FileStatus status_of(const char *path) {
  // No access is asked for, so that files open elsewhere can be identified;
  // backup semantics let directories be opened too.
  const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // Some devices, such as CON, cannot be opened this way.
    FileStatus status;
    status.exists = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    return status;
  }
  FileStatus status = status_from(file);
  CloseHandle(file);
  return status;
}

FileStatus status_of(std::FILE *fp) {
  return status_from(handle_of(fp));
}

std::int64_t read(std::FILE *fp, char *buffer, std::size_t size) {
  return read_file(handle_of(fp), buffer, size, nullptr);
}

std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return read_file(handle_of(fp), buffer, size, &where);
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

std::FILE *open_spool() {
  char directory[MAX_PATH + 1];
  char name[MAX_PATH];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "nls", 0, name) == 0) {
    return nullptr;
  }
  // The system removes the file when its last handle closes, also when the
  // process is killed.
  std::FILE *fp = stream_on(
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr),
      "w+b", _O_RDWR);
  if (fp == nullptr) {
    DeleteFileA(name);
  }
  return fp;
}

std::FILE *create_temp_beside(const char *path, std::string &temp_path, Replacing /*what*/) {
  // A name that cannot be created (wildcards, a missing directory) is found
  // before anything is written; the probe goes when its handle closes.
  const HANDLE probe =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
  } else if (GetLastError() != ERROR_FILE_EXISTS) {
    return nullptr;
  }
  const std::string directory = directory_of(full_path(path));
  char name[MAX_PATH];
  if (GetTempFileNameA(directory.c_str(), "nlf", 0, name) == 0) {
    return nullptr;
  }
  std::FILE *fp = open_shared_for_writing(name);
  if (fp == nullptr) {
    DeleteFileA(name);
    return nullptr;
  }
  temp_path = name;
  return fp;
}

bool replace_with(const char *temp_path, const char *path, Replacing what) {
  const std::string target = full_path(path);
  if (what == Replacing::new_file) {
    // Without the replacing flag a file that appeared meanwhile stays.
    return MoveFileExA(temp_path, target.c_str(), 0) != 0;
  }
  const DWORD attributes = GetFileAttributesA(target.c_str());
  // A read-only file is not replaced behind its back; it stays as it is.
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  const DWORD kept = attributes & kKeptAttributes;
  return SetFileAttributesA(temp_path, kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept) &&
         MoveFileExA(temp_path, target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

namespace {

// What a console program ends with when Ctrl+C ends it.
constexpr UINT kInterruptedExitCode = 0xC000013A;

std::atomic<const char *> file_to_remove{nullptr};
std::atomic<bool> interrupts_held{false};
std::atomic<bool> interrupt_waiting{false};

[[noreturn]] void end_interrupted() {
  if (const char *path = file_to_remove.load()) {
    DeleteFileA(path);
  }
  ExitProcess(kInterruptedExitCode);
}

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (interrupts_held.load()) {
    interrupt_waiting.store(true);
    return TRUE;
  }
  end_interrupted();
}

bool set_file_size(HANDLE file, std::uint64_t size) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(size);
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
         SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

}  // namespace

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) < 0) {
      const int null_fd = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        _dup2(null_fd, fd);
        _close(null_fd);
      }
    }
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void remove_on_interrupt(const char *path) {
  file_to_remove.store(path);
}

void hold_interrupts() {
  interrupts_held.store(true);
}

void release_interrupts() {
  interrupts_held.store(false);
  if (interrupt_waiting.load()) {
    end_interrupted();
  }
}

bool has_free_space_figure(std::FILE *fp) {
  return status_of(fp).regular;
}

Reserved reserve(std::FILE *fp, std::uint64_t size) {
  const HANDLE file = handle_of(fp);
  LARGE_INTEGER current{};
  if (!GetFileSizeEx(file, &current)) {
    return Reserved::failed;
  }
  if (static_cast<std::uint64_t>(current.QuadPart) >= size || set_file_size(file, size)) {
    return Reserved::done;
  }
  const DWORD error = GetLastError();
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? Reserved::no_space
                                                                     : Reserved::failed;
}

bool truncate(std::FILE *fp, std::uint64_t size) {
  return set_file_size(handle_of(fp), size);
}

}  // namespace platform
