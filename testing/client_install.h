// A throw-away client install for the tests that run the real launcher: its
// directory, the built launcher and libraries copied in, the client's version
// file, a tree the publisher tool publishes into, and the launchers' log read
// back.
//
//   testkit::ClientInstall client;
//   ASSERT_TRUE(client.AddLauncher("temp"));
//   ASSERT_TRUE(client.AddVersionLibrary());
//   client.SetClient("1.0.0.1", server.Url(""));
//   ASSERT_TRUE(client.Publish(server.Url(""), "1.0.0.2", "package 1.0.0.1 1.0.0.2\n text a.txt x\n"));
//   ... run the launcher ...
//   EXPECT_TRUE(client.InOrder({"...", "update ended: 5"}));
#ifndef TESTING_CLIENT_INSTALL_H_
#define TESTING_CLIENT_INSTALL_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/testing.h"

namespace testkit {

// The file names of the launcher, its resource library and the client's
// version library on this platform.
extern const std::string kLauncherFile;
extern const std::string kResourceFile;
extern const std::string kVersionLibraryFile;

// Everything the launchers of the install at `install_dir` wrote to its log/
// directory, file after file in the order they were made (EarlierLogName).
std::string InstallLog(const std::string& install_dir);

// Whether log file `a` was made before `b`: their names compared with runs of
// digits taken as numbers (the names hold time and sequence unpadded).
bool EarlierLogName(const std::string& a, const std::string& b);

// How often `what` occurs in `text` (occurrences do not overlap).
size_t CountOf(const std::string& text, const std::string& what);

class ClientInstall {
 public:
  // An empty install directory and an empty tree to publish into.
  ClientInstall();

  // The install directory, with a trailing separator; `/` names a file in it.
  const std::string& Path() const { return install_; }
  std::string operator/(const std::string& name) const { return install_ + name; }
  // A place for the test's own files, outside the install.
  std::string Scratch(const std::string& name) const { return dir_ / name; }
  // The directory the publisher tool publishes into (trailing separator).
  const std::string& Tree() const { return tree_; }

  // Copies the built launcher and its resource library into the install, or
  // into its subdirectory `subdir` ("temp", as the relaunch leaves it).
  bool AddLauncher(const std::string& subdir = std::string());
  // Copies the client's built version library into the install.
  bool AddVersionLibrary();

  // The client's version and update address in dovra_version.ini.
  void SetClient(const std::string& version, const std::string& url);
  std::string ClientVersion() const;

  // Runs the publisher tool: packages described by `body` (package lines),
  // latest version `latest`, downloads from `url`, the sample setup program;
  // into Tree() unless `out` is given; signed with `key_file` when given.
  ::testing::AssertionResult Publish(const std::string& url, const std::string& latest, const std::string& body,
                                     const std::string& key_file = std::string(),
                                     const std::string& out = std::string());
  // The same with the tool's options given word by word ("--key", a file,
  // "--valid-days", "3" ...).
  ::testing::AssertionResult PublishWith(const std::string& url, const std::string& latest, const std::string& body,
                                         const std::vector<std::string>& options,
                                         const std::string& out = std::string());
  // Runs the publisher tool with `words` (for example "refresh", a tree,
  // "--key", a file); its exit code, -1 when it did not run to its end
  // within 60 s.
  int RunPublisher(const std::vector<std::string>& words);
  // A new publisher key in Scratch(name); its public key text, or "" on failure.
  std::string MakeKey(const std::string& name);

  // The launchers' log (InstallLog of the install).
  std::string Log() const;
  // How often `text` occurs in the log (occurrences do not overlap).
  size_t Count(const std::string& text) const;
  // Waits, at most `ms`, until the log holds `text` at least `times` times.
  bool WaitForLog(const std::string& text, size_t times = 1, int ms = 60000) const;
  // Each text occurs in the log after the one before it.
  ::testing::AssertionResult InOrder(const std::vector<std::string>& texts) const;
  // The state of the last "update ended: N" line, "none" without one.
  std::string FinalState() const;

 private:
  TempDir dir_;
  std::string install_, tree_;
};

}  // namespace testkit

#endif  // TESTING_CLIENT_INSTALL_H_
