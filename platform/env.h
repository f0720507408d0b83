// Env: the one seam between the program and the machine it runs on, for the
// services a test needs to turn: the clock, sleeping, starting processes,
// where the running program lies, and the file system.
//
// Product code never asks the system for these directly; it calls the
// platform functions (SleepMs and the StartProcess family in process.h,
// ExecutablePath in path.h, the file functions of file.h), which ask the env
// in force, CurrentEnv(). A test derives from EnvWrapper, overrides what it
// needs, and puts its env in force for a scope:
//
//   class FrozenClock : public platform::EnvWrapper {
//    public:
//     int64_t NowSeconds() override { return 1700000000; }
//   };
//   FrozenClock clock;
//   platform::ScopedEnv use(&clock);
//
// The file system is the call table of file.h: Files() returns it, and a test
// fails single calls ("the third write fails") by replacing entries
// (ScopedFileCallsOverride, testing/file_faults.h) rather than by deriving.
//
// Only tests change the env in force: before they start the threads that use
// it, and back after those threads have ended. An env's methods may be called
// from any thread at once. Env::Default() is the real machine, also while a
// test's env is in force (a test program still finds its own files by it).
#ifndef PLATFORM_ENV_H_
#define PLATFORM_ENV_H_

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/process.h"

namespace platform {

class Env {
 public:
  virtual ~Env() = default;

  // The real machine.
  static Env& Default();

  // The clock: seconds since 1970, UTC.
  virtual int64_t NowSeconds();
  // The local calendar time at NowSeconds(), for time stamps people read.
  virtual std::tm LocalTime();
  // The local calendar time at `seconds` since 1970 UTC.
  virtual std::tm LocalTimeAt(int64_t seconds);
  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMs(int ms);
  // Starts a program as described (see the StartProcess family in
  // process.h). Null when it cannot be started.
  virtual std::unique_ptr<Process> StartProcess(const ProcessStart& start);
  // The full path of the running program's executable.
  virtual std::string ExecutablePath();
  // The env's file system calls, which FileCalls() returns while the env is
  // in force. The real env's table starts out as RealFileCalls().
  virtual FileSystemCalls& Files();
};

// Forwards every call to another env (the real one unless told otherwise),
// so that a test overrides only what it turns.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target = Env::Default()) : target_(target) {}

  int64_t NowSeconds() override { return target_.NowSeconds(); }
  std::tm LocalTime() override { return target_.LocalTime(); }
  std::tm LocalTimeAt(int64_t seconds) override { return target_.LocalTimeAt(seconds); }
  void SleepMs(int ms) override { target_.SleepMs(ms); }
  std::unique_ptr<Process> StartProcess(const ProcessStart& start) override { return target_.StartProcess(start); }
  std::string ExecutablePath() override { return target_.ExecutablePath(); }
  FileSystemCalls& Files() override { return target_.Files(); }

 protected:
  Env& target() { return target_; }

 private:
  Env& target_;
};

// The env in force: Env::Default() unless a test has put another in force.
Env& CurrentEnv();

// Puts `env` in force for the lifetime of the object, then the one before.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* saved_;
};

// The system's own services, as the real env performs them; the backends
// (*_posix.cc, *_win32.cc) define them. Only Env::Default() calls these.
namespace system_services {
std::tm LocalTimeAt(int64_t seconds);
void SleepMs(int ms);
std::unique_ptr<Process> StartProcess(const ProcessStart& start);
std::string ExecutablePath();
}  // namespace system_services

}  // namespace platform

#endif  // PLATFORM_ENV_H_
