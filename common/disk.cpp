// Guarded close of output files and the free-space query behind it.
#include "common.h"
#include "platform.h"

namespace common {

double FreeDiskSpace = 0.0;

namespace {

constexpr int kLargestInt = 2147483647;

bool has_drive_letter(const char *path) {
  return path[0] != '\0' && path[1] == ':';
}

}  // namespace

int getFreeSpace(const char *path) {
  FreeDiskSpace = platform::free_space(path);
  if (FreeDiskSpace > static_cast<double>(kLargestInt)) {
    return kLargestInt;
  }
  return static_cast<int>(FreeDiskSpace);
}

int Fclose(std::FILE *fp, const char *name) {
  const int closed = std::fclose(fp);
  if (closed != 0) {
    return closed;
  }
  if (getFreeSpace(name) > 0) {
    return 0;
  }
  if (has_drive_letter(name)) {
    errmsg("%c drive: no free disk space\n", name[0]);
  } else {
    errmsg("no free disk space\n");
  }
  return -1;
}

}  // namespace common
