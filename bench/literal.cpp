// The per-line algorithm nlflip started from, kept only as a benchmark
// contestant: every line costs a 10000-byte read, a byte search, a backward
// seek and two heap blocks.  Lines end at the first NUL of the window, so it
// is fit for text files only.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kWindow = 10000;

struct LineNode {
  char *text;
  LineNode *next;
};

void swap_eol(char *line) {
  const std::size_t length = std::strlen(line);
  if (length >= 2 && line[length - 2] == '\r') {
    line[length - 2] = '\n';
    line[length - 1] = '\0';
  } else if (length >= 1 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
    line[length - 1] = '\r';
    line[length] = '\n';
    line[length + 1] = '\0';
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: literal INPUT OUTPUT\n");
    return 1;
  }
  std::FILE *in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "%s: not found\n", argv[1]);
    return 1;
  }
  static char buffer[kWindow + 2];
  LineNode head{};
  LineNode *current = &head;
  int line_number = 0;
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, kWindow, in)) > 0) {
    buffer[n] = '\0';
    ++line_number;
    char *end = std::strchr(buffer, '\n');
    if (end == nullptr) {
      end = std::strchr(buffer, '\r');
    }
    if (end == nullptr) {
      if (n == kWindow) {
        std::fprintf(stderr, "%s: %d line: too long line\n", argv[1], line_number);
        return 1;
      }
      end = buffer + n - 1;
    }
    end[1] = '\0';
    std::fseek(in, static_cast<long>(end + 1 - buffer) - static_cast<long>(n), SEEK_CUR);
    swap_eol(buffer);
    current->text = strdup(buffer);
    current->next = static_cast<LineNode *>(std::calloc(1, sizeof(LineNode)));
    if (current->text == nullptr || current->next == nullptr) {
      std::fprintf(stderr, "cannot get memory\n");
      return 1;
    }
    current = current->next;
  }
  std::fclose(in);
  std::FILE *out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "%s: cannot create\n", argv[2]);
    return 1;
  }
  for (const LineNode *node = &head; node->next != nullptr; node = node->next) {
    std::fwrite(node->text, 1, std::strlen(node->text), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
