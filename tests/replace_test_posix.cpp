// Replacing a file the user already has, on the real program: files that
// change while the user is asked or are not what their names suggest,
// metadata and access, interruptions, full disks, and what reaches the disk.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "cli_posix.h"
#include "loop_disk.h"
#include "seed.h"
#include "system_posix.h"
#include "tmpfs.h"

namespace {

using clitest::Cli;
using clitest::set_old_times;
using clitest::shell;
using clitest::temporary_file_left;
using clitest::with_crlf;
using testsupport::find_program;
using testsupport::is_root;
using testsupport::read_file;
using testsupport::Running;
using testsupport::RunResult;
using testsupport::Stdin;
using testsupport::write_file;

const char *const kAsked = "f: overwrite OK? (y/n) ";

TEST_F(Cli, FilesThatChangeWhileAskedAboutAreNotReplaced) {
  const auto rewrite = [this](const char *name, const std::string &text) {
    return [this, name, text] { write_file(path(name), text); };
  };
  const auto put_new_file_under_f = [this] {
    write_file(path("f.new"), "new\n");
    std::filesystem::rename(path("f.new"), path("f"));
  };
  const auto link_g = [this] { ASSERT_EQ(link(path("f").c_str(), path("g").c_str()), 0); };
  const auto truncate_input = [this] { std::filesystem::resize_file(path("in.txt"), 20000); };
  const std::string input = std::string(5000, 'a') + "\n" + std::string(50000, '\n');
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::function<void()> before;  // at the start
    std::function<void()> change;  // while the prompt waits
    int exit_code;
    std::string message;                       // after the prompt
    std::map<std::string, std::string> after;  // what files then hold
  };
  const Case cases[] = {
      {"lines appended to the same file",
       {"f", "f"},
       [] {},
       [this] { std::ofstream(path("f"), std::ios::app | std::ios::binary) << "more\n"; },
       1,
       "f: reading error\n",
       {{"f", "a\nb\nmore\n"}}},
      {"the same file saved again at the same size",
       {"f", "f"},
       [] {},
       rewrite("f", "c\nd\n"),
       1,
       "f: reading error\n",
       {{"f", "c\nd\n"}}},
      {"another file put under the same file's name",
       {"f", "f"},
       [] {},
       put_new_file_under_f,
       1,
       "f: reading error\n",
       {{"f", "new\n"}}},
      {"a file with a second name, another file put under its name",
       {"f", "f"},
       link_g,
       put_new_file_under_f,
       1,
       "f: reading error\n",
       {{"f", "new\n"}, {"g", "a\nb\n"}}},
      {"a second name given to the same file",
       {"f", "f"},
       [] {},
       link_g,
       0,
       "",
       {{"f", "a\r\nb\r\n"}, {"g", "a\r\nb\r\n"}}},
      {"another output saved meanwhile",
       {"in.txt", "f"},
       [] {},
       rewrite("f", "newer\n"),
       1,
       "f: writing error\n",
       {{"f", "newer\n"}}},
      // The input is read through before the prompt where the output can be
      // converted ahead; where it cannot (a second name), the input is only
      // checked then and read again after the answer.
      {"the input truncated, the output converted ahead",
       {"in.txt", "f"},
       [] {},
       truncate_input,
       0,
       "",
       {{"f", with_crlf(input)}}},
      {"a too long line written into the input, the output converted ahead",
       {"in.txt", "f"},
       [] {},
       rewrite("in.txt", std::string(input.size(), 'z')),
       0,
       "",
       {{"f", with_crlf(input)}}},
      {"the input truncated, the output with a second name",
       {"in.txt", "f"},
       link_g,
       truncate_input,
       1,
       "in.txt: reading error\n",
       {{"f", "a\nb\n"}, {"g", "a\nb\n"}}},
      {"a too long line written into the input, the output with a second name",
       {"in.txt", "f"},
       link_g,
       rewrite("in.txt", std::string(input.size(), 'z')),
       1,
       "in.txt: reading error\n",
       {{"f", "a\nb\n"}, {"g", "a\nb\n"}}},
      {"lines appended to the input, which were not read",
       {"in.txt", "f"},
       link_g,
       [this] { std::ofstream(path("in.txt"), std::ios::app | std::ios::binary) << "more\n"; },
       0,
       "",
       {{"f", with_crlf(input)}, {"g", with_crlf(input)}}},
  };
  for (const auto &c : cases) {
    std::filesystem::remove(path("g"));
    write_file(path("f"), "a\nb\n");
    write_file(path("in.txt"), input);
    // A change made now shows in the modification time.
    set_old_times(path("f"));
    set_old_times(path("in.txt"));
    c.before();
    const RunResult r =
        testsupport::run_at_prompt(NLFLIP_EXE, c.args, dir_.path(), "y\n", Stdin::pipe, c.change);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.err, kAsked + c.message) << c.name;
    for (const auto &[name, text] : c.after) {
      EXPECT_TRUE(read_file(path(name)) == text) << c.name << ": " << name;
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

// The second user of these tests, who owns nothing else.
constexpr uid_t kSecondUser = 65534;

// The steps of preparing a file: each 0, or an errno.
int no_error(bool done) {
  return done ? 0 : errno;
}

int give_to_second_user(const std::string &f, mode_t mode) {
  return no_error(chown(f.c_str(), kSecondUser, kSecondUser) == 0 && chmod(f.c_str(), mode) == 0);
}

int link_second_name(const std::string &f) {
  const std::string second = std::filesystem::path(f).replace_filename("second").string();
  return no_error(link(f.c_str(), second.c_str()) == 0);
}

int set_attribute(const std::string &f, const char *name, const std::string &value) {
  return no_error(setxattr(f.c_str(), name, value.data(), value.size(), 0) == 0);
}

struct MetadataCase {
  const char *id;
  const char *name;
  bool needs_root;
  bool by_second_user;                   // run as the second user rather than as the tester
  bool rewritten_in_place;               // rather than replaced by a new file
  const char *output;                    // "f", or "link", a symbolic link to it
  int (*prepare)(const std::string &f);  // 0, or the errno of what failed
};

const MetadataCase kMetadataCases[] = {
    {"AccessControlList", "an access control list", false, false, false, "f",
     [](const std::string &f) {
       return set_attribute(f, "system.posix_acl_access", acl_letting_a_second_user_write(1234));
     }},
    {"AttributeAndPrivateMode", "an extended attribute and a private mode", false, false, false,
     "f",
     [](const std::string &f) {
       return chmod(f.c_str(), 0600) != 0 ? errno : set_attribute(f, "user.note", "kept");
     }},
    {"ModeThroughASymbolicLink", "a mode, the file named through a symbolic link", false, false,
     false, "link", [](const std::string &f) { return no_error(chmod(f.c_str(), 0640) == 0); }},
    {"OwnerAndSetGroupId", "another owner and a set-group-id bit", true, false, false, "f",
     [](const std::string &f) { return give_to_second_user(f, 02640); }},
    {"SecondHardLink", "a second hard link", false, false, true, "f", link_second_name},
    {"SecondLinkCapabilitiesAndSetUserId",
     "a second hard link, file capabilities and a set-user-id bit", true, false, true, "f",
     [](const std::string &f) {
       if (const int failed = link_second_name(f); failed != 0 || chmod(f.c_str(), 04755) != 0) {
         return failed != 0 ? failed : errno;
       }
       return set_attribute(f, "security.capability", capability_to_use_raw_sockets());
     }},
    {"AttributeByItsOwner", "an extended attribute, rewritten by its owner", true, true, false, "f",
     [](const std::string &f) {
       const int failed = give_to_second_user(f, 0644);
       return failed != 0 ? failed : set_attribute(f, "user.note", "kept");
     }},
    {"SecondLinkAndSetGroupIdByItsOwner",
     "a second hard link and a set-group-id bit, rewritten by its owner", true, true, true, "f",
     [](const std::string &f) {
       const int failed = link_second_name(f);
       return failed != 0 ? failed : give_to_second_user(f, 02755);
     }},
    {"WritableByAnotherUser", "another user's file that the second user may write", true, true,
     true, "f", [](const std::string &f) { return no_error(chmod(f.c_str(), 0646) == 0); }},
};

void PrintTo(const MetadataCase &c, std::ostream *out) {
  *out << c.name;
}

class ReplacedFiles : public Cli, public ::testing::WithParamInterface<MetadataCase> {};

TEST_P(ReplacedFiles, KeepTheirMetadataAndNames) {
  const MetadataCase &c = GetParam();
  if (c.needs_root && !is_root()) {
    GTEST_SKIP() << "needs root to give files away, set capabilities or run as a second user";
  }
  write_file(path("in"), "a\r\nb\n");
  chmod(dir_.path().c_str(), 0777);
  for (const char *input : {"f", "in"}) {
    const std::string f = path("f");
    for (const char *name : {"f", "second", "link"}) {
      std::filesystem::remove(path(name));
    }
    write_file(f, "a\r\nb\n");
    ASSERT_EQ(symlink("f", path("link").c_str()), 0);
    const int failed = c.prepare(f);
    if (failed == ENOTSUP) {
      GTEST_SKIP() << "the file system of " << dir_.path() << " cannot hold " << c.name;
    }
    ASSERT_EQ(failed, 0) << c.name << ": " << std::strerror(failed);
    const Metadata before = metadata_of(f);
    const ino_t inode = inode_of(f);
    std::vector<std::string> command = {NLFLIP_EXE, input, c.output};
    if (c.by_second_user) {
      const std::string user = std::to_string(kSecondUser);
      command.insert(command.begin(), {"--reuid=" + user, "--regid=" + user, "--clear-groups"});
    }
    const RunResult r = c.by_second_user
                            ? testsupport::run("/usr/bin/setpriv", command, dir_.path(), "y\n")
                            : nlflip({input, c.output}, "y\n");
    const std::string what = std::string(c.name) + ", from " + input;
    EXPECT_EQ(r.exit_code, 0) << what << ": " << r.err;
    EXPECT_EQ(r.err, std::string(c.output) + ": overwrite OK? (y/n) ") << what;
    EXPECT_EQ(read_file(f), "a\nb\r\n") << what;
    EXPECT_EQ(metadata_of(f), before) << what;
    EXPECT_EQ(inode_of(f) == inode, c.rewritten_in_place) << what;
    if (before.links == 2) {
      EXPECT_EQ(read_file(path("second")), "a\nb\r\n") << what;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path("link"))) << what;
    EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplacedFiles, ::testing::ValuesIn(kMetadataCases),
                         clitest::ById());

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
  if (find_program("strace").empty()) {
    GTEST_SKIP() << "needs strace (Debian package strace) to trace a run";
  }
  write_file(path("f"), "a\r\nb\n");
  chmod(path("f").c_str(), 0640);
  const RunResult r = shell(dir_.path(),
                            "echo y | strace -f -qq -o trace -e trace=openat,fchmod,fsync,"
                            "fdatasync,linkat,renameat,renameat2,write \"$0\" f f 2>/dev/null;"
                            " cat trace");
  const std::vector<std::string> events = traced_lines(r.out);
  // The temporary file's descriptor, then the positions of what happens to it.
  std::string temp;
  std::string directory;
  std::size_t last_write = 0;
  std::size_t last_mode = 0;
  std::size_t synced = 0;
  std::size_t linked = 0;
  std::size_t renamed = 0;
  std::size_t directory_synced = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::string &e = events[i];
    const auto is = [&e](const std::string &call) {
      return e.find(" " + call) != std::string::npos;
    };
    if (is("openat(") && e.find("O_TMPFILE") != std::string::npos) {
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
    } else if (is("linkat(") && e.find(".nlflip-") != std::string::npos) {
      linked = i;
    } else if (is("renameat(") && e.find(".nlflip-") != std::string::npos) {
      renamed = i;
    } else if (!directory.empty() && is("fsync(" + directory + ")")) {
      directory_synced = i;
    }
  }
  ASSERT_FALSE(temp.empty()) << r.out;
  EXPECT_LT(last_write, synced) << r.out;
  EXPECT_LT(last_mode, synced) << r.out;
  EXPECT_LT(synced, linked) << "no name before it is complete\n" << r.out;
  EXPECT_LT(linked, renamed) << r.out;
  EXPECT_LT(renamed, directory_synced) << r.out;
  EXPECT_EQ(read_file(path("f")), "a\nb\r\n");
}

