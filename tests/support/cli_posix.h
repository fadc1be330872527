// Shared by the POSIX tests of the nlflip program: the program run through
// bash, large line files, times and temporary files.
#ifndef TESTS_SUPPORT_CLI_POSIX_H
#define TESTS_SUPPORT_CLI_POSIX_H

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "runner.h"

namespace clitest {

// Runs nlflip through bash, for limits, redirections, pipes and signals;
// "$0" is the program.
inline testsupport::RunResult shell(const std::string &dir, const std::string &script,
                                    const std::string &input = "") {
  return testsupport::run("/bin/bash", {"-c", script, NLFLIP_EXE}, dir, input);
}

// count lines of 39 bytes and an LF, written to path.
inline void write_lines(const std::string &path, std::size_t count) {
  const std::string line = std::string(39, 'x') + "\n";
  std::string block;
  for (int i = 0; i < 4096; ++i) {
    block += line;
  }
  std::ofstream out(path, std::ios::binary);
  for (std::size_t done = 0; done < count; done += 4096) {
    out.write(block.data(), static_cast<std::streamsize>(
                                line.size() * std::min<std::size_t>(4096, count - done)));
  }
}

// Whether path holds count lines of 39 bytes and a CR LF.
inline bool holds_converted_lines(const std::string &path, std::size_t count) {
  const std::string line = std::string(39, 'x') + "\r\n";
  std::ifstream in(path, std::ios::binary);
  std::string got(line.size(), '\0');
  for (std::size_t i = 0; i < count; ++i) {
    if (!in.read(got.data(), static_cast<std::streamsize>(got.size())) || got != line) {
      return false;
    }
  }
  return in.peek() == std::ifstream::traits_type::eof();
}

// Gives a file the times of a day long past, so that any change made later
// shows in its modification time, however coarse the file system's clock.
inline void set_old_times(const std::string &path) {
  const struct timespec long_ago[2] = {{978307200, 0}, {978307200, 0}};
  utimensat(AT_FDCWD, path.c_str(), long_ago, 0);
}

// The text of LF lines with every LF turned into CR LF.
inline std::string with_crlf(const std::string &lf_text) {
  std::string converted;
  for (const char c : lf_text) {
    converted += c == '\n' ? "\r\n" : std::string(1, c);
  }
  return converted;
}

// The text of CR LF lines with every CR LF turned into LF.
inline std::string with_lf(const std::string &crlf_text) {
  std::string converted;
  for (std::size_t i = 0; i < crlf_text.size(); ++i) {
    if (crlf_text.compare(i, 2, "\r\n") != 0) {
      converted += crlf_text[i];
    }
  }
  return converted;
}

// Whether a temporary file of the program is left in the directory.
inline bool temporary_file_left(const std::string &directory) {
  return std::ranges::any_of(std::filesystem::directory_iterator(directory), [](const auto &entry) {
    return entry.path().filename().string().rfind(".nlflip-", 0) == 0;
  });
}

}  // namespace clitest

#endif  // TESTS_SUPPORT_CLI_POSIX_H
