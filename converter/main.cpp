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

int report(const char *name, const char *what) {
  return report(std::string(name) + what);
}

int report_too_long_line(const char *input_name, std::uint64_t line_number) {
  // The line number may exceed the formatter's int, so it is printed here.
  return report(std::string(input_name) + ": " + std::to_string(line_number) +
                " line: too long line\n");
}

// Asks before an existing output file is replaced; only an answer that
// begins with Y or y goes on.
bool overwrite_confirmed(const char *output_name) {
  report(output_name, ": overwrite OK? (y/n) ");
  char answer[nlflip::kWindow + 2];
  return std::fgets(answer, sizeof answer, stdin) != nullptr &&
         (answer[0] == 'Y' || answer[0] == 'y');
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
      return report(input_name, ": reading error\n");
    case nlflip::Input::Checked::Outcome::spool_error:
      return report(input_name, ": spooling error\n");
    case nlflip::Input::Checked::Outcome::unsupported:
      return report(input_name, ": UTF-32 not supported\n");
  }
  return kFailure;
}

int writing_error(nlflip::Output &output, const char *output_name) {
  // A replacement that lost the original tells where the new text is.
  const std::string *kept = output.kept_name();
  report(std::string(output_name) + ": writing error" +
         (kept != nullptr ? "; new text kept in " + *kept : std::string()) + "\n");
  output.abandon();
  return kFailure;
}

// A file to be replaced by its own new text that changed under the run was
// read wrongly; another file that changed is not replaced.
int changed(bool same_file, const char *input_name, const char *output_name) {
  return same_file ? report(input_name, ": reading error\n")
                   : report(output_name, ": writing error\n");
}

int finish_output(nlflip::Output &output, const char *input_name, const char *output_name,
                  bool same_file) {
  switch (output.finish()) {
    case nlflip::Output::Finished::done:
      return kSuccess;
    case nlflip::Output::Finished::cannot_rewrite_in_place:
      return report(output_name, ": cannot rewrite in place\n");
    case nlflip::Output::Finished::changed:
      return changed(same_file, input_name, output_name);
    case nlflip::Output::Finished::write_failed:
      break;
  }
  return writing_error(output, output_name);
}

int write_output(nlflip::Input &input, const char *input_name, const char *output_name,
                 const platform::FileStatus &output_status) {
  const auto way = nlflip::Output::way_for(output_status);
  const bool same_file = input.status().same_file(output_status);
  nlflip::Output output(output_name, way, output_status);
  switch (output.open()) {
    case nlflip::Output::Opened::ok:
      break;
    case nlflip::Output::Opened::cannot_create:
      return report(output_name, ": cannot create\n");
    case nlflip::Output::Opened::cannot_spool:
      return report(input_name, ": spooling error\n");
    case nlflip::Output::Opened::changed:
      return changed(same_file, input_name, output_name);
  }
  const nlflip::Converted converted = nlflip::flip_stream(input.source(), &output);
  input.close();
  switch (converted.outcome) {
    case nlflip::Converted::Outcome::done:
      return finish_output(output, input_name, output_name, same_file);
    case nlflip::Converted::Outcome::too_long:
      // A checked input that now has a too long line has changed under the run.
      return way == nlflip::Output::Way::new_file ? report_too_long_line(input_name, converted.line)
                                                  : report(input_name, ": reading error\n");
    case nlflip::Converted::Outcome::read_error:
      return report(input_name, ": reading error\n");
    case nlflip::Converted::Outcome::unsupported:
      return report(input_name, ": UTF-32 not supported\n");
    case nlflip::Converted::Outcome::write_error:
      return output.spooling() ? report(input_name, ": spooling error\n")
                               : writing_error(output, output_name);
  }
  return kFailure;
}

int convert(const char *input_name, const char *output_name) {
  nlflip::Input input;
  if (!input.open(input_name)) {
    return report(input_name, ": not found\n");
  }
  platform::FileStatus output_status = platform::status_of(output_name);
  // A name that cannot be looked up names no place for a file; a file that
  // cannot be identified might be the input under another name.
  if (output_status.unreachable ||
      (output_status.exists && (output_status.unidentified || input.status().unidentified))) {
    return report(output_name, ": cannot create\n");
  }
  // The input is read as far as its size when it was opened: a file
  // rewritten onto itself is replaced only if it is still as it was then.
  if (input.status().same_file(output_status)) {
    output_status = input.status();
  }
  // A new output is written under a temporary name, so the conversion itself
  // checks the input; an existing one is asked about only once the whole
  // input has been read.
  if (output_status.exists) {
    if (const int checked = check_input(input, input_name); checked != kSuccess) {
      return checked;
    }
    if (!overwrite_confirmed(output_name)) {
      return kSuccess;
    }
    // A file that shrank while the user was asked is not converted.
    if (input.shrank()) {
      return report(input_name, ": reading error\n");
    }
  }
  return write_output(input, input_name, output_name, output_status);
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
      return report(args[arguments.unrepresentable].c_str(), ": name not representable\n");
    }
    return convert(args[1].c_str(), args[2].c_str());
  } catch (const std::bad_alloc &) {
    common::errmsg("cannot get memory\n");
    return kFailure;
  }
}
