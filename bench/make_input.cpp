// Writes deterministic benchmark inputs: make_input KIND BYTES FILE, where
// KIND is lf, crlf or cr (text lines of 30 to 48 bytes), ragged or
// ragged-crlf (text lines of 0 to about 300 bytes, 40 on average), long
// (lines of about 9000 bytes), binary (random bytes, NUL included, an LF now
// and then), mixed (random bytes with frequent NULs and LF, CR and CR LF
// line ends, about 30 bytes apart) or utf16 (the ragged text in UTF-16
// little-endian after its byte-order mark).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string random_word(std::mt19937 &random) {
  std::string word(3 + random() % 7, 'a');
  for (char &c : word) {
    c = static_cast<char>('a' + random() % 26);
  }
  return word;
}

// One line of text of the given length, its end not included.
std::string text_line(std::mt19937 &random, std::size_t length) {
  std::string line;
  while (line.size() < length) {
    line += random_word(random);
    line += ' ';
  }
  line.resize(length);
  return line;
}

// Random bytes with frequent NULs and LF, CR and CR LF line ends.
void add_mixed(std::mt19937 &random, std::size_t bytes, std::string &data) {
  static const char *const ends[] = {"\n", "\r", "\r\n"};
  while (data.size() < bytes) {
    const auto value = static_cast<char>(random() % 256);
    if (random() % 30 == 0) {
      data += ends[random() % 3];
    } else if (random() % 16 == 0 || value == '\n' || value == '\r') {
      data += '\0';
    } else {
      data += value;
    }
  }
}

// Random bytes, NUL included, where every CR and now and then a byte becomes
// an LF.
void add_binary(std::mt19937 &random, std::size_t bytes, std::string &data) {
  while (data.size() < bytes) {
    const auto value = static_cast<char>(random() % 256);
    data += value == '\n' || value == '\r' || random() % 64 == 0 ? '\n' : value;
  }
}

void add_text(const std::string &kind, std::mt19937 &random, std::size_t bytes, std::string &data) {
  const bool long_lines = kind == "long";
  const bool ragged = kind.starts_with("ragged");
  const char *end = kind.ends_with("crlf") ? "\r\n" : kind == "cr" ? "\r" : "\n";
  std::exponential_distribution<double> ragged_length(1.0 / 40);
  while (data.size() < bytes) {
    const std::size_t length = long_lines ? 8500 + random() % 1000
                               : ragged   ? static_cast<std::size_t>(ragged_length(random))
                                          : 30 + random() % 19;
    data += text_line(random, length);
    data += end;
  }
}

// The text in UTF-16 little-endian after its byte-order mark, bytes long.
std::string as_utf16(const std::string &text, std::size_t bytes) {
  std::string data = "\xFF\xFE";
  data.reserve(bytes + 2);
  for (std::size_t i = 0; data.size() < bytes; ++i) {
    data += text[i];
    data += '\0';
  }
  data.resize(bytes);
  return data;
}

std::string make(const std::string &kind, std::size_t bytes) {
  std::mt19937 random(12345);
  std::string data;
  data.reserve(bytes + 10000);
  if (kind == "utf16") {
    add_text("ragged", random, bytes / 2, data);
    return as_utf16(data, bytes);
  }
  if (kind == "mixed") {
    add_mixed(random, bytes, data);
  } else if (kind == "binary") {
    add_binary(random, bytes, data);
  } else {
    add_text(kind, random, bytes, data);
  }
  data.resize(bytes);
  return data;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: make_input lf|crlf|cr|ragged|ragged-crlf|long|binary|mixed|utf16 BYTES "
                 "FILE\n");
    return 2;
  }
  const std::string data =
      make(argv[1], static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10)));
  std::FILE *out = std::fopen(argv[3], "wb");
  if (out == nullptr || std::fwrite(data.data(), 1, data.size(), out) != data.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