// An XFS of its own, which can be shut down as a crash would leave it.
class OnXfs : public Cli {
 protected:
  void SetUp() override {
    if (!disk_.mounted()) {
      GTEST_SKIP() << disk_.failure();
    }
  }
  testsupport::LoopDisk disk_{dir_.path(), "mkfs.xfs", "xfsprogs"};
};

TEST_F(OnXfs, ACrashRightAfterARunKeepsTheNewText) {
  const std::string f = disk_.file("f.txt");
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    text += std::to_string(i) + "\n";
  }
  write_file(disk_.file("in.txt"), text);
  for (const char *input : {"f.txt", "in.txt"}) {
    write_file(f, text);
    disk_.sh("sync");
    const RunResult r = testsupport::run(NLFLIP_EXE, {input, "f.txt"}, disk_.path(), "y\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(disk_.crash(), "");
    EXPECT_TRUE(read_file(f) == with_crlf(text)) << "from " << input;
  }
}

// The signals that end a run, which must leave no temporary file behind.
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGSEGV};

struct Route {
  const char *id;
  const char *name;
  const char *output;  // the input is f
  bool second_link;    // so that f is rewritten in place
};

void PrintTo(const Route &route, std::ostream *out) {
  *out << route.name;
}

class Interruptions : public Cli, public ::testing::WithParamInterface<Route> {
 protected:
  void SetUp() override {
    clitest::write_lines(path("lines"), kLines);
    original_ = read_file(path("lines"));
  }

