// err_edit called the way errmsg calls it, its text returned as a string.
#ifndef TESTS_SUPPORT_EDIT_H
#define TESTS_SUPPORT_EDIT_H

#include <cstdarg>
#include <string>

#include "common.h"

namespace testsupport {

inline std::string edit(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = common::err_edit(format, args);
  va_end(args);
  return text;
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_EDIT_H
