// Named mutexes, pid sections and shared libraries.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/pid_section.h"
#include "platform/process.h"
#include "platform/shared_library.h"
#include "platform/window.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(NamedMutexTest, SecondCreatorSeesItExistingAndWaitsForRelease) {
  std::string name = testkit::UniqueName("Local\\renewel-mutex");
  bool existed = true;
  auto first = NamedMutex::Create(name, &existed);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(existed);

  std::atomic<bool> owned{false};
  std::atomic<bool> second_existed{false};
  std::thread other([&] {
    bool e = false;
    auto second = NamedMutex::Create(name, &e);
    ASSERT_NE(second, nullptr);
    second_existed = e;
    EXPECT_EQ(second->Wait(), 0u);
    owned = true;
    second->Release();
  });
  SleepMs(100);
  EXPECT_FALSE(owned);
  first->Release();
  other.join();
  EXPECT_TRUE(second_existed);
  EXPECT_TRUE(owned);
}

TEST(PidSectionTest, CreateOpenAndVanishWithTheCreator) {
  std::string name = testkit::UniqueName("renewel-section");
  EXPECT_EQ(PidSection::Open(name), nullptr);
  bool existed = true;
  auto created = PidSection::Create(name, &existed);
  ASSERT_NE(created, nullptr);
  EXPECT_FALSE(existed);
  created->WritePid(CurrentProcessId());

  auto opened = PidSection::Open(name);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->ReadPid(), CurrentProcessId());

  auto again = PidSection::Create(name, &existed);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(existed);
  again.reset();
  opened.reset();
  created.reset();
  EXPECT_EQ(PidSection::Open(name), nullptr);
}

TEST(WindowTest, NoWindowForAProcessWithoutOne) {
  WindowRef w = 0;
  EXPECT_FALSE(FindVisibleWindowOfProcess(CurrentProcessId(), &w));
}

TEST(SharedLibraryTest, LoadsAndFindsExports) {
  EXPECT_EQ(SharedLibrary::Load(testkit::BuiltLibrary("no_such_library")), nullptr);
  auto lib = SharedLibrary::Load(testkit::BuiltLibrary("dovra_version"));
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(lib->Symbol("GetClientVersion"), nullptr);
  EXPECT_NE(lib->Symbol("GetUpdateVersionUrl"), nullptr);
  EXPECT_EQ(lib->Symbol("NoSuchExport"), nullptr);
  // A bare name is found beside the executable.
  EXPECT_NE(SharedLibrary::Load(std::string("dovra_version") + kLibSuffix), nullptr);
}

}  // namespace
}  // namespace platform