  static bool new_output() { return std::string(GetParam().output) != "f"; }

  // f as it was, and no output or second name from before.
  void start_afresh() {
    write_file(path("f"), original_);
    std::filesystem::remove(path("new.txt"));
    std::filesystem::remove(path("second"));
    if (GetParam().second_link) {
      ASSERT_EQ(link(path("f").c_str(), path("second").c_str()), 0);
    }
  }

  // What every interrupted or finished run must leave.
  void expect_old_or_new_text(const RunResult &r, int signal_number, const std::string &what) {
    const bool succeeded = r.exit_code == 0;
    EXPECT_TRUE(succeeded || r.exit_code == 128 + signal_number) << what << ": " << r.exit_code;
    const std::string result = path(GetParam().output);
    if (succeeded) {
      EXPECT_TRUE(clitest::holds_converted_lines(result, kLines)) << what;
    } else if (new_output()) {
      EXPECT_FALSE(std::filesystem::exists(result)) << what;
    } else {
      EXPECT_TRUE(read_file(result) == original_) << what;
    }
    if (GetParam().second_link) {
      EXPECT_EQ(metadata_of(path("second")).links, 2U) << what;
    }
    EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
  }

  static constexpr std::size_t kLines = 200000;
  std::string original_;
};

TEST_P(Interruptions, LeaveTheOldTextOrTheNewOneAndNoTemporaryFile) {
  // First at a moment when the run is surely under way: a new output's input
  // half read through a pipe, more than the pipe holds; an existing output's
  // prompt.
  for (const int signal_number : kInterruptions) {
    start_afresh();
    const std::string what = std::string("signal ") + std::to_string(signal_number);
    Running run(NLFLIP_EXE, {new_output() ? "/dev/fd/3" : "f", GetParam().output}, dir_.path());
    if (new_output()) {
      ASSERT_TRUE(run.feed(original_.substr(0, std::size_t{1} << 20))) << what;
    } else {
      // The new text, converted ahead, is seen by no one while asked about.
      run.wait_for_error_output();
      EXPECT_FALSE(temporary_file_left(dir_.path())) << what;
    }
    run.signal(signal_number);
    const RunResult r = run.finish();
    EXPECT_EQ(r.exit_code, 128 + signal_number) << what;
    EXPECT_EQ(r.err, new_output() ? "" : kAsked) << what;
    expect_old_or_new_text(r, signal_number, what);
  }
  // Then at any moment of the rest of a run.
  std::mt19937 random(testsupport::test_seed());
  std::uniform_int_distribution<int> delay_us(0, 60000);
  for (int run_number = 0; run_number < 12; ++run_number) {
    start_afresh();
    const int signal_number = kInterruptions[run_number % 3];
    const int delay = delay_us(random);
    Running run(NLFLIP_EXE, {"f", GetParam().output}, dir_.path());
    run.answer("y\n");
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    run.signal(signal_number);
    expect_old_or_new_text(
        run.finish(), signal_number,
        "signal " + std::to_string(signal_number) + " after " + std::to_string(delay) + " us");
  }
}

