// The operating-system services that the library and the converter need, in
// sections by topic.  Each topic has a POSIX and a Win32 implementation,
// <topic>_posix.cpp and <topic>_win32.cpp; on Windows names_win32.cpp holds
// what the others share about names.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// --------------------------------------------------------------------------
// The process: its arguments and console text, its standard streams, and the
// interruptions that remove the temporary file (process_*).
// --------------------------------------------------------------------------

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

// Makes sure that the standard streams are open (on the null device where
// they are closed), so that no file opened later takes their place; lets a
// write past a file-size limit or to a closed pipe fail instead of ending
// the process; catches interruptions (and faults on POSIX), which remove the
// registered temporary file; and sets up the rest that a run relies on
// (one C heap arena on Linux, an unbuffered standard error on Windows).
void prepare_process();

// An interruption (SIGINT, SIGTERM, SIGHUP, SIGQUIT and the other signals
// that end a process and can be caught; Ctrl+C, Ctrl+Break, a closed
// console) removes the temporary file of the run, if any, and ends the
// process as the interruption would have ended it.  While one of these
// lives, interruptions wait; when it goes, a waiting one takes effect,
// unless the run has succeeded meanwhile.  Holds nest.
class InterruptionsHeld {
 public:
  InterruptionsHeld();
  ~InterruptionsHeld();
  InterruptionsHeld(const InterruptionsHeld &) = delete;
  InterruptionsHeld &operator=(const InterruptionsHeld &) = delete;

  // The run has succeeded: interruptions stay held to its end, so that a
  // late one cannot turn the success into a failure.
  void to_the_end() { to_the_end_ = true; }

 private:
  // The signal mask from before the hold (POSIX).
  alignas(std::uint64_t) unsigned char before_[128] = {};
  bool to_the_end_ = false;
};

// --------------------------------------------------------------------------
// Files: what they are, reading and writing them, the spool, flushing and
// free space (files_*).
// --------------------------------------------------------------------------

// What a name or an open file is.  Two files are the same when they have
// the same identity.
struct FileStatus {
  bool exists = false;
  // The name cannot be looked up: a link that the system refuses to follow,
  // a loop of links, a directory that may not be searched (POSIX).
  bool unreachable = false;
  // A file on a disk whose volume and index could not be read: it cannot be
  // told apart from any other file.
  bool unidentified = false;
  bool regular = false;  // a regular file
  // A regular file whose size tells how many bytes reading it gives; the
  // files of procfs and sysfs report 0 or a page whatever they hold.
  bool sized = false;
  std::int64_t size = 0;      // of a regular file
  std::int64_t modified = 0;  // when its bytes last changed, in the system's own unit
  std::int64_t changed = 0;   // when its bytes or its metadata last changed (POSIX)
  std::uint64_t links = 0;    // the names it has
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
// The file open as fp.
FileStatus status_of(std::FILE *fp);

// Whether the system refuses to open the existing file that path denotes
// for writing with creation, as Linux does in a sticky directory that others
// may write (/tmp) for a file that belongs neither to this user nor to the
// directory's owner (fs.protected_regular): such a file is not written.
bool creation_refused(const char *path);

// fopen for names of any length (on Windows also longer than MAX_PATH).  On
// Windows a file opened for reading ("rb", "r+b") lets others read, write
// and delete it meanwhile, and a read-only file opened as "r+b" is opened
// for reading alone: writing to it fails.
std::FILE *open_file(const char *path, const char *mode);

// Up to size bytes from the current position (read) or from an offset of a
// regular file (read_at, which leaves the current position alone on POSIX
// and behind the bytes read on Windows); 0 at the end, -1 when reading
// failed.
std::int64_t read(std::FILE *fp, char *buffer, std::size_t size);
std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset);

// Writes all of data at the current position (write_all) or at an offset
// of a regular file (write_at); false on failure.
bool write_all(std::FILE *fp, const char *data, std::size_t size);
bool write_at(std::FILE *fp, const char *data, std::size_t size, std::uint64_t offset);

