#include "platform/own_directory.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/file.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(OwnDirectoryTest, MadeOwnIsAcceptedAndOnlyOnce) {
  testkit::TempDir tmp;
  const std::string dir = tmp / "temp";
  std::string why;
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kMissing);
  ASSERT_TRUE(MakeOwnDirectory(dir + kPathSep));
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kOwn) << why;
  EXPECT_EQ(CheckOwnDirectory(dir + kPathSep, &why), OwnDirectory::kOwn) << why;
  EXPECT_FALSE(MakeOwnDirectory(dir));  // exists already
  // A directory made the ordinary way, as older launchers made it.
  ASSERT_TRUE(MakeDirectory(tmp / "plain"));
  EXPECT_EQ(CheckOwnDirectory(tmp / "plain", &why), OwnDirectory::kOwn) << why;
}

TEST(OwnDirectoryTest, AFileOrALinkIsRefused) {
  testkit::TempDir tmp;
  std::string why;
  ASSERT_TRUE(WriteStringToFile(tmp / "file", "x"));
  EXPECT_EQ(CheckOwnDirectory(tmp / "file", &why), OwnDirectory::kRefused);
  EXPECT_EQ(why, "is not a directory");

  testkit::TempDir outside;
  if (!testkit::MakeLink(outside.Path(), tmp / "link", true)) GTEST_SKIP() << "this system makes no links";
  why.clear();
  EXPECT_EQ(CheckOwnDirectory(tmp / "link", &why), OwnDirectory::kRefused);
  // With a separator after it, the link must not be followed either.
  std::string why_too;
  EXPECT_EQ(CheckOwnDirectory(tmp / "link" + kPathSep, &why_too), OwnDirectory::kRefused);
#ifdef _WIN32
  EXPECT_EQ(why, "is a link or junction");
#else
  EXPECT_EQ(why, "is a symbolic link");
#endif
  EXPECT_EQ(why_too, why);
}

#ifndef _WIN32
TEST(OwnDirectoryTest, WritableByOthersOrOwnedByAnotherIsRefused) {
  testkit::TempDir tmp;
  const std::string dir = tmp / "temp";
  ASSERT_TRUE(MakeOwnDirectory(dir));
  std::string why;
  ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kRefused);
  EXPECT_EQ(why, "is writable by its group (mode 0775)");
  ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kRefused);
  EXPECT_EQ(why, "is writable by all users (mode 1777)");
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kOwn) << why;
  if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can give the directory to another user";
  ASSERT_EQ(::chown(dir.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kRefused);
  EXPECT_EQ(why, "belongs to user 65534, not to the player (user 0)");
}
#else
// An entry that lets every user write: refused. The emulator may keep an
// access list only approximately; then only what it kept can be judged.
TEST(OwnDirectoryTest, AnAccessListLettingOthersWriteIsRefused) {
  testkit::TempDir tmp;
  const std::string dir = tmp / "temp";
  ASSERT_TRUE(MakeOwnDirectory(dir));
  PACL old_dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old_dacl,
                                  nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPLICIT_ACCESS_A everyone = {};
  everyone.grfAccessPermissions = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
  everyone.grfAccessMode = GRANT_ACCESS;
  everyone.grfInheritance = NO_INHERITANCE;
  everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  everyone.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  everyone.Trustee.ptstrName = const_cast<char*>("EVERYONE");
  PACL new_dacl = nullptr;
  ASSERT_EQ(SetEntriesInAclA(1, &everyone, old_dacl, &new_dacl), static_cast<DWORD>(ERROR_SUCCESS));
  const DWORD set = SetNamedSecurityInfoA(const_cast<char*>(dir.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, new_dacl, nullptr);
  LocalFree(new_dacl);
  LocalFree(sd);
  ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
  // Whether the entry came back as written.
  std::string text;
  PSECURITY_DESCRIPTOR back = nullptr;
  if (GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &back) == ERROR_SUCCESS) {
    char* sddl = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(back, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
                                                             nullptr)) {
      text = sddl;
      LocalFree(sddl);
    }
    LocalFree(back);
  }
  if (text.find(";;;WD)") == std::string::npos)
    GTEST_SKIP() << "the file system did not keep the entry for everyone: " << text;
  std::string why;
  EXPECT_EQ(CheckOwnDirectory(dir, &why), OwnDirectory::kRefused) << text;
  EXPECT_EQ(why, "is writable by S-1-1-0");
}
#endif

}  // namespace
}  // namespace platform