const Route kRoutes[] = {
    {"NewFile", "a new file", "new.txt", false},
    {"SameFileReplaced", "the same file, replaced", "f", false},
    {"SameFileInPlace", "the same file with a second name, rewritten in place", "f", true},
};

INSTANTIATE_TEST_SUITE_P(Routes, Interruptions, ::testing::ValuesIn(kRoutes), clitest::ById());

// Where a full-disk case runs: its directory, and the disks it has.
struct Place {
  std::string dir;
  std::string disk;   // the small disk, or dir
  std::string spool;  // TMPDIR, or ""
};

enum class Left { kept, converted, absent };

struct FullDiskCase {
  const char *id;
  const char *name;
  std::size_t disk_bytes;    // a small tmpfs of this size, 0 for none
  const char *disk_options;  // more options for it
  std::size_t spool_bytes;   // TMPDIR on a tmpfs of this size, 0 for none
  void (*prepare)(const Place &);
  // A bash script; "$0" is nlflip, and $DISK and $SPOOL name the disks.
  const char *script;
  const char *message;                              // standard error, $DISK standing for the disk
  std::vector<std::pair<std::string, Left>> files;  // $DISK/... or in dir
  int exit_code;
  bool btrfs;  // a btrfs on a loop device instead of a tmpfs
};

