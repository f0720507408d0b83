// The publisher's tool: builds a version-information tree for a chain of
// versions, ready to be served over HTTP.
//
//   publish DESCRIPTION OUT_DIR
//
// DESCRIPTION is a text file of lines (blank lines and lines starting with #
// are skipped):
//   url <base address>          where OUT_DIR will be served, ending in '/'
//   setup <path>                the setup program packages are built from
//   latest <version>            the version latest-version.xml names
//   package <from> <to>         starts a package that upgrades <from> to <to>
//     updateself <text>         the package's updateself text (default false)
//     cancel                    its setup behaves as cancelled
//     digest <text>             publish this digest instead of the real one
//     file <dest> <source>      install <source> (a local file) at <dest>
//     text <dest> <words...>    install a small text file at <dest>
//     omit <element>            leave an element out of version.xml
//
// OUT_DIR receives latest-version.xml, one directory per upgraded version
// holding version.xml, and packages/ with the package files.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/update/digest.h"
#include "platform/file.h"
#include "platform/path.h"
#include "tools/sample_setup/package_format.h"

namespace {

struct Package {
  std::string from, to, updateself = "false", digest;
  bool cancel = false;
  std::vector<sample_package::File> files;
  std::vector<std::string> omit;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "publish: %s\n", message.c_str());
  return 1;
}

std::string Element(const std::string& name, const std::string& text) { return "<" + name + ">" + text + "</" + name + ">\r\n"; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: publish DESCRIPTION OUT_DIR");
  std::ifstream in(argv[1]);
  if (!in) return Fail(std::string("cannot read ") + argv[1]);
  std::string url, setup, latest;
  std::vector<Package> packages;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string key;
    if (!(words >> key) || key[0] == '#') continue;
    std::string a, b;
    auto where = [&] { return std::string(argv[1]) + ":" + std::to_string(number) + ": "; };
    if (key == "url") {
      words >> url;
    } else if (key == "setup") {
      std::getline(words >> std::ws, setup);
    } else if (key == "latest") {
      words >> latest;
    } else if (key == "package") {
      if (!(words >> a >> b)) return Fail(where() + "package needs <from> <to>");
      packages.push_back(Package{a, b});
    } else if (packages.empty()) {
      return Fail(where() + key + " outside a package");
    } else if (key == "updateself") {
      words >> packages.back().updateself;
    } else if (key == "cancel") {
      packages.back().cancel = true;
    } else if (key == "digest") {
      words >> packages.back().digest;
    } else if (key == "omit") {
      words >> a;
      packages.back().omit.push_back(a);
    } else if (key == "file" || key == "text") {
      if (!(words >> a)) return Fail(where() + key + " needs <dest>");
      std::string rest;
      std::getline(words >> std::ws, rest);
      std::string data;
      if (key == "file" && !platform::ReadFileToString(rest, &data)) return Fail(where() + "cannot read " + rest);
      if (key == "text") data = rest + "\n";
      packages.back().files.push_back({a, data});
    } else {
      return Fail(where() + "unknown line: " + key);
    }
  }
  if (url.empty() || setup.empty() || latest.empty()) return Fail("url, setup and latest are required");
  std::string program;
  if (!platform::ReadFileToString(setup, &program)) return Fail("cannot read setup program " + setup);

  const std::string out = platform::JoinPath(argv[2], "");
  platform::MakeDirectories(out + "packages");
  if (!platform::WriteStringToFile(out + "latest-version.xml", Element("lastversionnum", latest)))
    return Fail("cannot write latest-version.xml");
  for (const Package& p : packages) {
    sample_package::Payload payload;
    payload.version = p.to;
    payload.cancel = p.cancel;
    payload.files = p.files;
    std::string name = "update_" + p.from + "_to_" + p.to + platform::kExeSuffix;
    std::string bytes = sample_package::Attach(program, payload);
    std::string path = platform::JoinPath(out + "packages", name);
    if (!platform::WriteStringToFile(path, bytes)) return Fail("cannot write " + path);
    DigestContext digest;
    digest.Update(bytes.data(), bytes.size());
    digest.Final();
    auto keep = [&](const char* e) {
      for (const std::string& o : p.omit)
        if (o == e) return false;
      return true;
    };
    std::string doc = "<version>\r\n";
    if (keep("versionnum")) doc += Element("versionnum", p.to);
    if (keep("packageurl")) doc += Element("packageurl", url + "packages/" + name);
    if (keep("packagemd5")) doc += Element("packagemd5", p.digest.empty() ? digest.DigestText() : p.digest);
    if (keep("updateself")) doc += Element("updateself", p.updateself);
    doc += "</version>\r\n";
    platform::MakeDirectories(out + p.from);
    if (!platform::WriteStringToFile(platform::JoinPath(out + p.from, "version.xml"), doc))
      return Fail("cannot write version.xml of " + p.from);
    std::printf("%s -> %s  %s  %zu bytes\n", p.from.c_str(), p.to.c_str(), name.c_str(), bytes.size());
  }
  return 0;
}
