// What replacing a file promises beside the temporary-file route, on the
// real program: links that the kernel would not follow, metadata that the
// owner changes meanwhile, the in-place route's privileges, room and other
// writers, the directory's flush, file systems without hard links, and
// crashes and failing system calls at every step.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli_fixture.h"
#include "cli_posix.h"
#include "flip_model.h"
#include "loop_disk.h"
#include "seed.h"
#include "system_posix.h"
#include "tmpfs.h"

namespace {

using clitest::Cli;
using clitest::shell;
using clitest::temporary_file_left;
using clitest::with_crlf;
using testsupport::find_program;
using testsupport::is_root;
using testsupport::read_file;
using testsupport::Running;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::write_file;

const std::string kAsked = "f: overwrite OK? (y/n) ";

mode_t mode_of(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

uid_t owner_of(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_uid : 0;
}

// nlflip under strace, stopped right after the given call of a system call
// (its when-th), so that the test can act in that moment; resume() lets it
// go on.  The answer to the prompt is y.
class StoppedAfter {
 public:
  StoppedAfter(const std::string &dir, const std::vector<std::string> &args,
               const std::string &call, int when)
      : run_(find_program("strace"), command(args, call, when), dir) {
    run_.answer("y\n");
    const std::string stop = "--- stopped by SIGSTOP ---";
    if (run_.wait_for_report(stop)) {
      const std::string trace = run_.report();
      const std::size_t line = trace.rfind('\n', trace.find(stop));
      pid_ = std::stoi(trace.substr(line == std::string::npos ? 0 : line + 1));
    }
  }

  bool stopped() const { return pid_ > 0; }
  std::string report() { return run_.report(); }

  // Signals the stopped program alone: kill() with a pid of -1 would reach
  // every process the test may signal.
  RunResult resume() {
    signal_stopped(SIGCONT);
    return run_.finish();
  }

  // Ends it where it stands, as a crash would.
  void kill_it() {
    signal_stopped(SIGKILL);
    run_.finish();
  }

 private:
  void signal_stopped(int signal_number) const {
    if (stopped()) {
      kill(pid_, signal_number);
    }
  }

  static std::vector<std::string> command(const std::vector<std::string> &args,
                                          const std::string &call, int when) {
    std::vector<std::string> command = {
        "-f",
        "-o",
        "/dev/fd/4",
        "-e",
        "trace=" + call,
        "-e",
        "inject=" + call + ":signal=SIGSTOP:when=" + std::to_string(when),
        NLFLIP_EXE};
    command.insert(command.end(), args.begin(), args.end());
    return command;
  }

  Running run_;
  pid_t pid_ = -1;
};

// Runs nlflip under strace for what it does to a file at a chosen step.
class Traced : public Cli {
 protected:
  void SetUp() override {
    if (find_program("strace").empty()) {
      GTEST_SKIP() << "needs strace (Debian package strace) to stop a run at a chosen step";
    }
    // The sanitizers' runtime works neither traced nor with its own system
    // calls failing.
    if (NLFLIP_SANITIZED) {
      GTEST_SKIP() << "a sanitized program cannot be traced";
    }
  }
};

// A change that the owner makes while nlflip writes, and what must be true
// of the file afterwards.
struct OwnersChange {
  const char *id;
  const char *name;
  const char *stop_after;               // the call after which the owner steps in
  int (*change)(const std::string &f);  // 0, or an errno
  bool (*kept)(const std::string &f);   // whether the change is still there
  mode_t mode;                          // of the file at the start
  bool needs_root;
  bool second_link;  // so that it is rewritten in place
  bool replaced;     // with the new text, rather than left as it was
};

const OwnersChange kOwnersChanges[] = {
    {"ModeBeforeTheRename", "a private mode, before the rename", "fsync",
     [](const std::string &f) { return chmod(f.c_str(), 0600) == 0 ? 0 : errno; },
     [](const std::string &f) { return mode_of(f) == 0600; }, 0644, false, false, false},
    {"AttributeBeforeTheRename", "an extended attribute, before the rename", "fsync",
     [](const std::string &f) {
       return setxattr(f.c_str(), "user.note", "new", 3, 0) == 0 ? 0 : errno;
     },
     [](const std::string &f) { return getxattr(f.c_str(), "user.note", nullptr, 0) == 3; }, 0644,
     false, false, false},
    {"OwnerBeforeTheRename", "another owner, before the rename", "fsync",
     [](const std::string &f) { return chown(f.c_str(), 65534, 65534) == 0 ? 0 : errno; },
     [](const std::string &f) { return owner_of(f) == 65534; }, 0644, true, false, false},
    {"ModeDuringTheCopy", "a private mode, during the in-place copy", "fallocate",
     [](const std::string &f) { return chmod(f.c_str(), 0600) == 0 ? 0 : errno; },
     [](const std::string &f) { return mode_of(f) == 0600; }, 0644, false, true, true},
    {"SetUserIdTakenAwayDuringTheCopy", "a set-user-id file made private during the in-place copy",
     "fallocate", [](const std::string &f) { return chmod(f.c_str(), 0700) == 0 ? 0 : errno; },
     [](const std::string &f) { return mode_of(f) == 0700; }, 04755, false, true, true},
};

void PrintTo(const OwnersChange &c, std::ostream *out) {
  *out << c.name;
}

class OwnersChanges : public Traced, public ::testing::WithParamInterface<OwnersChange> {};

TEST_P(OwnersChanges, AreNeverUndone) {
  const OwnersChange &c = GetParam();
  if (c.needs_root && !is_root()) {
    GTEST_SKIP() << "needs root to give a file away";
  }
  // A text that grows, so that room is reserved for it in place.
  const std::string f = path("f");
  const std::string old_text = "a\nb\n";
  write_file(f, old_text);
  ASSERT_EQ(chmod(f.c_str(), c.mode), 0);
  if (c.second_link) {
    ASSERT_EQ(link(f.c_str(), path("second").c_str()), 0);
  }
  StoppedAfter run(dir_.path(), {"f", "f"}, c.stop_after, 1);
  ASSERT_TRUE(run.stopped()) << run.report();
  const int failed = c.change(f);
  if (failed == ENOTSUP) {
    run.resume();
    GTEST_SKIP() << "the file system of " << dir_.path() << " cannot hold " << c.name;
  }
  ASSERT_EQ(failed, 0) << std::strerror(failed);
  const RunResult r = run.resume();
  EXPECT_EQ(r.exit_code, c.replaced ? 0 : 1);
  EXPECT_EQ(r.err, kAsked + (c.replaced ? "" : "f: reading error\n"));
  EXPECT_EQ(read_file(f), c.replaced ? "a\r\nb\r\n" : old_text);
  EXPECT_TRUE(c.kept(f)) << "mode " << std::oct << mode_of(f);
  EXPECT_FALSE(temporary_file_left(dir_.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, OwnersChanges, ::testing::ValuesIn(kOwnersChanges),
                         clitest::ById());

// Another program that has the file open for writing, and writes it while it
// is rewritten in place.
struct OtherWriter {
  const char *id;
  const char *name;
  // Before the copy, after the room is reserved for a text that grows, or
  // after its last block of a text that shrinks, whose old tail is left.
  const char *stop_after;
  void (*write)(int fd);
  // What f then holds, given the old text and the new one.
  std::string (*left)(const std::string &old_text, const std::string &new_text);
};

void append_more(int fd) {
  ASSERT_EQ(write(fd, "more\n", 5), 5);
}

const OtherWriter kOtherWriters[] = {
    {"EmptiesItBeforeTheCopy", "empties it before the copy", "fallocate",
     [](int fd) { ASSERT_EQ(ftruncate(fd, 0), 0); },
     [](const std::string &, const std::string &) { return std::string(); }},
    {"AppendsBeforeTheCopy", "appends to it before the copy", "fallocate", append_more,
     [](const std::string &old_text, const std::string &) { return old_text + "more\n"; }},
    {"AppendsAfterTheLastBlock", "appends to it after the last block, before it is cut", "pwrite64",
     append_more,
     [](const std::string &old_text, const std::string &new_text) {
       return new_text + old_text.substr(new_text.size()) + "more\n";
     }},
};

void PrintTo(const OtherWriter &c, std::ostream *out) {
  *out << c.name;
}

class OtherWriters : public Traced, public ::testing::WithParamInterface<OtherWriter> {};

TEST_P(OtherWriters, StopTheInPlaceCopyAndLoseNothing) {
  const OtherWriter &c = GetParam();
  const bool grows = std::string(c.stop_after) == "fallocate";
  // Lines within one block of the copy, so that the first is the last.
  std::string old_text;
  for (int i = 0; i < 5000; ++i) {
    old_text += std::to_string(i) + (grows ? "\n" : "\r\n");
  }
  const std::string new_text = grows ? with_crlf(old_text) : clitest::with_lf(old_text);
  write_file(path("f"), old_text);
  ASSERT_EQ(link(path("f").c_str(), path("second").c_str()), 0);
  // Open before the run, so that no lease can hold it off.
  const int writer = open(path("f").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  StoppedAfter run(dir_.path(), {"f", "f"}, c.stop_after, 1);
  ASSERT_TRUE(run.stopped()) << run.report();
  ASSERT_NO_FATAL_FAILURE(c.write(writer));
  close(writer);
  const RunResult r = run.resume();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kAsked + "f: writing error\n");
  EXPECT_TRUE(read_file(path("f")) == c.left(old_text, new_text));
  EXPECT_FALSE(temporary_file_left(dir_.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, OtherWriters, ::testing::ValuesIn(kOtherWriters), clitest::ById());

TEST_F(Traced, ProgramsThatOpenTheFileDuringTheInPlaceCopyWait) {
  // The tester owns the file, so that the kernel grants the lease; its text
  // grows, so that room is reserved for it.
  write_file(path("f"), "a\nb\n");
  ASSERT_EQ(link(path("f").c_str(), path("second").c_str()), 0);
  StoppedAfter run(dir_.path(), {"f", "f"}, "fallocate", 1);
  ASSERT_TRUE(run.stopped()) << run.report();
  // Without waiting, an opener is told that it would have to.
  const int opened = open(path("f").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const int error = errno;
  if (opened >= 0) {
    close(opened);
  }
  const RunResult r = run.resume();
  EXPECT_EQ(opened, -1);
  EXPECT_EQ(error, EWOULDBLOCK) << std::strerror(error);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(path("f")), "a\r\nb\r\n");
}

TEST_F(Traced, AFailedFlushOfTheDirectoryIsAWritingError) {
  // The second flush is the directory's, after the rename.
  for (const char *input : {"f", "in"}) {
    write_file(path("f"), "a\r\nb\n");
    write_file(path("in"), "a\r\nb\n");
    const RunResult r =
        shell(dir_.path(), std::string("strace -f -qq -o /dev/null -e trace=fsync ") +
                               "-e inject=fsync:error=EIO:when=2 \"$0\" " + input + " f <<<y");
    EXPECT_EQ(r.exit_code, 1) << input;
    EXPECT_EQ(r.err, kAsked + "f: writing error\n") << input;
    EXPECT_EQ(read_file(path("f")), "a\nb\r\n") << input << ": the rename itself took place";
    EXPECT_FALSE(temporary_file_left(dir_.path())) << input;
  }
}

TEST_F(Cli, ASetGroupIdFileThatAGroupMemberCannotRestoreIsNotRewrittenInPlace) {
  if (!is_root()) {
    GTEST_SKIP() << "needs root to make a file of a group and run as a member of it";
  }
  // The group may write the file, but only its owner may set its mode.
  const std::string f = path("f");
  write_file(f, "a\r\nb\n");
  ASSERT_EQ(link(f.c_str(), path("second").c_str()), 0);
  ASSERT_EQ(chown(f.c_str(), 0, 65534), 0);
  ASSERT_EQ(chmod(f.c_str(), 02775), 0);
  chmod(dir_.path().c_str(), 0777);
  struct stat before {};
  ASSERT_EQ(stat(f.c_str(), &before), 0);
  const RunResult r =
      testsupport::run("/usr/bin/setpriv",
                       {"--reuid=65533", "--regid=65533", "--groups=65534", NLFLIP_EXE, "f", "f"},
                       dir_.path(), "y\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, kAsked + "f: cannot rewrite in place\n");
  EXPECT_EQ(read_file(f), "a\r\nb\n");
  struct stat after {};
  ASSERT_EQ(stat(f.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 02775U);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(Cli, TheFreeSpaceOfANewOutputIsAskedWhereItIsMade) {
  // The link lies on a full disk, the file it names on a roomy one.
  const testsupport::SmallTmpfs full(16 << 10);
  if (!full.mounted()) {
    GTEST_SKIP() << full.failure();
  }
  write_file(full.file("filler"), std::string(16 << 10, 'f'));
  ASSERT_EQ(symlink(path("out.txt").c_str(), full.file("link").c_str()), 0);
  write_file(path("in.txt"), "a\n");
  const RunResult r = nlflip({"in.txt", full.file("link")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(path("out.txt")), "a\r\n");
}

// A kernel setting in /proc/sys/fs, set for a test and put back after it.
class KernelSetting {
 public:
  KernelSetting(const std::string &name, const std::string &value)
      : file_("/proc/sys/fs/" + name), before_(read_file(file_)) {
    std::ofstream(file_) << value;
    set_ = read_file(file_) == value + "\n";
  }
  ~KernelSetting() { std::ofstream(file_) << before_; }
  KernelSetting(const KernelSetting &) = delete;
  KernelSetting &operator=(const KernelSetting &) = delete;

  bool set() const { return set_; }

 private:
  std::string file_;
  std::string before_;
  bool set_ = false;
};

// A directory where everyone may write and the sticky bit keeps each from
// the others' files, like /tmp, with the kernel's protections on.
class SharedStickyDirectory : public Cli {
 protected:
  void SetUp() override {
    if (!is_root()) {
      GTEST_SKIP() << "needs root to plant links as other users and to set fs.protected_*";
    }
    if (!symlinks_.set() || !regular_.set()) {
      GTEST_SKIP() << "cannot turn on fs.protected_symlinks and fs.protected_regular";
    }
    chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directory(path("shared"));
    chmod(path("shared").c_str(), 01777);
    // Where only root may make files, and where only user 65534 may.
    std::filesystem::create_directory(path("private"));
    std::filesystem::create_directory(path("users"));
    chmod(path("users").c_str(), 0700);
    ASSERT_EQ(chown(path("users").c_str(), 65534, 65534), 0);
    write_file(path("in.txt"), "a\n");
  }

  // Runs a command as a user, 0 being root itself.
  RunResult as_user(uid_t user, const std::vector<std::string> &command,
                    const std::string &input = "") {
    if (user == 0) {
      return testsupport::run(command.front(), {command.begin() + 1, command.end()}, dir_.path(),
                              input);
    }
    const std::string id = std::to_string(user);
    std::vector<std::string> args = {"--reuid=" + id, "--regid=" + id, "--clear-groups"};
    args.insert(args.end(), command.begin(), command.end());
    return testsupport::run("/usr/bin/setpriv", args, dir_.path(), input);
  }

  KernelSetting symlinks_{"protected_symlinks", "1"};
  KernelSetting regular_{"protected_regular", "1"};
};

struct PlantedLink {
  const char *id;
  const char *name;
  uid_t planter;   // who made the link in the shared directory
  uid_t follower;  // who runs nlflip
  const char *target;
  bool followed;
};

const PlantedLink kPlantedLinks[] = {
    {"ByAnotherUserForRoot", "planted by another user, run by root", 65534, 0, "../private/new.txt",
     false},
    {"ByAnotherUserForAUser", "planted by another user, run by a user", 65533, 65534,
     "../users/new.txt", false},
    {"ByTheFollower", "made by the one who runs nlflip", 65534, 65534, "../users/new.txt", true},
    {"ByTheDirectorysOwner", "made by the directory's owner", 0, 65534, "../users/new.txt", true},
};

void PrintTo(const PlantedLink &c, std::ostream *out) {
  *out << c.name;
}

class PlantedLinks : public SharedStickyDirectory,
                     public ::testing::WithParamInterface<PlantedLink> {};

TEST_P(PlantedLinks, AreFollowedOnlyWhereTheKernelWouldFollowThem) {
  const PlantedLink &c = GetParam();
  ASSERT_EQ(as_user(c.planter, {"/bin/ln", "-s", c.target, "shared/out"}).exit_code, 0);
  const RunResult r = as_user(c.follower, {NLFLIP_EXE, "in.txt", "shared/out"});
  const std::string made = path("shared/") + c.target;
  if (c.followed) {
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(made), "a\r\n");
  } else {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "shared/out: cannot create\n");
    EXPECT_FALSE(std::filesystem::exists(made));
  }
  // Nothing left where the file would be made, nor beside the link.
  EXPECT_FALSE(temporary_file_left(std::filesystem::path(made).parent_path().string()));
  EXPECT_FALSE(temporary_file_left(path("shared")));
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedLinks, ::testing::ValuesIn(kPlantedLinks), clitest::ById());

TEST_F(SharedStickyDirectory, AnotherUsersFileThereIsNotWritten) {
  // The kernel would not let root open it with O_CREAT either.
  write_file(path("shared/theirs.txt"), "theirs\n");
  ASSERT_EQ(chown(path("shared/theirs.txt").c_str(), 65534, 65534), 0);
  for (const uid_t user : {0U, 65534U}) {
    const RunResult r = as_user(user, {NLFLIP_EXE, "in.txt", "shared/theirs.txt"}, "y\n");
    const bool owner = user == 65534;
    EXPECT_EQ(r.exit_code, owner ? 0 : 1) << user;
    EXPECT_EQ(r.err, "shared/theirs.txt: overwrite OK? (y/n) " +
                         std::string(owner ? "" : "shared/theirs.txt: cannot create\n"))
        << user;
    EXPECT_EQ(read_file(path("shared/theirs.txt")), owner ? "a\r\n" : "theirs\n") << user;
  }
}

// A file system of its own on a loop device, nearly full.
struct CopyOnWriteCase {
  const char *id;
  const char *name;
  const char *mkfs;
  const char *package;
  // Prepares v/f (with a second link) in the disk's folder and fills it.
  const char *script;
  int exit_code;
  const char *message;
};

const CopyOnWriteCase kCopyOnWriteCases[] = {
    {"XfsWithReflinkNothingShared", "XFS with reflink, nothing shared, room for the growth only",
     "mkfs.xfs", "xfsprogs",
     "mkdir v && yes \"$(printf %099d 0)\" | head -n 100000 >v/f && ln v/f v/second && sync &&"
     " fallocate -l $(( $(df -B1 --output=avail . | tail -1) - 1048576 )) filler && sync",
     0, ""},
    {"BtrfsNoCowSharedWithASnapshot",
     "btrfs, a file that is not copied on write but shares its blocks with a snapshot",
     "mkfs.btrfs", "btrfs-progs",
     "btrfs -q subvolume create v && touch v/f && chattr +C v/f &&"
     " seq 1 5000000 >v/f && ln v/f v/second && sync && btrfs -q subvolume snapshot v s && sync"
     " && fallocate -l $(( $(df -B1 --output=avail . | tail -1) - 20 * 1048576 )) filler && sync",
     1, "f: cannot rewrite in place\n"},
};

void PrintTo(const CopyOnWriteCase &c, std::ostream *out) {
  *out << c.name;
}

class CopyOnWriteDisks : public Cli, public ::testing::WithParamInterface<CopyOnWriteCase> {
 protected:
  void SetUp() override {
    disk_ =
        std::make_unique<testsupport::LoopDisk>(dir_.path(), GetParam().mkfs, GetParam().package);
    if (!disk_->mounted()) {
      GTEST_SKIP() << disk_->failure();
    }
  }
  std::unique_ptr<testsupport::LoopDisk> disk_;
};

TEST_P(CopyOnWriteDisks, AreRewrittenInPlaceOnlyWithRoomForAllThatIsCopied) {
  const CopyOnWriteCase &c = GetParam();
  const RunResult prepared = shell(disk_->path(), c.script);
  ASSERT_EQ(prepared.exit_code, 0) << prepared.err;
  const std::string old_text = read_file(disk_->file("v/f"));
  const RunResult r = testsupport::run(NLFLIP_EXE, {"f", "f"}, disk_->file("v"), "y\n");
  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(r.err, kAsked + c.message);
  const std::string text = read_file(disk_->file("v/second"));
  EXPECT_TRUE(text == (c.exit_code == 0 ? with_crlf(old_text) : old_text))
      << text.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyOnWriteDisks, ::testing::ValuesIn(kCopyOnWriteCases),
                         clitest::ById());

// A FAT file system through FUSE: no rename that refuses to replace, no hard
// links.
class FatThroughFuse : public Cli {
 protected:
  void SetUp() override {
    if (!is_root()) {
      GTEST_SKIP() << "needs root to mount a file system through FUSE";
    }
    for (const char *program : {"mkfs.vfat", "fusefat"}) {
      if (find_program(program).empty()) {
        GTEST_SKIP() << "needs " << program << " (Debian packages dosfstools and fusefat)";
      }
    }
    const RunResult r = shell(dir_.path(),
                              "truncate -s 20M fat.img && mkfs.vfat fat.img >/dev/null &&"
                              " mkdir fat && fusefat -o rw+ fat.img fat 2>/dev/null 3<&- 4>&-");
    if (r.exit_code != 0) {
      GTEST_SKIP() << "cannot mount a FAT through FUSE: " << r.err;
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      shell(dir_.path(), "fusermount -u fat || umount fat");
    }
  }
  bool mounted_ = false;
};

TEST_F(FatThroughFuse, NewOutputsAreWrittenThere) {
  write_file(path("in.txt"), "a\nb\n");
  const RunResult r = nlflip({"in.txt", "fat/out.txt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(path("fat/out.txt")), "a\r\nb\r\n");
  EXPECT_FALSE(temporary_file_left(path("fat")));
}

// One system call of a run: its name, and which of its kind it is.
struct Call {
  std::string name;
  int nth;
};

// The system calls that a run of nlflip makes, answered y, in their order:
// where only_files is given, those that make, name, change and flush files
// (not the reads and writes of the conversion, which the two workers share
// in ways that strace's counts per thread cannot tell apart); else all but
// the first exec and the exit, which strace cannot fail, and the waits of
// the workers for each other, whose number varies from run to run.
std::vector<Call> calls_of(const std::string &dir, const std::vector<std::string> &args,
                           bool only_files = false) {
  std::vector<std::string> command = {"-f", "-qq", "-o", "/dev/fd/4", NLFLIP_EXE};
  command.insert(command.end(), args.begin(), args.end());
  Running run(find_program("strace"), command, dir);
  run.answer("y\n");
  run.finish();
  std::istringstream report(run.whole_report());
  std::vector<Call> calls;
  std::map<std::string, int> counts;
  for (std::string line; std::getline(report, line);) {
    // "PID name(...", or "PID <... name resumed>" for the rest of one.
    const std::size_t start = line.find_first_not_of(' ', line.find(' '));
    const std::size_t open = line.find('(', start);
    if (open == std::string::npos || line.compare(start, 3, "<..") == 0 ||
        line.compare(start, 3, "---") == 0 || line.compare(start, 3, "+++") == 0) {
      continue;
    }
    const std::string name = line.substr(start, open - start);
    static const std::set<std::string> kFileCalls = {
        "openat",   "pwrite64", "fsync",  "fdatasync", "linkat",    "renameat",  "renameat2",
        "unlinkat", "fchmod",   "fchown", "fsetxattr", "ftruncate", "fallocate", "close"};
    static const std::set<std::string> kUnfailable = {"execve", "exit_group", "exit", "sched_yield",
                                                      "futex"};
    if (only_files ? kFileCalls.contains(name) : !kUnfailable.contains(name)) {
      calls.push_back({name, ++counts[name]});
    }
  }
  return calls;
}

// How a file may be replaced, and the files of one run of it.
struct ReplaceRoute {
  const char *id;
  const char *name;
  const char *input;
  const char *output;
  bool second_link;  // so that the output is rewritten in place
};

const ReplaceRoute kReplaceRoutes[] = {
    {"NewFile", "a new file", "in", "new", false},
    {"AnotherFile", "another file, replaced", "in", "f", false},
    {"SameFile", "the same file, replaced", "f", "f", false},
    {"SameFileInPlace", "the same file with a second name, rewritten in place", "f", "f", true},
};

void PrintTo(const ReplaceRoute &route, std::ostream *out) {
  *out << route.name;
}

// Puts the files of a route in place: the input, and the output where it
// exists, as they were before the run, and nothing else.
void prepare_route(const ReplaceRoute &route, const std::string &dir, const std::string &text) {
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() != "lost+found") {
      std::filesystem::remove(entry.path());
    }
  }
  write_file(dir + "/in", text);
  if (std::string(route.output) == "f") {
    write_file(dir + "/f", text);
  }
  if (route.second_link) {
    ASSERT_EQ(link((dir + "/f").c_str(), (dir + "/second").c_str()), 0);
  }
}

// A text of CR LF lines and LF lines.
std::string lines_to_toggle(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += std::to_string(i) + (i % 2 == 0 ? "\r\n" : "\n");
  }
  return text;
}

class FailingCalls : public Traced, public ::testing::WithParamInterface<ReplaceRoute> {};

TEST_P(FailingCalls, LeaveTheOldTextOrTheNewOneAndSayWhich) {
  const ReplaceRoute &route = GetParam();
  const std::string old_text = lines_to_toggle(3);
  const std::string new_text = flip_model::model(old_text).output;
  const bool existing = std::string(route.output) == "f";
  const std::string asked = existing ? kAsked : "";
  ASSERT_NO_FATAL_FAILURE(prepare_route(route, dir_.path(), old_text));
  const std::vector<Call> calls = calls_of(dir_.path(), {route.input, route.output});
  ASSERT_FALSE(calls.empty());
  // Every call, failed once with each error; a sample where that is many.
  struct Fault {
    Call call;
    const char *error;
  };
  std::vector<Fault> faults;
  for (const Call &call : calls) {
    for (const char *error : {"ENOSPC", "EIO", "EINTR"}) {
      faults.push_back({call, error});
    }
  }
  std::mt19937 random(testsupport::test_seed());
  std::shuffle(faults.begin(), faults.end(), random);
  faults.resize(std::min<std::size_t>(faults.size(), 240));
  std::cout << route.name << ": " << calls.size() << " system calls, " << faults.size()
            << " of them failed once\n";
  const std::string output = path(route.output);
  // The failed call's trace, beside the files of the run, not among them.
  const TempDir traces;
  const std::string trace = traces.file("trace");
  std::size_t injected = 0;
  for (const Fault &fault : faults) {
    ASSERT_NO_FATAL_FAILURE(prepare_route(route, dir_.path(), old_text));
    std::filesystem::remove(trace);
    const std::string what =
        fault.call.name + " #" + std::to_string(fault.call.nth) + " " + fault.error;
    const RunResult r =
        shell(dir_.path(), "strace -f -qq -o '" + trace + "' -e trace=" + fault.call.name +
                               " -e inject=" + fault.call.name + ":error=" + fault.error +
                               ":when=" + std::to_string(fault.call.nth) + " \"$0\" " +
                               route.input + " " + route.output + " <<<y");
    if (read_file(trace).find("(INJECTED)") != std::string::npos) {
      ++injected;
    }
    const bool present = std::filesystem::exists(output);
    const std::string text = present ? read_file(output) : "";
    const bool kept = present == existing && text == (existing ? old_text : "");
    // A failed write to standard error may swallow a message.
    const bool said = fault.call.name != "write";
    const std::string writing_error = route.output + std::string(": writing error\n");
    if (r.exit_code == 0) {
      // Where the answer could not be read, it counts as a no.
      EXPECT_TRUE(text == new_text || (kept && existing)) << what;
      EXPECT_TRUE(r.err == asked || !said) << what << ": " << r.err;
    } else if (r.exit_code == 1) {
      // The new text in place after a failure: the directory was not
      // flushed, or the copy in place failed midway; said as a writing
      // error.  Every other failure leaves the file as it was.
      const std::string full_disk = asked + "no free disk space\n";
      const std::set<std::string> writing_errors = {asked + writing_error,
                                                    full_disk + writing_error};
      const bool says_writing_error = writing_errors.contains(r.err);
      EXPECT_TRUE(kept || says_writing_error || !said) << what << ": " << r.err;
      EXPECT_TRUE(r.err.ends_with("\n") || !said) << what << ": " << r.err;
    } else {
      // Ended before it could say anything (the loader failed, say).
      EXPECT_TRUE(kept) << what << ": exit " << r.exit_code << " " << r.err;
    }
    // Removing the temporary file is the one step whose failure leaves it.
    if (fault.call.name != "unlinkat") {
      EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
    }
    if (route.second_link) {
      EXPECT_EQ(read_file(path("second")), text) << what;
    }
  }
  // A call that the failing run no longer makes would test nothing.
  std::cout << route.name << ": " << injected << " of " << faults.size() << " calls failed\n";
  EXPECT_EQ(injected, faults.size());
}

INSTANTIATE_TEST_SUITE_P(Routes, FailingCalls, ::testing::ValuesIn(kReplaceRoutes),
                         clitest::ById());

// An XFS of its own, crashed at chosen steps of a run.
class CrashedRuns : public Traced, public ::testing::WithParamInterface<ReplaceRoute> {
 protected:
  void SetUp() override {
    Traced::SetUp();
    if (IsSkipped()) {
      return;
    }
    disk_ = std::make_unique<testsupport::LoopDisk>(dir_.path(), "mkfs.xfs", "xfsprogs");
    if (!disk_->mounted()) {
      GTEST_SKIP() << disk_->failure();
    }
  }
  std::unique_ptr<testsupport::LoopDisk> disk_;
};

TEST_P(CrashedRuns, LeaveNoTemporaryFileButBetweenItsNamingAndTheRename) {
  const ReplaceRoute &route = GetParam();
  const std::string old_text = lines_to_toggle(300000);
  const std::string new_text = flip_model::model(old_text).output;
  const std::string dir = disk_->path();
  const std::string output = disk_->file(route.output);
  const bool replaced = std::string(route.output) == "f" && !route.second_link;
  ASSERT_NO_FATAL_FAILURE(prepare_route(route, dir, old_text));
  std::vector<Call> calls = calls_of(dir, {route.input, route.output}, true);
  ASSERT_FALSE(calls.empty());
  // Every step of naming the temporary file and of replacing, and a sample
  // of the rest.
  std::mt19937 random(testsupport::test_seed());
  std::stable_partition(calls.begin(), calls.end(), [](const Call &call) {
    return call.name == "linkat" || call.name.starts_with("rename") || call.name == "fsync";
  });
  std::shuffle(std::find_if(calls.begin(), calls.end(),
                            [](const Call &call) {
                              return call.name != "linkat" && !call.name.starts_with("rename") &&
                                     call.name != "fsync";
                            }),
               calls.end(), random);
  calls.resize(std::min<std::size_t>(calls.size(), 25));
  int leftovers = 0;
  for (const Call &call : calls) {
    ASSERT_NO_FATAL_FAILURE(prepare_route(route, dir, old_text));
    disk_->sh("sync");
    const std::string what = "crash after " + call.name + " #" + std::to_string(call.nth);
    StoppedAfter run(dir, {route.input, route.output}, call.name, call.nth);
    ASSERT_TRUE(run.stopped()) << what << "\n" << run.report();
    ASSERT_EQ(disk_->shut_down(), "") << what;
    run.kill_it();
    ASSERT_EQ(disk_->mount_again(), "") << what;
    const bool left = temporary_file_left(dir);
    leftovers += left ? 1 : 0;
    EXPECT_TRUE(!left || call.name == "linkat") << what;
    if (replaced) {
      const std::string text = read_file(output);
      EXPECT_TRUE(text == old_text || text == new_text) << what << ": " << text.size() << " bytes";
    }
  }
  std::cout << route.name << ": " << calls.size() << " crash points, " << leftovers
            << " left a temporary file\n";
}

INSTANTIATE_TEST_SUITE_P(Routes, CrashedRuns, ::testing::ValuesIn(kReplaceRoutes), clitest::ById());

}  // namespace