std::string on_disk(std::string text, const Place &place) {
  for (std::size_t at; (at = text.find("$DISK")) != std::string::npos;) {
    text.replace(at, 5, place.disk);
  }
  return text;
}

std::string lines_of_eleven_bytes(std::size_t size) {
  std::string lines;
  while (lines.size() < size) {
    lines += "0123456789\n";
  }
  return lines;
}

const FullDiskCase kFullDiskCases[] = {
    {"NewOutput",
     "a new output that does not fit",
     64 << 10,
     "",
     0,
     [](const Place &p) { write_file(p.dir + "/in.txt", lines_of_eleven_bytes(200000)); },
     "\"$0\" in.txt \"$DISK/out.txt\"",
     "$DISK/out.txt: writing error\nno free disk space\n",
     {{"$DISK/out.txt", Left::absent}},
     1,
     false},
    {"SameFileWithoutRoomForItsCopy",
     "the same file, with room for it but not its copy beside it",
     64 << 10,
     "",
     0,
     [](const Place &p) { write_file(p.disk + "/both.txt", lines_of_eleven_bytes(40000)); },
     "\"$0\" \"$DISK/both.txt\" \"$DISK/both.txt\" <<<y",
     "$DISK/both.txt: overwrite OK? (y/n) $DISK/both.txt: writing error\nno free disk space\n",
     {{"$DISK/both.txt", Left::kept}},
     1,
     false},
    {"PipeThatCannotBeKept",
     "a pipe kept before the prompt, TMPDIR full",
     0,
     "",
     64 << 10,
     [](const Place &p) {
       clitest::write_lines(p.dir + "/big", 200000);
       write_file(p.dir + "/out.txt", "keep\n");
     },
     "cat big | TMPDIR=\"$SPOOL\" \"$0\" /dev/fd/3 out.txt 3<&0 </dev/null",
     "/dev/fd/3: spooling error\n",
     {{"out.txt", Left::kept}},
     1,
     false},
    {"InPlaceWithRoomToSpare",
     "in place, the new text fits with room to spare",
     48 << 10,
     "nr_inodes=2",
     0,
     [](const Place &p) { write_file(p.disk + "/doc", std::string(20000, '\n')); },
     "\"$0\" \"$DISK/doc\" \"$DISK/doc\" <<<y",
     "$DISK/doc: overwrite OK? (y/n) ",
     {{"$DISK/doc", Left::converted}},
     0,
     false},
    {"InPlaceFillingTheDisk",
     "in place, the new text exactly fills the disk",
     48 << 10,
     "nr_inodes=2",
     0,
     [](const Place &p) { write_file(p.disk + "/doc", std::string(24576, '\n')); },
     "\"$0\" \"$DISK/doc\" \"$DISK/doc\" <<<y",
     "$DISK/doc: overwrite OK? (y/n) ",
     {{"$DISK/doc", Left::converted}},
     0,
     false},
    {"InPlaceNotFitting",
     "in place, the new text does not fit",
     48 << 10,
     "nr_inodes=2",
     0,
     [](const Place &p) { write_file(p.disk + "/doc", std::string(30000, '\n')); },
     "\"$0\" \"$DISK/doc\" \"$DISK/doc\" <<<y",
     "$DISK/doc: overwrite OK? (y/n) $DISK/doc: writing error\n",
     {{"$DISK/doc", Left::kept}},
     1,
     false},
    {"InPlaceSpoolFull",
     "in place, the spool's disk is full",
     48 << 10,
     "nr_inodes=2",
     16 << 10,
     [](const Place &p) { write_file(p.disk + "/doc", std::string(12000, '\n')); },
     "TMPDIR=\"$SPOOL\" \"$0\" \"$DISK/doc\" \"$DISK/doc\" <<<y",
     "$DISK/doc: overwrite OK? (y/n) $DISK/doc: spooling error\n",
     {{"$DISK/doc", Left::kept}},
     1,
     false},
    {"DeviceAlwaysFull",
     "a device that is always full",
     0,
     "",
     0,
     [](const Place &p) { write_file(p.dir + "/in.txt", "a\n"); },
     "\"$0\" in.txt /dev/full <<<y",
     "/dev/full: overwrite OK? (y/n) /dev/full: writing error\n",
     {},
     1,
     false},
    {"FileSizeLimit",
     "a file-size limit",
     0,
     "",
     0,
     [](const Place &p) { write_file(p.dir + "/in.txt", lines_of_eleven_bytes(600000)); },
     "ulimit -f 8; \"$0\" in.txt out.txt",
     "out.txt: writing error\n",
     {{"out.txt", Left::absent}},
     1,
     false},
    {"InPlaceOnCopyOnWrite",
     "in place on a disk that writes every block anew",
     0,
     "",
     0,
     [](const Place &p) {
       clitest::write_lines(p.disk + "/f", 500000);
       const RunResult filled =
           shell(p.disk,
                 "ln f second && sync && fallocate -l $(( $(df -B1 --output=avail . | tail -1)"
                 " - 8 * 1048576 )) filler && sync");
       ASSERT_EQ(filled.exit_code, 0) << filled.err;
     },
     "cd \"$DISK\" && \"$0\" f f <<<y",
     "f: overwrite OK? (y/n) f: cannot rewrite in place\n",
     {{"$DISK/f", Left::kept}, {"$DISK/second", Left::kept}},
     1,
     true},
};

