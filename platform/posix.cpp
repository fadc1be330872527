// POSIX implementation of the platform services.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "platform.h"

namespace platform {

namespace {

std::string directory_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Arguments arguments(int argc, char **argv) {
  return {std::vector<std::string>(argv, argv + argc), 0};
}

void put_text(std::FILE *stream, const char *text) {
  std::fputs(text, stream);
}

double free_space(const char *path) {
  struct statvfs info {};
  // A name that does not exist yet is asked about through its directory.
  if (statvfs(path, &info) != 0 &&
      (errno != ENOENT || statvfs(directory_of(path).c_str(), &info) != 0)) {
    return -1.0;
  }
  return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
}

namespace {

// A handle points to this record, never to the block itself, so that code
// which takes a handle for an address fails here as it would on Windows.
struct LocalBlock {
  void *address;
};

}  // namespace

void *local_alloc(int size) {
  if (size < 0) {
    return nullptr;
  }
  // calloc may answer 0 bytes with null, which would read as a failure.
  void *address = std::calloc(1, size == 0 ? 1 : static_cast<std::size_t>(size));
  // cppcheck takes the nothrow new for a store that is never read.
  // cppcheck-suppress unreadVariable
  auto *block = address == nullptr ? nullptr : new (std::nothrow) LocalBlock{address};
  if (block == nullptr) {
    std::free(address);
  }
  return block;
}

void *local_lock(void *handle) {
  return handle == nullptr ? nullptr : static_cast<LocalBlock *>(handle)->address;
}

// Blocks never move here, so there is no lock to release.
void local_unlock(void * /*handle*/) {}

void local_free(void *handle) {
  auto *block = static_cast<LocalBlock *>(handle);
  if (block != nullptr) {
    std::free(block->address);
    delete block;
  }
}

namespace {

// File systems whose files the kernel makes up when they are read and takes
// as commands when they are written: they are no files to replace, and
// their sizes (0, or a page) say nothing.
bool is_pseudo_file_system(const struct statfs &info) {
  switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
      return true;
    default:
      return false;
  }
}

FileStatus status_from(const struct stat &info, bool pseudo = false) {
  FileStatus status;
  status.exists = true;
  status.regular = S_ISREG(info.st_mode) && !pseudo;
  // Files of other such file systems (in user space, say) show no blocks.
  status.sized = status.regular && info.st_size > 0 && info.st_blocks > 0;
  status.size = status.regular ? static_cast<std::int64_t>(info.st_size) : 0;
  status.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                    static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.volume = static_cast<std::uint64_t>(info.st_dev);
  status.index = static_cast<std::uint64_t>(info.st_ino);
  return status;
}

// The name that a chain of symbolic links ends in, also where that name
// does not exist yet; the path itself when it is no link; empty for a chain
// longer than the system itself follows (a loop).
std::string final_name(const char *path) {
  std::string name = path;
  for (int links = 0; links <= 40; ++links) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
      return name;
    }
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
      name = target;
    } else {
      name = directory_of(name).append("/").append(target);
    }
  }
  return {};
}

}  // namespace

FileStatus status_of(const char *path) {
  struct stat info {};
  struct statfs file_system {};
  return stat(path, &info) == 0 ? status_from(info, statfs(path, &file_system) == 0 &&
                                                        is_pseudo_file_system(file_system))
                                : FileStatus{};
}

FileStatus status_of(std::FILE *fp) {
  struct stat info {};
  struct statfs file_system {};
  return fstat(fileno(fp), &info) == 0 ? status_from(info, fstatfs(fileno(fp), &file_system) == 0 &&
                                                               is_pseudo_file_system(file_system))
                                       : FileStatus{};
}

std::FILE *open_file(const char *path, const char *mode) {
  return std::fopen(path, mode);
}

bool remove_file(const char *path) {
  return unlink(path) == 0;
}

std::int64_t read(std::FILE *fp, char *buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fileno(fp), buffer, size);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

