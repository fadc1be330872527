// The operating-system services that the library and the converter need.
// One implementation per platform; the build picks posix.cpp or win32.cpp.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Free bytes available on the file system (drive) that holds path, or -1.0
// when they cannot be determined.
double free_space(const char *path);

// Local-memory heap: blocks known by opaque non-null handles.
void *local_alloc(int size);     // zero-filled block, or null
void *local_lock(void *handle);  // the block's address, or null
void local_unlock(void *handle);
void local_free(void *handle);

// Size in bytes of the regular file open as fp, or -1 for pipes, devices and
// anything else whose size is not known in advance.
std::int64_t regular_file_size(std::FILE *fp);

// Maps the whole regular file open as fp for reading and stores its size;
// null when it cannot be mapped (pipes, devices, empty files).  The mapping
// outlives the stream and must not be used once the file is rewritten.
const char *map_file(std::FILE *fp, std::size_t &size);
void unmap_file(const char *data, std::size_t size);

// Whether the two names denote one and the same existing file.
bool same_file(const char *first, const char *second);

// Creates an empty temporary file, open for binary writing, in the directory
// of the file that path names (after symbolic links on POSIX); stores its name
// in temp_path.  Null when no file can be made there, and on POSIX when the
// file that path names may not be written (so that writing it in place fails
// as it should).
std::FILE *create_temp_beside(const char *path, std::string &temp_path);

// Moves the temporary file over the file that path names (after symbolic
// links on POSIX), giving it that file's permission bits (on Windows, its
// hidden, system and archive attributes).  False on failure, and on Windows
// for a read-only file, which is left as it is.
bool replace_with(const char *temp_path, const char *path);

}  // namespace platform

#endif  // PLATFORM_PLATFORM_H
