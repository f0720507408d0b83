#include "testing/sample_setup/package_format.h"

#include <cstring>

#include "launcher/release/text.h"

namespace sample_package {
namespace {

// A path that stays under the target directory and that Windows takes as it
// is written: no "..", no leading '/', and no component it reads as a device,
// drops trailing dots or blanks from, or may take as a short 8.3 alias.
bool InstallablePath(const std::string& path) {
  if (path.empty() || path.find("..") != std::string::npos || path[0] == '/') return false;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (release::IsWindowsMisreadName(path.substr(at, slash - at))) return false;
    at = slash + 1;
  }
  return true;
}

}  // namespace

std::string Encode(const Payload& p) {
  std::string out = "version " + p.version + "\n";
  if (p.cancel) out += "cancel\n";
  for (const File& f : p.files) {
    out += "file " + std::to_string(f.data.size()) + " " + f.path + "\n";
    out += f.data;
  }
  return out;
}

bool Decode(const std::string& bytes, Payload* out) {
  *out = Payload();
  size_t at = 0;
  while (at < bytes.size()) {
    size_t nl = bytes.find('\n', at);
    if (nl == std::string::npos) return false;
    std::string line = bytes.substr(at, nl - at);
    at = nl + 1;
    if (line.rfind("version ", 0) == 0) {
      out->version = line.substr(8);
    } else if (line == "cancel") {
      out->cancel = true;
    } else if (line.rfind("file ", 0) == 0) {
      size_t sp = line.find(' ', 5);
      if (sp == std::string::npos) return false;
      std::string size_text = line.substr(5, sp - 5);
      if (size_text.empty() || size_text.size() > 12 || size_text.find_first_not_of("0123456789") != std::string::npos)
        return false;
      uint64_t size = std::stoull(size_text);
      if (size > bytes.size() - at) return false;
      File f{line.substr(sp + 1), bytes.substr(at, static_cast<size_t>(size))};
      if (!InstallablePath(f.path)) return false;
      out->files.push_back(std::move(f));
      at += static_cast<size_t>(size);
    } else {
      return false;
    }
  }
  return !out->version.empty();
}

std::string Attach(const std::string& program, const Payload& p) {
  std::string payload = Encode(p);
  std::string out = program + payload;
  uint64_t n = payload.size();
  for (int i = 0; i < 8; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  out.append(kMagic, 8);
  return out;
}

bool Detach(const std::string& package, Payload* out) {
  if (package.size() < 16 || std::memcmp(package.data() + package.size() - 8, kMagic, 8) != 0) return false;
  uint64_t n = 0;
  for (int i = 0; i < 8; ++i) n |= static_cast<uint64_t>(static_cast<unsigned char>(package[package.size() - 16 + i])) << (8 * i);
  if (n > package.size() - 16) return false;
  return Decode(package.substr(package.size() - 16 - static_cast<size_t>(n), static_cast<size_t>(n)), out);
}

}  // namespace sample_package
