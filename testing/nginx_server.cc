#include "testing/nginx_server.h"

#include <cstdlib>
#include <sstream>

#include "platform/file.h"
#include "platform/host_path.h"
#include "platform/process.h"

namespace {

const char kScript[] = RENEWEL_SOURCE_DIR "/testing/nginx/serve.sh";
const char kShell[] = "/bin/bash";

// The host path of a directory, without its trailing separator.
std::string HostDir(const std::string& dir) {
  std::string host = platform::HostPath(dir);
  while (host.size() > 1 && (host.back() == '/' || host.back() == '\\')) host.pop_back();
  return host;
}

}  // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer() { Stop(); }

bool NginxServer::Available() {
  // Under Wine the host's files are seen through the Z: drive.
  return (platform::Exists("/usr/sbin/nginx") || platform::Exists("Z:\\usr\\sbin\\nginx")) &&
         (platform::Exists(kScript) || platform::Exists(platform::HostPath(kScript)) ||
          platform::Exists(std::string("Z:") + kScript));
}

bool NginxServer::RunScript(const std::string& args, const std::string& done_file) {
  std::string line = platform::QuoteArgument(kShell) + " " + platform::QuoteArgument(kScript) + " " + args;
  std::unique_ptr<platform::Process> p = platform::StartProcess(line);
  if (!p) return false;
  // A host program started from Wine cannot be waited for by handle: the
  // script announces its end with a file.
  for (int i = 0; i < 200; ++i) {
    if (platform::Exists(*work_ / done_file) || platform::Exists(*work_ / "failed")) break;
    platform::SleepMs(50);
  }
  p->WaitFor(1000);
  return platform::Exists(*work_ / done_file);
}

bool NginxServer::Start(const std::string& root, const std::string& extra, const std::string& http_extra) {
  return StartTls(root, "", "", extra, http_extra);
}

bool NginxServer::StartTls(const std::string& root, const std::string& cert, const std::string& key,
                           const std::string& extra, const std::string& http_extra) {
  Stop();
  work_ = std::make_unique<testkit::TempDir>();
  log_skip_ = 0;
  tls_ = !cert.empty();
  std::string args = "start " + platform::QuoteArgument(HostDir(work_->Path())) + " " +
                     platform::QuoteArgument(HostDir(root)) + " " + platform::QuoteArgument(extra) + " " +
                     platform::QuoteArgument(http_extra);
  if (tls_) {
    args += " " + platform::QuoteArgument(platform::HostPath(cert)) + " " +
            platform::QuoteArgument(platform::HostPath(key));
  }
  if (!RunScript(args, "port")) return false;
  std::string text;
  if (!platform::ReadFileToString(*work_ / "port", &text)) return false;
  port_ = static_cast<uint16_t>(std::atoi(text.c_str()));
  running_ = port_ != 0;
  return running_;
}

void NginxServer::Stop() {
  if (running_) RunScript("stop " + platform::QuoteArgument(HostDir(work_->Path())), "stopped");
  running_ = false;
}

std::string NginxServer::Url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::vector<NginxServer::LogLine> NginxServer::AccessLog() const {
  std::vector<LogLine> out;
  std::string text;
  if (!work_ || !platform::ReadFileToString(*work_ / "access.log", &text)) return out;
  std::istringstream in(text);
  std::string row;
  while (std::getline(in, row)) {
    std::istringstream fields(row);
    LogLine l;
    std::string range;
    fields >> l.method >> l.uri >> range >> l.status >> l.body_bytes;
    if (range.size() >= 2 && range.front() == '"') range = range.substr(1, range.size() - 2);
    l.range = range.empty() ? "-" : range;
    if (!l.method.empty()) out.push_back(l);
  }
  if (log_skip_ >= out.size()) return {};
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(log_skip_));
  return out;
}

void NginxServer::ClearAccessLog() {
  log_skip_ = 0;
  log_skip_ = AccessLog().size();
}
