#include "platform/env.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<Env*>& InForce() {
  static std::atomic<Env*> env{nullptr};
  return env;
}

}  // namespace

Env& Env::Default() {
  static Env* real = new Env;  // never destroyed: threads may outlive main's statics
  return *real;
}

int64_t Env::NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

std::tm Env::LocalTime() { return LocalTimeAt(NowSeconds()); }

std::tm Env::LocalTimeAt(int64_t seconds) { return system_services::LocalTimeAt(seconds); }

void Env::SleepMs(int ms) { system_services::SleepMs(ms); }

std::unique_ptr<Process> Env::StartProcess(const ProcessStart& start) { return system_services::StartProcess(start); }

std::string Env::ExecutablePath() { return system_services::ExecutablePath(); }

FileSystemCalls& Env::Files() {
  static FileSystemCalls calls = RealFileCalls();
  return calls;
}

Env& CurrentEnv() {
  Env* env = InForce().load(std::memory_order_acquire);
  return env ? *env : Env::Default();
}

ScopedEnv::ScopedEnv(Env* env) : saved_(InForce().exchange(env, std::memory_order_acq_rel)) {}

ScopedEnv::~ScopedEnv() { InForce().store(saved_, std::memory_order_release); }

}  // namespace platform
