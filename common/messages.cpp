// Message output and the library's own small message formatter.
#include <cstdint>
#include <cstring>

#include "common.h"
#include "platform.h"

namespace common {

std::FILE *errfp = nullptr;
int errmsg_output_flg = 0;

namespace {

constexpr int kMessageLimit = 1024;
// The margin covers one conversion started just below the limit.
constexpr int kBufferSize = kMessageLimit + 100;

char message_buffer[kBufferSize];

bool selects_stdout(const std::FILE *fp) {
  return reinterpret_cast<std::uintptr_t>(fp) == static_cast<std::uintptr_t>(-1);
}

// Appends to the message buffer, cutting at its end so that no conversion,
// however long, overruns it.
class MessageWriter {
 public:
  int written() const { return length_; }

  void put(char c) { put(&c, 1); }

  void put(const char *bytes, int count) {
    const int room = kBufferSize - 1 - length_;
    const int taken = count < room ? count : room;
    std::memcpy(message_buffer + length_, bytes, static_cast<std::size_t>(taken));
    length_ += taken;
  }

  // Takes the text and the result of the snprintf call that printed it.
  void put_printed(const char *text, int length) {
    const int fitting = kBufferSize - 1;
    put(text, length < 0 ? 0 : (length < fitting ? length : fitting));
  }

  char *finish() const {
    message_buffer[length_] = '\0';
    return message_buffer;
  }

 private:
  int length_ = 0;
};

void put_string(MessageWriter &out, const char *text) {
  if (text == nullptr) {
    text = "(null)";
  }
  const std::size_t length = std::strlen(text);
  // A string that would carry the message past its limit is left out whole.
  if (length + static_cast<std::size_t>(out.written()) <= kMessageLimit) {
    out.put(text, static_cast<int>(length));
  }
}

void put_conversion(MessageWriter &out, char letter, va_list &args) {
  char text[kBufferSize];
  switch (letter) {
    case 'c':
      out.put(static_cast<char>(va_arg(args, int)));
      break;
    case 'd':
      out.put_printed(text, std::snprintf(text, sizeof text, "%d", va_arg(args, int)));
      break;
    case 'x':
      out.put_printed(text, std::snprintf(text, sizeof text, "%x", va_arg(args, unsigned int)));
      break;
    case 'f':
      out.put_printed(text, std::snprintf(text, sizeof text, "%f", va_arg(args, double)));
      break;
    case 's':
      put_string(out, va_arg(args, const char *));
      break;
    default:
      out.put('%');
      out.put(letter);
      break;
  }
}

const char *message_text(const char *format, va_list args) {
  return Strchr(format, '%') != nullptr ? err_edit(format, args) : format;
}

}  // namespace

char *err_edit(const char *format, va_list args) {
  va_list remaining;
  va_copy(remaining, args);
  MessageWriter out;
  const char *p = format;
  while (out.written() < kMessageLimit && *p != '\0') {
    if (p[0] == '\\' && p[1] != '\0') {
      out.put(p[1]);
      p += 2;
    } else if (p[0] != '%') {
      out.put(*p++);
    } else if (p[1] == '\0') {
      out.put('%');
      ++p;
    } else {
      put_conversion(out, p[1], remaining);
      p += 2;
    }
  }
  va_end(remaining);
  return out.finish();
}

void errmsg(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const char *text = message_text(format, args);
  va_end(args);
  platform::put_text(selects_stdout(errfp) ? stdout : stderr, text);
  errmsg_output_flg = 1;
}

void errmsg1(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const char *text = message_text(format, args);
  va_end(args);
  std::FILE *destination = errfp == nullptr ? stderr : errfp;
  platform::put_text(selects_stdout(errfp) ? stdout : destination, text);
}

}  // namespace common
