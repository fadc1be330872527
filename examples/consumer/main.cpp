// Calls a few routines of the installed library through <nlflip/common.h>
// and exits with 0 when they give what they promise.
#include <nlflip/common.h>

#include <cstring>

void (*common::endfun)() = nullptr;

int main() {
  char path[] = "DIR\\REPORT.TXT";
  common::to_lower(path);
  const char *extension = common::findExt(path);
  common::errmsg("%s: extension %s\n", path, extension);
  const bool ok =
      std::strcmp(extension, ".txt") == 0 && common::StrCmp(path, "DIR\\Report.txt") == 0;
  return ok ? 0 : 1;
}