// An unnamed temporary file in the system's temporary directory (TMPDIR),
// open for reading and writing, which the system removes when it is closed
// or the process ends; null when none can be made.
std::FILE *open_spool();

// Cuts the file open as fp to size bytes; false on failure.
bool truncate(std::FILE *fp, std::uint64_t size);

// Writes the bytes of the file open as fp through to the disk; false on
// failure.
bool flush(std::FILE *fp);

// Free bytes available on the file system (drive) that holds path, or -1.0
// when they cannot be determined.
double free_space(const char *path);

// Whether running out of space can be told for the file open as fp, whose
// free space is asked for under path: a regular file on a file system that
// reports its size (a pipe, a device or a file system without a block count
// cannot be full in that sense), whose volume the name tells (on Windows a
// name such as \\.\UNC\... names none that the query can ask; a figure
// that cannot be had is no full disk).
bool has_free_space_figure(std::FILE *fp, const char *path);

// --------------------------------------------------------------------------
// Replacing a file: the temporary file beside it (replace_*).
// --------------------------------------------------------------------------

// What a temporary file made beside a file is to become.
enum class Replacing {
  new_file,       // a file that does not exist yet
  existing_file,  // the file that the name denotes now
};

// What taking a name came to.
enum class Taken {
  no,
  yes,
  // The name is taken, but the directory could not be written through to
  // the disk: a crash may still bring the old text back.
  not_flushed,
};

// A temporary file in the directory of the file that a name denotes (after
// symbolic links, on POSIX also a dangling one that the system would follow;
// on Windows also junctions), made to become that file or to replace it.
// The directory is found once: the temporary file is named, renamed or
// removed there however the directory is moved meanwhile.  On Linux it has
// no name until it is complete (O_TMPFILE), so that a crash leaves nothing
// behind; elsewhere it is removed on an interruption and when the object
// goes, unless it has taken the name.
class TempFile {
 public:
  // Null when no temporary file can be made there; for an existing file
  // also when the name does not denote the file of that status, or denotes
  // one that this user may not write.  A new file's temporary file gets the
  // permissions that a new file would get; one that replaces a file is open
  // to this user alone until it takes the original's metadata.
  static std::unique_ptr<TempFile> beside(const char *path, Replacing what,
                                          const FileStatus &existing);
  // The same, to replace an existing file, but only where it can have no
  // name until it takes the file's place (Linux, most local file systems),
  // so that it is seen by no one and left behind by nothing; null elsewhere.
  static std::unique_ptr<TempFile> unnamed_beside(const char *path, const FileStatus &existing);
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  // A stream that writes it, which the caller closes once it is written;
  // one per temporary file.
  std::FILE *open_stream() const;
  // The bytes written, for reading at offsets; owned by the temporary file.
  std::FILE *contents();

  // Whether the directory still has the name it was found under.
  bool directory_in_place() const;
  // What the name it is to take denotes now.
  FileStatus target_status() const;

  // Gives it the owner, group, permissions, access control list and extended
  // attributes of the file that it is to replace (on Windows its hidden,
  // system and archive attributes; the rest comes with the replacement);
  // false where this user cannot give all of them.
  bool take_metadata();
  // Whether the file to replace still has the metadata that take_metadata()
  // gave the temporary file (its change time is what it was then), so that
  // the replacement undoes no change that its owner has made since.
  bool metadata_unchanged() const;
  // Writes its bytes and metadata through to the disk.
  bool flush();
  // Takes the name, as it was made to: a new file only where no file has appeared under it
  // meanwhile (where the file system can neither rename without replacing
  // nor link, by a copy into a file created under the name); an existing one
  // by a replacement that keeps the original's metadata and then reaches the
  // disk itself.  No on failure, and on Windows for a read-only file, which
  // is left as it is.
  Taken take_name();
  // After a failed take_name: the full name (in the ANSI code page on
  // Windows) of the temporary file, kept because it holds the only copy of
  // the new text; the name no longer denotes the original (on Windows where
  // the replacement took the original away and then could not give the new
  // text its name).  Null where nothing was kept.
  const std::string *kept_name() const { return kept_ ? &kept_name_ : nullptr; }

