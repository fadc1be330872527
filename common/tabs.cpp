// Tab expansion into a static line buffer.
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "platform.h"

namespace common {

namespace {

constexpr int kTextLimit = 2048;
// Tabs get spaces only up to this column, whatever their width asks for.
constexpr int kTabLimit = 1024;

char expanded[kTextLimit + 1];

[[noreturn]] void line_too_long(const char *line) {
  platform::put_text(stdout, line);
  platform::put_text(stdout, " ... too long\n");
  std::exit(1);
}

}  // namespace

char *exp_tab(int width, const char *line) {
  // A width below 1 has no tab stops; one column per tab keeps it defined.
  const int stop = width >= 1 ? width : 1;
  int column = 0;
  for (const char *p = line; *p != '\0'; ++p) {
    // A tab at column 2048 would add nothing, so one check covers both kinds.
    if (column == kTextLimit) {
      line_too_long(line);
    }
    if (*p == '\t') {
      const int due = stop - column % stop;
      for (int written = 0; written < due && column < kTabLimit; ++written) {
        expanded[column++] = ' ';
      }
    } else {
      expanded[column++] = *p;
    }
  }
  expanded[column] = '\0';
  return expanded;
}

}  // namespace common
