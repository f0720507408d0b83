// update_client [--key PUBLIC_KEY]
//
// The update engine without its window, for scripts/loadtest: runs the
// launcher's engine for the client installed in this program's own directory
// (copy the program into each install, as the launcher runs from its own:
// the download journal lies beside it) until the engine ends, and prints the
// final state's number and text. --key gives the publisher key (resource
// string 803). The log goes to log/ in the install. Exit code 0 when the
// install ended up to date or pre-loaded, 1 otherwise.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "launcher/log/logger.h"
#include "launcher/update/install_path.h"
#include "launcher/update/update_state.h"
#include "launcher/update/update_thread.h"
#include "platform/path.h"

namespace {

class Host : public EngineHost {
 public:
  void SetState(int32_t state) override {
    std::lock_guard<std::mutex> hold(state_mutex_);
    state_ = state;
  }
  void Stop(int32_t state) override {
    if (engine_) {
      engine_->ThreadObject::Stop();
      engine_->Stop();
    }
    SetState(state);
  }
  void Lock() override { lock_.lock(); }
  void Unlock() override { lock_.unlock(); }
  int32_t State() {
    std::lock_guard<std::mutex> hold(state_mutex_);
    return state_;
  }
  UpdateThread* engine_ = nullptr;

 private:
  std::recursive_mutex lock_;
  std::mutex state_mutex_;
  int32_t state_ = Checking;
};

}  // namespace

int main(int argc, char** argv) {
  std::string key;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc) {
      key = argv[++i];
    } else {
      std::fprintf(stderr, "usage: update_client [--key PUBLIC_KEY]\n");
      return 2;
    }
  }
  Logger::Instance().Init("Renewel", InstallPath(std::string("log") + platform::kPathSep), Logger::kToFile, 0,
                          100 * 1024 * 1024);
  Host host;
  EngineSettings settings{key, InstallPath(""), [] { std::fprintf(stderr, "restart asked for\n"); }, Deadlines()};
  {
    UpdateThread engine(host, std::move(settings), false);
    host.engine_ = &engine;
    engine.Start();
    engine.Wait();
    host.engine_ = nullptr;
  }
  const int32_t state = host.State();
  std::printf("%d %s\n", state, UpdateStateText(state));
  return state == UpToDate || state == Preloaded ? 0 : 1;
}