 private:
  struct State;
  explicit TempFile(std::unique_ptr<State> state);
  // Makes one beside path, only an unnamed one where unnamed_only says so
  // (POSIX).
  static std::unique_ptr<TempFile> make(const char *path, Replacing what,
                                        const FileStatus &existing, bool unnamed_only);
  std::unique_ptr<State> state_;
  bool kept_ = false;
  std::string kept_name_;
};

// --------------------------------------------------------------------------
// Rewriting a file in place: room, privileges, other programs (rewrite_*).
// --------------------------------------------------------------------------

// Makes sure that the disk has room for size bytes of the file open as fp
// before its bytes are overwritten, so that writing them cannot run out of
// room; on Windows the file is grown with zeros to that size.  Where blocks
// are shared with other files (snapshots, reflink copies) or the file system
// writes every block anew, the free space must hold all of them; where it
// does not, or the file system cannot allocate in advance, the answer is
// unsupported.  Where that fails, the file is left as it was: its size, its
// bytes and its modification time.
enum class Reserved { done, no_space, unsupported, failed };
Reserved reserve(std::FILE *fp, std::uint64_t size);

// What writing a file's bytes may take from it: the set-user-id and
// set-group-id bits (for a writer without the privilege to keep them) and
// file capabilities.  Taken before a file is rewritten in place and given
// back after.
class Privileges {
 public:
  static Privileges of(std::FILE *fp);
  // Whether this user can give back all that writing takes; where not, the
  // file must not be rewritten in place.
  bool restorable() const { return restorable_; }
  // Gives back what writing took, and only that, only where the rest of the
  // mode is still what it was (an owner's change made meanwhile stays);
  // false where that fails.
  bool restore(std::FILE *fp) const;

 private:
  std::uint32_t mode_ = 0;
  std::string capabilities_;  // empty where the file has none
  bool restorable_ = true;
};

// Holds off other programs that would open the file open as fp (to write
// it, or to cut it) until it goes, where the system grants that to this
// user: a write lease on Linux, for the file's owner or root while no other
// program has it open.  Elsewhere, and where not granted, nothing.
class OthersHeldOff {
 public:
  explicit OthersHeldOff(std::FILE *fp);
  ~OthersHeldOff();
  OthersHeldOff(const OthersHeldOff &) = delete;
  OthersHeldOff &operator=(const OthersHeldOff &) = delete;

 private:
  int fd_ = -1;  // the descriptor that holds the lease, -1 for none
};

// --------------------------------------------------------------------------
// Memory: pages made at once, and the local-memory heap (heap_*).
// --------------------------------------------------------------------------

// A block of fresh memory for buffers that starts at a page boundary, or
// null where there is none.  Its pages are made at once where the system can
// (Linux 5.14 and later): one call costs a run less than a fault for each
// page.  A block of a MiB or more is mapped apart, on Linux in huge pages
// where the system has them, which it makes and copies from faster.
void *make_pages(std::size_t size);
// Gives back a block of make_pages, of the size it was asked for.
void free_pages(void *block, std::size_t size);
// Whether a second worker pays for its start, its buffers and the handing
// over on a stream of this size: from 4 MiB on where its buffers come in
// huge pages (Linux, unless they are turned off), from 32 MiB on elsewhere,
// where the buffers cost some 750 page faults or, on Windows (measured under
// Wine), each hand-over costs more.
bool worth_a_second_worker(std::uint64_t size);

// Local-memory heap: blocks known by opaque non-null handles.
void *local_alloc(int size);     // zero-filled block, or null
void *local_lock(void *handle);  // the block's address, or null
void local_unlock(void *handle);
void local_free(void *handle);

// --------------------------------------------------------------------------
// A lock with one condition, for hand-offs between two threads (monitor_*).
// --------------------------------------------------------------------------

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