struct FileState {
  std::string text;
  timespec modified{};
};

FileState state_of(const std::string &name) {
  struct stat info {};
  stat(name.c_str(), &info);
  return {read_file(name), info.st_mtim};
}

void PrintTo(const FullDiskCase &c, std::ostream *out) {
  *out << c.name;
}

class FullDisks : public Cli, public ::testing::WithParamInterface<FullDiskCase> {
 protected:
  void SetUp() override {
    const FullDiskCase &c = GetParam();
    if (c.disk_bytes != 0) {
      disk_.emplace(c.disk_bytes, c.disk_options);
      if (!disk_->mounted()) {
        GTEST_SKIP() << disk_->failure();
      }
    }
    if (c.spool_bytes != 0) {
      spool_.emplace(c.spool_bytes);
      if (!spool_->mounted()) {
        GTEST_SKIP() << spool_->failure();
      }
    }
    if (c.btrfs) {
      btrfs_ = std::make_unique<testsupport::LoopDisk>(dir_.path(), "mkfs.btrfs", "btrfs-progs");
      if (!btrfs_->mounted()) {
        GTEST_SKIP() << btrfs_->failure();
      }
    }
  }

  Place place() const {
    return {dir_.path(),
            disk_    ? disk_->path()
            : btrfs_ ? btrfs_->path()
                     : dir_.path(),
            spool_ ? spool_->path() : ""};
  }

