// Shared by the memory test programs.  Their endfun writes kEndfunMark to
// standard error, so that a death test sees whether, and after which message,
// the hook ran.
#ifndef TESTS_SUPPORT_MEMORY_SUPPORT_H
#define TESTS_SUPPORT_MEMORY_SUPPORT_H

#include <initializer_list>
#include <string>

inline constexpr char kEndfunMark[] = "<endfun>";

struct FatalCase {
  const char *name;
  void (*provoke)();
  std::string output;  // standard error, byte for byte
};

// Expects each case to end the program with status 1 after writing exactly
// its output.
void expect_fatal(std::initializer_list<FatalCase> cases);

#endif  // TESTS_SUPPORT_MEMORY_SUPPORT_H
