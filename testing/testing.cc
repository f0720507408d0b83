#include "testing/testing.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/env.h"
#include "platform/file.h"
#include "platform/host_path.h"
#include "platform/link.h"
#include "platform/owner_file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace testkit {

using platform::CurrentProcessId;
using platform::DirName;
using platform::Env;
using platform::kExeSuffix;
using platform::kLibSuffix;
using platform::kPathSep;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = ".";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = "renewel-test-" + std::to_string(CurrentProcessId()) + "-" +
                       std::to_string(counter++) + "-" + std::to_string(std::rand() % 100000);
    std::filesystem::path p = base / name;
    if (std::filesystem::create_directory(p, ec)) {
      path_ = p.string();
      break;
    }
  }
  if (!path_.empty() && path_.back() != kPathSep) path_ += kPathSep;
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  // Read-only files would stop the removal on Windows.
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path, ec);
}

bool MakeLink(const std::string& target, const std::string& link, bool directory) {
  auto trimmed = [](std::string p) {
    while (p.size() > 1 && (p.back() == '/' || p.back() == kPathSep)) p.pop_back();
    return p;
  };
  return platform::MakeSymbolicLink(trimmed(target), trimmed(link), directory);
}

bool MakeHostLink(const std::string& target, const std::string& link) {
  const std::string host_target = platform::HostPath(target), host_link = platform::HostPath(link);
  if (host_link == link) return MakeLink(target, link, false);  // no emulator beneath
  auto ln = platform::StartProcess("/bin/ln -s " + platform::QuoteArgument(host_target) + " " +
                                   platform::QuoteArgument(host_link));
  if (!ln) return false;
  ln->WaitFor(5000);
  for (int waited = 0; waited < 5000 && !platform::Exists(link); waited += 10) platform::SleepMs(10);
  return platform::Exists(link);
}

// The real one: a test's env may place the running program elsewhere.
std::string BinDir() { return DirName(Env::Default().ExecutablePath()); }
std::string BuiltProgram(const std::string& name) { return BinDir() + name + kExeSuffix; }
std::string BuiltLibrary(const std::string& name) { return BinDir() + name + kLibSuffix; }

std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + "-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(static_cast<long>(std::time(nullptr)));
}

std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kPathSep;
  }
  return path;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  if (!platform::ReadFileToString(path, &text)) text.clear();
  return text;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;  // xorshift32
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

bool EndsWithin(int ms, std::function<void()> work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
  });
  // The bound is read off the clock: counting sleeps assumes each lasts
  // exactly its 10 ms, which a loaded machine or an emulator need not keep.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool in_time = done;
  t.join();
  return in_time;
}

bool OpenToOthers(const std::string& path, bool write) { return platform::GrantOthersAccess(path, write); }

}  // namespace testkit
