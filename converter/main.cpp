// nlflip: toggles the line ends of a text file into a second file.
// LF and CR line ends come out as CR LF, CR LF line ends as LF.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"
#include "flip.h"
#include "input.h"
#include "platform.h"

void (*common::endfun)() = nullptr;

namespace {

// Shift-JIS text; the byte escapes are given with each line's reading.
const char *const usage[] = {
    // "Converts line-end codes." followed by the conversion rule.
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one line in three parts
    "\x89\xFC\x8D\x73\x83\x52\x81\x5B\x83\x68\x82\xCC\x95\xCF\x8A\xB7\x82\xF0\x8D\x73\x82\xA2"
    "\x82\xDC\x82\xB7\x81\x42"
    "(LF/CR --> CR+LF, CR+LF --> LF)",
    " ",
    "Usage: nlflip <file> <outputfile>",
    " ",
    "Parameter:",
    // "   <file>       input file name"
    "   <file>       \x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC",
    // "   <outputfile> output file name"
    "   <outputfile> \x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC",
    " ",
    "Version: 1.30",
    nullptr,
};
const char *const usage_line = usage[2];

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

int print_usage() {
  for (const char *const *line = usage; *line != nullptr; ++line) {
    std::printf("%s\n", *line);
  }
  return kFailure;
}

int report_too_long_line(const char *input_name, std::uint64_t line_number) {
  // The line number may exceed the formatter's int, so it is printed here.
  char digits[24] = {};
  std::to_chars(digits, digits + sizeof digits - 1, line_number);
  common::errmsg("%s: %s line: too long line\n", input_name, digits);
  return kFailure;
}

// Asks before an existing output file is replaced; only an answer that
// begins with Y or y goes on.
bool overwrite_confirmed(const char *output_name) {
  std::FILE *existing = std::fopen(output_name, "rb");
  if (existing == nullptr) {
    return true;
  }
  common::errmsg("%s: overwrite OK? (y/n) ", output_name);
  char answer[nlflip::kWindow + 2];
  const bool yes =
      std::fgets(answer, sizeof answer, stdin) != nullptr && (answer[0] == 'Y' || answer[0] == 'y');
  std::fclose(existing);
  return yes;
}

// Where the output is the input itself, the new text goes to a temporary file
// that replaces the original only once it is complete.
class OutputFile {
 public:
  explicit OutputFile(const char *name) : name_(name) {}

  bool open(bool is_the_input) {
    if (is_the_input) {
      stream_ = platform::create_temp_beside(name_, temp_name_);
    }
    if (stream_ == nullptr) {
      stream_ = std::fopen(name_, "wb");
    }
    if (stream_ != nullptr) {
      // The converter writes in large blocks of its own.
      std::setvbuf(stream_, nullptr, _IONBF, 0);
    }
    return stream_ != nullptr;
  }

  bool write(const char *block, std::size_t size) {
    return std::fwrite(block, 1, size, stream_) == size;
  }

  bool close() {
    const bool closed = common::Fclose(stream_, name_) == 0;
    stream_ = nullptr;
    if (!closed ||
        (!temp_name_.empty() && !platform::replace_with(temp_name_.c_str(), name_))) {
      return false;
    }
    temp_name_.clear();
    return true;
  }

  // Closes after a failed write; the guarded close still reports a full disk.
  void abandon() {
    common::Fclose(stream_, name_);
    stream_ = nullptr;
  }

  ~OutputFile() {
    if (!temp_name_.empty()) {
      std::remove(temp_name_.c_str());
    }
  }

  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

 private:
  const char *name_;
  std::FILE *stream_ = nullptr;
  std::string temp_name_;
};

int write_output(const nlflip::Input &input, const char *output_name, bool is_the_input) {
  OutputFile output(output_name);
  if (!output.open(is_the_input)) {
    common::errmsg("%s: cannot create\n", output_name);
    return kFailure;
  }
  const bool written = nlflip::write_flipped(
      input.data(), input.size(),
      [&output](const char *block, std::size_t size) { return output.write(block, size); });
  if (!written) {
    common::errmsg("%s: writing error\n", output_name);
    output.abandon();
    return kFailure;
  }
  if (!output.close()) {
    common::errmsg("%s: writing error\n", output_name);
    return kFailure;
  }
  return kSuccess;
}

int convert(const char *input_name, const char *output_name) {
  // A file that is to be rewritten with its own new text is copied into
  // memory, so that nothing depends on the file while it changes.
  const bool output_is_input = platform::same_file(input_name, output_name);
  const auto access =
      output_is_input ? nlflip::Input::Access::read_only : nlflip::Input::Access::map_or_read;
  nlflip::Input input;
  switch (input.read(input_name, access)) {
    case nlflip::Input::Result::ok:
      break;
    case nlflip::Input::Result::not_found:
      common::errmsg("%s: not found\n", input_name);
      return kFailure;
    case nlflip::Input::Result::read_error:
      common::errmsg("%s: reading error\n", input_name);
      return kFailure;
    case nlflip::Input::Result::no_memory:
      common::errmsg("cannot get memory\n");
      return kFailure;
  }
  if (const std::uint64_t line = nlflip::find_too_long_line(input.data(), input.size());
      line != 0) {
    return report_too_long_line(input_name, line);
  }
  if (!overwrite_confirmed(output_name)) {
    return kSuccess;
  }
  return write_output(input, output_name, output_is_input);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "-usage") == 0) {
    return print_usage();
  }
  if (argc != 3) {
    common::errmsg("%s\n", usage_line);
    return kFailure;
  }
  return convert(argv[1], argv[2]);
}
