// The Windows platform's temporary file on real files: whether the file that
// it is to replace still has the metadata that it took.  The program takes
// the metadata and replaces the file right after each other; from outside,
// a change can be put between the two only by timing, so the platform's
// own object is asked here.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform.h"
#include "support/temp_dir.h"

namespace {

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

// Gives the file an access control list of its own that lets everyone read
// it, as an owner may while a run waits.
bool give_new_acl(const std::string &path) {
  char everyone[] = "EVERYONE";
  EXPLICIT_ACCESS_A access{};
  access.grfAccessPermissions = GENERIC_READ;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = everyone;
  PACL acl = nullptr;
  if (SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS) {
    return false;
  }
  std::string name = path;
  const bool given = SetNamedSecurityInfoA(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
  LocalFree(acl);
  return given;
}

TEST(TempFile, SeesTheOriginalsMetadataChangedAfterItWasTaken) {
  struct Case {
    const char *name;
    std::function<bool(const std::string &)> change;  // false where it could not be made
    bool changed;
  };
  const Case cases[] = {
      {"left alone", [](const std::string &) { return true; }, false},
      {"read through", [](const std::string &path) { return read_file(path) == "a\n"; }, false},
      {"made hidden",
       [](const std::string &path) {
         return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN) != 0;
       },
       true},
      {"made read-only",
       [](const std::string &path) {
         return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
       },
       true},
      {"given a new access control list", give_new_acl, true},
  };
  for (const Case &c : cases) {
    const TempDir dir;
    const std::string file = dir.file("doc.txt");
    write_file(file, "a\n");
    const platform::FileStatus status = platform::status_of(file.c_str());
    const std::unique_ptr<platform::TempFile> temp =
        platform::TempFile::beside(file.c_str(), platform::Replacing::existing_file, status);
    ASSERT_NE(temp, nullptr) << c.name;
    ASSERT_TRUE(temp->take_metadata()) << c.name;
    EXPECT_TRUE(c.change(file)) << c.name << ": the change could not be made";
    EXPECT_EQ(temp->metadata_unchanged(), !c.changed) << c.name;
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

}  // namespace
