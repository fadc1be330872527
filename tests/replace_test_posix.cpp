// Replacing a file the user already has, on the real program: files that
// change or are not what their names suggest, metadata and access, the
// in-place route on full disks, interruptions, and what reaches the disk.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "cli_posix.h"
#include "support/tmpfs.h"

namespace {

using clitest::Cli;
using clitest::is_root;
using clitest::shell;
using clitest::temporary_file_left;
using testsupport::read_file;
using testsupport::RunResult;
using testsupport::Stdin;
using testsupport::write_file;

// The text of LF lines with every LF turned into CR LF.
std::string with_crlf(const std::string &lf_text) {
  std::string converted;
  for (const char c : lf_text) {
    converted += c == '\n' ? "\r\n" : std::string(1, c);
  }
  return converted;
}

TEST_F(Cli, FilesThatChangeWhileAskedAboutAreNotReplaced) {
  const auto after_a_tick = [](const std::function<void()> &change) {
    return [change] {
      // A later modification time than the run's start, also where the
      // clock ticks coarsely.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      change();
    };
  };
  const auto rewrite = [this](const char *name, const std::string &text) {
    return [this, name, text] { write_file(path(name), text); };
  };
  const auto link_g = [this] { ASSERT_EQ(link(path("f").c_str(), path("g").c_str()), 0); };
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::function<void()> before;  // at the start
    std::function<void()> change;  // while the prompt waits
    std::string err;
    std::string f;  // what f then holds
    std::string g;  // and g, its second name at the start or a link made meanwhile
  };
  const std::string asked = "f: overwrite OK? (y/n) ";
  const Case cases[] = {
      {"lines appended to the same file",
       {"f", "f"},
       [] {},
       [this] { std::ofstream(path("f"), std::ios::app | std::ios::binary) << "more\n"; },
       asked + "f: reading error\n",
       "a\nb\nmore\n",
       ""},
      {"the same file saved again at the same size",
       {"f", "f"},
       [] {},
       after_a_tick(rewrite("f", "c\nd\n")),
       asked + "f: reading error\n",
       "c\nd\n",
       ""},
      {"another output saved meanwhile",
       {"in", "f"},
       [] {},
       after_a_tick(rewrite("f", "newer\n")),
       asked + "f: writing error\n",
       "newer\n",
       ""},
      {"a file with a second name, another file put under its name",
       {"f", "f"},
       link_g,
       [this] {
         write_file(path("f.new"), "new\n");
         std::filesystem::rename(path("f.new"), path("f"));
       },
       asked + "f: reading error\n",
       "new\n",
       "a\nb\n"},
      {"a second name given to the same file",
       {"f", "f"},
       [] {},
       link_g,
       asked,
       "a\r\nb\r\n",
       "a\r\nb\r\n"},
  };
  write_file(path("in"), "x\n");
  for (const auto &c : cases) {
    std::filesystem::remove(path("g"));
    write_file(path("f"), "a\nb\n");
    c.before();
    const RunResult r =
        testsupport::run_at_prompt(NLFLIP_EXE, c.args, dir_.path(), "y\n", Stdin::pipe, c.change);
    EXPECT_EQ(r.exit_code, c.err == asked ? 0 : 1) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(read_file(path("f")), c.f) << c.name;
    if (!c.g.empty()) {
      EXPECT_EQ(read_file(path("g")), c.g) << c.name;
    }
    EXPECT_FALSE(temporary_file_left(dir_.path())) << c.name;
  }
}

