// Writes deterministic benchmark inputs: make_input KIND BYTES FILE, where
// KIND is lf, crlf or cr (text lines of about 40 bytes), long (lines of about
// 9000 bytes) or binary (random bytes, NUL included, a line end now and then).
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

std::string make(const std::string &kind, std::size_t bytes) {
  std::mt19937 random(12345);
  std::string data;
  data.reserve(bytes + 10000);
  if (kind == "binary") {
    while (data.size() < bytes) {
      const auto value = static_cast<char>(random() % 256);
      data += value == '\n' || value == '\r' || random() % 64 == 0 ? '\n' : value;
    }
  } else {
    const bool long_lines = kind == "long";
    const char *end = kind == "crlf" ? "\r\n" : kind == "cr" ? "\r" : "\n";
    while (data.size() < bytes) {
      const std::size_t length = long_lines ? 8500 + random() % 1000 : 30 + random() % 19;
      data += text_line(random, length);
      data += end;
    }
  }
  data.resize(bytes);
  return data;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_input lf|crlf|cr|long|binary BYTES FILE\n");
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
