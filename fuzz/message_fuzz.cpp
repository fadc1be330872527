// err_edit with arbitrary formats and arguments of the kinds their conversions
// take, and errmsg1 with the same: the text keeps within the message limit and
// the buffer, and errmsg1 writes what err_edit makes (or the bare format).
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "fuzz_input.h"
#include "edit.h"

namespace {

constexpr std::size_t kMessageLimit = 1024;
constexpr std::size_t kBufferSize = kMessageLimit + 100;
// The longest text of a conversion other than %f and %s: "%d" of INT_MIN.
constexpr std::size_t kLongestNumber = 11;
// Every argument more multiplies the instantiations of dispatch by four.
constexpr std::size_t kMaxArguments = 4;

struct Argument {
  char letter;
  int number;
  double real;
  int text;  // index into Message::texts; -1 for a null pointer
};

struct Message {
  std::string format;
  std::vector<std::string> texts;
  std::vector<Argument> arguments;
  bool has_real = false;
};

bool takes_argument(char letter) {
  return letter == 'c' || letter == 'd' || letter == 'x' || letter == 'f' || letter == 's';
}

Argument take_argument(char letter, fuzz::Input &in, Message &m) {
  Argument a{letter, 0, 0.0, -1};
  if (letter == 'f') {
    a.real = in.value<double>();
    m.has_real = true;
  } else if (letter == 's') {
    // A repeat count of 0 passes a null pointer; large ones pass the limit.
    const std::uint8_t repeat = in.byte();
    const std::string piece = in.text(64);
    if (repeat != 0) {
      a.text = static_cast<int>(m.texts.size());
      std::string &text = m.texts.emplace_back();
      for (int i = 0; i < repeat; ++i) {
        text += piece;
      }
    }
  } else {
    a.number = in.value<int>();
  }
  return a;
}

// Finds the conversions by reading the format as the formatter does, and cuts
// the format before the one that would take an argument too many.
Message decode(fuzz::Input &in) {
  Message m;
  m.format = in.text(2 * kBufferSize);
  for (std::size_t i = 0; i + 1 < m.format.size();) {
    const char c = m.format[i];
    if (c == '%' && takes_argument(m.format[i + 1])) {
      if (m.arguments.size() == kMaxArguments) {
        m.format.resize(i);
        break;
      }
      m.arguments.push_back(take_argument(m.format[i + 1], in, m));
    }
    i += c == '%' || c == '\\' ? 2 : 1;
  }
  return m;
}

using testsupport::edit;

std::FILE *sink() {
  static std::FILE *const file = std::tmpfile();
  fuzz::require(file != nullptr, "a temporary file for errmsg1");
  return file;
}

std::string written_by_errmsg1(const char *format, auto... args) {
  std::FILE *file = sink();
  std::rewind(file);
  common::errfp = file;
  common::errmsg_output_flg = 0;
  common::errmsg1(format, args...);
  fuzz::require(common::errmsg_output_flg == 0, "errmsg1 leaves the flag alone");
  const long end = std::ftell(file);
  fuzz::require(end >= 0, "errmsg1's output can be measured");
  std::string text(static_cast<std::size_t>(end), '\0');
  std::rewind(file);
  fuzz::require(std::fread(text.data(), 1, text.size(), file) == text.size(), "read back");
  return text;
}

void check(const Message &m, auto... args) {
  const char *format = m.format.c_str();
  const std::string text = edit(format, args...);
  // Writing stops once the limit is reached, so one conversion can pass it.
  const std::size_t longest = m.has_real ? kBufferSize - 1 : kMessageLimit - 1 + kLongestNumber;
  fuzz::require(text.size() <= longest, "text within the limit plus one conversion");
  const bool formatted = common::Strchr(format, '%') != nullptr;
  fuzz::require(written_by_errmsg1(format, args...) == (formatted ? text : m.format),
                "errmsg1 writes the formatted text");
}

// Passes the arguments with the types that their conversions take.
template <typename... Args>
void dispatch(const Message &m, Args... args) {
  constexpr std::size_t k = sizeof...(Args);
  if constexpr (k < kMaxArguments) {
    if (k < m.arguments.size()) {
      const Argument &a = m.arguments[k];
      switch (a.letter) {
        case 'f':
          dispatch(m, args..., a.real);
          break;
        case 's':
          dispatch(m, args...,
                   a.text < 0 ? nullptr : m.texts[static_cast<std::size_t>(a.text)].c_str());
          break;
        case 'x':
          dispatch(m, args..., static_cast<unsigned>(a.number));
          break;
        default:
          dispatch(m, args..., a.number);
          break;
      }
      return;
    }
  }
  check(m, args...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  dispatch(decode(in));
  return 0;
}
