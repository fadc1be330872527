// The Windows floor of the benchmark: a plain copy of one file into another
// through 1 MiB ReadFile and WriteFile calls, nothing else.
#include <windows.h>

#include <cstdio>
#include <memory>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: copy_win32 IN OUT\n", stderr);
    return 2;
  }
  const HANDLE in = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE out = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    std::fputs("cannot open\n", stderr);
    return 1;
  }
  constexpr DWORD kBlock = DWORD{1} << 20;
  const std::unique_ptr<char[]> buffer(new char[kBlock]);
  DWORD got = 0;
  while (ReadFile(in, buffer.get(), kBlock, &got, nullptr) && got > 0) {
    DWORD put = 0;
    if (!WriteFile(out, buffer.get(), got, &put, nullptr) || put != got) {
      std::fputs("writing error\n", stderr);
      return 1;
    }
  }
  return CloseHandle(out) && CloseHandle(in) ? 0 : 1;
}
