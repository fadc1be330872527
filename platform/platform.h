// The operating-system services that the library and the converter need.
// One implementation per platform; the build picks posix.cpp or win32.cpp.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The program's arguments, its own name first, as the byte strings that the
// other functions take.  On Windows they are read from the wide command line
// and converted to the ANSI code page without look-alike substitutes: an
// argument that the code page cannot hold keeps the default character in
// place of what it cannot hold, and the index of the first such argument is
// given (0 when every argument is exact).
struct Arguments {
  std::vector<std::string> values;
  std::size_t unrepresentable = 0;
};
Arguments arguments(int argc, char **argv);

// Writes text to the stream as fputs does, where the stream is a file, a
// pipe or a device.  On a Windows console it writes the characters that the
// bytes stand for in the ANSI code page instead (line ends as the stream's
// text mode writes them), so that they read right whatever the console's
// own code page is.
void put_text(std::FILE *stream, const char *text);

// Free bytes available on the file system (drive) that holds path, or -1.0
// when they cannot be determined.
double free_space(const char *path);

// Local-memory heap: blocks known by opaque non-null handles.
void *local_alloc(int size);     // zero-filled block, or null
void *local_lock(void *handle);  // the block's address, or null
void local_unlock(void *handle);
void local_free(void *handle);

// What a name or an open file is.  Two files are the same when they have
// the same identity.
struct FileStatus {
  bool exists = false;
  // A file on a disk whose volume and index could not be read: it cannot be
  // told apart from any other file.
  bool unidentified = false;
  bool regular = false;   // a regular file, whose size is known in advance
  std::int64_t size = 0;  // of a regular file
  std::uint64_t volume = 0;
  std::uint64_t index = 0;

  bool same_file(const FileStatus &other) const {
    return exists && other.exists && volume == other.volume && index == other.index;
  }
};

// The file that a name denotes, symbolic links followed: found without
// opening it on POSIX (so that a FIFO cannot block), by opening it without
// access on Windows.
FileStatus status_of(const char *path);

// fopen for names of any length (on Windows also longer than MAX_PATH).
std::FILE *open_file(const char *path, const char *mode);

// Removes the named file; false on failure.
bool remove_file(const char *path);
FileStatus status_of(std::FILE *fp);

// Up to size bytes from the current position (read) or from an offset of a
// regular file (read_at, which leaves the current position alone on POSIX
// and behind the bytes read on Windows); 0 at the end, -1 when reading
// failed.
std::int64_t read(std::FILE *fp, char *buffer, std::size_t size);
std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset);

// Writes all of data at the current position; false on failure.
bool write_all(std::FILE *fp, const char *data, std::size_t size);

// An unnamed temporary file in the system's temporary directory (TMPDIR),
// open for reading and writing, which the system removes when it is closed
// or the process ends; null when none can be made.
std::FILE *open_spool();

// What a temporary file made beside a file is to become.
enum class Replacing {
  new_file,       // a file that does not exist yet
  existing_file,  // the file that the name denotes now
};

// Creates an empty temporary file, open for binary writing, in the directory
// of the file that path names (after symbolic links, on POSIX also a
// dangling one; on Windows also junctions); stores its name in temp_path.
// For a new file it gets the permissions that a new file would get; for an
// existing one (POSIX) its owner, group and permission bits, and where they
// cannot be given to it no temporary file is made.  Null when no file can be
// made there.
std::FILE *create_temp_beside(const char *path, std::string &temp_path, Replacing what);

// Moves the temporary file to the name of the file that path names (after
// symbolic links and, on Windows, junctions): a new file only where no file
// of that name has appeared meanwhile; over an existing one keeping its
// permission bits (on Windows its hidden, system and archive attributes).
// False on failure, and on Windows for a read-only file, which is left as it
// is.
bool replace_with(const char *temp_path, const char *path, Replacing what);

// Makes sure that the standard streams are open (on the null device where
// they are closed), so that no file opened later takes their place, and
// lets a write past a file-size limit fail instead of ending the process.
void prepare_process();

// On an interruption (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break) the named
// file is removed and the process then ends as the interruption would have
// ended it; null forgets the name.  The name must outlive its registration.
void remove_on_interrupt(const char *path);

// While held, interruptions wait; on release a waiting one takes effect.
void hold_interrupts();
void release_interrupts();

// Whether running out of space can be told for the file open as fp, whose
// free space is asked for under path: a regular file on a file system that
// reports its size (a pipe, a device or a file system without a block count
// cannot be full in that sense), whose volume the name tells (on Windows a
// name such as \\.\UNC\... names none that the query can ask; a figure
// that cannot be had is no full disk).
bool has_free_space_figure(std::FILE *fp, const char *path);

// Allocates room for size bytes to the file open as fp, growing it with
// zeros where it is shorter; its bytes are left as they were.
enum class Reserved { done, no_space, unsupported, failed };
Reserved reserve(std::FILE *fp, std::uint64_t size);

// Cuts the file open as fp to size bytes; false on failure.
bool truncate(std::FILE *fp, std::uint64_t size);

// A lock with one condition on it, for hand-offs between two threads; it
// can be held through std::unique_lock.  On Windows the C++ library's own
// pair waits on kernel semaphores, a system call for every wait and under
// Wine a round trip to its server; the system's slim locks wait in the
// process until a thread must sleep.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor &) = delete;
  Monitor &operator=(const Monitor &) = delete;

  void lock();
  void unlock();
  // With the lock held: releases it until notified (or woken for no
  // reason), then takes it again.
  void wait();
  void notify_all();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform

#endif  // PLATFORM_PLATFORM_H
