// Shared by the POSIX tests of the nlflip program: the program run through
// bash, large line files and the privileges a test may lack.
#ifndef TESTS_CLI_POSIX_H
#define TESTS_CLI_POSIX_H

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/process.h"

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

// Whether a temporary file of the program is left in the directory.
inline bool temporary_file_left(const std::string &directory) {
  return std::ranges::any_of(std::filesystem::directory_iterator(directory), [](const auto &entry) {
    return entry.path().filename().string().rfind(".nlflip-", 0) == 0;
  });
}

// Some tests need privileges for parts of their work (a second user, device
// nodes, file systems of their own); without them those parts skip.
inline bool is_root() {
  return geteuid() == 0;
}

}  // namespace clitest

#endif  // TESTS_CLI_POSIX_H
