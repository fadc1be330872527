// Win32 implementation of the platform services: names, files, the console,
// memory and interruptions.  Replacing files is in replace_win32.cpp.
#include "win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform.h"
#include "win32_internal.h"

// The C runtime's splitting of the wide command line, which its headers
// leave undeclared; the arguments it makes live as long as the process.
struct StartupInfo {
  int new_mode;
};
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's own name
extern "C" __declspec(dllimport) int __cdecl __wgetmainargs(int *count, wchar_t ***arguments,
                                                            wchar_t ***environment,
                                                            int expand_wildcards,
                                                            StartupInfo *startup);

namespace platform {

using namespace detail;

namespace {

using GetDiskFreeSpaceExFn = BOOL(WINAPI *)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                            PULARGE_INTEGER);

bool starts_with(const std::wstring &text, const wchar_t *prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Text in the ANSI code page as UTF-16, converted with the flags given;
// empty where it cannot be.
std::wstring from_code_page(const char *text, DWORD flags) {
  const int needed = MultiByteToWideChar(CP_ACP, flags, text, -1, nullptr, 0);
  if (needed <= 1) {
    return {};
  }
  std::wstring converted(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_ACP, flags, text, -1, converted.data(), needed) != needed) {
    return {};
  }
  converted.resize(static_cast<std::size_t>(needed) - 1);
  return converted;
}

// A name in the ANSI code page as UTF-16; empty when its bytes are no valid
// text of that code page.
std::wstring wide(const char *text) {
  return from_code_page(text, MB_ERR_INVALID_CHARS);
}

// Text in the ANSI code page as a console shows it: line ends as CR LF, as
// text mode writes them, and bytes that stand for no character as the
// system's stand-in.
std::wstring console_text(const char *text) {
  std::string lines;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      lines += '\r';
    }
    lines += *p;
  }
  return from_code_page(lines.c_str(), 0);
}

// A full name in the form that the wide file functions take at any length:
// \\?\C:\... or \\?\UNC\server\share\...; device names (\\.\NUL) and names
// in that form already stay as they are.
std::wstring long_form(const std::wstring &full) {
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
    return full;
  }
  if (starts_with(full, L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

}  // namespace

namespace detail {

HANDLE handle_of(std::FILE *fp) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
}

bool narrow(const wchar_t *text, std::string &converted) {
  // The UTF-8 code page holds everything and takes neither of the flags.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL *defaulted_flag = utf8 ? nullptr : &defaulted;
  const int needed =
      WideCharToMultiByte(CP_ACP, flags, text, -1, nullptr, 0, nullptr, defaulted_flag);
  if (needed <= 0) {
    return false;
  }
  converted.assign(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_ACP, flags, text, -1, converted.data(), needed, nullptr,
                          defaulted_flag) != needed) {
    return false;
  }
  converted.resize(static_cast<std::size_t>(needed) - 1);
  return defaulted == FALSE;
}

FullName full_name(const std::wstring &name) {
  FullName full;
  if (name.empty()) {
    return full;
  }
  const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return full;
  }
  std::wstring buffer(needed, L'\0');
  wchar_t *file_part = nullptr;
  const DWORD length = GetFullPathNameW(name.c_str(), needed, buffer.data(), &file_part);
  if (length == 0 || length >= needed) {
    return full;
  }
  buffer.resize(length);
  full.file_part =
      file_part == nullptr ? length : static_cast<std::size_t>(file_part - buffer.data());
  full.path = std::move(buffer);
  return full;
}

std::wstring native(const char *path) {
  const FullName full = full_name(wide(path));
  return full.path.empty() ? std::wstring() : long_form(full.path);
}

HANDLE open_for_identity(const std::wstring &name) {
  return CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

std::wstring final_name(const char *path) {
  const std::wstring name = native(path);
  const HANDLE file = open_for_identity(name);
  if (file == INVALID_HANDLE_VALUE) {
    return name;
  }
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, kFlags);
  std::wstring final_path(needed, L'\0');
  const DWORD length =
      needed == 0 ? 0 : GetFinalPathNameByHandleW(file, final_path.data(), needed, kFlags);
  CloseHandle(file);
  if (length == 0 || length >= needed) {
    return name;
  }
  final_path.resize(length);
  return final_path;
}

