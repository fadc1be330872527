// The Windows floor of the benchmark: a plain copy of one file into a new
// one through 1 MiB ReadFile and WriteFile calls, nothing else.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: copy_win32 IN OUT\n", stderr);
    return 2;
  }
  const HANDLE in = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  // A new file, as the benchmark deletes the output before every run and
  // nlflip creates its temporary file: Wine truncates a file created with
  // CREATE_ALWAYS, and ext4 then writes it all back when it is closed.
  const HANDLE out =
      CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    std::fputs("cannot open\n", stderr);
    return 1;
  }
  constexpr DWORD kBlock = DWORD{1} << 20;
  // Whole pages: from the heap, 16 bytes off a cache line, the buffer would
  // make the system's copies to and from it about twice as slow.
  char *const buffer =
      static_cast<char *>(VirtualAlloc(nullptr, kBlock, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (buffer == nullptr) {
    std::fputs("cannot get memory\n", stderr);
    return 1;
  }
  DWORD got = 0;
  while (ReadFile(in, buffer, kBlock, &got, nullptr) && got > 0) {
    DWORD put = 0;
    if (!WriteFile(out, buffer, got, &put, nullptr) || put != got) {
      std::fputs("writing error\n", stderr);
      return 1;
    }
  }
  return CloseHandle(out) && CloseHandle(in) ? 0 : 1;
}
