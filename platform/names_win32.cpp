// Win32: names: the ANSI code page and UTF-16, full and long names, the
// final name behind links and junctions, and the share of a UNC name.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>

#include "platform.h"
#include "win32_internal.h"

namespace platform::detail {

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

}  // namespace platform::detail
