// The steps of the Windows free-space query, declared for the tests: the
// fallback to the cluster-counting query runs only where KERNEL32 lacks the
// extended one, which no system that the tests run on does, so the tests
// call it here.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#include <string>

namespace platform {

// The root that the free-space query asks about for path: its first two
// bytes and a backslash when the second byte is ':'; for a name that starts
// with two separators (\\?\X:\..., \\server\share\...) the volume that
// holds it, as the system finds it, else the share of a UNC name
// (\\server\share\ or \\?\UNC\server\share\), else "" (no volume can be
// told); any other name gets "\\", the current drive.
std::string free_space_root(const char *path);

// Free bytes on the drive with that root by the cluster-counting query
// GetDiskFreeSpaceA, or -1.0 when it fails.
double free_space_by_clusters(const char *root);

}  // namespace platform

#endif  // PLATFORM_WIN32_H
