// What the files of the Win32 implementation share among themselves: names
// (names_win32.cpp), handles and streams of files (files_win32.cpp) and the
// temporary file to remove on an interruption (process_win32.cpp).  Not part
// of the platform's interface.
#ifndef PLATFORM_WIN32_INTERNAL_H
#define PLATFORM_WIN32_INTERNAL_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"

namespace platform::detail {

// Sharing that lets others read, write and delete a file held open here.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(std::FILE *fp);

bool starts_with(const std::wstring &text, const wchar_t *prefix);

// A name in the ANSI code page as UTF-16; empty when its bytes are no valid
// text of that code page.
std::wstring wide(const char *text);

// Text in the ANSI code page as a console shows it: line ends as CR LF, as
// text mode writes them, and bytes that stand for no character as the
// system's stand-in.
std::wstring console_text(const char *text);

// A full name in the form that the wide file functions take at any length:
// \\?\C:\... or \\?\UNC\server\share\...; device names (\\.\NUL) and names
// in that form already stay as they are.
std::wstring long_form(const std::wstring &full);

// The share that a UNC name is on, as \\server\share\ or
// \\?\UNC\server\share\; empty for any other name.
std::wstring share_root(const std::wstring &name);

// UTF-16 text in the ANSI code page without look-alike substitutes; false
// when the code page cannot hold all of it (the default character then
// stands in for what it cannot hold).
bool narrow(const wchar_t *text, std::string &converted);

// The absolute form of a name and where its last component starts, both as
// the system finds them; an empty path when it has none.
struct FullName {
  std::wstring path;
  std::size_t file_part = 0;
};
FullName full_name(const std::wstring &name);

// The name by which the system opens path at any length; empty when path is
// no valid name of the code page.
std::wstring native(const char *path);

// The name of the file that path denotes after symbolic links and
// junctions, as the system reports it for the opened file; the path's own
// long form where the file does not exist or has no such name.
std::wstring final_name(const char *path);

// A full name as a user spells it: without the \\?\ (\\?\UNC\) start that
// lets the wide file functions take it at any length.
std::wstring short_form(const std::wstring &full);

// Opens a name without any access, so that files held elsewhere can be
// identified too; backup semantics let directories be opened.
HANDLE open_for_identity(const std::wstring &name);

// Creates a file of a fresh name in directory (which ends in a separator),
// shared for reading and deletion; stores its name.  INVALID_HANDLE_VALUE
// when none can be made there.
HANDLE create_unique(const std::wstring &directory, DWORD access, DWORD flags, std::wstring &name,
                     SECURITY_ATTRIBUTES *security = nullptr);

FileStatus status_from(HANDLE file);
FileStatus status_of_name(const std::wstring &name);

// A stream on a handle opened by the system call itself: the C runtime's
// own open cannot share deletion.  Null (and the handle closed) on failure.
std::FILE *stream_on(HANDLE file, const char *mode, int flags);

bool seek(HANDLE file, std::uint64_t offset);
// Sets the file's end at size and its position at the start.
bool set_file_size(HANDLE file, std::uint64_t size);

// The temporary file to remove on an interruption; null when there is none
// or it holds the only copy of the new text.
extern std::atomic<const wchar_t *> file_to_remove;

}  // namespace platform::detail

#endif  // PLATFORM_WIN32_INTERNAL_H