  std::optional<testsupport::SmallTmpfs> disk_;
  std::optional<testsupport::SmallTmpfs> spool_;
  std::unique_ptr<testsupport::LoopDisk> btrfs_;
};

TEST_P(FullDisks, FailWithTheRightMessageAndLeaveEveryFileAsItWas) {
  const FullDiskCase &c = GetParam();
  const Place where = place();
  c.prepare(where);
  std::map<std::string, FileState> before;
  for (const auto &[name, left] : c.files) {
    const std::string file = on_disk(name, where);
    before[file] = state_of(file.front() == '/' ? file : where.dir + "/" + file);
  }
  const RunResult r = shell(where.dir, "DISK='" + where.disk + "' SPOOL='" + where.spool + "'; " +
                                           c.script + " 2>err; echo $?; cat err");
  EXPECT_EQ(r.out, std::to_string(c.exit_code) + "\n" + on_disk(c.message, where));
  for (const auto &[name, left] : c.files) {
    const std::string file = on_disk(name, where);
    const std::string full = file.front() == '/' ? file : where.dir + "/" + file;
    const FileState after = state_of(full);
    switch (left) {
      case Left::absent:
        EXPECT_FALSE(std::filesystem::exists(full)) << file;
        break;
      case Left::converted:
        EXPECT_TRUE(after.text == with_crlf(before[file].text)) << file;
        break;
      case Left::kept:
        EXPECT_TRUE(after.text == before[file].text) << file;
        EXPECT_EQ(after.modified.tv_sec, before[file].modified.tv_sec) << file;
        EXPECT_EQ(after.modified.tv_nsec, before[file].modified.tv_nsec) << file;
        break;
    }
  }
  EXPECT_FALSE(temporary_file_left(where.dir));
  EXPECT_FALSE(temporary_file_left(where.disk));
}

INSTANTIATE_TEST_SUITE_P(Cases, FullDisks, ::testing::ValuesIn(kFullDiskCases), clitest::ById());

}  // namespace