std::int64_t read_at(std::FILE *fp, char *buffer, std::size_t size, std::uint64_t offset) {
  static_assert(sizeof(off_t) == 8, "file offsets are 64-bit");
  for (;;) {
    const ssize_t got = pread(fileno(fp), buffer, size, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

bool write_all(std::FILE *fp, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fileno(fp), data, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

namespace {

// A stream on fd (-1 for none), which it then owns; null, with fd closed,
// where none can be made.
std::FILE *stream_on(int fd, const char *mode) {
  std::FILE *fp = fd < 0 ? nullptr : fdopen(fd, mode);
  if (fp == nullptr && fd >= 0) {
    close(fd);
  }
  return fp;
}

}  // namespace

std::FILE *open_spool() {
  const char *directory = std::getenv("TMPDIR");
  const std::string where = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  int fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // File systems without unnamed files: a named one, unlinked at once.
    std::string name = where + "/.nlflip-spool-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      return nullptr;
    }
    unlink(name.c_str());
  }
  return stream_on(fd, "w+b");
}

namespace {

// The signals that end the process by default and can be caught: they
// remove the temporary file first.  Those that a user or a limit sends can
// also be held off.
constexpr int kInterruptions[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR};
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// The directory and name of the temporary file to remove on an interruption.
struct Removal {
  int directory;
  const char *name;
};
std::atomic<const Removal *> removal{nullptr};

extern "C" void on_interruption(int signal_number) {
  if (const Removal *temp = removal.load()) {
    unlinkat(temp->directory, temp->name, 0);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kInterruptions) {
    sigaddset(&set, signal_number);
  }
  return set;
}

// Holds the interruptions over steps that one must not come between,
// restoring the mask it found.
class InterruptionsHeld {
 public:
  InterruptionsHeld() {
    const sigset_t set = interruption_set();
    pthread_sigmask(SIG_BLOCK, &set, &before_);
  }
  ~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  InterruptionsHeld(const InterruptionsHeld &) = delete;
  InterruptionsHeld &operator=(const InterruptionsHeld &) = delete;

 private:
  sigset_t before_;
};

// The signal mask from before interruptions were held.
sigset_t mask_before_hold;

// Catches a signal, unless the caller ignores it (nohup); faults run on a
// stack of their own, so that an overflowing stack is caught too.
void catch_signal(int signal_number) {
  struct sigaction action {};
  if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
    return;
  }
  action.sa_handler = on_interruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK;
  sigaction(signal_number, &action, nullptr);
}

void set_up_fault_stack() {
  constexpr std::size_t kSize = std::size_t{64} << 10;
  static std::unique_ptr<char[]> stack(new (std::nothrow) char[kSize]);
  if (stack != nullptr) {
    stack_t alternate{};
    alternate.ss_sp = stack.get();
    alternate.ss_size = kSize;
    sigaltstack(&alternate, nullptr);
  }
}

// Creates a file of a fresh name in directory, open for reading and
// writing; -1 when none can be made there.
int create_unique(int directory, std::string &name, mode_t mode) {
  static std::mt19937 random{std::random_device{}()};
  constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = ".nlflip-XXXXXX";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
      name[i] = kLetters[letter(random)];
    }
    const int fd =
        openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// An attribute's value, or the list of names, as get gives it; false, with
// value empty, where it cannot be read.
template <typename Get>
bool attribute_value(Get get, std::string &value) {
  value.clear();
  for (;;) {
    const ssize_t needed = get(nullptr, 0);
    if (needed < 0) {
      return false;
    }
    value.resize(static_cast<std::size_t>(needed));
    const ssize_t got = get(value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno != ERANGE) {  // one that grew meanwhile is asked for again
      value.clear();
      return false;
    }
  }
}

// The names of a file's extended attributes, the access control list
// (system.posix_acl_access) among them, as list gives them; none where the
// file system has none.
template <typename List>
bool attribute_names(List list, std::vector<std::string> &names) {
  names.clear();
  std::string buffer;
  if (!attribute_value(list, buffer)) {
    return errno == ENOTSUP;
  }
  for (std::size_t at = 0; at < buffer.size(); at = buffer.find('\0', at) + 1) {
    names.emplace_back(buffer.c_str() + at);
  }
  return true;
}

// Makes the extended attributes of the file open as to exactly those of the
// file that the name from reaches: what it lacks is removed, what differs is
// set.
bool copy_attributes(const std::string &from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!attribute_names([&](char *b, std::size_t n) { return listxattr(from.c_str(), b, n); },
                       wanted) ||
      !attribute_names([&](char *b, std::size_t n) { return flistxattr(to, b, n); }, present)) {
    return false;
  }
  for (const std::string &name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  std::string value;
  std::string current;
  for (const std::string &name : wanted) {
    const char *key = name.c_str();
    if (!attribute_value([&](char *b, std::size_t n) { return getxattr(from.c_str(), key, b, n); },
                         value)) {
      return false;
    }
    const bool same =
        attribute_value([&](char *b, std::size_t n) { return fgetxattr(to, key, b, n); },
                        current) &&
        current == value;
    if (!same && fsetxattr(to, key, value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Renames within directory without replacing a file that has appeared at
// the new name.
bool rename_to_new_name(int directory, const char *from, const char *to) {
  if (renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  // File systems without that rename: a second link, which never replaces.
  if (linkat(directory, from, directory, to, 0) != 0) {
    return false;
  }
  unlinkat(directory, from, 0);
  return true;
}

}  // namespace

struct TempFile::Place {
  int directory = -1;               // held open
  bool directory_readable = false;  // else opened only to name files in it
  std::string directory_name;       // as found from the path
  std::string target;               // the name to take, in the directory
  FileStatus existing;              // the file to replace, where there is one
  std::string name;                 // of the temporary file, in the directory
  int file = -1;                    // the temporary file, open for reading and writing
  std::FILE *contents = nullptr;
  bool named = false;
  Removal removal{};  // its name in the directory, for an interruption

  FileStatus directory_status() const {
    struct stat info {};
    return fstat(directory, &info) == 0 ? status_from(info) : FileStatus{};
  }

  ~Place() {
    if (contents != nullptr) {
      std::fclose(contents);
    }
    for (const int fd : {file, directory}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
};

namespace {

// The last component of a path.
std::string base_name(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a directory to work in by descriptor; one that may not be listed
// still serves for names in it, though it cannot be synced.
int open_directory(const std::string &name, bool &readable) {
  int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  readable = fd >= 0;
  if (fd < 0) {
    fd = open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  return fd;
}

// The name by which the file open as fd is reached whatever its path, for
// the calls that take only names.
std::string name_of_descriptor(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Whether name in directory is the file of that status and this user may
// write it.
bool is_writable_file(int directory, const std::string &name, const FileStatus &expected) {
  struct stat info {};
  return fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         status_from(info).same_file(expected) && faccessat(directory, name.c_str(), W_OK, 0) == 0;
}

}  // namespace

TempFile::TempFile(std::unique_ptr<Place> place) : place_(std::move(place)) {}

TempFile::~TempFile() {
  // Removed and forgotten together: an interruption between the two would
  // leave it behind.
  const InterruptionsHeld held;
  if (!place_->named) {
    unlinkat(place_->directory, place_->name.c_str(), 0);
  }
  const Removal *mine = &place_->removal;
  removal.compare_exchange_strong(mine, nullptr);
}

std::unique_ptr<TempFile> TempFile::beside(const char *path, Replacing what,
                                           const FileStatus &existing) {
  const std::string final = final_name(path);
  auto place = std::make_unique<Place>();
  place->target = base_name(final);
  if (place->target.empty()) {
    return nullptr;
  }
  place->directory_name = directory_of(final);
  place->directory = open_directory(place->directory_name, place->directory_readable);
  place->existing = existing;
  // A file this user may not write is not replaced behind its back, nor one
  // that the name reaches by another way than its directory (the deleted
  // file behind a /proc/self/fd link, say).
  if (place->directory < 0 || (what == Replacing::existing_file &&
                               !is_writable_file(place->directory, place->target, existing))) {
    return nullptr;
  }
  // 0666 leaves a new file's permissions to the umask or the directory's
  // default access control list, as for any new file.
  // Made and registered for removal together.
  const InterruptionsHeld held;
  place->file =
      create_unique(place->directory, place->name, what == Replacing::new_file ? 0666 : 0600);
  if (place->file < 0) {
    return nullptr;
  }
  place->removal = {place->directory, place->name.c_str()};
  removal.store(&place->removal);
  return std::unique_ptr<TempFile>(new TempFile(std::move(place)));
}

std::FILE *TempFile::open_stream() const {
  return stream_on(dup(place_->file), "wb");
}

std::FILE *TempFile::contents() {
  if (place_->contents == nullptr) {
    place_->contents = stream_on(dup(place_->file), "rb");
  }
  return place_->contents;
}

bool TempFile::directory_in_place() const {
  return status_of(place_->directory_name.c_str()).same_file(place_->directory_status());
}

FileStatus TempFile::target_status() const {
  struct stat info {};
  return fstatat(place_->directory, place_->target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
             ? status_from(info)
             : FileStatus{};
}

bool TempFile::take_metadata() {
  const Place &place = *place_;
  // The file itself, through the directory that the temporary file is in.
  const int original =
      openat(place.directory, place.target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (original < 0) {
    return false;
  }
  struct stat info {};
  // Open to this user alone while the owner changes and the access control
  // list comes over: at no moment more access than the original gives.
  // The owner goes before the attributes, since a new owner clears file
  // capabilities, and the mode last, since it clears the set-id bits.
  const bool taken = fstat(original, &info) == 0 && status_from(info).same_file(place.existing) &&
                     fchmod(place.file, 0600) == 0 &&
                     fchown(place.file, info.st_uid, info.st_gid) == 0 &&
                     copy_attributes(name_of_descriptor(original), place.file) &&
                     fchmod(place.file, info.st_mode & 07777) == 0;
  close(original);
  return taken;
}

// Not told yet: a change of the original's metadata after take_metadata()
// goes unseen here.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the interface's
bool TempFile::metadata_unchanged() const {
  return true;
}

bool TempFile::flush() {
  return fsync(place_->file) == 0;
}

bool TempFile::take_name(Replacing what) {
  Place &place = *place_;
  const char *from = place.name.c_str();
  const char *to = place.target.c_str();
  if (what == Replacing::new_file) {
    place.named = rename_to_new_name(place.directory, from, to);
  } else {
    place.named = renameat(place.directory, from, place.directory, to) == 0;
    // The rename itself reaches the disk with the directory, or with the
    // whole file system where the directory cannot be opened to sync it.
    // The text has replaced the old one whether or not this succeeds.
    if (place.named && !place.directory_readable) {
      syncfs(place.file);
    } else if (place.named) {
      fsync(place.directory);
    }
  }
  if (place.named) {
    const Removal *mine = &place.removal;
    removal.compare_exchange_strong(mine, nullptr);
  }
  return place.named;
}

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null_fd >= 0 && null_fd != fd) {
        dup2(null_fd, fd);
        close(null_fd);
      }
    }
  }
  // A write past a file-size limit or into a pipe nobody reads fails with
  // a message instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  set_up_fault_stack();
  for (const int signal_number : kInterruptions) {
    catch_signal(signal_number);
  }
  for (const int signal_number : kFaults) {
    catch_signal(signal_number);
  }
}

void hold_interrupts() {
  const sigset_t set = interruption_set();
  pthread_sigmask(SIG_BLOCK, &set, &mask_before_hold);
}

void release_interrupts() {
  pthread_sigmask(SIG_SETMASK, &mask_before_hold, nullptr);
}

// A signal that waits while the process ends is never delivered.
void hold_interrupts_to_the_end() {}

// Any name is asked about, through its directory where it does not exist.
bool has_free_space_figure(std::FILE *fp, const char * /*path*/) {
  struct stat info {};
  struct statvfs space {};
  return fstat(fileno(fp), &info) == 0 && S_ISREG(info.st_mode) &&
         fstatvfs(fileno(fp), &space) == 0 && space.f_blocks > 0;
}

namespace {

// File systems that write every changed block anew, unless a file is marked
// otherwise: room reserved for a file does not cover overwriting it.
bool always_copies_on_write(int fd) {
  constexpr unsigned long kZfsMagic = 0x2FC12FC1;
  constexpr unsigned long kBcachefsMagic = 0xCA451A4E;
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) {
    return false;
  }
  const auto type = static_cast<unsigned long>(info.f_type);
  if (type != BTRFS_SUPER_MAGIC && type != kZfsMagic && type != kBcachefsMagic) {
    return false;
  }
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || (flags & FS_NOCOW_FL) == 0;
}

std::uint64_t free_bytes(int fd) {
  struct statvfs space {};
  return fstatvfs(fd, &space) == 0 ? std::uint64_t{space.f_bavail} * space.f_frsize : 0;
}

// Gives back the room allocated past the file's end before a failure.
// Cutting the file to its own size does that but touches its modification
// time, which only its owner can set back; for others the room stays
// allocated to the file, unseen.
void give_back_room(int fd, const struct stat &before) {
  if (geteuid() != 0 && geteuid() != before.st_uid) {
    return;
  }
  const struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  if (ftruncate(fd, before.st_size) == 0) {
    futimens(fd, times);
  }
}

}  // namespace

Reserved reserve(std::FILE *fp, std::uint64_t size) {
  const int fd = fileno(fp);
  struct stat before {};
  if (fstat(fd, &before) != 0) {
    return Reserved::failed;
  }
  if (size == 0) {
    return Reserved::done;
  }
  // Where every block is written anew, all of the text needs free room;
  // elsewhere what the file does not hold yet.  Asking first spares a full
  // disk a half-done allocation.
  const auto allocated = static_cast<std::uint64_t>(before.st_blocks) * 512;
  const std::uint64_t needed =
      always_copies_on_write(fd) ? size : (size > allocated ? size - allocated : 0);
  if (needed > free_bytes(fd)) {
    return Reserved::no_space;
  }
  // fallocate, unlike posix_fallocate, never falls back to writing zeros
  // block by block, which would promise nothing; KEEP_SIZE leaves the size
  // and the bytes alone.  Blocks shared with other files (reflinks) are
  // unshared where the file system can, so that overwriting them takes no
  // new room.
  const off_t length = static_cast<off_t>(size);
  if (fallocate(fd, FALLOC_FL_UNSHARE_RANGE | FALLOC_FL_KEEP_SIZE, 0, length) == 0 ||
      ((errno == EOPNOTSUPP || errno == EINVAL) &&
       fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0)) {
    return Reserved::done;
  }
  const int error = errno;
  give_back_room(fd, before);
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Reserved::no_space;
    case EOPNOTSUPP:
      return Reserved::unsupported;
    default:
      return Reserved::failed;
  }
}

namespace {

constexpr const char *kCapabilities = "security.capability";

bool capabilities_of(int fd, std::string &capabilities) {
  return attribute_value([&](char *b, std::size_t n) { return fgetxattr(fd, kCapabilities, b, n); },
                         capabilities);
}

}  // namespace

Privileges Privileges::of(std::FILE *fp) {
  Privileges privileges;
  struct stat info {};
  if (fstat(fileno(fp), &info) == 0) {
    privileges.mode_ = info.st_mode & 07777;
  }
  capabilities_of(fileno(fp), privileges.capabilities_);
  return privileges;
}

bool Privileges::restore(std::FILE *fp) const {
  const int fd = fileno(fp);
  struct stat info {};
  std::string capabilities;
  const bool mode_kept = fstat(fd, &info) == 0 && (info.st_mode & 07777) == mode_;
  const bool capabilities_kept =
      capabilities_.empty() || (capabilities_of(fd, capabilities) && capabilities == capabilities_);
  return (mode_kept || fchmod(fd, static_cast<mode_t>(mode_)) == 0) &&
         (capabilities_kept ||
          fsetxattr(fd, kCapabilities, capabilities_.data(), capabilities_.size(), 0) == 0);
}

bool truncate(std::FILE *fp, std::uint64_t size) {
  return ftruncate(fileno(fp), static_cast<off_t>(size)) == 0;
}

bool flush(std::FILE *fp) {
  return fdatasync(fileno(fp)) == 0;
}

struct Monitor::State {
  std::mutex mutex;
  std::condition_variable condition;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

void Monitor::lock() {
  state_->mutex.lock();
}

void Monitor::unlock() {
  state_->mutex.unlock();
}

void Monitor::wait() {
  std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
  state_->condition.wait(held);
  held.release();
}

void Monitor::notify_all() {
  state_->condition.notify_all();
}

}  // namespace platform