TEST_F(Cli, NamesOfFilesThatAreNotWhatTheySeem) {
  const std::string version = read_file("/proc/version");
  ASSERT_FALSE(version.empty());
  write_file(path("old.txt"), "old\n");
  write_file(path("d (deleted)"), "someone else's\n");
  struct Case {
    const char *name;
    std::string script;
    std::string out;
  };
  const Case cases[] = {
      {"a procfs file of size 0 to a new output", "\"$0\" /proc/version new.txt; cat new.txt",
       with_crlf(version)},
      {"a procfs file of size 0 over an existing output",
       "echo y | \"$0\" /proc/version old.txt 2>/dev/null; cat old.txt", with_crlf(version)},
      {"a procfs file as the output, written as it is",
       "echo abc >in; echo y | \"$0\" in /proc/self/comm 2>&1; echo \" $?\"",
       "/proc/self/comm: overwrite OK? (y/n)  0\n"},
      {"a deleted file through its descriptor's link",
       "echo d >d; exec 5<>d; rm d; echo y | \"$0\" /proc/self/fd/5 /proc/self/fd/5 2>/dev/null;"
       " echo $?; cat /proc/self/fd/5 'd (deleted)'",
       "0\nd\r\nsomeone else's\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = shell(dir_.path(), c.script);
    EXPECT_EQ(r.out, c.out) << c.name << ": " << r.err;
  }
  // A sysfs file reports a page whatever it holds.
  const std::string online = "/sys/devices/system/cpu/online";
  if (std::filesystem::exists(online)) {
    const RunResult r = nlflip({online, "cpus.txt"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(path("cpus.txt")), with_crlf(read_file(online)));
  }
  EXPECT_FALSE(temporary_file_left(dir_.path()));
}

// What a replacement must keep of a file.
struct Metadata {
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  nlink_t links = 0;
  std::map<std::string, std::string> attributes;

  bool operator==(const Metadata &) const = default;
};

Metadata metadata_of(const std::string &path) {
  Metadata seen;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return seen;
  }
  seen = {info.st_mode, info.st_uid, info.st_gid, info.st_nlink, {}};
  std::string names(65536, '\0');
  names.resize(static_cast<std::size_t>(
      std::max<ssize_t>(0, llistxattr(path.c_str(), names.data(), names.size()))));
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char *name = names.c_str() + at;
    std::string value(65536, '\0');
    value.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, lgetxattr(path.c_str(), name, value.data(), value.size()))));
    seen.attributes[name] = value;
  }
  return seen;
}

std::ostream &operator<<(std::ostream &out, const Metadata &m) {
  out << std::oct << m.mode << std::dec << " " << m.owner << ":" << m.group << " links " << m.links;
  for (const auto &[name, value] : m.attributes) {
    out << " " << name << "(" << value.size() << " bytes)";
  }
  return out;
}

// An access control list as the kernel stores it: the owner and a second
// user may read and write, the owning group only read, others nothing.
std::string acl_letting_a_second_user_write(std::uint32_t user) {
  std::string acl;
  const auto put = [&acl](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      acl += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
  };
  put(2, 4);  // version
  struct Entry {
    std::uint32_t tag;
    std::uint32_t permissions;
    std::uint32_t id;
  };
  constexpr std::uint32_t kUndefined = 0xFFFFFFFF;
  for (const Entry &e :
       {Entry{0x01, 6, kUndefined}, Entry{0x02, 6, user}, Entry{0x04, 4, kUndefined},
        Entry{0x10, 6, kUndefined}, Entry{0x20, 0, kUndefined}}) {
    put(e.tag, 2);
    put(e.permissions, 2);
    put(e.id, 4);
  }
  return acl;
}

// File capabilities as the kernel stores them: CAP_NET_RAW permitted.
std::string capability_to_use_raw_sockets() {
  const unsigned char blob[20] = {0x00, 0x00, 0x00, 0x02, 0x00, 0x20};
  return {reinterpret_cast<const char *>(blob), sizeof blob};
}

