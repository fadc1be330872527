// The nlflip program with the names of Japanese Windows (ANSI code page
// 932): double-byte characters whose second byte is a backslash, names that
// the code page cannot hold, long paths and links.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace {

using testsupport::RunResult;
using testsupport::wide;

// Shift-JIS characters whose second byte is 0x5C, the backslash.
const std::string kHyo = "\x95\x5C";  // 表
const std::string kSo = "\x83\x5C";   // ソ
const std::string kNo = "\x94\x5C";   // 能
const std::string kJu = "\x8F\x5C";   // 十

// The test's own file operations use \\?\ names, which have no length limit.
std::wstring long_name(const std::string &path) {
  const std::wstring name = wide(path);
  std::wstring full(GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), L'\0');
  full.resize(
      GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  return L"\\\\?\\" + full;
}

// "\\rf" and four hexadecimal digits, ".tmp" and its terminator.
constexpr std::size_t kBackupName = 12;

bool under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The absolute name of a short path.
std::string full_path(const std::string &path) {
  std::string full(MAX_PATH, '\0');
  full.resize(GetFullPathNameA(path.c_str(), MAX_PATH, full.data(), nullptr));
  return full;
}

void make_directory(const std::string &path) {
  ASSERT_TRUE(CreateDirectoryW(long_name(path).c_str(), nullptr)) << path;
}

