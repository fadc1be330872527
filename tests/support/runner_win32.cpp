#include <windows.h>

#include <algorithm>
#include <future>
#include <thread>

#include "runner.h"
#include "temp_dir.h"

namespace testsupport {

namespace {

// One argument quoted so that the C runtime's parser gives it back as it is:
// backslashes count only before a quote, where each is doubled.
std::wstring quoted(const std::wstring &arg) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L'"';
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

// Reads a pipe to its end; whether anything came is told as soon as the
// first bytes have come (or the end).
std::string read_pipe(HANDLE pipe, std::promise<bool> &first) {
  std::string data;
  bool told = false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    data.append(buffer, got);
    if (!told) {
      first.set_value(true);
      told = true;
    }
  }
  if (!told) {
    first.set_value(false);
  }
  return data;
}

RunResult launch(const std::string &program, const std::vector<std::wstring> &args,
                 const std::string &cwd, const std::string &input, Stdin mode,
                 const std::function<void()> &at_prompt);

}  // namespace

std::wstring wide(const std::string &text) {
  const int needed =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                      needed);
  return converted;
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::string &cwd, const std::string &input, Stdin mode) {
  std::vector<std::wstring> wide_args;
  for (const auto &arg : args) {
    wide_args.push_back(wide(arg));
  }
  return run_wide(program, wide_args, cwd, input, mode);
}

RunResult run_wide(const std::string &program, const std::vector<std::wstring> &args,
                   const std::string &cwd, const std::string &input, Stdin mode) {
  return launch(program, args, cwd, input, mode, nullptr);
}

RunResult run_at_prompt(const std::string &program, const std::vector<std::string> &args,
                        const std::string &cwd, const std::string &input, Stdin mode,
                        const std::function<void()> &at_prompt) {
  std::vector<std::wstring> wide_args;
  for (const auto &arg : args) {
    wide_args.push_back(wide(arg));
  }
  return launch(program, wide_args, cwd, input, mode, at_prompt);
}

namespace {

// With at_prompt, standard error is a pipe: at_prompt is called once the
// program has written to it, before its input is written; the program
// cannot read its answer before then.
RunResult launch(const std::string &program, const std::vector<std::wstring> &args,
                 const std::string &cwd, const std::string &input, Stdin mode,
                 const std::function<void()> &at_prompt) {
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
  HANDLE err_read = nullptr;
  HANDLE err = nullptr;
  if (!at_prompt) {
    err = inheritable_file(err_path);
  } else if (CreatePipe(&err_read, &err, &inherit, 0)) {
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = mode == Stdin::pipe ? input_read : INVALID_HANDLE_VALUE;
  startup.hStdOutput = out;
  startup.hStdError = err;

  std::wstring command_line = quoted(wide(program));
  for (const auto &arg : args) {
    command_line += L' ' + quoted(arg);
  }
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(wide(program).c_str(), command_line.data(), nullptr, nullptr,
                                      TRUE, 0, nullptr, wide(cwd).c_str(), &startup, &process) != 0;
  CloseHandle(input_read);
  CloseHandle(out);
  CloseHandle(err);
  RunResult result;
  std::promise<bool> prompted;
  std::future<bool> prompt = prompted.get_future();
  std::string err_text;
  std::thread reader;
  if (err_read != nullptr) {
    reader = std::thread([&] { err_text = read_pipe(err_read, prompted); });
  } else {
    prompted.set_value(false);
  }
  if (started) {
    // A separate writer keeps a child that reads slowly from blocking us.
    std::thread writer([&] {
      if (at_prompt && prompt.get()) {
        at_prompt();
      }
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
  if (reader.joinable()) {
    reader.join();
    CloseHandle(err_read);
  }
  result.out = read_file(out_path);
  result.err = err_read != nullptr ? err_text : read_file(err_path);
  return result;
}

}  // namespace

}  // namespace testsupport
