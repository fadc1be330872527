// Win32: the process itself: its arguments and console text, its standard
// streams, and the interruptions (Ctrl+C, Ctrl+Break, a closing console)
// that remove the temporary file.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <string>

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

namespace detail {

std::atomic<const wchar_t *> file_to_remove{nullptr};

}  // namespace detail

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

}  // namespace platform
