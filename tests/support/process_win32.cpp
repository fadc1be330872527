#include <windows.h>

#include <algorithm>
#include <thread>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

namespace {

// One argument quoted so that the C runtime's parser gives it back as it is:
// backslashes count only before a quote, where each is doubled.
std::string quoted(const std::string &arg) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + '"';
}

HANDLE inheritable_file(const std::string &path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void write_all(HANDLE pipe, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1 << 16));
    if (!WriteFile(pipe, data.data() + done, chunk, &written, nullptr) || written == 0) {
      break;  // the child stopped reading
    }
    done += written;
  }
}

}  // namespace

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &cwd, const std::string &input, Stdin mode) {
  const TempDir streams;
  const std::string out_path = streams.file("stdout");
  const std::string err_path = streams.file("stderr");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE input_read = nullptr;
  HANDLE input_write = nullptr;
  if (!CreatePipe(&input_read, &input_write, &inherit, 0)) {
    return {};
  }
  // The child must not hold the writing end, or it would never see the end.
  SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
  const HANDLE out = inheritable_file(out_path);
  const HANDLE err = inheritable_file(err_path);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = mode == Stdin::pipe ? input_read : INVALID_HANDLE_VALUE;
  startup.hStdOutput = out;
  startup.hStdError = err;

  std::string command_line = quoted(program);
  for (const auto &arg : args) {
    command_line += ' ' + quoted(arg);
  }
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                      0, nullptr, cwd.c_str(), &startup, &process) != 0;
  CloseHandle(input_read);
  CloseHandle(out);
  CloseHandle(err);
  RunResult result;
  if (started) {
    // A separate writer keeps a child that reads slowly from blocking us.
    std::thread writer([&] {
      write_all(input_write, input);
      CloseHandle(input_write);
    });
    WaitForSingleObject(process.hProcess, INFINITE);
    writer.join();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exit_code = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    CloseHandle(input_write);
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace testsupport
