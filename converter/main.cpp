// nlflip: toggles the line ends of a text file into a second file.
// LF and CR line ends come out as CR LF, CR LF line ends as LF.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common.h"
#include "flip.h"
#include "input.h"
#include "output.h"
#include "platform.h"
#include "stream.h"

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
  common::errmsg("%s: overwrite OK? (y/n) ", output_name);
  char answer[nlflip::kWindow + 2];
  return std::fgets(answer, sizeof answer, stdin) != nullptr &&
         (answer[0] == 'Y' || answer[0] == 'y');
}

int report_reading_error(const char *input_name) {
  common::errmsg("%s: reading error\n", input_name);
  return kFailure;
}

// Reads the input through before an existing output is asked about.
int check_input(nlflip::Input &input, const char *input_name) {
  const nlflip::Input::Checked checked = input.check();
  switch (checked.outcome) {
    case nlflip::Input::Checked::Outcome::ok:
      return kSuccess;
    case nlflip::Input::Checked::Outcome::too_long:
      return report_too_long_line(input_name, checked.line);
    case nlflip::Input::Checked::Outcome::read_error:
      return report_reading_error(input_name);
    case nlflip::Input::Checked::Outcome::spool_error:
      common::errmsg("%s: spooling error\n", input_name);
      return kFailure;
  }
  return kFailure;
}

int write_output(nlflip::Input &input, const char *input_name, const char *output_name,
                 nlflip::Output::Way way) {
  nlflip::Output output(output_name, way);
  if (!output.open()) {
    common::errmsg("%s: cannot create\n", output_name);
    return kFailure;
  }
  const nlflip::Converted converted = nlflip::flip_stream(input.source(), &output);
  input.close();
  switch (converted.outcome) {
    case nlflip::Converted::Outcome::done:
      if (!output.finish()) {
        common::errmsg("%s: writing error\n", output_name);
        return kFailure;
      }
      return kSuccess;
    case nlflip::Converted::Outcome::too_long:
      // A checked input that now has a too long line has changed under the run.
      return way == nlflip::Output::Way::new_file
                 ? report_too_long_line(input_name, converted.line)
                 : report_reading_error(input_name);
    case nlflip::Converted::Outcome::read_error:
      return report_reading_error(input_name);
    case nlflip::Converted::Outcome::write_error:
      common::errmsg("%s: writing error\n", output_name);
      output.abandon();
      return kFailure;
  }
  return kFailure;
}

int convert(const char *input_name, const char *output_name) {
  nlflip::Input input;
  if (!input.open(input_name)) {
    common::errmsg("%s: not found\n", input_name);
    return kFailure;
  }
  const auto way = nlflip::Output::way_for(input.status(), platform::status_of(output_name));
  // A new output is written under a temporary name, so the conversion itself
  // checks the input; an existing one is asked about only once the whole
  // input has been read.
  if (way != nlflip::Output::Way::new_file) {
    if (const int checked = check_input(input, input_name); checked != kSuccess) {
      return checked;
    }
    if (!overwrite_confirmed(output_name)) {
      return kSuccess;
    }
  }
  return write_output(input, input_name, output_name, way);
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
  try {
    return convert(argv[1], argv[2]);
  } catch (const std::bad_alloc &) {
    common::errmsg("cannot get memory\n");
    return kFailure;
  }
}