ino_t inode_of(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST_F(Cli, ReplacedFilesKeepTheirMetadataAndNames) {
  constexpr uid_t kOther = 65534;
  const auto give_to_other = [](const std::string &f, mode_t mode) {
    return chown(f.c_str(), kOther, kOther) == 0 && chmod(f.c_str(), mode) == 0;
  };
  const auto link_second = [this](const std::string &f) {
    return link(f.c_str(), path("second").c_str()) == 0;
  };
  struct Case {
    const char *name;
    bool needs_root;
    bool by_other;                                     // run by the file's owner, who is not root
    std::function<bool(const std::string &)> prepare;  // false where the disk cannot
  };
  const Case cases[] = {
      {"an access control list", false, false,
       [](const std::string &f) {
         const std::string acl = acl_letting_a_second_user_write(1234);
         return setxattr(f.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
       }},
      {"an extended attribute and a private mode", false, false,
       [](const std::string &f) {
         return chmod(f.c_str(), 0600) == 0 && setxattr(f.c_str(), "user.note", "kept", 4, 0) == 0;
       }},
      {"another owner and a set-group-id bit", true, false,
       [&](const std::string &f) { return give_to_other(f, 02640); }},
      {"a second hard link", false, false, link_second},
      {"a second hard link, file capabilities and a set-user-id bit", true, false,
       [&](const std::string &f) {
         const std::string capability = capability_to_use_raw_sockets();
         return link_second(f) && chmod(f.c_str(), 04755) == 0 &&
                setxattr(f.c_str(), "security.capability", capability.data(), capability.size(),
                         0) == 0;
       }},
      {"an extended attribute, rewritten by its owner", true, true,
       [&](const std::string &f) {
         return give_to_other(f, 0644) && setxattr(f.c_str(), "user.note", "kept", 4, 0) == 0;
       }},
      {"a second hard link and a set-group-id bit, rewritten by its owner", true, true,
       [&](const std::string &f) { return link_second(f) && give_to_other(f, 02755); }},
  };
  write_file(path("in"), "a\r\nb\n");
  chmod(dir_.path().c_str(), 0777);
  for (const auto &c : cases) {
    if (c.needs_root && !is_root()) {
      std::cout << "[  SKIPPED ] " << c.name << ": needs root\n";
      continue;
    }
    for (const char *input : {"f", "in"}) {
      const std::string f = path("f");
      std::filesystem::remove(path("second"));
      std::filesystem::remove(f);
      write_file(f, "a\r\nb\n");
      if (!c.prepare(f)) {
        std::cout << "[  SKIPPED ] " << c.name << ": " << std::strerror(errno) << "\n";
        break;
      }
      const Metadata before = metadata_of(f);
      const ino_t inode = inode_of(f);
      std::vector<std::string> command = {NLFLIP_EXE, input, "f"};
      if (c.by_other) {
        command.insert(command.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
      }
      const RunResult r = c.by_other
                              ? testsupport::run("/usr/bin/setpriv", command, dir_.path(), "y\n")
                              : nlflip({input, "f"}, "y\n");
      const std::string what = std::string(c.name) + ", from " + input;
      EXPECT_EQ(r.exit_code, 0) << what << ": " << r.err;
      EXPECT_EQ(read_file(f), "a\nb\r\n") << what;
      EXPECT_EQ(metadata_of(f), before) << what;
      if (before.links == 2) {
        EXPECT_EQ(read_file(path("second")), "a\nb\r\n") << what;
      } else {
        EXPECT_NE(inode_of(f), inode) << what << ": rewritten in place, not replaced";
      }
      EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
    }
  }
}

// The events of a traced run, one per line, as strace writes them.
std::vector<std::string> traced_lines(const std::string &trace) {
  std::vector<std::string> lines;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

TEST_F(Cli, TheNewTextReachesTheDiskBeforeItTakesTheNameAndNoOneElseSeesItEarly) {
  if (!std::filesystem::exists("/usr/bin/strace")) {
    GTEST_SKIP() << "strace is not installed";
  }
  write_file(path("f"), "a\r\nb\n");
  chmod(path("f").c_str(), 0640);
  const RunResult r = shell(dir_.path(),
                            "echo y | strace -f -qq -o trace -e trace=openat,fchmod,fsync,"
                            "fdatasync,renameat,renameat2,write \"$0\" f f 2>/dev/null; cat trace");
  const std::vector<std::string> events = traced_lines(r.out);
  // The temporary file's descriptor, then the positions of what happens to it.
  std::string temp;
  std::string directory;
  std::size_t last_write = 0;
  std::size_t last_mode = 0;
  std::size_t synced = 0;
  std::size_t renamed = 0;
  std::size_t directory_synced = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::string &e = events[i];
    const auto is = [&e](const std::string &call) {
      return e.find(" " + call) != std::string::npos;
    };
    if (is("openat(") && e.find(".nlflip-") != std::string::npos) {
      directory = e.substr(e.find('(') + 1, e.find(',') - e.find('(') - 1);
      temp = e.substr(e.rfind("= ") + 2);
      EXPECT_NE(e.find(", 0600)"), std::string::npos) << "open to its writer alone: " << e;
    } else if (is("write(") && !temp.empty() && e.find("write(1,") == std::string::npos &&
               e.find("write(2,") == std::string::npos) {
      last_write = i;
    } else if (is("fchmod(" + temp + ",")) {
      last_mode = i;
      // Owner-only until the final mode.
      const bool final_mode = e.find(", 0640)") != std::string::npos;
      EXPECT_TRUE(final_mode || e.find(", 0600)") != std::string::npos) << e;
    } else if (is("fsync(" + temp + ")") || is("fdatasync(" + temp + ")")) {
      synced = i;
    } else if (is("renameat(") && e.find(".nlflip-") != std::string::npos) {
      renamed = i;
    } else if (!directory.empty() && is("fsync(" + directory + ")")) {
      directory_synced = i;
    }
  }
  ASSERT_FALSE(temp.empty()) << r.out;
  EXPECT_LT(last_write, synced) << r.out;
  EXPECT_LT(last_mode, synced) << r.out;
  EXPECT_LT(synced, renamed) << r.out;
  EXPECT_LT(renamed, directory_synced) << r.out;
  EXPECT_EQ(read_file(path("f")), "a\nb\r\n");
}

// A small file system of a chosen kind in an image file, mounted through a
// loop device on disk/.
class LoopDisk : public Cli {
 protected:
  // Makes the file system with the mkfs command given and mounts it; skips
  // the test where that cannot be done.
  void mount_new(const std::string &mkfs) {
    if (!is_root()) {
      GTEST_SKIP() << "needs root to mount a file system";
    }
    const RunResult r =
        shell(dir_.path(), "truncate -s 300M disk.img && " + mkfs +
                               " disk.img >/dev/null && mkdir disk && mount -o loop disk.img disk");
    if (r.exit_code != 0) {
      GTEST_SKIP() << "cannot make and mount a loop file system (" << mkfs << "): " << r.err;
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      shell(dir_.path(), "umount disk");
    }
  }
  // Shuts an XFS down at once, its log flushed but nothing else, as a crash
  // would leave it, and mounts it again.
  void crash() {
    const RunResult r = shell(dir_.path(),
                              "xfs_io -x -c 'shutdown -f' disk && umount disk &&"
                              " mount -o loop disk.img disk");
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  bool mounted_ = false;
};

TEST_F(LoopDisk, ACrashRightAfterARunKeepsTheNewText) {
  mount_new("mkfs.xfs -q");
  const std::string f = path("disk/f.txt");
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    text += std::to_string(i) + "\n";
  }
  write_file(path("disk/in.txt"), text);
  for (const char *input : {"f.txt", "in.txt"}) {
    write_file(f, text);
    shell(dir_.path(), "sync");
    const RunResult r = testsupport::run(NLFLIP_EXE, {input, "f.txt"}, path("disk"), "y\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    crash();
    EXPECT_TRUE(read_file(f) == with_crlf(text)) << "from " << input;
  }
}

TEST_F(LoopDisk, InPlaceOnACopyOnWriteDiskChangesNothingUnlessItCanFinish) {
  // Every block rewritten takes a new one: room for the file's bytes does
  // not cover rewriting them.
  mount_new("mkfs.btrfs -q");
  clitest::write_lines(path("disk/f"), 500000);
  const std::string original = read_file(path("disk/f"));
  const RunResult filled =
      shell(dir_.path(),
            "ln disk/f disk/second && sync && fallocate -l $(( $(df -B1 --output=avail"
            " disk | tail -1) - 8 * 1048576 )) disk/filler && sync");
  ASSERT_EQ(filled.exit_code, 0) << filled.err;
  const RunResult r = testsupport::run(NLFLIP_EXE, {"f", "f"}, path("disk"), "y\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "f: overwrite OK? (y/n) f: writing error\n");
  EXPECT_TRUE(read_file(path("disk/second")) == original);
}

TEST_F(Cli, AnInterruptedReplacementLeavesTheOldTextOrTheNewOne) {
  constexpr std::size_t kLines = 200000;
  clitest::write_lines(path("lines"), kLines);
  const std::string original = read_file(path("lines"));
  struct Route {
    const char *name;
    std::string output;
    bool second_link;
  };
  const Route routes[] = {
      {"a new file", "new.txt", false},
      {"the same file, replaced", "f", false},
      {"the same file with a second name, rewritten in place", "f", true},
  };
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay_us(0, 60000);
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  for (const Route &route : routes) {
    for (int run = 0; run < 12; ++run) {
      write_file(path("f"), original);
      std::filesystem::remove(path("new.txt"));
      std::filesystem::remove(path("second"));
      if (route.second_link) {
        ASSERT_EQ(link(path("f").c_str(), path("second").c_str()), 0);
      }
      const int signal_number = kSignals[run % 3];
      const std::string delay = std::to_string(delay_us(random) / 1e6);
      // A job in the background ignores SIGINT unless told otherwise.
      const RunResult r = shell(dir_.path(), "(trap - INT; exec \"$0\" f " + route.output +
                                                 " <<<y 2>/dev/null) & sleep " + delay +
                                                 "; kill -" + std::to_string(signal_number) +
                                                 " $! 2>/dev/null; wait $!; echo $?");
      const std::string what = std::string(route.name) + ", signal " +
                               std::to_string(signal_number) + " after " + delay + " s";
      const bool succeeded = r.out == "0\n";
      EXPECT_TRUE(succeeded || r.out == std::to_string(128 + signal_number) + "\n")
          << what << ": " << r.out;
      const std::string result = path(route.output);
      if (succeeded) {
        EXPECT_TRUE(clitest::holds_converted_lines(result, kLines)) << what;
      } else if (route.output == "f") {
        EXPECT_TRUE(read_file(result) == original) << what;
      } else {
        EXPECT_FALSE(std::filesystem::exists(result)) << what;
      }
      if (route.second_link) {
        EXPECT_EQ(metadata_of(path("second")).links, 2U) << what;
      }
      EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
    }
  }
}

// The in-place route: a disk with room for one more file and no second one,
// so that no temporary file can be made beside the file.
class NoTemporaryFileBeside : public Cli {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) {
      GTEST_SKIP() << disk_.failure();
    }
  }
  testsupport::SmallTmpfs disk_{std::size_t{48} * 1024, "nr_inodes=2"};
};

TEST_F(NoTemporaryFileBeside, RewriteInPlaceChangesNothingUnlessItCanFinish) {
  const std::string name = disk_.file("doc");
  const testsupport::SmallTmpfs full_spool_disk(std::size_t{16} * 1024);
  struct Case {
    const char *name;
    std::size_t line_ends;  // the file is this many LFs
    std::string spool;      // TMPDIR, where the new text waits
    int exit_code;
    std::string err;
  };
  const Case cases[] = {
      {"the new text fits with room to spare", 20000, "", 0, ""},
      {"the new text exactly fills the disk", 24576, "", 0, ""},
      {"the new text does not fit", 30000, "", 1, name + ": writing error\n"},
      {"the spool's disk is full", 12000, full_spool_disk.path(), 1, name + ": spooling error\n"},
  };
  for (const auto &c : cases) {
    if (!c.spool.empty() && !full_spool_disk.mounted()) {
      continue;
    }
    const std::string original(c.line_ends, '\n');
    write_file(name, original);
    struct stat before {};
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    std::string script = c.spool.empty() ? "" : "TMPDIR=" + c.spool + " ";
    script.append("\"$0\" ").append(name).append(" ").append(name);
    script += " <<<y 2>err; echo $?; sed 's/.*(y\\/n) //' err";
    const RunResult r = shell(dir_.path(), script);
    EXPECT_EQ(r.out, std::to_string(c.exit_code) + "\n" + c.err) << c.name;
    struct stat after {};
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    if (c.exit_code == 0) {
      EXPECT_TRUE(read_file(name) == with_crlf(original)) << c.name;
    } else {
      EXPECT_TRUE(read_file(name) == original) << c.name;
      EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << c.name;
      EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << c.name;
    }
    std::filesystem::remove(name);
  }
}

}  // namespace