void put(const std::string &path, const std::string &bytes) {
  const HANDLE file = CreateFileW(long_name(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// The file's bytes and its index, which a replacement changes.
struct Seen {
  std::string bytes;
  std::uint64_t index = 0;
};

Seen seen(const std::string &path) {
  Seen result;
  const HANDLE file = CreateFileW(long_name(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return result;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(file, &info);
  result.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    result.bytes.append(buffer, got);
  }
  CloseHandle(file);
  return result;
}

int entries_in(const std::string &directory) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((long_name(directory) + L"\\*").c_str(), &found);
  int count = 0;
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    const std::wstring name = found.cFileName;
    count += name == L"." || name == L".." ? 0 : 1;
  }
  FindClose(search);
  return count;
}

class JapaneseNames : public clitest::Cli {
 protected:
  void SetUp() override {
    if (GetACP() != 932) {
      GTEST_SKIP() << "the ANSI code page is " << GetACP()
                   << ", not 932: the host lacks the ja_JP.UTF-8 locale";
    }
    if (!double_byte_name_round_trips()) {
      GTEST_SKIP() << "a name with a double-byte character (表.txt) does not come back from "
                      "the file system: the host lacks the ja_JP.UTF-8 locale";
    }
  }

  // What every case needs: a name with a double-byte character is stored
  // and listed again with the same bytes (Wine keeps it under a host name).
  bool double_byte_name_round_trips() const {
    const std::string name = kHyo + ".txt";
    const HANDLE file = CreateFileA(path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return false;
    }
    CloseHandle(file);
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA(path("*").c_str(), &found);
    bool listed = false;
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
      listed = listed || name == found.cFileName;
    }
    FindClose(search);
    DeleteFileA(path(name).c_str());
    return listed;
  }
};

TEST_F(JapaneseNames, SameFileIsReplacedThroughATemporaryFileBesideIt) {
  struct Case {
    std::string directory;  // holds the file; "" for the working directory
    std::string name;       // of the file in it
    std::string output;     // another spelling of the same file; "" for the input's
  };
  const std::string long_spelling = "\\\\?\\";
  // Full paths of 255 and 300 characters: beyond what GetTempFileNameA and
  // MAX_PATH allow.
  const auto padded = [&](const std::string &work, std::size_t length) {
    return std::string(length - full_path(path(work)).size() - 7, 'd');
  };
  const Case cases[] = {
      {"", kHyo + ".txt", ""},
      {"dir", kSo + ".txt", ""},
      {kNo, kJu + ".txt", kNo + "/" + kJu + ".txt"},
      {"", "both.txt", long_spelling},
      {padded("4", 255), "f.txt", ""},
      {padded("5", 300), "f.txt", ""},
  };
  int number = 0;
  for (const Case &c : cases) {
    const std::string work = path(std::to_string(number++));
    make_directory(work);
    const std::string directory = c.directory.empty() ? work : work + "\\" + c.directory;
    if (!c.directory.empty()) {
      make_directory(directory);
    }
    const std::string input = c.directory.empty() ? c.name : c.directory + "\\" + c.name;
    std::string output = c.output.empty() ? input : c.output;
    if (output == long_spelling) {
      output += full_path(work + "\\" + input);
    }
    put(directory + "\\" + c.name, "a\r\nb\n");
    const std::uint64_t before = seen(directory + "\\" + c.name).index;

    const RunResult r = testsupport::run(NLFLIP_EXE, {input, output}, work, "y\n");
    EXPECT_EQ(r.exit_code, 0) << output;
    EXPECT_EQ(r.err, output + ": overwrite OK? (y/n) ");
    const Seen after = seen(directory + "\\" + c.name);
    EXPECT_EQ(after.bytes, "a\nb\r\n") << output;
    // Wine's ReplaceFileW names the original's backup in a buffer of
    // MAX_PATH characters, left unterminated where the folder is too long
    // for the name, so the replacement may fail and the file is then
    // rewritten in place; Windows has no such limit.
    if (!under_wine() || full_path(directory).size() + kBackupName < MAX_PATH) {
      EXPECT_NE(after.index, before) << output << ": rewritten in place";
    }
    EXPECT_EQ(entries_in(directory), 1) << output << ": something was left beside it";
  }
}

TEST_F(JapaneseNames, MessagesAndNewFilesCarryTheNamesBytes) {
  struct Case {
    std::vector<std::string> args;
    const char *answer;
    int exit_code;
    std::string err;
    std::string written;  // the name that then holds the converted input
  };
  const Case cases[] = {
      {{kHyo + ".txt", "out.txt"}, "", 1, kHyo + ".txt: not found\r\n", ""},
      {{"in.txt", kNo + ".txt"}, "", 0, "", kNo + ".txt"},
      {{"in.txt", kSo + ".txt"}, "y\n", 0, kSo + ".txt: overwrite OK? (y/n) ", kSo + ".txt"},
  };
  put(path("in.txt"), "a\n");
  put(path(kSo + ".txt"), "old\n");
  for (const Case &c : cases) {
    const int before = entries_in(dir_.path());
    const RunResult r = nlflip(c.args, c.answer);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.err;
    EXPECT_EQ(r.err, c.err);
    if (!c.written.empty()) {
      EXPECT_EQ(seen(path(c.written)).bytes, "a\r\n") << c.written;
    }
    EXPECT_EQ(entries_in(dir_.path()), before + (c.err.empty() ? 1 : 0)) << c.err;
  }
}

TEST_F(JapaneseNames, WorksInAFolderThatTheCodePageCannotName) {
  // Only the folder's UTF-16 name reaches it; the names given are plain.
  const std::wstring folder = long_name(dir_.path()).substr(4) + L"\\\u00E9";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring previous(GetCurrentDirectoryW(0, nullptr), L'\0');
  previous.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  put("in.txt", "a\n");
  put("same.txt", "b\r\n");
  const RunResult fresh = testsupport::run(NLFLIP_EXE, {"in.txt", "out.txt"}, ".");
  const RunResult same = testsupport::run(NLFLIP_EXE, {"same.txt", "same.txt"}, ".", "y\n");
  const std::string out = seen("out.txt").bytes;
  const std::string rewritten = seen("same.txt").bytes;
  const int count = entries_in(".");
  SetCurrentDirectoryW(previous.c_str());
  EXPECT_EQ(fresh.exit_code, 0);
  EXPECT_EQ(fresh.err, "");
  EXPECT_EQ(out, "a\r\n");
  EXPECT_EQ(same.exit_code, 0);
  EXPECT_EQ(same.err, "same.txt: overwrite OK? (y/n) ");
  EXPECT_EQ(rewritten, "b\n");
  EXPECT_EQ(count, 3) << "something was left beside the files";
}

TEST_F(JapaneseNames, NamesOutsideTheCodePageAreRefused) {
  struct Case {
    std::vector<std::wstring> args;
    std::string err;
  };
  const Case cases[] = {
      {{L"caf\u00E9.txt", L"o1.txt"}, "caf?.txt: name not representable\r\n"},
      {{L"cafe.txt", L"caf\u00E9.txt"}, "caf?.txt: name not representable\r\n"},
      {{L"a\u00A5b.txt", L"out.txt"}, "a?b.txt: name not representable\r\n"},
  };
  // Look-alikes of the refused names: e for é, the backslash for ¥.
  put(path("cafe.txt"), "plain\n");
  make_directory(path("a"));
  put(path("a/b.txt"), "inner\n");
  const HANDLE accented = CreateFileW((long_name(dir_.path()) + L"\\caf\u00E9.txt").c_str(),
                                      GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(accented, INVALID_HANDLE_VALUE);
  CloseHandle(accented);
  for (const Case &c : cases) {
    const RunResult r = testsupport::run_wide(NLFLIP_EXE, c.args, dir_.path());
    EXPECT_EQ(r.exit_code, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(seen(path("cafe.txt")).bytes, "plain\n") << c.err;
    EXPECT_EQ(seen(path("a/b.txt")).bytes, "inner\n") << c.err;
    EXPECT_EQ(entries_in(dir_.path()), 3) << c.err;
  }
}

TEST_F(JapaneseNames, LinkAsBothNamesKeepsItsTargetAndIsKept) {
  // link.txt -> sub/target.txt, made by the host before the test.
  const char *links = std::getenv("NLFLIP_LINK_DIR");
  if (links == nullptr) {
    GTEST_SKIP() << "no symbolic link made by the host (NLFLIP_LINK_DIR)";
  }
  const std::string directory = links;
  put(directory + "/sub/target.txt", "a\nb\n");
  const RunResult r = testsupport::run(NLFLIP_EXE, {"link.txt", "link.txt"}, directory, "y\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "link.txt: overwrite OK? (y/n) ");
  EXPECT_EQ(seen(directory + "/sub/target.txt").bytes, "a\r\nb\r\n") << "the target is rewritten";
  EXPECT_EQ(seen(directory + "/link.txt").bytes, "a\r\nb\r\n");
  EXPECT_EQ(entries_in(directory + "/sub"), 1) << "something was left beside the target";
  EXPECT_EQ(entries_in(directory), 2) << "something was left beside the link";
}

// What a console shows of the programs that commands, a POSIX shell's
// command line, run in directory: Wine gives a program whose standard
// handles are a terminal a console of its own and shows that on the
// terminal in UTF-8, and the host's script(1) provides the terminal and
// keeps what it shows.  The control sequences and CRs are dropped.  Empty
// when no terminal could be had.
std::wstring shown_on_console(const std::wstring &commands, const std::string &directory) {
  // Wine cannot wait for a host process: the shell leaves a mark when done.
  const std::wstring shell = L"Z:\\bin\\sh";
  std::wstring command_line = shell + L" -c \"script -qec \\\"" + commands +
                              L"\\\" console.typescript </dev/null >/dev/null; : >console.done\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(shell.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      testsupport::wide(directory).c_str(), &startup, &process)) {
    return {};
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const std::string done = directory + "\\console.done";
  for (int waited = 0; waited < 600 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES;
       ++waited) {
    Sleep(100);
  }
  const std::string typescript = seen(directory + "\\console.typescript").bytes;
  std::string text;
  for (std::size_t i = 0; i < typescript.size(); ++i) {
    if (typescript[i] == '\x1B' && i + 1 < typescript.size() && typescript[i + 1] == '[') {
      i += 2;
      while (i < typescript.size() && (typescript[i] < 0x40 || typescript[i] > 0x7E)) {
        ++i;
      }
    } else if (typescript[i] != '\r') {
      text += typescript[i];
    }
  }
  std::wstring shown(text.size(), L'\0');
  shown.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), shown.data(),
                          static_cast<int>(shown.size()))));
  return shown;
}

