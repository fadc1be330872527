// Stands between the program and the C heap when the program is linked with
// --wrap=malloc, --wrap=calloc and --wrap=realloc.  While armed, it fails the
// requests of chosen sizes, logs the size of every request and fills each
// block that malloc hands out with kPoison, so that a test sees which bytes
// the caller cleared itself.
#ifndef TESTS_SUPPORT_ALLOC_INTERPOSER_H
#define TESTS_SUPPORT_ALLOC_INTERPOSER_H

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace alloc_interposer {

inline constexpr unsigned char kPoison = 0xA5;

void arm(std::initializer_list<std::size_t> failing_sizes);
// Returns the sizes requested while armed.
std::vector<std::size_t> disarm();

}  // namespace alloc_interposer

#endif  // TESTS_SUPPORT_ALLOC_INTERPOSER_H
