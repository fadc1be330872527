// What a POSIX test may need of the system it runs on: privileges and
// optional tools.  A test that lacks one skips, naming it.
#ifndef TESTS_SUPPORT_SYSTEM_POSIX_H
#define TESTS_SUPPORT_SYSTEM_POSIX_H

#include <string>

namespace testsupport {

bool is_root();

// The full name of a program found in PATH, or "" where it is not there.
std::string find_program(const std::string &name);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SYSTEM_POSIX_H
