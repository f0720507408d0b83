#include "testing/client_install.h"

#include <algorithm>
#include <cctype>

#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"

namespace testkit {

const std::string kLauncherFile = std::string("Quillfen") + platform::kExeSuffix;
const std::string kResourceFile = std::string("Quillfen") + platform::kLibSuffix;
const std::string kVersionLibraryFile = std::string("dovra_version") + platform::kLibSuffix;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  if (what.empty()) return 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Log file names carry their time and sequence as numbers without leading
// zeros (Renewel_2026_12_8_20_58_9.log.1): they are ordered by comparing runs
// of digits as numbers, so that second 9 comes before second 10.
bool EarlierLogName(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])), db = std::isdigit(static_cast<unsigned char>(b[j]));
    if (da && db) {
      size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const unsigned long long x = std::stoull(a.substr(i, std::min<size_t>(ei - i, 18)));
      const unsigned long long y = std::stoull(b.substr(j, std::min<size_t>(ej - j, 18)));
      if (x != y) return x < y;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::string InstallLog(const std::string& install_dir) {
  const std::string log_dir = install_dir + "log";
  std::vector<platform::DirEntry> entries;
  std::string all;
  if (!platform::ListDirectory(log_dir, &entries)) return all;
  std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return EarlierLogName(a.name, b.name); });
  for (auto& e : entries) {
    std::string text;
    if (!e.is_directory && platform::ReadFileToString(platform::JoinPath(log_dir, e.name), &text)) all += text;
  }
  return all;
}

ClientInstall::ClientInstall() {
  install_ = dir_ / "client" + platform::kPathSep;
  tree_ = dir_ / "tree" + platform::kPathSep;
  platform::MakeDirectories(install_);
  platform::MakeDirectories(tree_);
}

bool ClientInstall::AddLauncher(const std::string& subdir) {
  const std::string to = subdir.empty() ? install_ : install_ + subdir + platform::kPathSep;
  return platform::MakeDirectories(to) && platform::CopyFileOver(BuiltProgram("Quillfen"), to + kLauncherFile) &&
         platform::CopyFileOver(BuiltLibrary("Quillfen"), to + kResourceFile);
}

bool ClientInstall::AddVersionLibrary() {
  return platform::CopyFileOver(BuiltLibrary("dovra_version"), install_ + kVersionLibraryFile);
}

void ClientInstall::SetClient(const std::string& version, const std::string& url) {
  platform::SetProfileString("version", "ClientVersion", version, install_ + "dovra_version.ini");
  platform::SetProfileString("version", "UpdateVersionUrl", url, install_ + "dovra_version.ini");
}

std::string ClientInstall::ClientVersion() const {
  return platform::ProfileString("version", "ClientVersion", "", install_ + "dovra_version.ini");
}

::testing::AssertionResult ClientInstall::Publish(const std::string& url, const std::string& latest,
                                                  const std::string& body, const std::string& key_file,
                                                  const std::string& out) {
  return PublishWith(url, latest, body,
                     key_file.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--key", key_file}, out);
}

::testing::AssertionResult ClientInstall::PublishWith(const std::string& url, const std::string& latest,
                                                      const std::string& body, const std::vector<std::string>& options,
                                                      const std::string& out) {
  const std::string desc =
      "url " + url + "\nsetup " + BuiltProgram("sample_setup") + "\nlatest " + latest + "\n" + body;
  if (!platform::WriteStringToFile(Scratch("desc.txt"), desc))
    return ::testing::AssertionFailure() << "cannot write the description";
  std::vector<std::string> words = {Scratch("desc.txt"), out.empty() ? tree_ : out};
  words.insert(words.end(), options.begin(), options.end());
  const int code = RunPublisher(words);
  if (code != 0) return ::testing::AssertionFailure() << "publish exited with " << code;
  return ::testing::AssertionSuccess();
}

int ClientInstall::RunPublisher(const std::vector<std::string>& words) {
  std::string command = platform::QuoteArgument(BuiltProgram("publish"));
  for (const std::string& w : words) command += " " + platform::QuoteArgument(w);
  auto p = platform::StartProcess(command);
  if (!p || !p->WaitFor(60000)) return -1;
  return p->ExitCode();
}

std::string ClientInstall::MakeKey(const std::string& name) {
  const std::string out = Scratch(name + ".pub");
  auto p = platform::StartProcess(
      platform::QuoteArgument(BuiltProgram("publish")) + " keygen " + platform::QuoteArgument(Scratch(name)), "",
      out);
  if (!p || !p->WaitFor(60000) || p->ExitCode() != 0) return std::string();
  // The file holds standard error too: on Windows the crypto library may
  // note there, before or after the key, that it lacks an entropy source
  // ("NOTE: you should run 'diskperf -y' ..."). The key is the other line.
  std::string text;
  platform::ReadFileToString(out, &text);
  std::string key;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.compare(0, 5, "NOTE:") != 0) key = line;
  }
  return key;
}

std::string ClientInstall::Log() const { return InstallLog(install_); }

size_t ClientInstall::Count(const std::string& text) const { return CountOf(Log(), text); }

bool ClientInstall::WaitForLog(const std::string& text, size_t times, int ms) const {
  for (int waited = 0;; waited += 50) {
    if (Count(text) >= times) return true;
    if (waited >= ms) return false;
    platform::SleepMs(50);
  }
}

::testing::AssertionResult ClientInstall::InOrder(const std::vector<std::string>& texts) const {
  const std::string log = Log();
  size_t at = 0;
  for (const std::string& t : texts) {
    const size_t found = log.find(t, at);
    if (found == std::string::npos) return ::testing::AssertionFailure() << "missing in order: " << t << "\n" << log;
    at = found + t.size();
  }
  return ::testing::AssertionSuccess();
}

std::string ClientInstall::FinalState() const {
  const std::string log = Log();
  const size_t at = log.rfind("update ended: ");
  if (at == std::string::npos) return "none";
  return log.substr(at + 14, log.find(' ', at + 14) - at - 14);
}

}  // namespace testkit