std::wstring short_form(const std::wstring &full) {
  if (starts_with(full, L"\\\\?\\UNC\\")) {
    return L"\\\\" + full.substr(8);
  }
  return starts_with(full, L"\\\\?\\") ? full.substr(4) : full;
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

// The share that a UNC name is on, as \\server\share\ or
// \\?\UNC\server\share\; empty for any other name.
std::wstring share_root(const std::wstring &name) {
  const bool long_unc = starts_with(name, L"\\\\?\\UNC\\");
  if (!long_unc && (starts_with(name, L"\\\\?\\") || starts_with(name, L"\\\\.\\"))) {
    return {};
  }
  // A \\?\ name is taken as it is: there / is no separator.
  const wchar_t *const separators = long_unc ? L"\\" : L"\\/";
  const std::size_t server = long_unc ? 8 : 2;
  // npos + 1 is 0: no separator behind the server's name.
  const std::size_t share = name.find_first_of(separators, server) + 1;
  if (share <= server + 1) {
    return {};
  }
  const std::size_t end = std::min(name.find_first_of(separators, share), name.size());
  if (end == share) {
    return {};
  }
  std::wstring root = name.substr(0, end) + L'\\';
  if (!long_unc) {
    std::replace(root.begin(), root.end(), L'/', L'\\');
  }
  return root;
}

}  // namespace

void put_text(std::FILE *stream, const char *text) {
  const HANDLE console = handle_of(stream);
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode) == 0) {
    std::fputs(text, stream);
    return;
  }
  // The C runtime hands the console one byte at a time, so a double-byte
  // character never arrives whole; the console gets characters instead.
  std::fflush(stream);
  const std::wstring shown = console_text(text);
  constexpr std::size_t kPiece = 8192;  // what older consoles take at once
  for (std::size_t at = 0; at < shown.size(); at += kPiece) {
    DWORD written = 0;
    const auto piece = static_cast<DWORD>(std::min(kPiece, shown.size() - at));
    if (WriteConsoleW(console, shown.data() + at, piece, &written, nullptr) == 0) {
      return;
    }
  }
}

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

// Windows makes a committed page when it is first touched; there is no
// cheaper way.
void prefault(void * /*block*/, std::size_t /*size*/) {}

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

namespace detail {

std::atomic<const wchar_t *> file_to_remove{nullptr};

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

}  // namespace detail

namespace {

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

Arguments arguments(int /*argc*/, char ** /*argv*/) {
  // The C runtime's arguments went through the code page with look-alikes;
  // its wide ones are split from the same command line by the same rules.
  // (CommandLineToArgvW would load the shell and the window system with it,
  // which costs more than the rest of a small run.)
  int count = 0;
  wchar_t **wide_arguments = nullptr;
  wchar_t **environment = nullptr;
  StartupInfo startup{};
  if (__wgetmainargs(&count, &wide_arguments, &environment, 0, &startup) < 0 ||
      wide_arguments == nullptr) {
    throw std::bad_alloc();
  }
  Arguments result;
  result.values.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < result.values.size(); ++i) {
    if (!narrow(wide_arguments[i], result.values[i]) && result.unrepresentable == 0 && i > 0) {
      result.unrepresentable = i;
    }
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

bool remove_file(const char *path) {
  const std::wstring name = native(path);
  return !name.empty() && DeleteFileW(name.c_str()) != 0;
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

namespace {

// What a console program ends with when Ctrl+C ends it.
constexpr UINT kInterruptedExitCode = 0xC000013A;

std::atomic<bool> interrupt_waiting{false};
std::atomic<bool> succeeded{false};
// Owned by the main thread while interruptions are held.
CRITICAL_SECTION held_section;

[[noreturn]] void end_interrupted() {
  if (const wchar_t *name = file_to_remove.load()) {
    DeleteFileW(name);
  }
  ExitProcess(kInterruptedExitCode);
}

BOOL WINAPI on_console_event(DWORD event) {
  interrupt_waiting.store(true);
  // The process ends as soon as this returns after any event but Ctrl+C and
  // Ctrl+Break (a closed console, say): that one waits for the release here,
  // while those are left to the release.
  const bool ends_on_return = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  if (ends_on_return) {
    EnterCriticalSection(&held_section);
  } else if (!TryEnterCriticalSection(&held_section)) {
    return TRUE;
  }
  if (!succeeded.load()) {
    end_interrupted();
  }
  if (ends_on_return) {
    ExitProcess(0);
  }
  LeaveCriticalSection(&held_section);
  return TRUE;
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
  // The C runtime buffers standard error fully where it is a pipe or a
  // file, so the prompt would reach a reader only after its answer: every
  // message goes out as it is written.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  InitializeCriticalSection(&held_section);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptionsHeld::InterruptionsHeld() {
  EnterCriticalSection(&held_section);
}

InterruptionsHeld::~InterruptionsHeld() {
  if (to_the_end_) {
    succeeded.store(true);
  }
  LeaveCriticalSection(&held_section);
  if (!to_the_end_ && interrupt_waiting.load()) {
    end_interrupted();
  }
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

struct Monitor::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

void Monitor::lock() {
  AcquireSRWLockExclusive(&state_->lock);
}

void Monitor::unlock() {
  ReleaseSRWLockExclusive(&state_->lock);
}

void Monitor::wait() {
  SleepConditionVariableSRW(&state_->condition, &state_->lock, INFINITE, 0);
}

void Monitor::notify_all() {
  WakeAllConditionVariable(&state_->condition);
}

}  // namespace platform