TEST_F(JapaneseNames, ConsoleShowsTheCharactersOfTheTextAndTheNames) {
  const char *loader = std::getenv("WINELOADER");
  if (loader == nullptr || GetFileAttributesW(L"Z:\\usr\\bin\\script") == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "no console to show: not under Wine, or no script(1) on the host";
  }
  put(path("in.txt"), "a\n");
  put(path(kHyo + ".txt"), "old\n");
  // A message goes to the console whole: here 表 takes its bytes 999 and
  // 1000, and the %-sequences stay as they are.
  const std::string long_name = "%s" + std::string(997, 'x') + kHyo + "%d%.txt";
  const std::wstring program = wide(std::string("'") + loader + "' '" + NLFLIP_EXE + "' ");
  const std::wstring shown = shown_on_console(
      program + L"-usage; " + program + L"in.txt '" + wide(kHyo) + L".txt' </dev/null; " + program +
          L"'" + wide(kNo) + L".txt' out.txt; " + program + L"'" + wide(long_name) + L"' out.txt",
      dir_.path());
  if (shown.empty()) {
    GTEST_SKIP() << "script(1) gave no terminal";
  }
  // The first usage line, then the prompt (whose last space the terminal
  // shows as a move) and messages with names; the console breaks the long
  // one into lines of 80 columns.
  const std::string usage_first =
      "\x89\xFC\x8D\x73\x83\x52\x81\x5B\x83\x68\x82\xCC\x95\xCF\x8A\xB7\x82\xF0\x8D\x73\x82\xA2"
      "\x82\xDC\x82\xB7\x81\x42(LF/CR --> CR+LF, CR+LF --> LF)\n";
  for (const std::string &expected :
       {usage_first, kHyo + ".txt: overwrite OK? (y/n)", kNo + ".txt: not found\n",
        "%s" + std::string(78, 'x') + "\n", std::string(39, 'x') + kHyo + "%d%.txt: not found\n"}) {
    EXPECT_NE(shown.find(testsupport::wide(expected)), std::wstring::npos)
        << "not shown: " << expected;
  }
  EXPECT_EQ(seen(path(kHyo + ".txt")).bytes, "old\n");
}

}  // namespace
