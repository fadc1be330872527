// POSIX: replacing a file: the temporary file beside it with the original's
// metadata, and the rename.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "posix_internal.h"

namespace platform {

using posix::attribute_value;
using posix::directory_of;
using posix::final_name;
using posix::status_from;
using posix::stream_on;

namespace {

// Tries fresh names .nlflip-XXXXXX in turn until make, given one, succeeds
// or fails otherwise than because the name is taken; the name tried last is
// left in name.
template <typename Make>
bool with_fresh_name(std::string &name, Make make) {
  static std::mt19937 random{std::random_device{}()};
  constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> letter(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = ".nlflip-XXXXXX";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
      name[i] = kLetters[letter(random)];
    }
    if (make(name.c_str())) {
      return true;
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  return false;
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

// Whether linking failed because the file system has no hard links.
bool has_no_links(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS;
}

// Renames within directory without replacing a file that has appeared at
// the new name; false, with errno, where that fails.
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

// The name by which the file open as fd is reached whatever its path, for
// the calls that take only names.
std::string name_of_descriptor(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Gives the unnamed file open as fd a name in directory, never replacing a
// file there; false, with errno, where that fails.
bool link_unnamed(int fd, int directory, const char *name) {
  return linkat(AT_FDCWD, name_of_descriptor(fd).c_str(), directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// Copies all of the file open as from into the file open as to.
bool copy_contents(int from, int to) {
  std::vector<char> block(std::size_t{1} << 20);
  for (off_t offset = 0;;) {
    const ssize_t got = posix::read_some(from, block.data(), block.size(), offset);
    if (got <= 0 || !posix::write_fully(to, block.data(), static_cast<std::size_t>(got))) {
      return got == 0;
    }
    offset += got;
  }
}

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

// Whether name in directory is the file of that status and this user may
// write it.
bool is_writable_file(int directory, const std::string &name, const FileStatus &expected) {
  struct stat info {};
  return fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         status_from(info).same_file(expected) && faccessat(directory, name.c_str(), W_OK, 0) == 0;
}

}  // namespace

// The temporary file, its directory and target, and what has become of it.
struct TempFile::State {
  Replacing what = Replacing::new_file;  // what it is to become
  int directory = -1;                    // held open
  bool directory_readable = false;       // else opened only to name files in it
  std::string directory_name;            // as found from the path
  std::string target;                    // the name to take, in the directory
  FileStatus existing;                   // the file to replace, where there is one
  int file = -1;                         // the temporary file, open for reading and writing
  std::string name;                      // its name in the directory, "" while it has none
  std::FILE *contents = nullptr;
  bool named = false;                   // it has taken the target's name
  std::int64_t copied_change = 0;       // the original's change time when its metadata came
  posix::NameInDirectory registered{};  // its name, for an interruption

  ~State() {
    if (contents != nullptr) {
      std::fclose(contents);
    }
    for (const int fd : {file, directory}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  FileStatus directory_status() const {
    struct stat info {};
    return fstat(directory, &info) == 0 ? status_from(info) : FileStatus{};
  }

  // Creates it in the directory with the mode given: unnamed where the file
  // system can, else (unless only an unnamed one will do) under a fresh
  // name, made and registered for an interruption to remove together.
  bool create(mode_t mode, bool unnamed_only) {
    file = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (file >= 0 || unnamed_only) {
      return file >= 0;
    }
    const InterruptionsHeld held;
    if (!with_fresh_name(name, [&](const char *fresh) {
          file = openat(directory, fresh, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
          return file >= 0;
        })) {
      name.clear();
      return false;
    }
    register_name();
    return true;
  }

  void register_name() {
    registered = {directory, name.c_str()};
    posix::remove_on_interruption(&registered);
  }

  // Gives an unnamed file a fresh name beside the target, linked and
  // registered for an interruption to remove together, so that a rename can put it in the
  // target's place.
  bool give_fresh_name() {
    const InterruptionsHeld held;
    std::string fresh;
    if (!with_fresh_name(fresh,
                         [&](const char *tried) { return link_unnamed(file, directory, tried); })) {
      return false;
    }
    name = std::move(fresh);
    register_name();
    return true;
  }

  // Creates the target and copies the text into it, where the file system
  // can neither rename without replacing nor link; a failed copy leaves
  // nothing, and an interruption removes the target meanwhile.  The text is
  // read through a descriptor of its own, as a copying program reads: some
  // file systems in user space give a file's own writer stale bytes.
  bool copy_to_new_target() const {
    const InterruptionsHeld held;
    const int text = open(name_of_descriptor(file).c_str(), O_RDONLY | O_CLOEXEC);
    const int copy = text < 0 ? -1
                              : openat(directory, target.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (copy < 0) {
      if (text >= 0) {
        close(text);
      }
      return false;
    }
    const bool copied = copy_contents(text, copy);
    close(text);
    if (close(copy) != 0 || !copied) {
      unlinkat(directory, target.c_str(), 0);
      return false;
    }
    if (!name.empty()) {
      unlinkat(directory, name.c_str(), 0);
    }
    return true;
  }

  Taken name_new_file() const {
    const bool linked = name.empty() ? link_unnamed(file, directory, target.c_str())
                                     : rename_to_new_name(directory, name.c_str(), target.c_str());
    return linked || (has_no_links(errno) && copy_to_new_target()) ? Taken::yes : Taken::no;
  }

  Taken replace_existing_file() {
    if ((name.empty() && !give_fresh_name()) ||
        renameat(directory, name.c_str(), directory, target.c_str()) != 0) {
      return Taken::no;
    }
    // The rename itself reaches the disk with the directory, or with the
    // whole file system where the directory cannot be opened to sync it.
    const int synced = directory_readable ? fsync(directory) : syncfs(file);
    return synced == 0 ? Taken::yes : Taken::not_flushed;
  }
};

TempFile::TempFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

TempFile::~TempFile() {
  // Removed and forgotten together: an interruption between the two would
  // leave it behind.
  const InterruptionsHeld held;
  if (!state_->named && !state_->name.empty()) {
    unlinkat(state_->directory, state_->name.c_str(), 0);
  }
  posix::forget_on_interruption(&state_->registered);
}

std::unique_ptr<TempFile> TempFile::beside(const char *path, Replacing what,
                                           const FileStatus &existing) {
  return make(path, what, existing, false);
}

std::unique_ptr<TempFile> TempFile::unnamed_beside(const char *path, const FileStatus &existing) {
  return make(path, Replacing::existing_file, existing, true);
}

std::unique_ptr<TempFile> TempFile::make(const char *path, Replacing what,
                                         const FileStatus &existing, bool unnamed_only) {
  const std::string final = final_name(path);
  auto state = std::make_unique<State>();
  state->what = what;
  state->target = base_name(final);
  if (state->target.empty()) {
    return nullptr;
  }
  state->directory_name = directory_of(final);
  state->directory = open_directory(state->directory_name, state->directory_readable);
  state->existing = existing;
  // A file this user may not write is not replaced behind its back, nor one
  // that the name reaches by another way than its directory (the deleted
  // file behind a /proc/self/fd link, say).
  if (state->directory < 0 || (what == Replacing::existing_file &&
                               !is_writable_file(state->directory, state->target, existing))) {
    return nullptr;
  }
  // 0666 leaves a new file's permissions to the umask or the directory's
  // default access control list, as for any new file; one that replaces a
  // file is open to this user alone until it takes the file's metadata.
  if (!state->create(what == Replacing::new_file ? 0666 : 0600, unnamed_only)) {
    return nullptr;
  }
  return std::unique_ptr<TempFile>(new TempFile(std::move(state)));
}

std::FILE *TempFile::open_stream() const {
  return stream_on(dup(state_->file), "wb");
}

std::FILE *TempFile::contents() {
  if (state_->contents == nullptr) {
    state_->contents = stream_on(dup(state_->file), "rb");
  }
  return state_->contents;
}

bool TempFile::directory_in_place() const {
  return status_of(state_->directory_name.c_str()).same_file(state_->directory_status());
}

FileStatus TempFile::target_status() const {
  struct stat info {};
  return fstatat(state_->directory, state_->target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
             ? status_from(info)
             : FileStatus{};
}

bool TempFile::take_metadata() {
  State &state = *state_;
  // The file itself, through the directory that the temporary file is in.
  const int original =
      openat(state.directory, state.target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (original < 0) {
    return false;
  }
  struct stat info {};
  // Open to this user alone while the owner changes and the access control
  // list comes over: at no moment more access than the original gives.
  // The owner goes before the attributes, since a new owner clears file
  // capabilities, and the mode last, since it clears the set-id bits.
  const bool taken = fstat(original, &info) == 0 && status_from(info).same_file(state.existing) &&
                     fchmod(state.file, 0600) == 0 &&
                     fchown(state.file, info.st_uid, info.st_gid) == 0 &&
                     copy_attributes(name_of_descriptor(original), state.file) &&
                     fchmod(state.file, info.st_mode & 07777) == 0;
  state.copied_change = status_from(info).changed;
  close(original);
  return taken;
}

bool TempFile::metadata_unchanged() const {
  const FileStatus now = target_status();
  return now.exists && now.changed == state_->copied_change;
}

bool TempFile::flush() {
  return fsync(state_->file) == 0;
}

Taken TempFile::take_name() {
  State &state = *state_;
  const Taken taken =
      state.what == Replacing::new_file ? state.name_new_file() : state.replace_existing_file();
  state.named = taken != Taken::no;
  if (state.named) {
    posix::forget_on_interruption(&state.registered);
  }
  return taken;
}

}  // namespace platform
