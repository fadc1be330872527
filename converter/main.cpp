// nlflip: toggles the line ends of a text file into a second file.
// LF and CR line ends come out as CR LF, CR LF line ends as LF.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

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
    platform::put_text(stdout, (std::string(*line) + '\n').c_str());
  }
  return kFailure;
}

// Writes a message through errmsg whatever its length, in one piece where
// it holds no '%'.  The formatter leaves out a name that does not fit its
// buffer, but a format without '%' is written as it is: the text goes as
// such formats, cut only before each '%', which is never the second byte of
// a double-byte character.  So no character is cut in two, and a console
// shows each one whole.
int report(const std::string &text) {
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == '%') {
      common::errmsg("%");  // a lone '%' at the end of a format stays as it is
      ++at;
      continue;
    }
    const std::size_t end = std::min(text.find('%', at), text.size());
    common::errmsg(text.substr(at, end - at).c_str());
    at = end;
  }
  return kFailure;
}

// Tells how the run ended, in its one message, and gives its exit code.  A
// writing error comes before what closing the output has to say.  The output
// is known once the input has been opened.
int tell(const nlflip::Ending &ending, const char *input_name, const char *output_name,
         nlflip::Output *output = nullptr) {
  using Outcome = nlflip::Ending::Outcome;
  const std::string in = input_name;
  const std::string out = output_name;
  switch (ending.outcome) {
    case Outcome::done:
      return kSuccess;
    case Outcome::not_found:
      return report(in + ": not found\n");
    case Outcome::reading_error:
      return report(in + ": reading error\n");
    case Outcome::spooling_error:
      return report(in + ": spooling error\n");
    case Outcome::too_long_line:
      // The line number may exceed the formatter's int, so it is printed here.
      return report(in + ": " + std::to_string(ending.line) + " line: too long line\n");
    case Outcome::utf32:
      return report(in + ": UTF-32 not supported\n");
    case Outcome::cannot_create:
      return report(out + ": cannot create\n");
    case Outcome::cannot_rewrite_in_place:
      return report(out + ": cannot rewrite in place\n");
    case Outcome::writing_error:
      break;
  }
  // A replacement that lost the original tells where the new text is.
  const std::string *kept = output->kept_name();
  report(out + ": writing error" + (kept != nullptr ? "; new text kept in " + *kept : "") + "\n");
  output->abandon();
  return kFailure;
}

// Asks before an existing output file is replaced; only an answer that
// begins with Y or y goes on.
bool overwrite_confirmed(const char *output_name) {
  report(std::string(output_name) + ": overwrite OK? (y/n) ");
  char answer[nlflip::kWindow + 2];
  return std::fgets(answer, sizeof answer, stdin) != nullptr &&
         (answer[0] == 'Y' || answer[0] == 'y');
}

int convert(const char *input_name, const char *output_name) {
  nlflip::Input input;
  if (!input.open(input_name)) {
    return tell({nlflip::Ending::Outcome::not_found, 0}, input_name, output_name);
  }
  nlflip::Output output(output_name, input);
  // An existing output is asked about only once the whole input has been
  // read; a new one is written under a temporary name, so the conversion
  // itself checks the input.
  if (output.exists()) {
    if (const nlflip::Ending read = output.read_ahead(input); !read.done()) {
      return tell(read, input_name, output_name, &output);
    }
    if (!overwrite_confirmed(output_name)) {
      return kSuccess;
    }
  }
  return tell(output.write(input), input_name, output_name, &output);
}

}  // namespace

int main(int argc, char **argv) {
  platform::prepare_process();
  try {
    const platform::Arguments arguments = platform::arguments(argc, argv);
    const std::vector<std::string> &args = arguments.values;
    if (args.size() == 2 && args[1] == "-usage") {
      return print_usage();
    }
    if (args.size() != 3) {
      common::errmsg("%s\n", usage_line);
      return kFailure;
    }
    // A name the code page cannot hold would reach another file.
    if (arguments.unrepresentable != 0) {
      return report(args[arguments.unrepresentable] + ": name not representable\n");
    }
    return convert(args[1].c_str(), args[2].c_str());
  } catch (const std::bad_alloc &) {
    common::errmsg("cannot get memory\n");
    return kFailure;
  }
}
