#include "platform/env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace platform {
namespace {

// Records what the code asks of the machine and does none of it.
class RecordingEnv : public EnvWrapper {
 public:
  std::unique_ptr<Process> StartProcess(const ProcessStart& start) override {
    starts.push_back(start);
    return nullptr;
  }
  void SleepMs(int ms) override { slept += ms; }
  std::string ExecutablePath() override { return "/elsewhere/Quillfen.exe"; }

  std::vector<ProcessStart> starts;
  int slept = 0;
};

// Every way of starting a program, sleeping and asking where the program
// lies goes through the env in force, and only while it is in force.
TEST(EnvTest, ThePlatformFunctionsAskTheEnvInForce) {
  RecordingEnv env;
  {
    ScopedEnv use(&env);
    EXPECT_EQ(StartProcess("a 1"), nullptr);
    EXPECT_EQ(StartProcess("b 2", "wd", "out.txt"), nullptr);
    EXPECT_EQ(StartTiedProcess("c 3", "wd2", "out2.txt"), nullptr);
    EXPECT_EQ(StartProcessFromImage("img.exe", "d 4", "wd3"), nullptr);
    SleepMs(250);
    SleepMs(250);
    EXPECT_EQ(ExecutablePath(), "/elsewhere/Quillfen.exe");
    EXPECT_EQ(ExecutableDir(), "/elsewhere/");
    EXPECT_EQ(&CurrentEnv(), &env);
  }
  ASSERT_EQ(env.starts.size(), 4u);
  EXPECT_EQ(env.starts[0].command_line, "a 1");
  EXPECT_TRUE(env.starts[0].working_dir.empty() && env.starts[0].output_path.empty() && !env.starts[0].tied);
  EXPECT_EQ(env.starts[1].output_path, "out.txt");
  EXPECT_EQ(env.starts[1].working_dir, "wd");
  EXPECT_FALSE(env.starts[1].tied);
  EXPECT_TRUE(env.starts[2].tied);
  EXPECT_EQ(env.starts[2].output_path, "out2.txt");
  EXPECT_EQ(env.starts[3].image_path, "img.exe");
  EXPECT_EQ(env.starts[3].command_line, "d 4");
  EXPECT_EQ(env.slept, 500);

  // Out of scope: the machine again.
  EXPECT_EQ(&CurrentEnv(), &Env::Default());
  EXPECT_NE(ExecutablePath(), "/elsewhere/Quillfen.exe");
  EXPECT_EQ(ExecutablePath(), Env::Default().ExecutablePath());
}

// An env's file table is the one file.h works through while it is in force.
TEST(EnvTest, AnEnvCarriesItsOwnFileCalls) {
  class NoFiles : public EnvWrapper {
   public:
    NoFiles() : calls_(RealFileCalls()) {
      calls_.exists = [](const FileName&) { return false; };
    }
    FileSystemCalls& Files() override { return calls_; }

   private:
    FileSystemCalls calls_;
  } env;
  const std::string self = Env::Default().ExecutablePath();
  ASSERT_TRUE(Exists(self));
  {
    ScopedEnv use(&env);
    EXPECT_FALSE(Exists(self));
  }
  EXPECT_TRUE(Exists(self));
}

}  // namespace
}  // namespace platform
